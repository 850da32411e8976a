#include "kvc/sdk/nlp_client.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <memory>
#include <sstream>
#include <utility>

#include "kelvra/common/exceptions.h"
#include "kelvra/common/json_text.h"
#include "kelvra/common/utf8.h"
#include "kvc/sdk/internal/http_exchange.h"

namespace kvc::sdk {

using kelvra::Record;
using kelvra::common::ErrorCodes;
using kelvra::common::KvException;
namespace utf8 = kelvra::common::utf8;

namespace {

// The longest piece of an error answer's body quoted in a message.
constexpr std::size_t kBodyExcerpt = 200;

[[noreturn]] void bad_url(const std::string& url, const std::string& why) {
  throw KvException(ErrorCodes::INVALID_PARAMETERS,
                    "url `" + url + "` is not an http:// or https:// address: " + why);
}

std::string seconds_text(double seconds) {
  std::ostringstream os;
  os << seconds;
  return os.str();
}

// The start of an answer's body on one line, for a message.
std::string body_excerpt(std::string_view body) {
  if (body.empty()) return "(empty body)";
  return kelvra::common::text_excerpt(body, kBodyExcerpt);
}

}  // namespace

NlpClient::NlpClient(std::string url, std::optional<double> timeout,
                     std::optional<std::int64_t> max_answer_bytes)
    : url_(std::move(url)),
      timeout_(timeout),
      max_answer_bytes_(max_answer_bytes.value_or(kDefaultMaxAnswerBytes)) {
  utf8::require_valid(url_, "url");
  if (timeout_ && !(std::isfinite(*timeout_) && *timeout_ > 0))
    throw KvException(
        ErrorCodes::INVALID_PARAMETERS,
        "timeout must be a positive number of seconds, got " + seconds_text(*timeout_));
  if (max_answer_bytes_ <= 0)
    throw KvException(ErrorCodes::INVALID_PARAMETERS,
                      "max_answer_bytes must be a positive number of bytes, got " +
                          std::to_string(max_answer_bytes_));

  std::string_view rest = url_;
  if (rest.starts_with("http://")) {
    rest.remove_prefix(7);
  } else if (rest.starts_with("https://")) {
    https_ = true;
    rest.remove_prefix(8);
  } else {
    bad_url(url_, "it must begin with http:// or https://");
  }
  for (char c : rest) {
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f)
      bad_url(url_, "it holds a blank or a control character");
    if (c == '?' || c == '#') bad_url(url_, "it holds a query or a fragment");
  }
  std::size_t slash = rest.find('/');
  std::string_view authority = rest.substr(0, slash);
  std::string_view base_path = slash == std::string_view::npos ? "" : rest.substr(slash);
  while (base_path.ends_with('/')) base_path.remove_suffix(1);
  if (authority.find('@') != std::string_view::npos) bad_url(url_, "user names are not supported");

  std::string_view port_text;
  if (authority.starts_with('[')) {  // [IPv6 literal]
    std::size_t close = authority.find(']');
    if (close == std::string_view::npos) bad_url(url_, "an IPv6 address lacks its `]`");
    host_ = authority.substr(1, close - 1);
    std::string_view after = authority.substr(close + 1);
    if (!after.empty()) {
      if (!after.starts_with(':')) bad_url(url_, "unexpected text after the IPv6 address");
      port_text = after.substr(1);
      if (port_text.empty()) bad_url(url_, "the port is empty");
    }
  } else {
    std::size_t colon = authority.find(':');
    host_ = authority.substr(0, colon);
    if (colon != std::string_view::npos) {
      port_text = authority.substr(colon + 1);
      if (port_text.empty()) bad_url(url_, "the port is empty");
    }
  }
  if (host_.empty()) bad_url(url_, "the host is empty");
  port_ = https_ ? 443 : 80;
  if (!port_text.empty()) {
    std::int64_t port = 0;
    for (char c : port_text) {
      if (c < '0' || c > '9' || port > 65535) bad_url(url_, "the port is not a number up to 65535");
      port = port * 10 + (c - '0');
    }
    if (port < 1 || port > 65535) bad_url(url_, "the port is not a number from 1 to 65535");
    port_ = static_cast<int>(port);
  }
  path_ = std::string(base_path) + "/features";
  endpoint_ = std::string(https_ ? "https://" : "http://") + std::string(authority) + path_;
}

NlpClient::~NlpClient() = default;

Record NlpClient::features(std::string_view text, const std::vector<std::string>& types,
                           std::string_view lang, const Record& tag) const {
  utf8::require_valid(text, "text");
  for (const auto& type : types) utf8::require_valid(type, "types");
  utf8::require_valid(lang, "lang");
  Record request{{"text", text}, {"types", types}, {"lang", lang}, {"tag", tag}};
  std::string body;
  try {
    body = request.dump();
  } catch (const Record::type_error& e) {
    // Only the caller's tag settings can hold text that is not UTF-8.
    throw kelvra::common::TypeError("tag", std::string("tag settings cannot be sent: ") + e.what());
  }

  const std::string where = "NLP service at " + endpoint_ + ": ";
  // Longer waits would overflow the clock and the socket calls' counts.
  const double limit = std::min(effective_timeout(), kLongestTimeout);
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(limit));
  const internal::HttpTarget target{https_, host_, port_, path_};
  internal::HttpAnswer answer;
  try {
    answer = internal::post_json(
        target, body, deadline,
        "no answer within the time-out of " + seconds_text(effective_timeout()) + " s",
        static_cast<std::size_t>(max_answer_bytes_));
  } catch (const internal::ExchangeError& e) {
    throw KvException(ErrorCodes::REMOTE_ERROR, where + e.what());
  }
  if (answer.status < 200 || answer.status > 299)
    throw KvException(ErrorCodes::REMOTE_ERROR, where + "answered with status " +
                                                    std::to_string(answer.status) + ": " +
                                                    body_excerpt(answer.body));
  return parse_answer(answer.body);
}

Record NlpClient::parse_answer(std::string_view body) const {
  const std::string where = "NLP service at " + endpoint_ + ": ";
  const auto cap = static_cast<std::uint64_t>(max_answer_bytes_);
  const std::uint64_t record_cap =
      cap > UINT64_MAX / kRecordBytesPerAnswerByte ? UINT64_MAX : cap * kRecordBytesPerAnswerByte;
  Record answer;
  try {
    answer = kelvra::common::read_json_text(
        body, kelvra::common::JsonLimits{.max_record_bytes = record_cap});
  } catch (const kelvra::common::JsonTextError& e) {
    std::string message = where + "the answer is " + e.what();
    if (e.byte() == std::string_view::npos)
      message += " (" + std::to_string(kRecordBytesPerAnswerByte) + " times max_answer_bytes)";
    else if (std::string_view(e.what()).starts_with("not valid JSON"))
      message += "; it begins: " + body_excerpt(body);
    else
      message += " (at byte " + std::to_string(e.byte()) + ")";
    throw KvException(ErrorCodes::REMOTE_ERROR, message);
  }
  bool shaped = answer.is_object();
  if (answer.is_array()) {
    shaped = true;
    for (const auto& item : answer) shaped = shaped && item.is_object();
  }
  if (!shaped)
    throw KvException(ErrorCodes::REMOTE_ERROR,
                      where + "the answer is neither a feature set nor a list of feature sets: " +
                          body_excerpt(body));
  return answer;
}

}  // namespace kvc::sdk
