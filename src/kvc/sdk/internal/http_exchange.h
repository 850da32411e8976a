// The HTTP exchange behind NlpClient::features(): one POST of a JSON body
// and its answer, over a connection of its own, bounded as a whole by one
// deadline (resolving the host, connecting, the TLS handshake, sending, the
// answer's headers and its body), with the answer's headers and body capped
// in size. http and https take the same path, through libcurl.
//
//   HttpAnswer answer = post_json({.url = "http://nlp:8080/features", .timeout_seconds = 5,
//                                  .max_body = 64 << 20},
//                                 R"({"text":"..."})", "no answer within the time-out of 5 s");
//   if (answer.status == 200) ... answer.body ...
//
// libcurl connects, speaks TLS, sends, keeps the deadline and cuts the answer
// into its status line, header lines and body bytes. AnswerReader reads
// what it hands over: it checks the head, frames the body itself (by its
// Content-Length, or its chunks, which libcurl passes on undecoded) and
// caps both as they arrive, so that nothing is read past a cap and every
// refusal can quote what was wrong. Internal to the client: not installed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kvc::sdk::internal {

struct HttpAnswer {
  int status = 0;
  // The whole body of a 2xx answer; for any other status only its start
  // (kErrorBodyBytes at most), for the message.
  std::string body;
};

// The most of an error answer's body that is read.
inline constexpr std::size_t kErrorBodyBytes = 4096;
// The most that an answer's status lines and headers (and a chunked body's
// trailers) may take together.
inline constexpr std::size_t kMaxHeaderBytes = 64 << 10;

// An exchange that failed. what() is a phrase that follows
// "NLP service at URL: ", such as "cannot connect: ..." or "no answer within
// the time-out of 5 s (while reading the answer's headers)".
class ExchangeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reads one answer from the pieces libcurl hands over, in their order:
// header lines (status lines of interim answers included), then the body's
// bytes as they came over the connection. Does no I/O of its own.
class AnswerReader {
 public:
  // A 2xx body larger than `max_body` bytes is refused as it arrives (or at
  // once, by its Content-Length).
  explicit AnswerReader(std::size_t max_body) : max_body_(max_body) {}

  // One line of the head, with or without its line end. False once the
  // answer is complete (it has no body). Throws ExchangeError.
  bool take_header_line(std::string_view line);
  // The next bytes after the head. False once the answer is complete:
  // whatever follows is not read. Throws ExchangeError.
  bool take_body(std::string_view bytes);
  // The answer, once take_* said it is complete. When the connection ended
  // first, the answer as far as it is whole (a body read to the end of the
  // connection), or an ExchangeError saying what was cut short.
  HttpAnswer finish();

  // Whether a whole head with a status other than 2xx has come: its answer
  // is worth reporting even when the exchange then broke (a service that
  // refuses a request early may close before taking all of it).
  bool has_error_status() const noexcept { return !in_head() && !success_ && answer_.status != 0; }
  // That answer, with as much of its body as came.
  HttpAnswer error_answer() {
    stage_ = Stage::kDone;
    return std::move(answer_);
  }

  // What was under way, for the message of a time-out: "waiting for the
  // answer", "reading the answer's headers, N bytes of the answer in", ...
  std::string activity() const;
  // Whether any byte of an answer has come.
  bool started() const noexcept { return received_ > 0; }
  // Whether the head is still being read (nothing of the body has come).
  bool in_head() const noexcept {
    return stage_ == Stage::kStatusLine || stage_ == Stage::kHeaders;
  }

 private:
  enum class Stage { kStatusLine, kHeaders, kBody, kDone };
  enum class Framing { kLength, kChunked, kToClose };
  enum class Chunk { kSizeLine, kData, kDataEnd, kTrailers };

  void take_status_line(std::string_view line);
  void take_field(std::string_view line);
  bool end_of_head();
  bool take_chunked(std::string_view bytes);
  // Gathers a line of the chunked body into line_; true when it is whole.
  bool gather_line(std::string_view& bytes, std::size_t max, std::string_view what);
  void count_head_bytes(std::size_t size);
  bool keep(std::string_view bytes);

  std::size_t max_body_;
  Stage stage_ = Stage::kStatusLine;
  Framing framing_ = Framing::kToClose;
  Chunk chunk_ = Chunk::kSizeLine;
  HttpAnswer answer_;
  bool success_ = false;
  bool chunked_ = false;
  std::optional<std::uint64_t> length_;  // the head's Content-Length
  std::uint64_t left_ = 0;               // of the body (by length) or of the chunk
  std::uint64_t chunk_size_ = 0;
  std::string line_;    // a chunked body's line so far
  std::string prefix_;  // the start of an answer without a status line
  std::uint64_t received_ = 0;
  std::size_t head_bytes_ = 0;
};

struct ExchangeSettings {
  std::string url;  // of the endpoint, as libcurl's URL parser accepted it
  double timeout_seconds = 30;
  std::size_t max_body = 64 << 20;
  // Certificates to trust instead of the system's (PEM file); empty: the
  // system's.
  std::string ca_file;
};

// POSTs `body` as application/json and reads the answer, all within
// settings.timeout_seconds. When the time runs out, the ExchangeError says
// `out_of_time` and what was under way. Thread-safe: every call has its own
// connection. Throws ExchangeError.
HttpAnswer post_json(const ExchangeSettings& settings, std::string_view body,
                     const std::string& out_of_time);

}  // namespace kvc::sdk::internal
