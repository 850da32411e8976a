#include "kelvra/nlp/common/feature/lang/lang.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <utility>

#include "kelvra/common/exceptions.h"

namespace kelvra::nlp::common::feature::lang {

using kelvra::common::ErrorCodes;
using kelvra::common::KvException;

namespace {

struct Registry {
  std::mutex mutex;
  std::map<std::string, ExtractorFactory, std::less<>> factories;
};

// Made on first use, with the languages the service serves.
Registry& registry() {
  static Registry instance;
  static const bool seeded = [] {
    instance.factories.emplace("zh_cn", [](std::shared_ptr<kvc::sdk::NlpClient> client,
                                           const Record& tag) -> std::unique_ptr<Extractor> {
      return std::make_unique<ServiceExtractor>(std::move(client), "zh_cn", tag);
    });
    return true;
  }();
  (void)seeded;
  return instance;
}

feature::FeatureSet read_feature_set(const Record& record, const kvc::sdk::NlpClient& client) {
  try {
    return feature::FeatureSet::from_json(record);
  } catch (const std::exception& e) {
    // The service answered records that do not read: its fault, not the caller's.
    throw KvException(ErrorCodes::REMOTE_ERROR, "NLP service at " + client.endpoint() +
                                                    ": the answer holds a feature set that does "
                                                    "not read: " + e.what());
  }
}

}  // namespace

std::optional<ExtractorFactory> get(std::string_view code,
                                    std::optional<ExtractorFactory> default_) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto it = r.factories.find(code);
  if (it == r.factories.end()) return default_;
  return it->second;
}

void register_factory(std::string code, ExtractorFactory factory) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.factories.insert_or_assign(std::move(code), std::move(factory));
}

std::vector<std::string> codes() {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  std::vector<std::string> out;
  for (const auto& [code, factory] : r.factories) out.push_back(code);
  return out;
}

ServiceExtractor::ServiceExtractor(std::shared_ptr<kvc::sdk::NlpClient> nlp_client,
                                   std::string lang, Record tag)
    : nlp_client_(std::move(nlp_client)), lang_(std::move(lang)), tag_(std::move(tag)) {
  if (!nlp_client_) throw kelvra::common::TypeError("nlp_client", "nlp_client must not be null");
}

Extraction ServiceExtractor::extract(std::string_view text, const std::vector<types::Types>& types) {
  Record answer = nlp_client_->features(text, types::names(types), lang_, tag_);
  if (answer.is_array()) {
    std::vector<feature::FeatureSet> sets;
    sets.reserve(answer.size());
    for (const auto& item : answer) sets.push_back(read_feature_set(item, *nlp_client_));
    return sets;
  }
  return read_feature_set(answer, *nlp_client_);
}

}  // namespace kelvra::nlp::common::feature::lang
