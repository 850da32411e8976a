// kelvra-nlp: the toolkit's modules from the command line.
#include <cstdio>
#include <exception>
#include <iostream>

#include <CLI/CLI.hpp>

#include "cli/cli.h"

int main(int argc, char** argv) {
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
  kelvra::cli::add_annotation_commands(app);
  kelvra::cli::add_embedding_commands(app);
  kelvra::cli::add_retrieval_commands(app);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int code = app.exit(e);
    return code == 0 ? 0 : 2;
  } catch (const std::exception& e) {
    std::fflush(stdout);
    std::cerr << "kelvra-nlp: " << e.what() << '\n';
    return 1;
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}
