// For tests only (not installed): a small NLP service on a loopback port
// that answers POST /features (and POST /nlp/features) the way the real
// service does, so that the client, the language extractors, the annotator
// and the command line can be tested over real HTTP.
//
//   kvc::sdk::TestService service;          // listens on 127.0.0.1, any free port
//   kvc::sdk::NlpClient client(service.url(), 1.0);
//   client.features("a b", {"WORD"}, "zh_cn", kelvra::Record::object());
//
// What it answers depends on the request's "text":
//   "list"         a list of two feature sets (of "list" and "li")
//   "fail"         status 500 with a two-line body
//   "not json"     status 200 with an HTML body
//   "not a set"    status 200 with the JSON string "hello"
//   "bad word"     status 200 with a feature set whose word lacks "id"
//   "echo:JSON"    status 200 with JSON as the body
//   "stall"        nothing, until release_stall() or the destructor (at most
//                  kStallCap); then a feature set
//   anything else  one feature set with a word per blank-separated token
//                  (pos "X") and no entities
// The last request body it received is kept for inspection.
//
// RawService is a misbehaving one: each connection is handed to a function
// that talks raw bytes (trickles, never reads, answers in HTTP/0.9, ...).
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

#include <httplib.h>

#include "kelvra/common/record.h"
#include "kelvra/common/utf8.h"

namespace kvc::sdk {

class TestService {
 public:
  // Bounds a stalled answer, so that a test whose client never gives up
  // still ends.
  static constexpr std::chrono::seconds kStallCap{20};

  TestService() {
    auto handler = [this](const httplib::Request& req, httplib::Response& res) {
      answer(req, res);
    };
    server_.Post("/features", handler);
    server_.Post("/nlp/features", handler);
    port_ = server_.bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("test service: cannot bind a loopback port");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    // stop() only works on a running server: wait until the loop runs.
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

  ~TestService() {
    release_stall();
    server_.stop();
    thread_.join();
  }

  TestService(const TestService&) = delete;
  TestService& operator=(const TestService&) = delete;

  int port() const { return port_; }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }

  kelvra::Record last_request() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return last_request_;
  }

  // True once a stalled request has been answered.
  bool stall_answered() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stall_answered_;
  }

  void release_stall() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      released_ = true;
    }
    released_cv_.notify_all();
  }

  // A feature set with one word per blank-separated token of `text`,
  // positions in code points.
  static kelvra::Record feature_set_for(const std::string& text) {
    kelvra::Record words = kelvra::Record::array();
    std::int64_t id = 0;
    auto code_points = [](std::string_view bytes) {
      return static_cast<std::int64_t>(kelvra::common::utf8::length(bytes));
    };
    for (std::size_t pos = 0; pos < text.size();) {
      std::size_t end = text.find(' ', pos);
      if (end == std::string::npos) end = text.size();
      if (end > pos)
        words.push_back({{"id", id++},
                         {"text", text.substr(pos, end - pos)},
                         {"offset", code_points(std::string_view(text).substr(0, pos))},
                         {"length", code_points(std::string_view(text).substr(pos, end - pos))},
                         {"pos", "X"}});
      pos = end + 1;
    }
    return {{"words", words}, {"nes", kelvra::Record::array()}};
  }

 private:
  void answer(const httplib::Request& req, httplib::Response& res) {
    kelvra::Record request = kelvra::Record::parse(req.body, nullptr, false);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      last_request_ = request;
    }
    std::string text = request.is_object() && request.value("text", kelvra::Record()).is_string()
                           ? request["text"].get<std::string>()
                           : "";
    if (text == "list") {
      kelvra::Record list = {feature_set_for("list"), feature_set_for("li")};
      res.set_content(list.dump(), "application/json");
    } else if (text == "fail") {
      res.status = 500;
      res.set_content("model crashed\nsee the log", "text/plain");
    } else if (text == "not json") {
      res.set_content("<html>maintenance</html>", "text/html");
    } else if (text == "not a set") {
      res.set_content("\"hello\"", "application/json");
    } else if (text == "bad word") {
      res.set_content(R"({"words":[{"text":"a","offset":0,"length":1}],"nes":[]})",
                      "application/json");
    } else if (text.starts_with("echo:")) {
      res.set_content(text.substr(5), "application/json");
    } else if (text == "stall") {
      std::unique_lock<std::mutex> lock(mutex_);
      released_cv_.wait_for(lock, kStallCap, [this] { return released_; });
      stall_answered_ = true;
      res.set_content(feature_set_for(text).dump(), "application/json");
    } else {
      res.set_content(feature_set_for(text).dump(), "application/json");
    }
  }

  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
  mutable std::mutex mutex_;
  std::condition_variable released_cv_;
  bool released_ = false;
  bool stall_answered_ = false;
  kelvra::Record last_request_;
};

// A socket listening on a free loopback port, which `port` is set to.
// Throws, naming `who`, when none can be had.
inline int listen_on_loopback(int& port, const std::string& who) {
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      ::listen(listener, 8) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0)
    throw std::runtime_error(who + ": cannot listen on a loopback port");
  port = ntohs(address.sin_port);
  return listener;
}

// A service on a loopback port that hands each connection, one at a time,
// to `serve(fd, stopping)`; `stopping` turns true when the service is being
// destroyed, and `serve` must then return.
class RawService {
 public:
  using Serve = std::function<void(int fd, const std::atomic<bool>& stopping)>;

  explicit RawService(Serve serve) : serve_(std::move(serve)) {
    listener_ = listen_on_loopback(port_, "raw service");
    thread_ = std::thread([this] {
      while (!stopping_) {
        pollfd ready{listener_, POLLIN, 0};
        if (::poll(&ready, 1, 20) <= 0) continue;
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        serve_(fd, stopping_);
        ::close(fd);
      }
    });
  }

  ~RawService() {
    stopping_ = true;
    thread_.join();
    ::close(listener_);
  }

  RawService(const RawService&) = delete;
  RawService& operator=(const RawService&) = delete;

  int port() const { return port_; }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }

  // Reads a request's head and its body (by its Content-Length).
  static std::string read_request(int fd) {
    std::string in;
    char block[4096];
    std::size_t body_size = std::string::npos, head_end = std::string::npos;
    while (head_end == std::string::npos || in.size() < head_end + body_size) {
      const ssize_t n = ::recv(fd, block, sizeof block, 0);
      if (n <= 0) break;
      in.append(block, static_cast<std::size_t>(n));
      if (head_end == std::string::npos && (head_end = in.find("\r\n\r\n")) != std::string::npos) {
        head_end += 4;
        const std::size_t length = in.find("Content-Length: ");
        body_size = length < head_end ? std::stoul(in.substr(length + 16)) : 0;
      }
    }
    return in;
  }

  // Writes all of `bytes`; false once the client has gone.
  static bool send_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n <= 0) return false;
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }

 private:
  Serve serve_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace kvc::sdk
