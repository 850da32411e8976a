#include "kvc/sdk/nlp_client.h"

#include <atomic>
#include <chrono>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "kelvra/common/exceptions.h"
#include "kelvra/nlp/common/feature/lang/en/feature.h"
#include "kvc/sdk/test_service.h"
#include "kvc/sdk/test_tls.h"

namespace kvc::sdk {
namespace {

using kelvra::Record;
using kelvra::common::ErrorCodes;
using kelvra::common::KvException;
using kelvra::common::TypeError;
using ::testing::HasSubstr;

// The message of the KvException that `f` throws (with the code checked).
template <class F>
std::string remote_error(F f, ErrorCodes code = ErrorCodes::REMOTE_ERROR) {
  try {
    f();
  } catch (const KvException& e) {
    EXPECT_EQ(e.code(), code) << e.what();
    return e.what();
  }
  ADD_FAILURE() << "no KvException";
  return "";
}

// --- Addresses and time-outs ---

TEST(NlpClient, ParsesItsAddress) {
  NlpClient plain("http://127.0.0.1:8080");
  EXPECT_EQ(plain.endpoint(), "http://127.0.0.1:8080/features");
  EXPECT_FALSE(plain.timeout().has_value());
  EXPECT_EQ(plain.effective_timeout(), NlpClient::kDefaultTimeout);

  NlpClient with_path("https://nlp.example/api/v1/", 2.5);
  EXPECT_EQ(with_path.url(), "https://nlp.example/api/v1/");
  EXPECT_EQ(with_path.endpoint(), "https://nlp.example/api/v1/features");
  EXPECT_EQ(with_path.timeout(), 2.5);
  EXPECT_EQ(NlpClient("http://[::1]:9000/x").endpoint(), "http://[::1]:9000/x/features");
}

TEST(NlpClient, RejectsBadAddressesAndTimeouts) {
  for (const char* url : {"", "127.0.0.1:80", "ftp://host", "http://", "http://:80",
                          "http://host:", "http://host:99999", "http://host:8o", "http://host/a b",
                          "http://host/?q=1", "http://user@host"}) {
    EXPECT_THAT(remote_error([&] { NlpClient client(url); }, ErrorCodes::INVALID_PARAMETERS),
                HasSubstr(std::string("url `") + url + "`"));
  }
  for (double timeout : {0.0, -1.0, std::nan("")}) {
    EXPECT_THAT(remote_error([&] { NlpClient client("http://h", timeout); },
                             ErrorCodes::INVALID_PARAMETERS),
                HasSubstr("timeout"));
  }
  EXPECT_THROW(NlpClient("http://h\xFF"), TypeError);
}

// --- Talking to the service ---

TEST(NlpClient, SendsTheRequestAndReadsOneFeatureSet) {
  TestService service;
  NlpClient client(service.url(), 5);
  Record tag = {{"model", "small"}};
  Record answer = client.features("你好 世界", {"WORD", "NER"}, "zh_cn", tag);
  EXPECT_EQ(answer, TestService::feature_set_for("你好 世界"));
  EXPECT_EQ(
      service.last_request().dump(),
      R"({"text":"你好 世界","types":["WORD","NER"],"lang":"zh_cn","tag":{"model":"small"}})");

  NlpClient below_a_path(service.url() + "/nlp/", 5);
  EXPECT_EQ(below_a_path.features("x", {}, "en", Record()), TestService::feature_set_for("x"));
}

TEST(NlpClient, ReadsAListAnswer) {
  TestService service;
  Record answer = NlpClient(service.url(), 5).features("list", {"WORD"}, "zh_cn", Record::object());
  ASSERT_TRUE(answer.is_array());
  EXPECT_EQ(answer.size(), 2u);
}

TEST(NlpClient, EnglishRecordsRoundTripThroughTheService) {
  namespace en = kelvra::nlp::common::feature::lang::en;
  en::FeatureSet doc(
      std::vector<en::Word>{en::Word(0, "Dogs", 0, 4, {.pos = "NNS", .lemma = "dog"}),
                            en::Word(1, "bark", 5, 4, {.mask = true})},
      std::vector<en::Entity>{}, std::nullopt, "Dogs bark");
  TestService service;
  Record answer = NlpClient(service.url(), 5)
                      .features("echo:" + doc.to_json().dump(), {"WORD"}, "en", Record::object());
  EXPECT_EQ(en::FeatureSet::from_json(answer), doc);
}

TEST(NlpClient, EveryFailureNamesTheEndpoint) {
  TestService service;
  NlpClient client(service.url(), 5);
  const std::string endpoint = service.url() + "/features";
  auto ask = [&](const char* text) { client.features(text, {"WORD"}, "zh_cn", Record::object()); };

  std::string status = remote_error([&] { ask("fail"); });
  EXPECT_THAT(status, HasSubstr(endpoint));
  EXPECT_THAT(status, HasSubstr("status 500: model crashed see the log"));
  EXPECT_THAT(remote_error([&] { ask("not json"); }),
              HasSubstr(endpoint + ": the answer is not valid JSON at column 1: invalid literal; "
                                   "last read: '<'; it begins: <html>maintenance</html>"));
  EXPECT_THAT(remote_error([&] { ask("not a set"); }),
              HasSubstr("neither a feature set nor a list"));

  NlpClient wrong_path(service.url() + "/elsewhere", 5);
  EXPECT_THAT(remote_error([&] { wrong_path.features("x", {}, "zh_cn", Record()); }),
              HasSubstr(service.url() + "/elsewhere/features: answered with status 404"));
}

TEST(NlpClient, UnreachableServiceNamesTheEndpoint) {
  std::string url;
  {
    TestService gone;
    url = gone.url();
  }
  NlpClient client(url, 5);
  std::string message =
      remote_error([&] { client.features("x", {"WORD"}, "zh_cn", Record::object()); });
  EXPECT_THAT(message, HasSubstr(url + "/features"));
  EXPECT_EQ(message.find('\n'), std::string::npos);
}

TEST(NlpClient, GivesUpOnAStalledServiceBeforeItAnswers) {
  TestService service;
  NlpClient client(service.url(), 0.3);
  std::string message =
      remote_error([&] { client.features("stall", {"WORD"}, "zh_cn", Record::object()); });
  EXPECT_FALSE(service.stall_answered());
  EXPECT_THAT(message,
              HasSubstr(service.url() + "/features: no answer within the time-out of 0.3 s"));
}

TEST(NlpClient, RegressionHugeTimeOutWaitsRatherThanOverflowing) {
  // 1e10 s in clock ticks overflows; it used to fail at once as a time-out.
  TestService service;
  NlpClient client(service.url(), 1e10);
  EXPECT_TRUE(client.features("a b", {"WORD"}, "zh_cn", Record::object()).is_object());
}

TEST(NlpClient, AnswersPastTheCapAreRefusedNamingUrlAndCap) {
  TestService service;
  EXPECT_EQ(NlpClient(service.url()).max_answer_bytes(), 64 << 20);
  const std::string set = R"({"words":[],"nes":[],"pad":")" + std::string(200, 'x') + "\"}";
  NlpClient roomy(service.url(), 5, 4096);
  EXPECT_TRUE(roomy.features("echo:" + set, {}, "zh_cn", Record()).is_object());
  NlpClient small(service.url(), 5, 100);
  EXPECT_THAT(
      remote_error([&] { small.features("echo:" + set, {}, "zh_cn", Record()); }),
      HasSubstr(service.url() + "/features: the answer is larger than the cap of 100 bytes"));
  EXPECT_THAT(remote_error([&] { NlpClient(service.url(), 5, 0); }, ErrorCodes::INVALID_PARAMETERS),
              HasSubstr("max_answer_bytes must be a positive number of bytes, got 0"));
}

TEST(NlpClient, AnswersNestedTooDeepAreRefusedBeforeParsing) {
  TestService service;
  NlpClient client(service.url(), 5);
  const std::string deep = std::string(kelvra::common::kMaxRecordDepth, '[') +
                           std::string(kelvra::common::kMaxRecordDepth, ']');
  EXPECT_THAT(
      remote_error(
          [&] { client.features("echo:{\"words\":" + deep + "}", {}, "zh_cn", Record()); }),
      HasSubstr(service.url() +
                "/features: the answer is JSON nested deeper than 1000 levels (at byte 1008)"));
}

TEST(NlpClient, AnswersWhoseRecordsWouldTakeTooMuchMemoryAreRefused) {
  // 300 kB of empty sets is within a 400 kB cap, but each {} takes some
  // 60 bytes of memory: past 8 times the cap.
  std::string sets = "[{}";
  for (int i = 0; i < 100000; ++i) sets += ",{}";
  sets += "]";
  TestService service;
  NlpClient client(service.url(), 5, 400000);
  EXPECT_THAT(
      remote_error([&] { client.features("echo:" + sets, {}, "zh_cn", Record()); }),
      HasSubstr(service.url() + "/features: the answer is JSON whose records would take more than "
                                "3200000 bytes of memory (8 times max_answer_bytes)"));
  EXPECT_EQ(
      NlpClient(service.url(), 5, 4000000).features("echo:" + sets, {}, "zh_cn", Record()).size(),
      100001u);
}

TEST(NlpClient, ErrorStatusesAreReportedWhateverTheCap) {
  // The body of a 500 is larger than 10 bytes: still a 500, with its start.
  TestService service;
  NlpClient small(service.url(), 5, 10);
  EXPECT_THAT(remote_error([&] { small.features("fail", {}, "zh_cn", Record()); }),
              HasSubstr("/features: answered with status 500: model crashed see the log"));
}

TEST(NlpClient, RegressionNulAfterTheAnswerIsNotIgnored) {
  TestService service;
  NlpClient client(service.url(), 5);
  EXPECT_THAT(remote_error([&] {
                client.features(std::string("echo:{\"words\":[]}\0{}", 19), {}, "zh_cn", Record());
              }),
              HasSubstr("/features: the answer is not valid JSON at column 13: a NUL byte"));
}

// --- Hostile services: each ends at the deadline or with a clear message ---

// A client of `url` that trusts the test services' TLS front.
NlpClient client_of(const std::string& url, double timeout, std::int64_t cap = 1 << 20) {
  return NlpClient(url, timeout, cap, {.ca_file = TlsFront::ca_file()});
}

// The message of asking `url` for "x" with `timeout` (and `cap`).
std::string failure_from(const std::string& url, double timeout, std::int64_t cap = 1 << 20,
                         const std::string& text = "x") {
  NlpClient client = client_of(url, timeout, cap);
  return remote_error([&] { client.features(text, {"WORD"}, "zh_cn", Record::object()); });
}

// A test service's two doors: its own http address, and https through a
// TLS front. Every hostile service is met through both.
class Doors {
 public:
  explicit Doors(int port) : front_(port) {
    urls_ = {"http://127.0.0.1:" + std::to_string(port), front_.url()};
  }
  // Iterated over directly, so that a temporary lives through the loop.
  auto begin() const { return urls_.begin(); }
  auto end() const { return urls_.end(); }

 private:
  TlsFront front_;
  std::vector<std::string> urls_;
};

// Sends `bytes` every 50 ms until the client goes away or the service stops
// (or 20 s have passed: a client without a deadline would wait that long).
RawService::Serve trickle(std::string head, std::string bytes) {
  return [=](int fd, const std::atomic<bool>& stopping) {
    RawService::read_request(fd);
    bool open = RawService::send_all(fd, head);
    for (int i = 0; open && !stopping && i < 400; ++i) {
      open = RawService::send_all(fd, bytes);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  };
}

// Sends `head`, then `bytes` over and over as fast as the client takes them
// (200 MB at most).
RawService::Serve flood(std::string head, std::string bytes) {
  return [=](int fd, const std::atomic<bool>& stopping) {
    RawService::read_request(fd);
    bool open = RawService::send_all(fd, head);
    for (std::size_t sent = 0; open && !stopping && sent < (200u << 20); sent += bytes.size())
      open = RawService::send_all(fd, bytes);
  };
}

// Reads the request, answers `answer` and closes.
RawService::Serve answers(std::string answer) {
  return [=](int fd, const std::atomic<bool>&) {
    RawService::read_request(fd);
    RawService::send_all(fd, answer);
  };
}

TEST(NlpClientHostile, TricklingHeadersOrBodyEndAtTheDeadline) {
  // Each read comes within a per-read time-out; only a deadline ends these.
  RawService headers(trickle("HTTP/1.1 200 OK\r\n", "X-Slow: 1\r\n"));
  for (const std::string& url : Doors(headers.port()))
    EXPECT_THAT(
        failure_from(url, 0.5),
        HasSubstr("no answer within the time-out of 0.5 s (while reading the answer's headers"));
  RawService body(trickle("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n[", "{},"));
  for (const std::string& url : Doors(body.port()))
    EXPECT_THAT(
        failure_from(url, 0.5),
        HasSubstr("no answer within the time-out of 0.5 s (while reading the answer's body"));
}

TEST(NlpClientHostile, AServiceThatNeverReadsEndsAtTheDeadline) {
  RawService deaf([](int, const std::atomic<bool>& stopping) {
    while (!stopping) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  });
  for (const std::string& url : Doors(deaf.port()))
    EXPECT_THAT(failure_from(url, 0.5, 1 << 20, std::string(30 << 20, 'a')),
                HasSubstr("no answer within the time-out of 0.5 s (while sending the request; "
                          "the service took "));
}

TEST(NlpClientHostile, HeadersAreCappedHoweverTheyCome) {
  RawService many_lines(flood("HTTP/1.1 200 OK\r\n", std::string(1000, 'X') + ": y\r\n"));
  RawService one_line(flood("HTTP/1.1 200 OK\r\nX-Long: ", std::string(1 << 16, 'a')));
  for (const RawService* service : {&many_lines, &one_line})
    for (const std::string& url : Doors(service->port()))
      EXPECT_THAT(failure_from(url, 30), HasSubstr("the answer's headers are larger than 64 KiB"));
}

TEST(NlpClientHostile, BrokenAnswersAreNamedForWhatTheyAre) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "the service closed the connection without answering"},
      {"{\"words\":[]}", "the answer is not HTTP/1.x: it begins with `{\"words\":[]}`"},
      {"HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\n",
       "Content-Length `-5` is not a number of bytes"},
      {"HTTP/1.1 200 OK\r\nContent-Length: 1e20\r\n\r\n", "Content-Length `1e20` is not a number"},
      {"HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\n",
       "is not a number of bytes"},
      {"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n{}",
       "closed the connection after 2 of the 10 bytes"},
      {"HTTP/1.1 200 OK\r\nContent-Type: appl",
       "closed the connection in the middle of the answer's headers"},
      {"HTTP/1.1 OK\r\n\r\n", "the answer's status line is not HTTP/1.x"},
      {"HTTP/1.1 200 OK\r\nbroken header\r\n\r\n", "malformed header line"},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", "chunk size `zz`"},
      {"HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\n\r\n", "Content-Encoding: gzip"},
      {"HTTP/1.1 200 OK\r\nContent-Length: 2000000\r\n\r\n",
       "larger than the cap of 1048576 bytes"},
      {"HTTP/1.1 503 Busy\r\nContent-Length: 9000000\r\n\r\n" + std::string(5000, 'b'),
       "answered with status 503: bbbb"},
      {"HTTP/1.1 500 Oops\r\nContent-Length: 100\r\n\r\ncut short",
       "answered with status 500: cut short"},
  };
  for (const auto& [answer, message] : cases) {
    RawService service(answers(answer));
    for (const std::string& url : Doors(service.port())) {
      const std::string failure = failure_from(url, 5);
      EXPECT_THAT(failure, HasSubstr(url + "/features: ")) << answer;
      EXPECT_THAT(failure, HasSubstr(message)) << url << " " << answer;
    }
  }
  // Under a cap set sky-high, a claimed length allocates nothing up front.
  RawService claims(answers("HTTP/1.1 200 OK\r\nContent-Length: 999999999999999999\r\n\r\n{}"));
  for (const std::string& url : Doors(claims.port()))
    EXPECT_THAT(failure_from(url, 5, INT64_MAX),
                HasSubstr("closed the connection after 2 of the 999999999999999999 bytes"));
}

TEST(NlpClientHostile, ChunkedAndCloseDelimitedAnswersRead) {
  const Record expected = {{"words", Record::array()}};
  RawService chunked(
      answers("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
              "4;x=y\r\n{\"wo\r\n8\r\nrds\":[]}\r\n0\r\nX-Trailer: 1\r\n\r\n"));
  RawService until_close(answers("HTTP/1.0 200 OK\r\n\r\n{\"words\":[]}"));
  for (const RawService* service : {&chunked, &until_close})
    for (const std::string& url : Doors(service->port()))
      EXPECT_EQ(client_of(url, 5).features("x", {}, "zh_cn", Record()), expected) << url;
}

TEST(NlpClient, HttpsGoesTheWayHttpGoes) {
  TestService service;
  for (const std::string& url : Doors(service.port())) {
    const NlpClient client = client_of(url, 5);
    EXPECT_EQ(client.features("你好 世界", {"WORD"}, "zh_cn", Record::object()),
              TestService::feature_set_for("你好 世界"));
    EXPECT_THAT(remote_error([&] { client.features("fail", {}, "zh_cn", Record()); }),
                HasSubstr(url + "/features: answered with status 500: model crashed see the log"));
  }
  // Without the front's certificate among those trusted, nothing is sent.
  const TlsFront front(service.port());
  const NlpClient untrusting(front.url(), 5);
  EXPECT_THAT(remote_error([&] { untrusting.features("x", {}, "zh_cn", Record()); }),
              HasSubstr(front.url() + "/features: the service's certificate is not trusted"));
}

TEST(NlpClientHostile, HttpsAgainstAPlainServiceSaysSo) {
  TestService plain;
  EXPECT_THAT(
      failure_from("https://127.0.0.1:" + std::to_string(plain.port()), 5),
      HasSubstr("the TLS handshake failed; is the service at this address an https service?"));
  RawService silent([](int, const std::atomic<bool>& stopping) {
    while (!stopping) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  });
  EXPECT_THAT(failure_from("https" + silent.url().substr(4), 0.5),
              HasSubstr("no answer within the time-out of 0.5 s"));
}

TEST(NlpClient, RejectsTextThatIsNotUtf8BeforeSending) {
  NlpClient client("http://127.0.0.1:1");
  EXPECT_THROW(client.features("bad\xFF", {}, "zh_cn", Record()), TypeError);
  EXPECT_THROW(client.features("ok", {}, "zh_cn", Record("bad\xFF")), TypeError);
}

}  // namespace
}  // namespace kvc::sdk
