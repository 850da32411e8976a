// normalize and cantonese: text normalisation and Cantonese to Mandarin
// from the command line, one input line at a time.
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "kelvra/nlp/common/lang/cantonese.h"
#include "kelvra/nlp/common/normalizer.h"

namespace kelvra::cli {

namespace {

using nlp::common::lang::cantonese::Cantonese;
using nlp::common::lang::cantonese::Rewrite;
using nlp::common::normalizer::Normalizer;

void add_normalize(CLI::App& app) {
  struct Options {
    bool no_q2b = false;
    bool no_replace = false;
    bool no_to_zhs = false;
    std::string valid;
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
  cmd->add_option("FILE", options->file, "Input file (default: standard input)");
  cmd->callback([options] {
    std::string text = read_text_input(options->file);
    Normalizer normalizer(split_code_points(options->valid, "--valid"));
    for_each_line(text, [&](std::string_view line, std::int64_t) {
      print_json_line(normalizer
                          .normalize(line, !options->no_q2b, !options->no_replace,
                                     !options->no_to_zhs)
                          .to_json());
    });
  });
}

void add_cantonese(CLI::App& app) {
  struct Options {
    std::string dict;
    bool explain = false;
    std::string file;
  };
  auto options = std::make_shared<Options>();
  auto* cmd = app.add_subcommand(
      "cantonese",
      "Rewrite Cantonese wording with Mandarin wording, word by word, in simplified\n"
      "characters, leaving Mandarin as it is; prints each input line translated.");
  cmd->add_option("--dict", options->dict,
                  "Cantonese-Mandarin dictionary, tab-separated (default: the shipped c2m.tsv)");
  cmd->add_flag("--explain", options->explain,
                "Print one record per line instead: {\"text\",\"translation\",\"rewrites\":\n"
                "[{\"text\",\"offset\",\"length\",\"translation\",\"line\",\"entry\"}]}, one\n"
                "rewrite per changed word, offsets in code points of the line; \"line\" and\n"
                "\"entry\" are the dictionary line that changed it (the file the log names)");
  cmd->add_option("FILE", options->file, "Input file (default: standard input)");
  cmd->callback([options] {
    std::string text = read_text_input(options->file);
    Cantonese cantonese(options->dict.empty() ? std::nullopt
                                              : std::optional<std::string>(options->dict));
    std::string out;
    std::vector<Rewrite> rewrites;
    for_each_line(text, [&](std::string_view line, std::int64_t) {
      if (!options->explain) {
        out = cantonese.translate(line);
        out.push_back('\n');
        std::fwrite(out.data(), 1, out.size(), stdout);
        return;
      }
      rewrites.clear();
      Record record{{"text", line}, {"translation", cantonese.translate(line, rewrites)},
                    {"rewrites", Record::array()}};
      for (auto& rewrite : rewrites)
        record["rewrites"].push_back(Record{{"text", std::move(rewrite.text)},
                                            {"offset", rewrite.offset},
                                            {"length", rewrite.length},
                                            {"translation", std::move(rewrite.mandarin)},
                                            {"line", rewrite.line},
                                            {"entry", rewrite.entry_cantonese + "\t" + rewrite.entry_mandarin}});
      print_json_line(record);
    });
  });
}

}  // namespace

void add_normalization_commands(CLI::App& app) {
  add_normalize(app);
  add_cantonese(app);
}

}  // namespace kelvra::cli
