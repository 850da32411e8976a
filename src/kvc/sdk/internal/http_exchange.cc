#include "kvc/sdk/internal/http_exchange.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include <httplib.h>

#include "kelvra/common/json_text.h"

namespace kvc::sdk::internal {

namespace {

using Clock = std::chrono::steady_clock;
using kelvra::common::text_excerpt;

constexpr std::size_t kReadBlock = 64 << 10;
// The most room made for a body before it arrives.
constexpr std::uint64_t kReserveAtMost = 64 << 20;
// The longest chunk-size line of a chunked body.
constexpr std::size_t kMaxChunkLine = 1024;
// The longest piece of a malformed line quoted in a message.
constexpr std::size_t kQuoted = 60;

std::string errno_text(int error) { return std::strerror(error); }

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

// The deadline of one exchange, and the failure when it passes.
class Deadline {
 public:
  Deadline(Clock::time_point at, const std::string& out_of_time)
      : at_(at), out_of_time_(out_of_time) {}

  Clock::time_point at() const { return at_; }
  bool passed() const { return Clock::now() >= at_; }

  [[noreturn]] void expire(std::string_view during) const {
    throw ExchangeError(out_of_time_ + " (while " + std::string(during) + ")");
  }

  // Waits until `fd` has one of `events`; the events it has, or 0 when the
  // deadline passed first.
  short wait(int fd, short events) const {
    for (;;) {
      const auto left = at_ - Clock::now();
      if (left <= Clock::duration::zero()) return 0;
      const auto millis = std::chrono::ceil<std::chrono::milliseconds>(left).count();
      pollfd watched{fd, events, 0};
      const int n = ::poll(&watched, 1, static_cast<int>(std::min<long long>(millis, INT_MAX)));
      if (n > 0) return watched.revents != 0 ? watched.revents : events;
      if (n < 0 && errno != EINTR)
        throw ExchangeError("cannot wait for the service: " + errno_text(errno));
    }
  }

 private:
  Clock::time_point at_;
  const std::string& out_of_time_;
};

// --- Resolving the host ---

struct AddressListDeleter {
  void operator()(addrinfo* list) const { ::freeaddrinfo(list); }
};
using AddressList = std::unique_ptr<addrinfo, AddressListDeleter>;

// A host name lookup that may outlive the wait for it: the system's
// resolver cannot be interrupted, so it runs on a thread of its own, which
// finishes (and frees what it found) on its own when nobody waits any more.
struct Lookup {
  std::mutex mutex;
  std::condition_variable done_cv;
  bool done = false;
  int status = 0;
  AddressList found;
};

AddressList resolve(const std::string& host, int port, const Deadline& deadline) {
  const std::string service = std::to_string(port);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV | AI_NUMERICHOST;
  addrinfo* list = nullptr;
  if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &list) == 0) return AddressList(list);

  hints.ai_flags = AI_NUMERICSERV;
  auto lookup = std::make_shared<Lookup>();
  auto run = [lookup, host, service, hints] {
    addrinfo* found = nullptr;
    const int status = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    std::lock_guard<std::mutex> lock(lookup->mutex);
    lookup->status = status;
    lookup->found.reset(found);
    lookup->done = true;
    lookup->done_cv.notify_all();
  };
  try {
    std::thread(run).detach();
  } catch (const std::system_error&) {
    run();  // no thread to be had: wait for the resolver itself
  }
  std::unique_lock<std::mutex> lock(lookup->mutex);
  if (!lookup->done_cv.wait_until(lock, deadline.at(), [&] { return lookup->done; }))
    deadline.expire("looking up the host name " + host);
  if (lookup->status != 0)
    throw ExchangeError("cannot look up the host name " + host + ": " +
                        ::gai_strerror(lookup->status));
  return std::move(lookup->found);
}

// --- Plain http over a socket ---

class Socket {
 public:
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() {
    if (fd_ >= 0) ::close(fd_);
  }
  Socket(Socket&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

Socket connect_to(const addrinfo* addresses, const Deadline& deadline) {
  std::string failure = "no address";
  for (const addrinfo* address = addresses; address != nullptr; address = address->ai_next) {
    Socket socket(::socket(address->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC,
                           address->ai_protocol));
    if (socket.fd() < 0) {
      failure = errno_text(errno);
      continue;
    }
    if (::connect(socket.fd(), address->ai_addr, address->ai_addrlen) != 0) {
      if (errno != EINPROGRESS) {
        failure = errno_text(errno);
        continue;
      }
      if (deadline.wait(socket.fd(), POLLOUT) == 0) deadline.expire("connecting");
      int error = 0;
      socklen_t size = sizeof error;
      if (::getsockopt(socket.fd(), SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
      if (error != 0) {
        failure = errno_text(error);
        continue;
      }
    }
    const int on = 1;
    ::setsockopt(socket.fd(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return socket;
  }
  throw ExchangeError("cannot connect: " + failure);
}

// The request's head: the path with bytes beyond ASCII percent-encoded,
// and the Host header as the URL gave it.
std::string request_head(const HttpTarget& target, std::size_t body_size) {
  std::string path;
  for (unsigned char c : target.path) {
    if (c < 0x80) {
      path.push_back(static_cast<char>(c));
    } else {
      static constexpr char kHex[] = "0123456789ABCDEF";
      path += {'%', kHex[c >> 4], kHex[c & 15]};
    }
  }
  std::string host =
      target.host.find(':') != std::string::npos ? "[" + target.host + "]" : target.host;
  if (target.port != 80) host += ":" + std::to_string(target.port);
  return "POST " + path + " HTTP/1.1\r\nHost: " + host +
         "\r\nContent-Type: application/json\r\nAccept: application/json\r\nContent-Length: " +
         std::to_string(body_size) + "\r\nConnection: close\r\n\r\n";
}

// Sends `data` whole. False when the service stopped taking it and has
// something to say (or closed the connection): its answer comes next.
bool send_all(int fd, std::string_view data, std::size_t& sent, std::size_t total,
              const Deadline& deadline) {
  while (!data.empty()) {
    const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n > 0) {
      data.remove_prefix(static_cast<std::size_t>(n));
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      const short ready = deadline.wait(fd, POLLOUT | POLLIN);
      if (ready == 0)
        deadline.expire("sending the request; the service took " + std::to_string(sent) +
                        " of its " + std::to_string(total) + " bytes");
      if ((ready & POLLOUT) == 0) return false;  // it answers before reading everything
      continue;
    }
    if (n < 0 && (errno == EPIPE || errno == ECONNRESET)) return false;
    throw ExchangeError("cannot send the request: " + errno_text(n < 0 ? errno : EIO));
  }
  return true;
}

// Reads one answer from a socket: status line, headers, body.
class AnswerReader {
 public:
  AnswerReader(int fd, const Deadline& deadline, std::size_t max_body)
      : fd_(fd), deadline_(deadline), max_body_(max_body) {}

  HttpAnswer read() {
    HttpAnswer answer;
    Head head;
    do {  // interim answers (100 Continue, ...) come before the real one
      head = read_head();
    } while (head.status >= 100 && head.status <= 199 && head.status != 101);
    answer.status = head.status;
    success_ = is_success(head.status);
    if (success_ && head.length && *head.length > max_body_)
      throw ExchangeError(too_large(max_body_));
    if (head.status == 204 || head.status == 304) return answer;
    if (head.chunked) {
      read_chunked(answer.body);
    } else if (head.length) {
      // Room for what it announces, within reason: a cap set very high must
      // not let a claimed length allocate before any byte has come.
      if (success_)
        answer.body.reserve(static_cast<std::size_t>(std::min(*head.length, kReserveAtMost)));
      read_exactly(*head.length, answer.body, "the answer's body");
    } else {
      read_to_end(answer.body);
    }
    return answer;
  }

 private:
  struct Head {
    int status = 0;
    std::optional<std::uint64_t> length;
    bool chunked = false;
  };

  std::size_t available() const { return in_.size() - pos_; }

  // Reads more of the answer; false at its end.
  bool fill(std::string_view during) {
    if (pos_ == in_.size()) {
      in_.clear();
      pos_ = 0;
    } else if (pos_ >= kReadBlock) {
      in_.erase(0, pos_);
      pos_ = 0;
    }
    char block[kReadBlock];
    for (;;) {
      const ssize_t n = ::recv(fd_, block, sizeof block, 0);
      if (n > 0) {
        in_.append(block, static_cast<std::size_t>(n));
        received_ += static_cast<std::uint64_t>(n);
        return true;
      }
      if (n == 0) return false;
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        if (deadline_.wait(fd_, POLLIN) == 0)
          deadline_.expire(received_ == 0 ? "waiting for the answer"
                                          : std::string(during) + ", " + std::to_string(received_) +
                                                " bytes of the answer in");
        continue;
      }
      if (errno == ECONNRESET) return false;
      throw ExchangeError("cannot read the answer: " + errno_text(errno));
    }
  }

  // The next line, without its line end. Lines count against the header
  // budget when `head` is set.
  std::string line(std::size_t max, std::string_view what, bool head) {
    std::size_t scanned = pos_;
    for (;;) {
      const std::size_t end = in_.find('\n', scanned);
      if (end != std::string::npos && end - pos_ <= max) {
        std::string out = in_.substr(pos_, end - pos_);
        if (!out.empty() && out.back() == '\r') out.pop_back();
        pos_ = end + 1;
        if (head) header_bytes_ += out.size() + 2;
        return out;
      }
      if (available() > max) {
        if (head)
          throw ExchangeError("the answer's headers are larger than " +
                              std::to_string(kMaxHeaderBytes >> 10) + " KiB");
        throw ExchangeError("the answer's " + std::string(what) + " is malformed: `" +
                            text_excerpt(std::string_view(in_).substr(pos_), kQuoted) + "`");
      }
      scanned = in_.size();
      if (!fill(head ? "reading the answer's headers" : "reading the answer's body")) {
        if (received_ == 0)
          throw ExchangeError("the service closed the connection without answering");
        throw ExchangeError("the service closed the connection in the middle of the answer's " +
                            std::string(what));
      }
    }
  }

  std::size_t header_room() const {
    return header_bytes_ >= kMaxHeaderBytes ? 0 : kMaxHeaderBytes - header_bytes_;
  }

  Head read_head() {
    // An answer that is not HTTP/1.x (HTTP/0.9 has no status line at all) is
    // told by its first bytes, without waiting for a line end.
    while (available() < 5 && fill("waiting for the answer")) {
    }
    if (available() == 0 && received_ == 0)
      throw ExchangeError("the service closed the connection without answering");
    const std::string_view start = std::string_view(in_).substr(pos_);
    if (!start.starts_with(std::string_view("HTTP/").substr(0, start.size())) || start.size() < 5)
      throw ExchangeError("the answer is not HTTP/1.x: it begins with `" +
                          text_excerpt(start, kQuoted) + "`");

    Head head;
    const std::string status_line = line(header_room(), "status line", true);
    const std::string_view s = status_line;
    const bool well_formed =
        s.size() >= 12 && s.starts_with("HTTP/1.") && s[7] >= '0' && s[7] <= '9' && s[8] == ' ' &&
        std::all_of(s.begin() + 9, s.begin() + 12, [](char c) { return c >= '0' && c <= '9'; }) &&
        (s.size() == 12 || s[12] == ' ');
    if (!well_formed)
      throw ExchangeError("the answer's status line is not HTTP/1.x: `" + text_excerpt(s, kQuoted) +
                          "`");
    head.status = (s[9] - '0') * 100 + (s[10] - '0') * 10 + (s[11] - '0');

    for (;;) {
      const std::string header = line(header_room(), "headers", true);
      if (header.empty()) break;
      const std::size_t colon = header.find(':');
      const std::string_view name = std::string_view(header).substr(0, colon);
      if (colon == std::string::npos || name.empty() ||
          name.find_first_of(" \t") != std::string_view::npos)
        throw ExchangeError("the answer has a malformed header line: `" +
                            text_excerpt(header, kQuoted) + "`");
      const std::string key = lower(name);
      const std::string_view value = trimmed(std::string_view(header).substr(colon + 1));
      if (key == "content-length") {
        const std::uint64_t length = content_length(value);
        if (head.length && *head.length != length)
          throw ExchangeError("the answer gives two different Content-Length values");
        head.length = length;
      } else if (key == "transfer-encoding") {
        if (lower(value) != "chunked")
          throw ExchangeError("the answer's Transfer-Encoding `" + text_excerpt(value, kQuoted) +
                              "` is not supported (only chunked is)");
        head.chunked = true;
      } else if (key == "content-encoding") {
        if (lower(value) != "identity")
          throw ExchangeError(
              "the answer is encoded (Content-Encoding: " + text_excerpt(value, kQuoted) +
              "), which the client does not ask for and cannot read");
      }
    }
    return head;
  }

  // A Content-Length: digits only (a list of equal values allowed), at
  // most 2^62.
  static std::uint64_t content_length(std::string_view value) {
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

  // Keeps `bytes` of the body. False once an error answer has given enough
  // for its message.
  bool keep(std::string& body, std::string_view bytes) {
    if (success_) {
      if (body.size() + bytes.size() > max_body_) throw ExchangeError(too_large(max_body_));
      body.append(bytes);
      return true;
    }
    body.append(bytes.substr(0, kErrorBodyBytes - body.size()));
    return body.size() < kErrorBodyBytes;
  }

  void read_exactly(std::uint64_t length, std::string& body, std::string_view what) {
    std::uint64_t left = length;
    while (left > 0) {
      if (available() == 0 && !fill("reading the answer's body"))
        throw ExchangeError("the service closed the connection after " +
                            std::to_string(length - left) + " of the " + std::to_string(length) +
                            " bytes of " + std::string(what));
      const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(left, available()));
      const bool more = keep(body, std::string_view(in_).substr(pos_, take));
      pos_ += take;
      left -= take;
      if (!more) return;
    }
  }

  void read_to_end(std::string& body) {
    for (;;) {
      if (available() > 0) {
        const bool more = keep(body, std::string_view(in_).substr(pos_));
        pos_ = in_.size();
        if (!more) return;
      }
      if (!fill("reading the answer's body")) return;
    }
  }

  void read_chunked(std::string& body) {
    for (;;) {
      const std::string size_line = line(kMaxChunkLine, "chunked body", false);
      const std::string_view digits =
          trimmed(std::string_view(size_line).substr(0, size_line.find(';')));
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
                            text_excerpt(size_line, kQuoted) + "`");
      if (size == 0) break;
      const std::size_t before = body.size();
      read_exactly(size, body, "a chunk of the answer's body");
      if (!success_ && body.size() - before < size) return;  // enough for the message
      if (!line(kMaxChunkLine, "chunked body", false).empty())
        throw ExchangeError(
            "the answer's chunked body is malformed: a chunk is longer than its size");
    }
    // Trailers, up to the empty line that ends the answer.
    while (!line(header_room(), "trailers", true).empty()) {
    }
  }

  int fd_;
  const Deadline& deadline_;
  std::size_t max_body_;
  bool success_ = false;
  std::string in_;  // read, from pos_ on not yet used
  std::size_t pos_ = 0;
  std::uint64_t received_ = 0;
  std::size_t header_bytes_ = 0;
};

HttpAnswer post_plain(const HttpTarget& target, std::string_view body, const Deadline& deadline,
                      std::size_t max_body) {
  const AddressList addresses = resolve(target.host, target.port, deadline);
  const Socket socket = connect_to(addresses.get(), deadline);
  const std::string head = request_head(target, body.size());
  const std::size_t total = head.size() + body.size();
  std::size_t sent = 0;
  if (send_all(socket.fd(), head, sent, total, deadline))
    send_all(socket.fd(), body, sent, total, deadline);
  // Whether or not it took the whole request, what the service says next
  // is its answer.
  return AnswerReader(socket.fd(), deadline, max_body).read();
}

// --- https through cpp-httplib ---

std::string numeric_host(const addrinfo* address) {
  char text[NI_MAXHOST];
  if (::getnameinfo(address->ai_addr, address->ai_addrlen, text, sizeof text, nullptr, 0,
                    NI_NUMERICHOST) != 0)
    throw ExchangeError("cannot use the address of the host");
  return text;
}

// Seconds and microseconds until the deadline, as cpp-httplib takes them;
// never both zero, which it takes for "no time-out".
std::pair<time_t, time_t> time_left(const Deadline& deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::microseconds>(deadline.at() - Clock::now());
  const long long micros = std::max<long long>(left.count(), 1);
  return {static_cast<time_t>(micros / 1000000), static_cast<time_t>(micros % 1000000)};
}

// Stops the client's connection when the deadline passes, unless the
// exchange has ended by then.
class Watchdog {
 public:
  Watchdog(httplib::ClientImpl& client, Clock::time_point deadline)
      : thread_([this, &client, deadline] {
          std::unique_lock<std::mutex> lock(mutex_);
          if (!done_cv_.wait_until(lock, deadline, [this] { return done_; })) client.stop();
        }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    done_cv_.notify_all();
    thread_.join();
  }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

 private:
  std::mutex mutex_;
  std::condition_variable done_cv_;
  bool done_ = false;
  std::thread thread_;  // last: started once the members it uses exist
};

// Keeps SIGPIPE from ending the process while it lives: OpenSSL writes to
// the socket with write(), which raises it when the service has gone (or
// the watchdog has shut the socket down). Blocked on this thread, a SIGPIPE
// raised here stays pending and is taken before the mask is restored.
class SigpipeBlocked {
 public:
  SigpipeBlocked() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    was_pending_ = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
  }
  ~SigpipeBlocked() {
    if (!was_pending_) {
      const timespec now{};
      while (sigtimedwait(&pipe_, nullptr, &now) == SIGPIPE) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }
  SigpipeBlocked(const SigpipeBlocked&) = delete;
  SigpipeBlocked& operator=(const SigpipeBlocked&) = delete;

 private:
  sigset_t pipe_;
  sigset_t old_;
  bool was_pending_ = false;
};

HttpAnswer post_tls(const HttpTarget& target, std::string_view body, const Deadline& deadline,
                    std::size_t max_body) {
  // Before the watchdog's thread starts, which takes this thread's mask.
  const SigpipeBlocked quiet_pipe;
  // The name is looked up here, within the deadline; cpp-httplib then
  // connects to that address while checking the certificate for the name.
  const AddressList addresses = resolve(target.host, target.port, deadline);
  httplib::SSLClient client(target.host, target.port);
  client.set_hostname_addr_map({{target.host, numeric_host(addresses.get())}});
  const auto [sec, usec] = time_left(deadline);
  client.set_connection_timeout(sec, usec);
  client.set_read_timeout(sec, usec);
  client.set_write_timeout(sec, usec);
  client.set_keep_alive(false);

  httplib::Request request;
  request.method = "POST";
  request.path = target.path;
  request.body = std::string(body);
  request.set_header("Content-Type", "application/json");
  request.set_header("Accept", "application/json");
  HttpAnswer answer;
  bool success = false;
  bool refused = false;
  request.response_handler = [&](const httplib::Response& response) {
    answer.status = response.status;
    success = is_success(response.status);
    return true;
  };
  request.content_receiver = [&](const char* data, std::size_t size, std::uint64_t, std::uint64_t) {
    if (!success) {  // an error answer: its start is enough
      answer.body.append(data, std::min(size, kErrorBodyBytes - answer.body.size()));
      return answer.body.size() < kErrorBodyBytes;
    }
    if (answer.body.size() + size > max_body) {
      refused = true;
      return false;
    }
    answer.body.append(data, size);
    return true;
  };

  const httplib::Result result = [&] {
    Watchdog watchdog(client, deadline.at());
    return client.send(request);
  }();
  if (refused) throw ExchangeError(too_large(max_body));
  if (result || (answer.status != 0 && !success && result.error() == httplib::Error::Canceled))
    return answer;
  if (deadline.passed()) deadline.expire("talking to the service over TLS");
  switch (result.error()) {
    case httplib::Error::Connection:
      throw ExchangeError("cannot connect");
    case httplib::Error::ConnectionTimeout:
      deadline.expire("connecting");
    case httplib::Error::SSLConnection:
      throw ExchangeError(
          "the TLS handshake failed; is the service at this address an https service?");
    case httplib::Error::SSLLoadingCerts:
      throw ExchangeError("cannot load the system's trusted certificates");
    case httplib::Error::SSLServerVerification:
      throw ExchangeError("the service's certificate is not trusted or is not for this host");
    case httplib::Error::Read:
      throw ExchangeError("the connection broke or closed before the whole answer had come");
    case httplib::Error::Write:
      throw ExchangeError("the connection broke while sending the request");
    case httplib::Error::Compression:
      throw ExchangeError("the answer's compressed body cannot be read");
    default:
      throw ExchangeError("the exchange failed (" + httplib::to_string(result.error()) + ")");
  }
}

}  // namespace

HttpAnswer post_json(const HttpTarget& target, std::string_view body,
                     std::chrono::steady_clock::time_point deadline, const std::string& out_of_time,
                     std::size_t max_body) {
  const Deadline bounded(deadline, out_of_time);
  return target.https ? post_tls(target, body, bounded, max_body)
                      : post_plain(target, body, bounded, max_body);
}

}  // namespace kvc::sdk::internal
