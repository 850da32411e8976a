// The HTTP exchange behind NlpClient::features(): one POST of a JSON body
// and its answer, over a connection of its own, bounded as a whole by one
// deadline (resolving the host, connecting, sending, the answer's headers
// and its body), with the answer's headers and body capped in size.
//
//   HttpAnswer answer = post_json(target, R"({"text":"..."})", deadline,
//                                 "no answer within the time-out of 5 s", 64 << 20);
//   if (answer.status == 200) ... answer.body ...
//
// Plain http is spoken here over non-blocking sockets, so that every wait
// is a poll() up to the deadline and nothing is read past the caps. https
// goes through cpp-httplib, whose waits are per operation: a watchdog
// thread stops its connection at the deadline; its header size is not
// capped. Internal to the client: not installed.
#pragma once

#include <chrono>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kvc::sdk::internal {

struct HttpTarget {
  bool https = false;
  std::string host;  // a name, an IPv4 address or an IPv6 address without brackets
  int port = 0;
  std::string path;  // from '/', without a query
};

struct HttpAnswer {
  int status = 0;
  // The whole body of a 2xx answer; for any other status only its start
  // (kErrorBodyBytes at most), for the message.
  std::string body;
};

// The most of an error answer's body that is read.
inline constexpr std::size_t kErrorBodyBytes = 4096;
// The most that an answer's status line and headers (and a chunked body's
// trailers) may take together.
inline constexpr std::size_t kMaxHeaderBytes = 64 << 10;

// An exchange that failed. what() is a phrase that follows
// "NLP service at URL: ", such as "cannot connect: Connection refused" or
// "no answer within the time-out of 5 s (while reading the answer's headers)".
class ExchangeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// POSTs `body` as application/json to `target` and reads the answer, all
// before `deadline`. When the deadline passes, the ExchangeError says
// `out_of_time` and what was under way. A 2xx body larger than `max_body`
// bytes is refused as it arrives (or at once, by its Content-Length).
// Throws ExchangeError.
HttpAnswer post_json(const HttpTarget& target, std::string_view body,
                     std::chrono::steady_clock::time_point deadline, const std::string& out_of_time,
                     std::size_t max_body);

}  // namespace kvc::sdk::internal
