#include "kvc/sdk/nlp_client.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <memory>
#include <sstream>
#include <utility>

#include <httplib.h>

#include "kelvra/common/exceptions.h"
#include "kelvra/common/utf8.h"

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

// The start of an error answer's body on one line, for a message.
std::string body_excerpt(const std::string& body) {
  if (body.empty()) return "(empty body)";
  if (!utf8::is_valid(body)) return "(" + std::to_string(body.size()) + " bytes, not text)";
  std::size_t end = 0;
  while (end < body.size()) {
    std::size_t next = end;
    utf8::next(body, next);
    if (next > kBodyExcerpt) break;
    end = next;
  }
  std::string out = body.substr(0, end);
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
  if (end < body.size()) out += "...";
  return out;
}

// Splits a time-out in seconds into the seconds and microseconds that
// cpp-httplib takes; never both zero, which would mean "wait forever".
std::pair<time_t, time_t> split_seconds(double seconds) {
  double whole = std::floor(seconds);
  auto usec = static_cast<time_t>(std::llround((seconds - whole) * 1e6));
  auto sec = static_cast<time_t>(whole);
  if (usec >= 1000000) {
    sec += 1;
    usec -= 1000000;
  }
  if (sec == 0 && usec == 0) usec = 1;
  return {sec, usec};
}

}  // namespace

NlpClient::NlpClient(std::string url, std::optional<double> timeout,
                     std::optional<std::int64_t> max_answer_bytes)
    : url_(std::move(url)),
      timeout_(timeout),
      max_answer_bytes_(max_answer_bytes.value_or(kDefaultMaxAnswerBytes)) {
  utf8::require_valid(url_, "url");
  if (timeout_ && !(std::isfinite(*timeout_) && *timeout_ > 0))
    throw KvException(ErrorCodes::INVALID_PARAMETERS,
                      "timeout must be a positive number of seconds, got " +
                          seconds_text(*timeout_));
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
  const auto [sec, usec] = split_seconds(limit);

  std::unique_ptr<httplib::ClientImpl> client;
  if (https_) {
    client = std::make_unique<httplib::SSLClient>(host_, port_);
  } else {
    client = std::make_unique<httplib::ClientImpl>(host_, port_);
  }
  client->set_connection_timeout(sec, usec);
  client->set_read_timeout(sec, usec);
  client->set_write_timeout(sec, usec);
  client->set_keep_alive(false);

  const auto start = std::chrono::steady_clock::now();
  const auto deadline =
      start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                  std::chrono::duration<double>(limit));
  httplib::Request req;
  req.method = "POST";
  req.path = path_;
  req.body = std::move(body);
  req.set_header("Content-Type", "application/json");
  req.set_header("Accept", "application/json");
  // Each read has its own time-out; this bounds an answer that keeps
  // trickling in as a whole.
  req.progress = [deadline](std::uint64_t, std::uint64_t) {
    return std::chrono::steady_clock::now() < deadline;
  };
  // The body is gathered here, so that an answer past the cap is refused
  // as it arrives rather than after it has filled memory.
  std::string answer_body;
  bool too_large = false;
  const auto cap = static_cast<std::uint64_t>(max_answer_bytes_);
  req.content_receiver = [&](const char* data, std::size_t size, std::uint64_t, std::uint64_t) {
    if (answer_body.size() + size > cap) {
      too_large = true;
      return false;
    }
    answer_body.append(data, size);
    return true;
  };

  httplib::Result result = client->send(req);
  if (too_large)
    throw KvException(ErrorCodes::REMOTE_ERROR,
                      where + "the answer is larger than the cap of " + std::to_string(cap) +
                          " bytes (max_answer_bytes)");
  if (!result) {
    httplib::Error error = result.error();
    bool out_of_time = error == httplib::Error::ConnectionTimeout ||
                       error == httplib::Error::Canceled ||
                       std::chrono::steady_clock::now() >= deadline;
    if (out_of_time)
      throw KvException(ErrorCodes::REMOTE_ERROR,
                        where + "no answer within the time-out of " +
                          seconds_text(effective_timeout()) + " s");
    if (error == httplib::Error::Connection)
      throw KvException(ErrorCodes::REMOTE_ERROR, where + "cannot connect");
    throw KvException(ErrorCodes::REMOTE_ERROR,
                      where + "request failed: " + httplib::to_string(error));
  }
  httplib::Response& response = result.value();
  response.body = std::move(answer_body);
  if (response.status < 200 || response.status > 299)
    throw KvException(ErrorCodes::REMOTE_ERROR, where + "answered with status " +
                                                    std::to_string(response.status) + ": " +
                                                    body_excerpt(response.body));
  // Copying or printing a record recurses once per level: a reply nested
  // absurdly deep must be refused before it becomes one.
  if (const std::size_t byte = kelvra::common::find_excess_nesting(response.body); byte != std::string::npos)
    throw KvException(ErrorCodes::REMOTE_ERROR,
                      where + "the answer is nested deeper than " + std::to_string(kelvra::common::kMaxRecordDepth) +
                          " levels (at byte " + std::to_string(byte) + ")");
  Record answer;
  try {
    answer = Record::parse(response.body);
  } catch (const Record::parse_error& e) {
    throw KvException(ErrorCodes::REMOTE_ERROR,
                      where + "the answer is not JSON (" + e.what() + "): " +
                          body_excerpt(response.body));
  }
  bool shaped = answer.is_object();
  if (answer.is_array()) {
    shaped = true;
    for (const auto& item : answer) shaped = shaped && item.is_object();
  }
  if (!shaped)
    throw KvException(ErrorCodes::REMOTE_ERROR,
                      where + "the answer is neither a feature set nor a list of feature sets: " +
                          body_excerpt(response.body));
  return answer;
}

}  // namespace kvc::sdk
