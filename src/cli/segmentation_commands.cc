// split, section and stitch: the segmentation road from the command line.
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
using nlp::common::sectioner::Sectioner;
using nlp::common::stitcher::Stitcher;

std::optional<std::vector<std::string>> chars_option(const std::string& chars,
                                                     const std::string& option) {
  if (chars.empty()) return std::nullopt;
  return split_code_points(chars, option);
}

void add_split(CLI::App& app) {
  struct Options {
    std::int64_t max_len = Phraser::kDefaultMaxLen;
    std::string punct;
    std::string file;
  };
  auto options = std::make_shared<Options>();
  auto* cmd = app.add_subcommand(
      "split", "Split the whole input (one text) into sentences with their clauses;\n"
               "prints one sentence record per line.");
  cmd->add_option("--max-len", options->max_len, "Length cap of a sentence, in code points")
      ->capture_default_str();
  cmd->add_option("--punct", options->punct,
                  "Sentence enders, one per character (default: the built-in list)");
  cmd->add_option("FILE", options->file, "Input file (default: standard input)");
  cmd->callback([options] {
    std::string text = read_text_input(options->file);
    Phraser phraser(chars_option(options->punct, "--punct"), options->max_len);
    for (const auto& sentence : phraser.split(text)) print_json_line(sentence.to_json());
  });
}

void add_section(CLI::App& app) {
  struct Options {
    std::string type;
    std::int64_t length = 0;
    std::string separator;
    std::string file;
  };
  auto options = std::make_shared<Options>();
  auto* cmd = app.add_subcommand(
      "section",
      "Cut a document into segments of at most --length code points along sentences.\n"
      "ner: the whole input is the document text. relation: the input is one JSON\n"
      "feature set {\"text\":...,\"nes\":[...]}. Prints one segment record per line.");
  cmd->add_option("--type", options->type, "ner or relation")->required();
  cmd->add_option("--length", options->length, "Maximum segment length")->required();
  cmd->add_option("--separator", options->separator,
                  "Sentence enders, one per character (default: the built-in list)");
  cmd->add_option("FILE", options->file, "Input file (default: standard input)");
  cmd->callback([options] {
    std::string content = read_text_input(options->file);
    const std::string source = source_name(options->file);
    Sectioner sectioner(chars_option(options->separator, "--separator"));
    Record input = Record::object();
    if (options->type == "relation") {
      input["feature_set"] = parse_json(content, source);
    } else {
      input["text"] = std::move(content);
    }
    input["length"] = options->length;
    for (const auto& segment : sectioner.split(std::move(input), options->type))
      print_json_line(segment);
  });
}

void add_stitch(CLI::App& app) {
  struct Options {
    std::string type;
    std::string file;
  };
  auto options = std::make_shared<Options>();
  auto* cmd = app.add_subcommand(
      "stitch",
      "Shift per-segment results back into document positions. The input is JSON\n"
      "Lines, one segment record per line with \"offset\" and \"nes\" (ner) or\n"
      "\"relations\" (relation). Prints one merged record per line.");
  cmd->add_option("--type", options->type, "ner or relation")->required();
  cmd->add_option("FILE", options->file, "Input file (default: standard input)");
  cmd->callback([options] {
    std::string content = read_text_input(options->file);
    const std::string source = source_name(options->file);
    std::vector<std::pair<Record, std::int64_t>> segments;  // with their line numbers
    for_each_line(content, [&](std::string_view line, std::int64_t number) {
      if (line.find_first_not_of(" \t") == std::string_view::npos) return;
      segments.emplace_back(parse_json(line, source, number), number);
    });
    // Stitching is a concatenation, so merging segment by segment gives the
    // same list and lets a failure name its line. Nothing is printed unless
    // every segment stitches.
    Stitcher stitcher;
    std::vector<Record> merged;
    for (auto& [segment, number] : segments) {
      // Moved all the way through: an initializer list would copy it.
      std::vector<Record> one;
      one.push_back(std::move(segment));
      try {
        for (auto& record : stitcher.merge(std::move(one), options->type))
          merged.push_back(std::move(record));
      } catch (const kelvra::common::KvException&) {
        throw;  // a wrong --type is not a fault of the line
      } catch (const std::exception& e) {
        throw InputError(source + ":" + std::to_string(number) + ": " + e.what());
      }
    }
    for (const auto& record : merged) print_json_line(record);
  });
}

}  // namespace

void add_segmentation_commands(CLI::App& app) {
  add_split(app);
  add_section(app);
  add_stitch(app);
}

}  // namespace kelvra::cli
