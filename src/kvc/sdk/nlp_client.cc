#include "kvc/sdk/nlp_client.h"

#include <curl/curl.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <sstream>
#include <string_view>
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

using UrlHandle = std::unique_ptr<CURLU, decltype(&curl_url_cleanup)>;

// A part of a parsed URL; nothing when the URL has none.
std::optional<std::string> url_part(const UrlHandle& url, CURLUPart part) {
  char* value = nullptr;
  if (curl_url_get(url.get(), part, &value, 0) != CURLUE_OK) return std::nullopt;
  std::string out(value);
  curl_free(value);
  return out;
}

// The URL that features() posts to, read from the base address `url` by
// libcurl's URL parser: its path with "/features" added.
std::string endpoint_of(const std::string& url) {
  const UrlHandle parsed(curl_url(), curl_url_cleanup);
  if (!parsed) throw std::bad_alloc();
  if (const CURLUcode code = curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0);
      code != CURLUE_OK)
    bad_url(url, curl_url_strerror(code));
  const std::string scheme = url_part(parsed, CURLUPART_SCHEME).value_or("");
  if (scheme != "http" && scheme != "https") bad_url(url, "it must begin with http:// or https://");
  if (url_part(parsed, CURLUPART_USER)) bad_url(url, "user names are not supported");
  // An empty query or fragment, or an empty port, is not a part to the
  // parser: look at the text itself.
  if (url.find_first_of("?#") != std::string::npos) bad_url(url, "it holds a query or a fragment");
  const std::size_t authority = url.find("://") + 3;
  const std::string_view host_and_port =
      std::string_view(url).substr(authority, url.find('/', authority) - authority);
  if (host_and_port.ends_with(':')) bad_url(url, "the port is empty");

  // The base path without its trailing slashes, bytes beyond ASCII
  // percent-encoded (the parser leaves them as they are).
  std::string path;
  for (unsigned char c : url_part(parsed, CURLUPART_PATH).value_or("")) {
    if (c < 0x80) {
      path.push_back(static_cast<char>(c));
    } else {
      static constexpr char kHex[] = "0123456789ABCDEF";
      path += {'%', kHex[c >> 4], kHex[c & 15]};
    }
  }
  while (path.ends_with('/')) path.pop_back();
  path += "/features";
  if (const CURLUcode code = curl_url_set(parsed.get(), CURLUPART_PATH, path.c_str(), 0);
      code != CURLUE_OK)
    bad_url(url, curl_url_strerror(code));
  return url_part(parsed, CURLUPART_URL).value_or(url);
}

// The start of an answer's body on one line, for a message.
std::string body_excerpt(std::string_view body) {
  if (body.empty()) return "(empty body)";
  return kelvra::common::text_excerpt(body, kBodyExcerpt);
}

}  // namespace

NlpClient::NlpClient(std::string url, std::optional<double> timeout,
                     std::optional<std::int64_t> max_answer_bytes, ClientOptions options)
    : url_(std::move(url)),
      timeout_(timeout),
      max_answer_bytes_(max_answer_bytes.value_or(kDefaultMaxAnswerBytes)),
      options_(std::move(options)) {
  utf8::require_valid(url_, "url");
  utf8::require_valid(options_.ca_file, "ca_file");
  if (timeout_ && !(std::isfinite(*timeout_) && *timeout_ > 0))
    throw KvException(
        ErrorCodes::INVALID_PARAMETERS,
        "timeout must be a positive number of seconds, got " + seconds_text(*timeout_));
  if (max_answer_bytes_ <= 0)
    throw KvException(ErrorCodes::INVALID_PARAMETERS,
                      "max_answer_bytes must be a positive number of bytes, got " +
                          std::to_string(max_answer_bytes_));
  endpoint_ = endpoint_of(url_);
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
  // Longer waits would overflow the milliseconds libcurl counts in.
  const internal::ExchangeSettings settings{
      .url = endpoint_,
      .timeout_seconds = std::min(effective_timeout(), kLongestTimeout),
      .max_body = static_cast<std::size_t>(max_answer_bytes_),
      .ca_file = options_.ca_file};
  internal::HttpAnswer answer;
  try {
    answer = internal::post_json(
        settings, body,
        "no answer within the time-out of " + seconds_text(effective_timeout()) + " s");
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
    using Kind = kelvra::common::JsonTextError::Kind;
    std::string message = where + "the answer is " + e.what();
    if (e.kind() == Kind::kTooLarge)
      message += " (" + std::to_string(kRecordBytesPerAnswerByte) + " times max_answer_bytes)";
    else if (e.kind() == Kind::kNotJson)
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
