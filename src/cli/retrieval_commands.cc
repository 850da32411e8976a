// match and glean: dictionary lookup and line passages from the command line.
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "cli/cli.h"
#include "kelvra/nlp/common/gleaner.h"
#include "kelvra/nlp/common/matcher.h"

namespace kelvra::cli {

namespace {

using nlp::common::gleaner::Gleaner;
using nlp::common::matcher::Automaton;

// The words of a dictionary file: one a line, cut at the first blank or tab
// (so "word 12 n" lists work as they are); empty lines skipped.
std::vector<std::string_view> dictionary_words(std::string_view content) {
  std::vector<std::string_view> words;
  for_each_line(content, [&](std::string_view line, std::int64_t) {
    std::string_view word = line.substr(0, line.find_first_of(" \t"));
    if (!word.empty()) words.push_back(word);
  });
  return words;
}

void add_match(CLI::App& app) {
  struct Options {
    std::string dict;
    std::string file;
  };
  auto options = std::make_shared<Options>();
  auto* cmd = app.add_subcommand(
      "match",
      "Find every occurrence of the dictionary's words in the whole input (one text).\n"
      "Prints one {\"text\",\"length\",\"offset\"} record per line, by end position and,\n"
      "at one end, longest first. Positions count code points.");
  cmd->add_option("--dict", options->dict,
                  "Dictionary file: one word a line; anything after a blank or tab is ignored")
      ->required();
  cmd->add_option("FILE", options->file, "Input file (default: standard input)");
  cmd->callback([options] {
    if (options->dict == "-" && (options->file.empty() || options->file == "-"))
      throw InputError("--dict and the input cannot both be standard input");
    std::string dictionary = read_text_input(options->dict);
    std::string text = read_text_input(options->file);
    Automaton automaton(dictionary_words(dictionary));
    for (const auto& word : automaton.search(text)) print_json_line(word.to_json());
  });
}

void add_glean(CLI::App& app) {
  auto file = std::make_shared<std::string>();
  auto* cmd = app.add_subcommand(
      "glean",
      "Cut an annotated document (one JSON record with \"text\", \"zh_content\" or\n"
      "\"content_zh\", and \"entities\") into line passages. Prints one\n"
      "{\"text\",\"offset\",\"entities\"} record per line; nothing when there is none.");
  cmd->add_option("FILE", *file, "Input file (default: standard input)");
  cmd->callback([file] {
    std::string content = read_text_input(*file);
    const std::string source = source_name(*file);
    Record doc = parse_json(content, source);
    auto passages = Gleaner().extract(std::move(doc));
    if (!passages) return;
    for (const auto& passage : *passages) print_json_line(passage);
  });
}

}  // namespace

void add_retrieval_commands(CLI::App& app) {
  add_match(app);
  add_glean(app);
}

}  // namespace kelvra::cli
