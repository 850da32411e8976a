// split, section and stitch: the segmentation road from the command line.
//
// Whole-text modes read the input whole (a sentence may run anywhere in
// it) and write each sentence or segment as the library finds it; --jsonl
// modes and stitch stream their input a line at a time on all cores.
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cli/cli.h"
#include "kelvra/common/exceptions.h"
#include "kelvra/nlp/common/phraser.h"
#include "kelvra/nlp/common/sectioner.h"
#include "kelvra/nlp/common/stitcher.h"

namespace kelvra::cli {

namespace {

using nlp::common::phraser::Phraser;
using nlp::common::phraser::SentenceSpan;
using nlp::common::sectioner::SegmentSpan;
using nlp::common::sectioner::Sectioner;
using nlp::common::stitcher::Stitcher;

constexpr const char* kJsonlHelp =
    "Read JSON Lines: each line one document {\"text\": ...}; its other members are\n"
    "copied into each of its output records, after the record's own";

std::optional<std::vector<std::string>> chars_option(const std::string& chars,
                                                     const std::string& option) {
  if (chars.empty()) return std::nullopt;
  return split_code_points(chars, option);
}

// The "offset", "length" and "text" members of a sentence or clause.
void write_span(JsonWriter& json, std::string_view text, const SentenceSpan& span) {
  json.key("offset");
  json.integer(span.offset);
  json.key("length");
  json.integer(span.length);
  json.key("text");
  json.string(text.substr(span.byte_begin, span.byte_end - span.byte_begin));
}

// One sentence record, laid out as Sentence::to_json lays it out, with the
// document's members after its own.
void write_sentence(JsonWriter& json, const Phraser& phraser, std::string_view text,
                    const SentenceSpan& sentence, std::int64_t id, std::string_view members) {
  json.begin_object();
  json.key("id");
  json.integer(id);
  write_span(json, text, sentence);
  json.key("clauses");
  json.begin_array();
  std::int64_t clause_id = 0;
  phraser.for_each_clause(text, sentence, [&](const SentenceSpan& clause) {
    json.begin_object();
    json.key("id");
    json.integer(clause_id++);
    json.key("tense");
    json.string("done");
    write_span(json, text, clause);
    json.end_object();
  });
  json.end_array();
  json.members(members);
  json.end_object();
  json.end_line();
}

// One segment record {"text","offset","length"}, then the document's members.
void write_segment(JsonWriter& json, std::string_view text, const SegmentSpan& segment,
                   std::string_view members) {
  json.begin_object();
  json.key("text");
  json.string(text.substr(segment.byte_begin, segment.byte_end - segment.byte_begin));
  json.key("offset");
  json.integer(segment.offset);
  json.key("length");
  json.integer(segment.length);
  json.members(members);
  json.end_object();
  json.end_line();
}

// Records made by the library, then the document's members.
void write_records(JsonWriter& json, const std::vector<Record>& records, std::string_view members) {
  for (const Record& record : records) {
    json.begin_object();
    for (auto it = record.begin(); it != record.end(); ++it) {
      json.key(it.key());
      json.value(*it);
    }
    json.members(members);
    json.end_object();
    json.end_line();
  }
}

void add_split(CLI::App& app) {
  struct Options {
    std::int64_t max_len = Phraser::kDefaultMaxLen;
    std::string punct;
    bool jsonl = false;
    StreamFlags stream;
    std::string file;
  };
  auto options = std::make_shared<Options>();
  auto* cmd = app.add_subcommand(
      "split", "Split the whole input (one text) into sentences with their clauses;\n"
               "prints one sentence record per line.");
  cmd->add_option("--max-len", options->max_len,
                  "Length cap of a sentence, in code points; 0 means the default, 510")
      ->capture_default_str()
      ->check(at_least(0));
  cmd->add_option("--punct", options->punct,
                  "Sentence enders, one per character (default: the built-in list)");
  cmd->add_flag("--jsonl", options->jsonl, std::string(kJsonlHelp) + " (not id, offset,\nlength, clauses)");
  add_stream_flags(*cmd, options->stream);
  cmd->add_option("FILE", options->file, "Input file (default: standard input)");
  cmd->callback([options] {
    const Phraser phraser(chars_option(options->punct, "--punct"), options->max_len);
    if (options->jsonl) {
      InputFile input(options->file);
      run_lines(input, options->stream.options(), "split",
                [&](std::string_view line, std::int64_t number, JsonWriter& json) {
                  if (is_blank(line)) return;
                  Document doc = parse_document(line, input.name(), number, {"text"},
                                                {"id", "offset", "length", "clauses"});
                  std::int64_t id = 0;
                  phraser.for_each_sentence(doc.text, [&](const SentenceSpan& sentence) {
                    write_sentence(json, phraser, doc.text, sentence, id++, doc.members);
                  });
                });
      return;
    }
    const std::string text = read_input(options->file);
    Output& output = Output::standard();
    JsonWriter json(output.buffer(), &output);
    Progress progress("split", text.size(), options->stream.options().progress);
    std::int64_t id = 0;
    checked_by_library(text, source_name(options->file), [&] {
      phraser.for_each_sentence(text, [&](const SentenceSpan& sentence) {
        write_sentence(json, phraser, text, sentence, id++, {});
        progress.update(sentence.byte_end);
      });
    });
    progress.finish(text.size());
  });
}

void add_section(CLI::App& app) {
  struct Options {
    std::string type;
    std::int64_t length = 0;
    std::string separator;
    bool jsonl = false;
    StreamFlags stream;
    std::string file;
  };
  auto options = std::make_shared<Options>();
  auto* cmd = app.add_subcommand(
      "section",
      "Cut a document into segments of at most --length code points along sentences.\n"
      "ner: the whole input is the document text. relation: the input is one JSON\n"
      "feature set {\"text\":...,\"nes\":[...]}. Prints one segment record per line.");
  cmd->add_option("--type", options->type, "ner or relation")
      ->required()
      ->check(one_of({"ner", "relation"}));
  cmd->add_option("--length", options->length, "Maximum segment length, in code points")
      ->required()
      ->check(at_least(1));
  cmd->add_option("--separator", options->separator,
                  "Sentence enders, one per character (default: the built-in list)");
  cmd->add_flag("--jsonl", options->jsonl,
                std::string(kJsonlHelp) +
                    " (not offset, length,\nfeature_set); with relation each line is a feature set"
                    " {\"text\",\"nes\",...}");
  add_stream_flags(*cmd, options->stream);
  cmd->add_option("FILE", options->file, "Input file (default: standard input)");
  cmd->callback([options] {
    const Sectioner sectioner(chars_option(options->separator, "--separator"));
    const std::int64_t length = options->length;
    const bool relation = options->type == "relation";
    if (options->jsonl) {
      InputFile input(options->file);
      run_lines(input, options->stream.options(), "section",
                [&](std::string_view line, std::int64_t number, JsonWriter& json) {
                  if (is_blank(line)) return;
                  if (relation) {
                    Document doc = parse_document(line, input.name(), number, {"text", "nes"},
                                                  {"offset", "length", "feature_set"});
                    // Handed over whole, so that its entities are moved, not copied.
                    Record feature_set = Record::object();
                    feature_set["feature_set"] = std::move(doc.record);
                    feature_set["length"] = length;
                    write_records(json, sectioner.split(std::move(feature_set), "relation"),
                                  doc.members);
                    return;
                  }
                  Document doc = parse_document(line, input.name(), number, {"text"},
                                                {"offset", "length"});
                  sectioner.for_each_segment(doc.text, length, [&](const SegmentSpan& segment) {
                    write_segment(json, doc.text, segment, doc.members);
                  });
                });
      return;
    }
    const std::string content = read_input(options->file);
    Output& output = Output::standard();
    JsonWriter json(output.buffer(), &output);
    if (relation) {
      const std::string source = source_name(options->file);
      require_utf8(content, source);
      Record input = Record::object();
      input["feature_set"] = parse_json(content, source);
      input["length"] = length;
      std::vector<Record> segments;
      naming_source(source, [&] { segments = sectioner.split(std::move(input), options->type); });
      write_records(json, segments, {});
      return;
    }
    Progress progress("section", content.size(), options->stream.options().progress);
    checked_by_library(content, source_name(options->file), [&] {
      sectioner.for_each_segment(content, length, [&](const SegmentSpan& segment) {
        write_segment(json, content, segment, {});
        progress.update(segment.byte_end);
      });
    });
    progress.finish(content.size());
  });
}

void add_stitch(CLI::App& app) {
  struct Options {
    std::string type;
    StreamFlags stream;
    std::string file;
  };
  auto options = std::make_shared<Options>();
  auto* cmd = app.add_subcommand(
      "stitch",
      "Shift per-segment results back into document positions. The input is JSON\n"
      "Lines, one segment record per line with \"offset\" and \"nes\" (ner) or\n"
      "\"relations\" (relation); blank lines are skipped. Prints one merged record\n"
      "per line, as each segment is read.");
  cmd->add_option("--type", options->type, "ner or relation")
      ->required()
      ->check(one_of({"ner", "relation"}));
  add_stream_flags(*cmd, options->stream);
  cmd->add_option("FILE", options->file, "Input file (default: standard input)");
  cmd->callback([options] {
    // Stitching is a concatenation, so merging segment by segment gives the
    // same list and lets a failure name its line.
    const Stitcher stitcher;
    InputFile input(options->file);
    run_lines(input, options->stream.options(), "stitch",
              [&](std::string_view line, std::int64_t number, JsonWriter& json) {
                if (is_blank(line)) return;
                std::vector<Record> one;
                one.push_back(parse_json(line, input.name(), number));
                for (const Record& record : stitcher.merge(std::move(one), options->type)) {
                  json.value(record);
                  json.end_line();
                }
              });
  });
}

}  // namespace

void add_segmentation_commands(CLI::App& app) {
  add_split(app);
  add_section(app);
  add_stitch(app);
}

}  // namespace kelvra::cli
