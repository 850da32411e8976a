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
//   "list"         a list of two feature sets
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
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include <httplib.h>

#include "kelvra/common/record.h"

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

  // A feature set with one word per blank-separated token of `text`.
  static kelvra::Record feature_set_for(const std::string& text) {
    kelvra::Record words = kelvra::Record::array();
    std::int64_t id = 0;
    for (std::size_t pos = 0; pos < text.size();) {
      std::size_t end = text.find(' ', pos);
      if (end == std::string::npos) end = text.size();
      if (end > pos)
        words.push_back({{"id", id++},
                         {"text", text.substr(pos, end - pos)},
                         {"offset", static_cast<std::int64_t>(pos)},
                         {"length", static_cast<std::int64_t>(end - pos)},
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
      kelvra::Record list = {feature_set_for("first set"), feature_set_for("second")};
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

}  // namespace kvc::sdk
