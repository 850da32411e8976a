// The language registry: for each language code, the factory that makes
// the extractor which obtains that language's feature sets from the NLP
// service.
//
//   auto factory = lang::get("zh_cn");                  // registered by default
//   auto extractor = (*factory)(client, Record::object());
//   lang::Extraction result = extractor->extract("你好", {types::Types::WORD});
//
// An extractor is made from a client and the caller's tag settings (any
// JSON value, passed to the service with every request). Its extract()
// answers one feature set, or a list of them when the service answers a
// list. The registry is shared by the whole process and safe to use from
// several threads.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "kelvra/common/record.h"
#include "kelvra/nlp/common/feature/feature.h"
#include "kelvra/nlp/common/feature/types.h"
#include "kvc/sdk/nlp_client.h"

namespace kelvra::nlp::common::feature::lang {

// What an extraction gives: one feature set, or a list of them.
using Extraction = std::variant<feature::FeatureSet, std::vector<feature::FeatureSet>>;

class Extractor {
 public:
  virtual ~Extractor() = default;
  // The feature sets of `text` for the feature types `types`.
  virtual Extraction extract(std::string_view text, const std::vector<types::Types>& types) = 0;
};

// Makes an extractor from a client and tag settings.
using ExtractorFactory = std::function<std::unique_ptr<Extractor>(
    std::shared_ptr<kvc::sdk::NlpClient> nlp_client, const Record& tag)>;

// The factory registered under `code`, or `default_` when there is none.
std::optional<ExtractorFactory> get(std::string_view code,
                                    std::optional<ExtractorFactory> default_ = std::nullopt);

// Registers `factory` under `code`, replacing any factory registered there.
void register_factory(std::string code, ExtractorFactory factory);

// The registered codes, sorted.
std::vector<std::string> codes();

// The extractor registered under "zh_cn": asks the service through the
// client, with the language "zh_cn" and the tag settings, and reads the
// answer as feature sets. Throws TypeError naming `text` when it is not
// valid UTF-8, the client's KvException REMOTE_ERROR, and KvException
// REMOTE_ERROR naming the endpoint when the answer's records do not read
// as feature sets or place a word or an entity outside the text (an offset
// or length below 0, or an end past the text's length in code points; the
// message names the record).
class ServiceExtractor : public Extractor {
 public:
  // Throws TypeError naming `nlp_client` when it is null.
  ServiceExtractor(std::shared_ptr<kvc::sdk::NlpClient> nlp_client, std::string lang, Record tag);
  Extraction extract(std::string_view text, const std::vector<types::Types>& types) override;

 private:
  std::shared_ptr<kvc::sdk::NlpClient> nlp_client_;
  std::string lang_;
  Record tag_;
};

}  // namespace kelvra::nlp::common::feature::lang
