// The helper programs that kelvra-nlp hands the subcommands over to which
// need large libraries: kelvra-nlp-embed (KELVRA_CLI_EMBED) and
// kelvra-nlp-annotate (KELVRA_CLI_ANNOTATE). Each parses the same command
// line as kelvra-nlp would, under the same name.
#include <CLI/CLI.hpp>

#include "cli/cli.h"

int main(int argc, char** argv) {
  CLI::App app{"Chinese and English text utilities (see kelvra-nlp --help)."};
  app.name("kelvra-nlp");
  app.require_subcommand(1);
#if defined(KELVRA_CLI_EMBED)
  kelvra::cli::add_embedding_commands(app);
#elif defined(KELVRA_CLI_ANNOTATE)
  kelvra::cli::add_annotation_commands(app);
#else
#error "helper_main.cc needs KELVRA_CLI_EMBED or KELVRA_CLI_ANNOTATE"
#endif
  return kelvra::cli::run_app(app, argc, argv);
}
