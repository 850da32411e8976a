// The client of the remote NLP service: sends a text to the service over
// HTTP and reads back its feature sets, as records.
//
//   kvc::sdk::NlpClient client("http://nlp.internal:8080", 10.0);
//   kelvra::Record answer = client.features("你好", {"WORD", "NER"}, "zh_cn",
//   kelvra::Record::object());
//   // answer is one feature-set record {"words": [...], "nes": [...]}, or a list of them
//
// The protocol is one endpoint. features() sends
//   POST {url}/features   Content-Type: application/json
//   {"text": "...", "types": ["WORD", "NER"], "lang": "zh_cn", "tag": {...}}
// and expects a 2xx answer whose body is JSON: one feature set in the
// serialised layout of kelvra/nlp/common/feature/feature.h (a map with
// "words" and "nes"), or a list of such maps. The client checks only that
// shape; reading the records is the caller's business.
//
// Every failure to get such an answer is a KvException with the code
// REMOTE_ERROR and a one-line message that names the endpoint's URL: the
// service cannot be reached, it does not answer within the time-out, it
// answers with a status other than 2xx (the message quotes the start of the
// body), it does not speak HTTP/1.x, or its body is not JSON of that shape.
//
// The time-out, in seconds, is one deadline for the whole exchange: looking
// up the host, connecting, the TLS handshake, sending the request and
// reading the answer's headers and body. A time-out longer than
// kLongestTimeout (about eleven days) waits that long: no time-out in
// practice. Each call opens its own connection, so one client serves any
// number of threads at once. http and https go the same way, through
// libcurl; https checks the service's certificate against the system's
// trusted ones (or those of ClientOptions::ca_file). Proxy settings in the
// environment are not used: the client talks to the service directly.
//
// An answer is read into memory, so its size is capped twice: its body
// (max_answer_bytes, 64 MiB unless the constructor is given another cap;
// a larger one is not read further) and the records read from it, whose
// memory is estimated as they are built and may not pass
// kRecordBytesPerAnswerByte times max_answer_bytes (real feature sets take
// 4 to 6 times their JSON; `[{},{},...]` would take 20 times). The
// answer's status line and headers may take 64 KiB, over http and https
// alike. Either is a REMOTE_ERROR naming the endpoint and the cap.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kelvra/common/record.h"

namespace kvc::sdk {

// Settings of the client beyond those of its service (all optional).
struct ClientOptions {
  // A PEM file of the certificates to trust for https instead of the
  // system's (a service with a private certificate authority); empty: the
  // system's.
  std::string ca_file;
};

class NlpClient {
 public:
  // The time-out used when the constructor is given none.
  static constexpr double kDefaultTimeout = 30.0;
  // The longest wait, in seconds, whatever the time-out given.
  static constexpr double kLongestTimeout = 1e6;
  // The answer size cap used when the constructor is given none: 64 MiB.
  static constexpr std::int64_t kDefaultMaxAnswerBytes = std::int64_t{64} << 20;
  // The records of an answer may take this many times max_answer_bytes of
  // memory.
  static constexpr std::int64_t kRecordBytesPerAnswerByte = 8;

  // `url` is the service's base address, "http://HOST[:PORT][/PATH]" or
  // "https://...", read by libcurl's URL parser; a trailing slash is
  // ignored. `timeout` is in seconds (fractions allowed); absent means
  // kDefaultTimeout. Nothing is sent yet. `max_answer_bytes` caps the size
  // of an answer's body; absent means kDefaultMaxAnswerBytes. Throws
  // TypeError naming `url` when it is not valid UTF-8, and KvException
  // INVALID_PARAMETERS when `url` is not such an address (or has a user
  // name, a query or a fragment), `timeout` is not a positive finite number
  // or `max_answer_bytes` is not positive.
  explicit NlpClient(std::string url, std::optional<double> timeout = std::nullopt,
                     std::optional<std::int64_t> max_answer_bytes = std::nullopt,
                     ClientOptions options = {});
  virtual ~NlpClient();

  // Holds no connection, but a client stands for one service: copies would
  // only hide which object callers share.
  NlpClient(const NlpClient&) = delete;
  NlpClient& operator=(const NlpClient&) = delete;

  // The address as given, and the time-out as given (absent when none was).
  const std::string& url() const noexcept { return url_; }
  std::optional<double> timeout() const noexcept { return timeout_; }
  // The time-out in force, in seconds.
  double effective_timeout() const noexcept { return timeout_.value_or(kDefaultTimeout); }
  // The largest answer body accepted, in bytes.
  std::int64_t max_answer_bytes() const noexcept { return max_answer_bytes_; }
  // The URL that features() posts to: the base address plus "/features".
  const std::string& endpoint() const noexcept { return endpoint_; }
  // The settings given beyond the service's.
  const ClientOptions& options() const noexcept { return options_; }

  // Asks the service for the features `types` (names such as "WORD") of
  // `text` in the language `lang`, passing the caller's tag settings `tag`
  // (any JSON value) along. Returns the answer: a map, or a list of maps.
  // Throws TypeError naming `text` or `lang` when it is not valid UTF-8, and
  // KvException REMOTE_ERROR naming the endpoint as described above.
  virtual kelvra::Record features(std::string_view text, const std::vector<std::string>& types,
                                  std::string_view lang, const kelvra::Record& tag) const;

  // Reads the body of a 2xx answer as features() does: JSON (no NUL byte,
  // nested at most kMaxRecordDepth levels, its records within
  // kRecordBytesPerAnswerByte times max_answer_bytes of memory) that is one
  // feature set or a list of them. Throws KvException REMOTE_ERROR naming
  // the endpoint. Nothing is sent.
  kelvra::Record parse_answer(std::string_view body) const;

 private:
  std::string url_;
  std::optional<double> timeout_;
  std::int64_t max_answer_bytes_;
  ClientOptions options_;
  std::string endpoint_;
};

}  // namespace kvc::sdk
