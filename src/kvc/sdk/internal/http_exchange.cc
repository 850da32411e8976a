#include "kvc/sdk/internal/http_exchange.h"

#include <curl/curl.h>

#include <algorithm>
#include <cmath>
#include <exception>
#include <memory>
#include <utility>

#include "kelvra/common/json_text.h"

namespace kvc::sdk::internal {

namespace {

using kelvra::common::text_excerpt;

// The most room made for a body before it arrives.
constexpr std::uint64_t kReserveAtMost = 64 << 20;
// The longest chunk-size line of a chunked body.
constexpr std::size_t kMaxChunkLine = 1024;
// The longest piece of a malformed line quoted in a message.
constexpr std::size_t kQuoted = 60;

std::string too_large(std::size_t max_body) {
  return "the answer is larger than the cap of " + std::to_string(max_body) +
         " bytes (max_answer_bytes)";
}

bool is_success(int status) { return status >= 200 && status <= 299; }

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

std::string_view without_line_end(std::string_view line) {
  if (line.ends_with('\n')) line.remove_suffix(1);
  if (line.ends_with('\r')) line.remove_suffix(1);
  return line;
}

// A Content-Length: digits only (a list of equal values allowed), at most
// 2^62.
std::uint64_t content_length(std::string_view value) {
  std::optional<std::uint64_t> length;
  std::string_view rest = value;
  for (;;) {
    const std::size_t comma = rest.find(',');
    const std::string_view item = trimmed(rest.substr(0, comma));
    std::uint64_t number = 0;
    bool valid = !item.empty() && item.size() <= 18;
    for (char c : item) {
      valid = valid && c >= '0' && c <= '9';
      number = number * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (!valid || (length && *length != number))
      throw ExchangeError("the answer's Content-Length `" + text_excerpt(value, kQuoted) +
                          "` is not a number of bytes");
    length = number;
    if (comma == std::string_view::npos) return *length;
    rest.remove_prefix(comma + 1);
  }
}

}  // namespace

// --- Reading the answer ---

void AnswerReader::count_head_bytes(std::size_t size) {
  head_bytes_ += size;
  if (head_bytes_ > kMaxHeaderBytes)
    throw ExchangeError("the answer's headers are larger than " +
                        std::to_string(kMaxHeaderBytes >> 10) + " KiB");
}

bool AnswerReader::take_header_line(std::string_view raw) {
  received_ += raw.size();
  const std::string_view line = without_line_end(raw);
  count_head_bytes(line.size() + 2);
  if (stage_ == Stage::kStatusLine) {
    take_status_line(line);
    return true;
  }
  if (!line.empty()) {
    take_field(line);
    return true;
  }
  return end_of_head();
}

void AnswerReader::take_status_line(std::string_view s) {
  const bool well_formed =
      s.size() >= 12 && s.starts_with("HTTP/1.") && s[7] >= '0' && s[7] <= '9' && s[8] == ' ' &&
      std::all_of(s.begin() + 9, s.begin() + 12, [](char c) { return c >= '0' && c <= '9'; }) &&
      (s.size() == 12 || s[12] == ' ');
  if (!well_formed)
    throw ExchangeError("the answer's status line is not HTTP/1.x: `" + text_excerpt(s, kQuoted) +
                        "`");
  answer_.status = (s[9] - '0') * 100 + (s[10] - '0') * 10 + (s[11] - '0');
  length_.reset();
  chunked_ = false;
  stage_ = Stage::kHeaders;
}

void AnswerReader::take_field(std::string_view header) {
  const std::size_t colon = header.find(':');
  const std::string_view name = header.substr(0, colon);
  if (colon == std::string_view::npos || name.empty() ||
      name.find_first_of(" \t") != std::string_view::npos)
    throw ExchangeError("the answer has a malformed header line: `" +
                        text_excerpt(header, kQuoted) + "`");
  const std::string key = lower(name);
  const std::string_view value = trimmed(header.substr(colon + 1));
  if (key == "content-length") {
    const std::uint64_t length = content_length(value);
    if (length_ && *length_ != length)
      throw ExchangeError("the answer gives two different Content-Length values");
    length_ = length;
  } else if (key == "transfer-encoding") {
    if (lower(value) != "chunked")
      throw ExchangeError("the answer's Transfer-Encoding `" + text_excerpt(value, kQuoted) +
                          "` is not supported (only chunked is)");
    chunked_ = true;
  } else if (key == "content-encoding") {
    if (lower(value) != "identity")
      throw ExchangeError(
          "the answer is encoded (Content-Encoding: " + text_excerpt(value, kQuoted) +
          "), which the client does not ask for and cannot read");
  }
}

bool AnswerReader::end_of_head() {
  const int status = answer_.status;
  if (status >= 100 && status <= 199 && status != 101) {
    stage_ = Stage::kStatusLine;  // an interim answer: the real one follows
    return true;
  }
  success_ = is_success(status);
  if (success_ && length_ && *length_ > max_body_) throw ExchangeError(too_large(max_body_));
  stage_ = Stage::kBody;
  if (status == 204 || status == 304) {
    stage_ = Stage::kDone;
  } else if (chunked_) {
    framing_ = Framing::kChunked;
  } else if (length_) {
    framing_ = Framing::kLength;
    left_ = *length_;
    if (left_ == 0) stage_ = Stage::kDone;
    // Room for what it announces, within reason: a cap set very high must
    // not let a claimed length allocate before any byte has come.
    if (success_) answer_.body.reserve(static_cast<std::size_t>(std::min(left_, kReserveAtMost)));
  }
  return stage_ != Stage::kDone;
}

// Keeps `bytes` of the body. False once an error answer has given enough
// for its message.
bool AnswerReader::keep(std::string_view bytes) {
  if (success_) {
    if (answer_.body.size() + bytes.size() > max_body_) throw ExchangeError(too_large(max_body_));
    answer_.body.append(bytes);
    return true;
  }
  answer_.body.append(bytes.substr(0, kErrorBodyBytes - answer_.body.size()));
  return answer_.body.size() < kErrorBodyBytes;
}

bool AnswerReader::take_body(std::string_view bytes) {
  received_ += bytes.size();
  if (stage_ == Stage::kStatusLine) {
    // Bytes without a status line before them: an answer that is not
    // HTTP/1.x (HTTP/0.9 has no head at all). Its start, for the message.
    prefix_.append(bytes.substr(0, kQuoted + 1 - std::min(prefix_.size(), kQuoted + 1)));
    if (prefix_.size() > kQuoted) finish();
    return true;
  }
  if (stage_ != Stage::kBody) return false;
  switch (framing_) {
    case Framing::kToClose:
      if (!keep(bytes)) stage_ = Stage::kDone;
      break;
    case Framing::kLength: {
      const std::size_t take =
          static_cast<std::size_t>(std::min<std::uint64_t>(left_, bytes.size()));
      left_ -= take;
      if (!keep(bytes.substr(0, take)) || left_ == 0) stage_ = Stage::kDone;
      break;
    }
    case Framing::kChunked:
      if (!take_chunked(bytes)) stage_ = Stage::kDone;
      break;
  }
  return stage_ != Stage::kDone;
}

bool AnswerReader::gather_line(std::string_view& bytes, std::size_t max, std::string_view what) {
  const std::size_t end = bytes.find('\n');
  const std::string_view piece = bytes.substr(0, end);
  if (line_.size() + piece.size() > max) {
    if (chunk_ == Chunk::kTrailers) count_head_bytes(line_.size() + piece.size());
    throw ExchangeError("the answer's " + std::string(what) + " is malformed: `" +
                        text_excerpt(line_ + std::string(piece), kQuoted) + "`");
  }
  line_.append(piece);
  bytes.remove_prefix(end == std::string_view::npos ? bytes.size() : end + 1);
  if (end == std::string_view::npos) return false;
  if (line_.ends_with('\r')) line_.pop_back();
  return true;
}

bool AnswerReader::take_chunked(std::string_view bytes) {
  while (!bytes.empty()) {
    switch (chunk_) {
      case Chunk::kSizeLine: {
        if (!gather_line(bytes, kMaxChunkLine, "chunked body")) return true;
        const std::string_view digits = trimmed(std::string_view(line_).substr(0, line_.find(';')));
        std::uint64_t size = 0;
        bool valid = !digits.empty() && digits.size() <= 15;
        for (char c : digits) {
          const int digit = c >= '0' && c <= '9'   ? c - '0'
                            : c >= 'a' && c <= 'f' ? c - 'a' + 10
                            : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                   : -1;
          valid = valid && digit >= 0;
          size = size * 16 + static_cast<std::uint64_t>(std::max(digit, 0));
        }
        if (!valid)
          throw ExchangeError("the answer's chunked body is malformed: chunk size `" +
                              text_excerpt(line_, kQuoted) + "`");
        line_.clear();
        chunk_size_ = left_ = size;
        chunk_ = size == 0 ? Chunk::kTrailers : Chunk::kData;
        break;
      }
      case Chunk::kData: {
        const std::size_t take =
            static_cast<std::size_t>(std::min<std::uint64_t>(left_, bytes.size()));
        left_ -= take;
        if (!keep(bytes.substr(0, take))) return false;  // enough for the message
        bytes.remove_prefix(take);
        if (left_ == 0) chunk_ = Chunk::kDataEnd;
        break;
      }
      case Chunk::kDataEnd:
        if (!gather_line(bytes, kMaxChunkLine, "chunked body")) return true;
        if (!line_.empty())
          throw ExchangeError(
              "the answer's chunked body is malformed: a chunk is longer than its size");
        chunk_ = Chunk::kSizeLine;
        break;
      case Chunk::kTrailers: {
        // Trailers, up to the empty line that ends the answer; they count
        // against the header budget.
        const std::size_t room = kMaxHeaderBytes - std::min(head_bytes_, kMaxHeaderBytes);
        if (!gather_line(bytes, room, "trailers")) return true;
        count_head_bytes(line_.size() + 2);
        const bool last = line_.empty();
        line_.clear();
        if (last) return false;
        break;
      }
    }
  }
  return true;
}

HttpAnswer AnswerReader::finish() {
  switch (stage_) {
    case Stage::kStatusLine:
      if (!prefix_.empty())
        throw ExchangeError("the answer is not HTTP/1.x: it begins with `" +
                            text_excerpt(prefix_, kQuoted) + "`");
      if (received_ == 0)
        throw ExchangeError("the service closed the connection without answering");
      throw ExchangeError(
          "the service closed the connection in the middle of the answer's headers");
    case Stage::kHeaders:
      throw ExchangeError(
          "the service closed the connection in the middle of the answer's headers");
    case Stage::kBody:
      // An error answer cut short still says what the service said.
      if (!success_) break;
      if (framing_ == Framing::kLength)
        throw ExchangeError("the service closed the connection after " +
                            std::to_string(*length_ - left_) + " of the " +
                            std::to_string(*length_) + " bytes of the answer's body");
      if (framing_ == Framing::kChunked) {
        if (chunk_ == Chunk::kData)
          throw ExchangeError(
              "the service closed the connection after " + std::to_string(chunk_size_ - left_) +
              " of the " + std::to_string(chunk_size_) + " bytes of a chunk of the answer's body");
        throw ExchangeError("the service closed the connection in the middle of the answer's " +
                            std::string(chunk_ == Chunk::kTrailers ? "trailers" : "chunked body"));
      }
      break;  // read to the end of the connection: whole
    case Stage::kDone:
      break;
  }
  stage_ = Stage::kDone;
  return std::move(answer_);
}

std::string AnswerReader::activity() const {
  if (received_ == 0) return "waiting for the answer";
  return std::string(stage_ == Stage::kBody ? "reading the answer's body"
                                            : "reading the answer's headers") +
         ", " + std::to_string(received_) + " bytes of the answer in";
}

// --- The exchange, through libcurl ---

namespace {

// libcurl is set up once per process, before the first exchange.
void start_libcurl() {
  static const CURLcode started = curl_global_init(CURL_GLOBAL_DEFAULT);
  if (started != CURLE_OK)
    throw ExchangeError(std::string("cannot start libcurl: ") + curl_easy_strerror(started));
}

struct EasyDeleter {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct ListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

// What the callbacks share. They must not throw into libcurl: a failure is
// kept here and the transfer stopped.
struct Exchange {
  explicit Exchange(std::size_t max_body) : reader(max_body) {}
  AnswerReader reader;
  bool complete = false;  // the reader has the whole answer: stop reading
  std::exception_ptr failure;
  curl_off_t sent = 0;  // bytes of the request body sent so far

  // Hands a piece to the reader; the count libcurl expects back, or
  // another count to stop the transfer.
  template <class Take>
  std::size_t pass(std::size_t size, Take take) {
    try {
      if (take()) return size;
      complete = true;
    } catch (...) {
      failure = std::current_exception();
    }
    return size == 0 ? 1 : 0;
  }
};

std::size_t on_header(char* data, std::size_t, std::size_t size, void* context) {
  auto& exchange = *static_cast<Exchange*>(context);
  return exchange.pass(size, [&] { return exchange.reader.take_header_line({data, size}); });
}

std::size_t on_body(char* data, std::size_t, std::size_t size, void* context) {
  auto& exchange = *static_cast<Exchange*>(context);
  return exchange.pass(size, [&] { return exchange.reader.take_body({data, size}); });
}

int on_progress(void* context, curl_off_t, curl_off_t, curl_off_t, curl_off_t sent) {
  static_cast<Exchange*>(context)->sent = sent;
  return 0;
}

std::string host_of(CURL* easy) {
  std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> url(curl_url(), curl_url_cleanup);
  char* effective = nullptr;
  char* host = nullptr;
  std::string out;
  if (url && curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK &&
      effective != nullptr && curl_url_set(url.get(), CURLUPART_URL, effective, 0) == CURLUE_OK &&
      curl_url_get(url.get(), CURLUPART_HOST, &host, 0) == CURLUE_OK) {
    out = host;
    curl_free(host);
  }
  return out;
}

// What was under way when the time ran out.
std::string activity(CURL* easy, const Exchange& exchange, std::size_t body_size) {
  if (exchange.reader.started()) return exchange.reader.activity();
  curl_off_t resolved = 0, connected = 0, secured = 0;
  curl_easy_getinfo(easy, CURLINFO_NAMELOOKUP_TIME_T, &resolved);
  curl_easy_getinfo(easy, CURLINFO_CONNECT_TIME_T, &connected);
  curl_easy_getinfo(easy, CURLINFO_APPCONNECT_TIME_T, &secured);
  char* scheme = nullptr;
  curl_easy_getinfo(easy, CURLINFO_SCHEME, &scheme);
  const bool tls = scheme != nullptr && lower(scheme) == "https";
  if (resolved == 0) return "looking up the host name " + host_of(easy);
  if (connected == 0) return "connecting";
  if (tls && secured == 0) return "the TLS handshake";
  if (static_cast<std::uint64_t>(exchange.sent) < body_size)
    return "sending the request; the service took " + std::to_string(exchange.sent) + " of its " +
           std::to_string(body_size) + " bytes";
  return exchange.reader.activity();
}

}  // namespace

HttpAnswer post_json(const ExchangeSettings& settings, std::string_view body,
                     const std::string& out_of_time) {
  start_libcurl();
  const std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
  if (!easy) throw ExchangeError("cannot start an exchange (libcurl has no memory)");
  std::unique_ptr<curl_slist, ListDeleter> headers;
  for (const char* header :
       {"Content-Type: application/json", "Accept: application/json", "Connection: close",
        // Sent at once: no waiting for a "100 Continue" before a large body.
        "Expect:"}) {
    curl_slist* longer = curl_slist_append(headers.get(), header);
    if (longer == nullptr) throw ExchangeError("cannot start an exchange (no memory)");
    (void)headers.release();
    headers.reset(longer);
  }
  Exchange exchange(settings.max_body);
  char error_text[CURL_ERROR_SIZE] = {};
  // Milliseconds, rounded up: a positive time-out never becomes "none" (0).
  const long timeout_ms = static_cast<long>(std::ceil(settings.timeout_seconds * 1000));

  CURL* e = easy.get();
  bool set = true;
  auto option = [&](CURLoption which, auto value) {
    set = set && curl_easy_setopt(e, which, value) == CURLE_OK;
  };
  option(CURLOPT_URL, settings.url.c_str());
  option(CURLOPT_PROTOCOLS_STR, "http,https");
  option(CURLOPT_NOSIGNAL, 1L);  // threads of their own; no alarms for the resolver
  option(CURLOPT_PROXY, "");     // straight to the service, whatever the environment says
  option(CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  option(CURLOPT_TIMEOUT_MS, timeout_ms);
  option(CURLOPT_CONNECTTIMEOUT_MS, timeout_ms);
  option(CURLOPT_POST, 1L);
  option(CURLOPT_POSTFIELDS, body.data());
  option(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  option(CURLOPT_HTTPHEADER, headers.get());
  option(CURLOPT_ERRORBUFFER, error_text);
  // The reader frames the body itself: by its Content-Length, whatever
  // libcurl would make of a bad one, and by its chunks, undecoded, so that
  // a refusal can say what was wrong. An answer without a status line is
  // let through to the reader, which says that it is not HTTP/1.x.
  option(CURLOPT_IGNORE_CONTENT_LENGTH, 1L);
  option(CURLOPT_HTTP_TRANSFER_DECODING, 0L);
  option(CURLOPT_HTTP09_ALLOWED, 1L);
  option(CURLOPT_HEADERFUNCTION, on_header);
  option(CURLOPT_HEADERDATA, &exchange);
  option(CURLOPT_WRITEFUNCTION, on_body);
  option(CURLOPT_WRITEDATA, &exchange);
  option(CURLOPT_NOPROGRESS, 0L);
  option(CURLOPT_XFERINFOFUNCTION, on_progress);
  option(CURLOPT_XFERINFODATA, &exchange);
  if (!settings.ca_file.empty()) option(CURLOPT_CAINFO, settings.ca_file.c_str());
  if (!set) throw ExchangeError("cannot set up the exchange (libcurl refused an option)");

  const CURLcode code = curl_easy_perform(e);
  if (exchange.failure) std::rethrow_exception(exchange.failure);
  if (exchange.complete || code == CURLE_OK) return exchange.reader.finish();

  if (code != CURLE_OPERATION_TIMEDOUT && exchange.reader.has_error_status())
    return exchange.reader.error_answer();
  const std::string said = error_text[0] != '\0' ? error_text : curl_easy_strerror(code);
  switch (code) {
    case CURLE_OPERATION_TIMEDOUT:
      throw ExchangeError(out_of_time + " (while " + activity(e, exchange, body.size()) + ")");
    case CURLE_COULDNT_RESOLVE_HOST:
      throw ExchangeError("cannot look up the host name " + host_of(e) + ": " + said);
    case CURLE_COULDNT_CONNECT:
      throw ExchangeError("cannot connect: " + said);
    case CURLE_GOT_NOTHING:
      throw ExchangeError("the service closed the connection without answering");
    case CURLE_OUT_OF_MEMORY:
      // libcurl's own limit on one header line, which it holds whole.
      if (exchange.reader.in_head())
        throw ExchangeError("the answer's headers are larger than " +
                            std::to_string(kMaxHeaderBytes >> 10) + " KiB (" + said + ")");
      throw ExchangeError("out of memory: " + said);
    case CURLE_UNSUPPORTED_PROTOCOL:
      throw ExchangeError("the answer's status line is not HTTP/1.x (" + said + ")");
    case CURLE_WEIRD_SERVER_REPLY:
      throw ExchangeError("the answer has a malformed header line (" + said + ")");
    case CURLE_SSL_CONNECT_ERROR:
      throw ExchangeError(
          "the TLS handshake failed; is the service at this address an https service? (" + said +
          ")");
    case CURLE_PEER_FAILED_VERIFICATION:
      throw ExchangeError("the service's certificate is not trusted or is not for this host (" +
                          said + ")");
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CERTPROBLEM:
      throw ExchangeError("cannot load the certificates to trust: " + said);
    case CURLE_SEND_ERROR:
      throw ExchangeError("the connection broke while sending the request (" + said + ")");
    case CURLE_RECV_ERROR:
      throw ExchangeError("the connection broke before the whole answer had come (" + said + ")");
    default:
      throw ExchangeError("the exchange failed: " + said);
  }
}

}  // namespace kvc::sdk::internal
