#include "kelvra/nlp/common/feature/annotator.h"

#include <cmath>
#include <utility>

#include "kelvra/common/exceptions.h"
#include "kelvra/common/text_form.h"
#include "kelvra/common/utf8.h"
#include "kelvra/common/utils.h"

namespace kelvra::nlp::common::feature::annotator {

using kelvra::common::ConfigUtil;
using kelvra::common::KeyError;
using kelvra::common::TypeError;
using kvc::sdk::NlpClient;

namespace {

const std::shared_ptr<spdlog::logger>& module_logger() {
  static const auto logger =
      kelvra::common::LogUtil::get_logger("kelvra.nlp.common.feature.annotator");
  return logger;
}

// The service address: "nlp_client"."url", then "kvcloud_url", then
// "kvc_sdk_url", whichever key comes first in that order.
std::string service_url(const Record& config) {
  const Record* url = nullptr;
  if (auto it = config.find("nlp_client"); it != config.end()) {
    url = &kelvra::common::at(*it, "url", "nlp_client");
  } else if (auto it2 = config.find("kvcloud_url"); it2 != config.end()) {
    url = &*it2;
  } else if (auto it3 = config.find("kvc_sdk_url"); it3 != config.end()) {
    url = &*it3;
  } else {
    throw KeyError("url", "must specify a url");
  }
  return kelvra::common::require_string(*url, "url");
}

// "timeout" in seconds: 60 when missing, absent (the client's default) when
// null.
std::optional<double> service_timeout(const Record& config) {
  auto it = config.find("timeout");
  if (it == config.end()) return Annotator::kDefaultTimeout;
  if (it->is_null()) return std::nullopt;
  if (!it->is_number())
    throw TypeError("timeout", "parameter `timeout` must be a number of seconds or null, got " +
                                   std::string(kelvra::common::kind_name(*it)));
  return it->get<double>();
}

// "max_answer_bytes": the client's cap on an answer's size; its default
// when missing or null.
std::optional<std::int64_t> service_answer_cap(const Record& config) {
  auto it = config.find("max_answer_bytes");
  if (it == config.end() || it->is_null()) return std::nullopt;
  if (!it->is_number())
    throw TypeError("max_answer_bytes",
                    "parameter `max_answer_bytes` must be a number of bytes or null, got " +
                        std::string(kelvra::common::kind_name(*it)));
  return kelvra::common::require_integer(*it, "max_answer_bytes");
}

}  // namespace

Annotator::Annotator(std::shared_ptr<NlpClient> nlp_client) {
  module_logger();
  if (!nlp_client) throw TypeError("param", "parameter `param` must not be a null client");
  settle(std::move(nlp_client), Record::object());
}

Annotator::Annotator(const std::string& config_path) : Annotator(Record(config_path)) {}

Annotator::Annotator(const Record& param) {
  module_logger();
  Record loaded;
  const Record* config = &param;
  if (param.is_string()) {
    loaded = ConfigUtil::load(kelvra::common::require_string(param, "param"));
    config = &loaded;
  } else if (!param.is_object()) {
    throw TypeError("param",
                    "parameter `param` must be a client, a configuration path or a "
                    "configuration map, got " +
                        std::string(kelvra::common::kind_name(param)));
  }
  std::string url = service_url(*config);
  auto client = std::make_shared<NlpClient>(std::move(url), service_timeout(*config),
                                            service_answer_cap(*config));
  settle(std::move(client), *config);
}

void Annotator::settle(std::shared_ptr<NlpClient> nlp_client, const Record& config) {
  nlp_client_ = std::move(nlp_client);
  Record code = config.value("lang", Record(kDefaultLang));
  std::optional<lang::ExtractorFactory> factory;
  if (code.is_string()) factory = lang::get(code.get_ref<const std::string&>());
  if (!factory) {
    std::string shown =
        code.is_string() ? code.get<std::string>() : kelvra::common::to_text_form(code);
    throw KeyError("lang", "the lang `" + shown + "` is not register!");
  }
  lang_ = code.get<std::string>();
  extractor_ = (*factory)(nlp_client_, config.value("tag", Record::object()));
  if (!extractor_)
    throw kelvra::common::KvException(kelvra::common::ErrorCodes::INTERNAL_ERROR,
                                      "the factory of the lang `" + lang_ + "` made no extractor");
}

lang::Extraction Annotator::extract(std::string_view text, const std::vector<Types>& types,
                                    std::string_view tag) const {
  kelvra::common::utf8::require_valid(text, "text");
  kelvra::common::utf8::require_valid(tag, "tag");
  return extractor_->extract(text, types);
}

lang::Extraction Annotator::extract_record(std::string_view text, const Record& types,
                                           const Record& tag) const {
  kelvra::common::utf8::require_valid(text, "text");
  kelvra::common::require_list(types, "types");
  if (!tag.is_null()) kelvra::common::require_string(tag, "tag");
  return extractor_->extract(text, types::from_record(types, "types"));
}

}  // namespace kelvra::nlp::common::feature::annotator
