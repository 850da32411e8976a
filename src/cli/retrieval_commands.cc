// match and glean: dictionary lookup and line passages from the command line.
#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cli/cli.h"
#include "kelvra/common/exceptions.h"
#include "kelvra/common/text_input.h"
#include "kelvra/common/utf8.h"
#include "kelvra/nlp/common/gleaner.h"
#include "kelvra/nlp/common/matcher.h"

namespace kelvra::cli {

namespace {

using common::text_input::word_list;
using nlp::common::gleaner::Gleaner;
using nlp::common::matcher::Automaton;
using nlp::common::matcher::match_kind_name;
using nlp::common::matcher::MatchKind;
using nlp::common::matcher::SearchOptions;

// One occurrence record, laid out by word_members, then the document's
// members (none inside a list). The line is the caller's to end.
void write_occurrence(JsonWriter& json, std::string_view word, std::int64_t length,
                      std::int64_t offset, std::string_view members = {}) {
  json.begin_object();
  nlp::common::matcher::word_members(json, word, length, offset);
  json.members(members);
  json.end_object();
}

// The automaton of --dict (built, folding as `fold` says) or of
// --automaton (loaded, with the foldings it was saved with).
Automaton dictionary_automaton(const std::string& dict, const std::string& saved,
                               const std::string& fold) {
  if (saved.empty())
    return Automaton(word_list(read_text_input(dict, "--dict")),
                     nlp::common::matcher::folds_of(fold, "--fold"));
  try {
    return Automaton::load(saved);
  } catch (const common::FileError& e) {
    throw InputError("--automaton " + std::string(e.what()));
  }
}

void add_match(CLI::App& app) {
  struct Options {
    std::string dict;
    std::string automaton;
    std::string save;
    bool jsonl = false;
    std::string kind = "overlapping";
    bool whole_words = false;
    std::string fold;
    std::string field = "text";
    std::vector<std::string> drop;
    std::string attach;
    StreamFlags stream;
    std::string file;
  };
  auto options = std::make_shared<Options>();
  auto* cmd = app.add_subcommand(
      "match",
      "Find every occurrence of the dictionary's words in the whole input (one text).\n"
      "Prints one {\"text\",\"length\",\"offset\"} record per line, by end position and,\n"
      "at one end, longest first, as they are found. Positions count code points.\n"
      "--kind leftmost-longest or leftmost-first reports occurrences that never\n"
      "overlap instead, in text order; --whole-words drops those that cut a word;\n"
      "--fold case,width,script matches ignoring case, width or script, and still\n"
      "reports the input's own text and positions.\n"
      "A large dictionary is best built once (--save-automaton) and then loaded\n"
      "(--automaton), which takes milliseconds and lets processes share its memory.");
  auto* words = cmd->add_option_group("dictionary", "Where the words come from (one of)");
  auto* dict = words->add_option(
      "--dict", options->dict,
      "Dictionary file: one word a line; anything after a blank or tab is ignored");
  auto* saved = words->add_option(
      "--automaton", options->automaton,
      "An automaton saved by --save-automaton, used instead of building one from\n"
      "--dict: it is mapped into memory, not read, and finds exactly the same");
  words->require_option(1);
  auto* save =
      cmd->add_option("--save-automaton", options->save,
                      "Build the automaton of --dict, save it to this file and stop (no input is\n"
                      "read); the file is replaced whole, never left half-written");
  save->needs(dict)->excludes(saved);
  cmd->add_option("--kind", options->kind,
                  "Which occurrences to report (default overlapping):\n"
                  "  overlapping       every occurrence, overlapping and nested ones too\n"
                  "  leftmost-longest  from left to right, the one that starts first, the\n"
                  "                    longest of those starting there; the scan goes on\n"
                  "                    after its end, so none overlap\n"
                  "  leftmost-first    the same, but at one start the word listed first in\n"
                  "                    the dictionary wins")
      ->check(CLI::IsMember(
          std::vector<std::string>{std::string(match_kind_name(MatchKind::kOverlapping)),
                                   std::string(match_kind_name(MatchKind::kLeftmostLongest)),
                                   std::string(match_kind_name(MatchKind::kLeftmostFirst))}));
  cmd->add_flag("--whole-words", options->whole_words,
                "Report an occurrence only when it does not cut a word: no letter, digit or\n"
                "combining mark right before it when it starts with one, nor right after it\n"
                "when it ends with one. Chinese, Japanese and Korean characters need no\n"
                "boundary. With a leftmost kind, an occurrence that cuts a word is no\n"
                "candidate: a shorter whole word at the same start may win");
  auto* fold = cmd->add_option(
      "--fold", options->fold,
      "Match ignoring differences of these kinds, joined by commas:\n"
      "  case    Unicode case folding: Paris = PARIS, straße = STRASSE\n"
      "  width   full-width forms = half-width ones: ＡＢＣ１ = ABC1\n"
      "  script  traditional Chinese = simplified, character by character:\n"
      "          頭髮 = 头发\n"
      "Occurrences report the input's own text, offsets and lengths. An occurrence\n"
      "covers whole characters of the input: \"s\" is not found in \"ß\". A saved\n"
      "automaton keeps the foldings it was built with");
  fold->check(CLI::Validator(
      [](std::string& value) -> std::string {
        try {
          nlp::common::matcher::folds_of(value, "--fold");
          return "";
        } catch (const common::KvException&) {
          return "must be case, width or script, joined by commas, got " + value;
        }
      },
      "LIST", "folds"));
  fold->excludes(saved);
  auto* jsonl = cmd->add_flag(
      "--jsonl", options->jsonl,
      "Read JSON Lines: each line one record with its text in \"text\" (or --field),\n"
      "searched on its own; write its occurrences with their own members (text,\n"
      "length, offset), then the record's others. An input \"offset\" (the text's\n"
      "place in a larger document, as a segment's) is added to the occurrences'\n"
      "offsets; the input's \"text\" and \"length\" are not copied");
  add_field_option(*cmd, options->field);
  add_drop_option(*cmd, options->drop);
  auto* attach_option = cmd->add_option(
      "--attach", options->attach,
      "With --jsonl: write each record back whole instead, with its occurrences as\n"
      "a list under this member, after its other members (a member of that name is\n"
      "replaced), offsets counted in the record's text. `--attach nes` on the\n"
      "segments of section --jsonl gives what stitch --type ner reads");
  attach_option->needs(jsonl);
  add_stream_flags(*cmd, options->stream);
  auto* file = cmd->add_option("FILE", options->file, "Input file (default: standard input)");
  save->excludes(jsonl)->excludes(file);
  cmd->callback([options] {
    if (!options->save.empty()) {
      const Automaton automaton = dictionary_automaton(options->dict, {}, options->fold);
      try {
        automaton.save(options->save);
      } catch (const common::FileError& e) {
        throw InputError("--save-automaton " + std::string(e.what()));
      }
      return;
    }
    if (!options->attach.empty()) refuse_field_written(options->field, {options->attach});
    if (options->dict == "-" && (options->file.empty() || options->file == "-"))
      throw InputError("--dict and the input cannot both be standard input");
    const Automaton automaton =
        dictionary_automaton(options->dict, options->automaton, options->fold);
    const SearchOptions search{nlp::common::matcher::match_kind_of(options->kind, "--kind"),
                               options->whole_words};
    if (search.kind == MatchKind::kLeftmostFirst && !automaton.dictionary_ordered())
      throw InputError(
          "--kind leftmost-first: the automaton of --automaton was saved by an "
          "older version that does not record the dictionary's order; save it "
          "again from --dict");
    if (options->jsonl) {
      InputFile input(options->file);
      const std::string& field = options->field;
      const std::string& attach = options->attach;
      run_records(
          input, options->stream.options(), "match", field,
          [&](Document& doc, std::int64_t number, JsonWriter& json) {
            if (!attach.empty()) {
              write_with_added(
                  json, doc.record, {attach},
                  [&] {
                    json.key(attach);
                    json.begin_array();
                    automaton.search(
                        doc.text,
                        [&](std::string_view word, std::int64_t length, std::int64_t offset) {
                          write_occurrence(json, word, length, offset);
                        },
                        search);
                    json.end_array();
                  },
                  options->drop);
              return;
            }
            pass_through(doc, input.name(), number, {field}, {"text", "length", "offset"},
                         options->drop);
            automaton.search(
                doc.text,
                [&](std::string_view word, std::int64_t length, std::int64_t offset) {
                  write_occurrence(json, word, length,
                                   doc.offset == 0
                                       ? offset
                                       : common::add_positions(offset, doc.offset, "offset"),
                                   doc.members);
                  json.end_line();
                },
                search);
          });
      return;
    }
    const std::string text = read_input(options->file);
    Output& output = Output::standard();
    JsonWriter json(output.buffer(), &output);
    // Progress by code points found so far, shown as the bytes they make.
    Progress progress("match", text.size(), options->stream.options().progress);
    // An estimate, good enough for a progress line: valid or not, the text
    // is checked by the search before anything is written.
    const double bytes_per_code_point =
        static_cast<double>(text.size()) / std::max<std::size_t>(1, common::utf8::length(text));
    checked_by_library(text, source_name(options->file), [&] {
      automaton.search(
          text,
          [&](std::string_view word, std::int64_t length, std::int64_t offset) {
            write_occurrence(json, word, length, offset);
            json.end_line();
            progress.update(
                static_cast<std::uint64_t>(static_cast<double>(offset) * bytes_per_code_point));
          },
          search);
    });
    progress.finish(text.size());
  });
}

void add_glean(CLI::App& app) {
  auto file = std::make_shared<std::string>();
  auto* cmd = app.add_subcommand(
      "glean",
      "Cut an annotated document (one JSON record with \"text\", \"zh_content\" or\n"
      "\"content_zh\", and \"entities\") into line passages. Prints one\n"
      "{\"text\",\"offset\",\"entities\"} record per line; nothing when there is none.\n"
      "Passages are cut at line feeds only: in text with CRLF line ends, each\n"
      "passage keeps its \\r at the end (and counts it in positions).");
  cmd->add_option("FILE", *file, "Input file (default: standard input)");
  cmd->callback([file] {
    std::string content = read_text_input(*file);
    const std::string source = source_name(*file);
    Record doc = parse_json(content, source);
    std::optional<std::vector<Record>> passages;
    naming_source(source, [&] { passages = Gleaner().extract(std::move(doc)); });
    if (!passages) return;
    Output& output = Output::standard();
    JsonWriter json(output.buffer(), &output);
    for (const auto& passage : *passages) {
      json.value(passage);
      json.end_line();
    }
  });
}

}  // namespace

void add_retrieval_commands(CLI::App& app) {
  add_match(app);
  add_glean(app);
}

}  // namespace kelvra::cli
