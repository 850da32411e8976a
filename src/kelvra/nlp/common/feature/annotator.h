// Feature sets of a text from the remote NLP service: the annotator settles
// the service client, the language and its extractor once, then hands every
// extract() call to that extractor.
//
//   Annotator annotator(Record{{"nlp_client", {{"url", "http://nlp:8080"}}}});
//   auto result = annotator.extract("你好。", {Annotator::Types::WORD, Annotator::Types::NER});
//   const auto& set = std::get<feature::FeatureSet>(result);   // or a list of them
//
// Configuration (a record, or a JSON file read with ConfigUtil::load):
//   "nlp_client": {"url": ...}  the service address, first choice
//   "kvcloud_url": ...          second choice
//   "kvc_sdk_url": ...          third choice
//   "timeout": seconds          default 60; null means the client's default
//   "max_answer_bytes": bytes   the largest answer accepted; missing or null
//                               means the client's default, 64 MiB
//   "lang": code                default "zh_cn"
//   "tag": any value            default {}; the extractor's tag settings
// A default applies only when the key is missing; other keys are ignored.
//
// An annotator is complete once constructed and never changes; extract()
// keeps no state, so calls from several threads are safe when the
// extractor's are.
#pragma once

#include <concepts>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kelvra/common/record.h"
#include "kelvra/nlp/common/feature/lang/lang.h"
#include "kelvra/nlp/common/feature/types.h"
#include "kvc/sdk/nlp_client.h"

namespace kelvra::nlp::common::feature::annotator {

using E_Types = types::Types;

class Annotator {
 public:
  using Types = E_Types;
  // The time-out given to a client built from a configuration without
  // "timeout", in seconds.
  static constexpr double kDefaultTimeout = 60.0;
  static constexpr std::string_view kDefaultLang = "zh_cn";

  // With a ready client: the language is "zh_cn" and the tag settings are
  // empty. Throws TypeError naming `param` when `nlp_client` is null, and
  // whatever the language's factory throws.
  explicit Annotator(std::shared_ptr<kvc::sdk::NlpClient> nlp_client);

  // From the configuration file at `config_path`: FileError from
  // ConfigUtil::load, then as for a configuration record.
  explicit Annotator(const std::string& config_path);
  explicit Annotator(const char* config_path) : Annotator(std::string(config_path)) {}

  // From a configuration record, or from a string record taken as a file
  // path. Throws
  //  - TypeError naming `param` when it is neither a map nor a string;
  //  - KeyError "must specify a url" when none of the three address keys is
  //    present, KeyError naming "url" when "nlp_client" lacks it, TypeError
  //    naming `nlp_client`, `url` or `timeout` for values of the wrong kind;
  //  - what the NlpClient constructor throws for a bad address or time-out;
  //  - KeyError "the lang `CODE` is not register!" when no extractor is
  //    registered for the language (CODE is the code itself, or its record
  //    text form when it is not a string);
  //  - whatever the language's factory throws.
  explicit Annotator(const Record& param);

  // Owns its extractor, which holds the client; copies would share neither
  // cleanly.
  Annotator(const Annotator&) = delete;
  Annotator& operator=(const Annotator&) = delete;

  const std::shared_ptr<kvc::sdk::NlpClient>& nlp_client() const noexcept { return nlp_client_; }
  const std::string& lang() const noexcept { return lang_; }
  lang::Extractor& extractor() const noexcept { return *extractor_; }

  // The feature sets of `text` for `types`, exactly as the extractor
  // answers: one FeatureSet, or a list of them. `tag` is accepted for
  // callers that pass one and has no effect. Throws TypeError naming `text`
  // or `tag` when it is not valid UTF-8 (before the extractor is called),
  // and whatever the extractor throws (KvException REMOTE_ERROR naming the
  // service's URL when it cannot be reached, times out or answers badly).
  lang::Extraction extract(std::string_view text, const std::vector<Types>& types,
                           std::string_view tag = "") const;

  // The same with `types` a list record of type names and `tag` a string
  // record or null. Throws TypeError naming `text`, `types` or `tag`, in this
  // order, for values of the wrong kind, and KvException INVALID_PARAMETERS
  // for an unknown type name. (A template only so that a braced list of
  // Types always means the overload above.)
  template <std::same_as<Record> R>
  lang::Extraction extract(std::string_view text, const R& types, const Record& tag = "") const {
    return extract_record(text, types, tag);
  }

 private:
  lang::Extraction extract_record(std::string_view text, const Record& types,
                                  const Record& tag) const;
  // Settles the language and its extractor from a configuration.
  void settle(std::shared_ptr<kvc::sdk::NlpClient> nlp_client, const Record& config);

  std::shared_ptr<kvc::sdk::NlpClient> nlp_client_;
  std::string lang_;
  std::unique_ptr<lang::Extractor> extractor_;
};

}  // namespace kelvra::nlp::common::feature::annotator
