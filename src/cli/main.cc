// kelvra-nlp: the toolkit's modules from the command line.
//
// The subcommands that need large libraries (embed: vector arithmetic;
// annotate: HTTP and TLS) live in helper programs, so that every other
// subcommand starts without loading them; this program hands their command
// lines over unchanged.
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include <CLI/CLI.hpp>

#include "cli/cli.h"

namespace {

struct Helper {
  std::string_view command;
  const char* program;
  const char* description;
};

constexpr Helper kHelpers[] = {
    {"annotate", "kelvra-nlp-annotate",
     "Ask the NLP service for the feature sets of a text (see annotate --help)."},
    {"embed", "kelvra-nlp-embed",
     "Word vectors and similar words from a word2vec file (see embed --help)."},
};

// The directory of this program, with a slash at the end.
std::string own_directory() {
  char path[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "";
  std::string self(path, static_cast<std::size_t>(n));
  return self.substr(0, self.rfind('/') + 1);
}

// Runs the helper program in place of this one: beside this program in a
// build tree, in ../libexec/kelvra-nlp/ once installed.
[[noreturn]] void hand_over(const Helper& helper, char** argv) {
  const std::string dir = own_directory();
  for (const std::string& candidate :
       {dir + helper.program, dir + "../libexec/kelvra-nlp/" + helper.program}) {
    argv[0] = const_cast<char*>(candidate.c_str());
    ::execv(candidate.c_str(), argv);
    if (errno != ENOENT) {
      std::fprintf(stderr, "kelvra-nlp: cannot run %s: %s\n", candidate.c_str(),
                   std::strerror(errno));
      std::exit(1);
    }
  }
  std::fprintf(stderr, "kelvra-nlp: %s: the helper program %s is not installed beside %s\n",
               std::string(helper.command).c_str(), helper.program, dir.c_str());
  std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) {
    for (const Helper& helper : kHelpers)
      if (argv[1] == helper.command) hand_over(helper, argv);
  }

  CLI::App app{
      "Chinese and English text utilities: sentence splitting, sectioning long documents\n"
      "into bounded segments, stitching per-segment results back together, normalisation,\n"
      "Cantonese to Mandarin, feature sets of a text from the remote NLP service,\n"
      "word vectors and similar words from a word2vec file, finding dictionary words\n"
      "in a text and cutting annotated documents into passages.\n"
      "Each subcommand reads FILE (or standard input) and writes JSON Lines."};
  app.name("kelvra-nlp");
  app.require_subcommand(1);
  kelvra::cli::add_segmentation_commands(app);
  kelvra::cli::add_normalization_commands(app);
  kelvra::cli::add_retrieval_commands(app);
  // After the subcommands, which would otherwise repeat it.
  app.footer(
      "\nRecords down a pipe (--jsonl): normalize, cantonese and match --attach write each\n"
      "record back whole, their own members last (replacing members of the same names);\n"
      "split, section and match write several records for one, each with its own members\n"
      "first and then the input's others: an input \"offset\" is added to their positions\n"
      "(so that a segment's records keep document positions), the input's \"text\" and\n"
      "\"length\" are left out (each record has its own), and any other member named like\n"
      "one of theirs makes the line bad. The segmentation road, one document a line:\n"
      "  kelvra-nlp normalize --jsonl docs.jsonl |\n"
      "  kelvra-nlp section --jsonl --field normalized_text --drop alter_words --type ner --length "
      "510 |\n"
      "  kelvra-nlp match --jsonl --attach nes --dict names.txt |\n"
      "  kelvra-nlp stitch --type ner --carry id");
  for (const Helper& helper : kHelpers) {
    // Listed in the help; the helper parses the rest.
    auto* command = app.add_subcommand(std::string(helper.command), helper.description);
    command->prefix_command();
    command->set_help_flag();
  }

  if (argc > 1) {
    const std::string_view first = argv[1];
    // A word that names no subcommand is a usage error of its own, not a
    // missing subcommand.
    std::string known;
    bool named = false;
    for (const auto* command : app.get_subcommands({})) {
      known += (known.empty() ? "" : ", ") + command->get_name();
      named = named || command->get_name() == first;
    }
    if (!first.empty() && first[0] != '-' && !named) {
      std::fprintf(stderr,
                   "kelvra-nlp: unknown subcommand '%s' (one of: %s)\n"
                   "Run with --help for more information.\n",
                   argv[1], known.c_str());
      return 2;
    }
  }
  return kelvra::cli::run_app(app, argc, argv);
}
