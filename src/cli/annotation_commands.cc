// annotate: feature sets of a text from the remote NLP service.
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "cli/cli.h"
#include "kelvra/common/utils.h"
#include "kelvra/nlp/common/feature/annotator.h"
#include "kelvra/nlp/common/feature/types.h"

namespace kelvra::cli {

namespace {

using nlp::common::feature::FeatureSet;
using nlp::common::feature::annotator::Annotator;
namespace types = nlp::common::feature::types;

void add_annotate(CLI::App& app) {
  struct Options {
    std::string config;
    std::string url;
    std::string types;
    double timeout = 0;
    std::string file;
  };
  auto options = std::make_shared<Options>();
  auto* cmd = app.add_subcommand(
      "annotate",
      "Ask the NLP service for the feature sets of the whole input (one text).\n"
      "Prints one feature set {\"words\":[...],\"nes\":[...]} per line; a service that\n"
      "answers a list gives one line per set. A service that cannot be reached or\n"
      "does not answer within the time-out ends it with status 1.");
  auto* service = cmd->add_option_group("service", "Where the NLP service is (one of)");
  service->add_option("--config", options->config,
                      "JSON configuration file with \"nlp_client\": {\"url\": ...} (or\n"
                      "\"kvcloud_url\", \"kvc_sdk_url\"), \"timeout\", \"lang\", \"tag\"");
  service->add_option("--url", options->url,
                      "Base address of the service, http://HOST:PORT[/PATH]");
  service->require_option(1);
  std::string known;
  for (auto type : types::kAllTypes)
    known += (known.empty() ? "" : ",") + std::string(types::name(type));
  cmd->add_option("--types", options->types, "Feature types, comma-separated: " + known)
      ->required();
  auto* timeout =
      cmd->add_option("--timeout", options->timeout,
                      "Seconds to wait for the service (default: the configuration's, else 60);\n"
                      "a very long time-out (past 1000000 s) means no time-out in practice")
          ->check(positive_seconds());
  cmd->add_option("FILE", options->file, "Input file (default: standard input)");
  cmd->callback([options, timeout] {
    auto feature_types = types::from_names(options->types);
    if (!options->config.empty())
      InputFile named(options->config, "--config");  // a bad path, named
    Record config = options->config.empty() ? Record{{"nlp_client", {{"url", options->url}}}}
                                            : kelvra::common::ConfigUtil::load(options->config);
    if (timeout->count() > 0) config["timeout"] = options->timeout;
    Annotator annotator(config);

    std::string text = read_text_input(options->file);
    auto result = annotator.extract(text, feature_types);
    Output& output = Output::standard();
    JsonWriter json(output.buffer(), &output);
    // Record by record, as FeatureSet::to_json lays a set out, so that a
    // large set is never held twice.
    auto print_list = [&](std::string_view key, const auto& items) {
      json.key(key);
      if (!items) return json.null();
      json.begin_array();
      for (const auto& item : *items) json.value(item.to_json());
      json.end_array();
    };
    auto print = [&](const FeatureSet& set) {
      json.begin_object();
      print_list("words", set.words);
      print_list("nes", set.nes);
      json.end_object();
      json.end_line();
    };
    if (const auto* one = std::get_if<FeatureSet>(&result)) {
      print(*one);
    } else {
      for (const auto& set : std::get<std::vector<FeatureSet>>(result)) print(set);
    }
  });
}

}  // namespace

void add_annotation_commands(CLI::App& app) { add_annotate(app); }

}  // namespace kelvra::cli
