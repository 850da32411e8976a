#include "kelvra/nlp/common/feature/lang/lang.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <utility>

#include "kelvra/common/exceptions.h"
#include "kelvra/common/json_text.h"
#include "kelvra/common/utf8.h"

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
    instance.factories.emplace("zh_cn",
                               [](std::shared_ptr<kvc::sdk::NlpClient> client,
                                  const Record& tag) -> std::unique_ptr<Extractor> {
                                 return std::make_unique<ServiceExtractor>(std::move(client),
                                                                           "zh_cn", tag);
                               });
    return true;
  }();
  (void)seeded;
  return instance;
}

// The longest piece of an offending record quoted in a message.
constexpr std::size_t kRecordExcerpt = 200;

// Reads the records of an answer into feature sets, consuming them as it
// goes (each word and entity record is freed or moved once read), so that
// the records and the feature sets are never both whole in memory. Checks
// every position against the text: the service's positions must lie in it.
class AnswerReader {
 public:
  AnswerReader(const kvc::sdk::NlpClient& client, std::int64_t text_length)
      : where_("NLP service at " + client.endpoint() + ": "), text_length_(text_length) {}

  // `set`: the feature set's place in a list answer, or npos for a single one.
  feature::FeatureSet read(Record&& record, std::size_t set) {
    const std::string name = set == std::string::npos
                                 ? "the answer's "
                                 : "the answer's feature set " + std::to_string(set) + ", ";
    feature::FeatureSet out;
    try {
      kelvra::common::require_map(record, "json");
      if (Record* words = list_at(record, "words")) {
        out.words.emplace();
        out.words->reserve(words->size());
        for (std::size_t i = 0; i < words->size(); ++i) {
          Record& item = (*words)[i];
          feature::Word word = feature::Word::from_json(item);
          if (!inside(word.offset, word.length)) outside(name + "word " + std::to_string(i), item);
          out.words->push_back(std::move(word));
          item = nullptr;
        }
      }
      if (Record* nes = list_at(record, "nes")) {
        out.nes.emplace();
        out.nes->reserve(nes->size());
        for (std::size_t i = 0; i < nes->size(); ++i) {
          Record& item = (*nes)[i];
          check_entity(item, name + "entity " + std::to_string(i));
          out.nes->emplace_back(std::move(item));
        }
      }
    } catch (const KvException& e) {
      if (e.code() == ErrorCodes::REMOTE_ERROR) throw;
      does_not_read(e);
    } catch (const std::exception& e) {
      does_not_read(e);
    }
    return out;
  }

 private:
  // The list under `key`: null when missing or null, as FeatureSet reads it.
  static Record* list_at(Record& record, std::string_view key) {
    auto it = record.find(key);
    if (it == record.end() || it->is_null()) return nullptr;
    return &kelvra::common::require_list(*it, key);
  }

  bool inside(std::int64_t offset, std::int64_t length) const {
    return offset >= 0 && length >= 0 && offset <= text_length_ && length <= text_length_ - offset;
  }

  // An entity's positions: `offset` and `length`, or those of each of its
  // `spans`; an entity with neither is taken as it is.
  void check_entity(const Record& entity, const std::string& name) const {
    auto position = [&](const Record& holder, std::string_view key) -> std::int64_t {
      auto it = holder.find(key);
      if (it == holder.end()) return 0;
      if (!it->is_number()) outside(name, entity, "its `" + std::string(key) + "` is not a number");
      try {
        return kelvra::common::require_integer(*it, key);
      } catch (const KvException&) {
        outside(name, entity);
      }
    };
    if (!entity.is_object()) return;
    if (entity.contains("offset")) {
      if (!inside(position(entity, "offset"), position(entity, "length"))) outside(name, entity);
    } else if (auto spans = entity.find("spans"); spans != entity.end() && spans->is_array()) {
      for (const Record& span : *spans)
        if (!span.is_object() || !inside(position(span, "offset"), position(span, "length")))
          outside(name, entity);
    }
  }

  [[noreturn]] void outside(const std::string& name, const Record& record,
                            const std::string& why = "") const {
    throw KvException(ErrorCodes::REMOTE_ERROR,
                      where_ + name +
                          (why.empty() ? " lies outside the text of " +
                                             std::to_string(text_length_) + " code points"
                                       : " is not placed in the text: " + why) +
                          ": " + kelvra::common::text_excerpt(record.dump(), kRecordExcerpt));
  }

  // The service answered records that do not read: its fault, not the caller's.
  [[noreturn]] void does_not_read(const std::exception& e) const {
    const auto* json = dynamic_cast<const Record::exception*>(&e);
    throw KvException(
        ErrorCodes::REMOTE_ERROR,
        where_ + "the answer holds a feature set that does not read: " +
            (json != nullptr ? kelvra::common::json_error_text(*json) : std::string(e.what())));
  }

  std::string where_;
  std::int64_t text_length_;
};

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

Extraction ServiceExtractor::extract(std::string_view text,
                                     const std::vector<types::Types>& types) {
  kelvra::common::utf8::require_valid(text, "text");
  Record answer = nlp_client_->features(text, types::names(types), lang_, tag_);
  AnswerReader reader(*nlp_client_, static_cast<std::int64_t>(kelvra::common::utf8::length(text)));
  if (answer.is_array()) {
    std::vector<feature::FeatureSet> sets;
    sets.reserve(answer.size());
    for (std::size_t i = 0; i < answer.size(); ++i)
      sets.push_back(reader.read(std::move(answer[i]), i));
    return sets;
  }
  return reader.read(std::move(answer), std::string::npos);
}

}  // namespace kelvra::nlp::common::feature::lang
