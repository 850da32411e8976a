// normalize and cantonese: text normalisation and Cantonese to Mandarin
// from the command line, one input line at a time, on all cores.
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/cli.h"
#include "kelvra/nlp/common/lang/cantonese.h"
#include "kelvra/nlp/common/normalizer.h"

namespace kelvra::cli {

namespace {

using nlp::common::lang::cantonese::Cantonese;
using nlp::common::lang::cantonese::Rewrite;
using nlp::common::normalizer::Normalizer;
namespace normalizer = nlp::common::normalizer;

void add_normalize(CLI::App& app) {
  struct Options {
    bool no_q2b = false;
    bool no_replace = false;
    bool no_to_zhs = false;
    std::string valid;
    bool jsonl = false;
    std::string field = "text";
    StreamFlags stream;
    std::string file;
  };
  auto options = std::make_shared<Options>();
  auto* cmd = app.add_subcommand(
      "normalize",
      "Normalise each input line (traditional to simplified Chinese, control characters to\n"
      "blanks, full-width to half-width); prints one result record per line with every\n"
      "changed position: {\"text\",\"normalized_text\",\"alter_words\":[{\"text\",\n"
      "\"normalized_text\",\"offset\"}]}, offsets in code points of the line.");
  cmd->add_flag("--no-q2b", options->no_q2b, "Keep full-width characters");
  cmd->add_flag("--no-replace", options->no_replace, "Keep control characters");
  cmd->add_flag("--no-to-zhs", options->no_to_zhs, "Keep traditional characters");
  cmd->add_option("--valid", options->valid,
                  "Control characters to keep, one per character (default: none)");
  cmd->add_flag("--jsonl", options->jsonl,
                "Read JSON Lines: each line one record with its text in \"text\" (or --field);\n"
                "write it back with \"normalized_text\" and \"alter_words\" added after its\n"
                "other members, which pass through unchanged (members of those names are\n"
                "replaced); offsets count code points of the text");
  add_field_option(*cmd, options->field);
  add_stream_flags(*cmd, options->stream);
  cmd->add_option("FILE", options->file, "Input file (default: standard input)");
  cmd->callback([options] {
    if (options->jsonl) refuse_field_written(options->field, {"normalized_text", "alter_words"});
    const Normalizer normalizer(split_code_points(options->valid, "--valid"));
    InputFile input(options->file);
    const bool q2b = !options->no_q2b, replace = !options->no_replace, to_zhs = !options->no_to_zhs;
    // The members of a Text record (with `with_text`) or those normalising
    // adds to a record, laid out by the library's text_members and
    // normalized_members. Each change is written as it is found, so that a
    // huge line never holds its list of changes: the list is opened as its
    // member is written and closed once normalize has listed them all.
    auto write_result = [&](std::string_view text, bool with_text, JsonWriter& json) {
      const auto open_list = [&json] { json.begin_array(); };
      normalizer.normalize(
          text,
          [&](std::string_view normalized) {
            if (with_text)
              normalizer::text_members(json, text, normalized, open_list);
            else
              normalizer::normalized_members(json, normalized, open_list);
          },
          [&](std::string_view changed, std::string_view normalized, std::int64_t offset) {
            json.begin_object();
            normalizer::alter_word_members(json, changed, normalized, offset);
            json.end_object();
          },
          q2b, replace, to_zhs);
      json.end_array();
    };
    if (options->jsonl) {
      run_records(input, options->stream.options(), "normalize", options->field,
                  [&](Document& doc, std::int64_t, JsonWriter& json) {
                    write_with_added(json, doc.record, {"normalized_text", "alter_words"},
                                     [&] { write_result(doc.text, false, json); });
                  });
      return;
    }
    run_lines(input, options->stream.options(), "normalize",
              [&](std::string_view line, std::int64_t, JsonWriter& json) {
                json.begin_object();
                write_result(line, true, json);
                json.end_object();
                json.end_line();
              });
  });
}

void add_cantonese(CLI::App& app) {
  struct Options {
    std::string dict;
    std::string rules;
    bool explain = false;
    bool jsonl = false;
    std::string field = "text";
    StreamFlags stream;
    std::string file;
  };
  auto options = std::make_shared<Options>();
  auto* cmd = app.add_subcommand(
      "cantonese",
      "Rewrite Cantonese wording with Mandarin wording, word by word and with the rules'\n"
      "grammar patterns, in simplified characters, leaving Mandarin as it is; prints each\n"
      "input line translated.");
  cmd->add_option("--dict", options->dict,
                  "Cantonese-Mandarin dictionary, tab-separated (default: the shipped c2m.tsv)");
  cmd->add_option("--rules", options->rules,
                  "Rules: words that change only in some places, grammar patterns, tab-separated\n"
                  "(default: the shipped c2m_rules.tsv)");
  cmd->add_flag("--explain", options->explain,
                "Print one record per line instead: {\"text\",\"translation\",\"rewrites\":\n"
                "[{\"text\",\"offset\",\"length\",\"translation\",\"line\",\"entry\"}]}, one\n"
                "rewrite per changed word, offsets in code points of the line; \"line\" and\n"
                "\"entry\" are the dictionary line that changed it (the file the log names), or\n"
                "the rules file's line when the rewrite also has \"rule\", the rule's conditions,\n"
                "and \"senses\", every Mandarin the word has, where it has more than one");
  cmd->add_flag("--jsonl", options->jsonl,
                "Read JSON Lines: each line one record with its text in \"text\" (or --field);\n"
                "write it back with \"translation\" (and with --explain \"rewrites\") added\n"
                "after its other members, which pass through unchanged (members of those\n"
                "names are replaced)");
  add_field_option(*cmd, options->field);
  add_stream_flags(*cmd, options->stream);
  cmd->add_option("FILE", options->file, "Input file (default: standard input)");
  cmd->callback([options] {
    if (options->jsonl) {
      if (options->explain)
        refuse_field_written(options->field, {"translation", "rewrites"});
      else
        refuse_field_written(options->field, {"translation"});
    }
    // Opening a file names a bad path as the option gave it, before any work.
    const auto given = [](const std::string& path,
                          const char* option) -> std::optional<std::string> {
      if (path.empty()) return std::nullopt;
      const InputFile checked(path, option);
      return path;
    };
    const std::optional<std::string> dict = given(options->dict, "--dict");
    const std::optional<std::string> rules = given(options->rules, "--rules");
    InputFile input(options->file);
    const Cantonese cantonese(dict, std::nullopt, rules);
    const bool explain = options->explain;
    // "translation" and "rewrites".
    auto write_explained = [&](std::string_view line, JsonWriter& json) {
      std::vector<Rewrite> rewrites;
      const std::string translation = cantonese.translate(line, rewrites);
      json.key("translation");
      json.string(translation);
      json.key("rewrites");
      json.begin_array();
      for (const Rewrite& rewrite : rewrites) {
        json.begin_object();
        json.key("text");
        json.string(rewrite.text);
        json.key("offset");
        json.integer(rewrite.offset);
        json.key("length");
        json.integer(rewrite.length);
        json.key("translation");
        json.string(rewrite.mandarin);
        json.key("line");
        json.integer(rewrite.line);
        json.key("entry");
        json.string(rewrite.entry_cantonese + "\t" + rewrite.entry_mandarin);
        if (rewrite.by_rule) {
          json.key("rule");
          json.string(rewrite.rule);
        }
        if (!rewrite.senses.empty()) {
          json.key("senses");
          json.begin_array();
          for (const std::string& sense : rewrite.senses) json.string(sense);
          json.end_array();
        }
        json.end_object();
      }
      json.end_array();
    };
    if (options->jsonl) {
      run_records(input, options->stream.options(), "cantonese", options->field,
                  [&](Document& doc, std::int64_t, JsonWriter& json) {
                    if (explain) {
                      write_with_added(json, doc.record, {"translation", "rewrites"},
                                       [&] { write_explained(doc.text, json); });
                      return;
                    }
                    write_with_added(json, doc.record, {"translation"}, [&] {
                      json.key("translation");
                      json.string(cantonese.translate(doc.text));
                    });
                  });
      return;
    }
    run_lines(input, options->stream.options(), "cantonese",
              [&](std::string_view line, std::int64_t, JsonWriter& json) {
                if (!explain) {
                  // A sentence at a time: a huge line's translation is
                  // handed on as it is made, never held whole.
                  struct Sink {
                    std::string& out;
                    Output& output;
                    bool straight_out;
                  } sink{json.buffer(), Output::standard(), false};
                  sink.straight_out = &sink.out == &sink.output.buffer();
                  // One pointer captured: the callback needs no allocation
                  // for each of millions of short lines.
                  cantonese.translate(line, [to = &sink](std::string_view piece) {
                    to->out += piece;
                    if (to->straight_out) to->output.flush_if_large();
                  });
                  sink.out.push_back('\n');
                  return;
                }
                json.begin_object();
                json.key("text");
                json.string(line);
                write_explained(line, json);
                json.end_object();
                json.end_line();
              });
  });
}

}  // namespace

void add_normalization_commands(CLI::App& app) {
  add_normalize(app);
  add_cantonese(app);
}

}  // namespace kelvra::cli
