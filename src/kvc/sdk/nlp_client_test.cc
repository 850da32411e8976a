#include "kvc/sdk/nlp_client.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "kelvra/common/exceptions.h"
#include "kelvra/nlp/common/feature/lang/en/feature.h"
#include "kvc/sdk/test_service.h"

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
                          "http://host:", "http://host:99999", "http://host:8o",
                          "http://host/a b", "http://host/?q=1", "http://user@host"}) {
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
  EXPECT_EQ(service.last_request().dump(),
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
  en::FeatureSet doc(std::vector<en::Word>{en::Word(0, "Dogs", 0, 4, {.pos = "NNS", .lemma = "dog"}),
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
              HasSubstr(endpoint + ": the answer is not JSON"));
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
  EXPECT_THAT(message, HasSubstr(service.url() + "/features: no answer within the time-out of 0.3 s"));
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
  EXPECT_THAT(remote_error([&] { small.features("echo:" + set, {}, "zh_cn", Record()); }),
              HasSubstr(service.url() + "/features: the answer is larger than the cap of 100 bytes"));
  EXPECT_THAT(remote_error([&] { NlpClient(service.url(), 5, 0); }, ErrorCodes::INVALID_PARAMETERS),
              HasSubstr("max_answer_bytes must be a positive number of bytes, got 0"));
}

TEST(NlpClient, AnswersNestedTooDeepAreRefusedBeforeParsing) {
  TestService service;
  NlpClient client(service.url(), 5);
  const std::string deep = std::string(kelvra::common::kMaxRecordDepth, '[') + std::string(kelvra::common::kMaxRecordDepth, ']');
  EXPECT_THAT(remote_error([&] { client.features("echo:{\"words\":" + deep + "}", {}, "zh_cn", Record()); }),
              HasSubstr(service.url() + "/features: the answer is nested deeper than 1000 levels (at byte 1008)"));
}

TEST(NlpClient, RejectsTextThatIsNotUtf8BeforeSending) {
  NlpClient client("http://127.0.0.1:1");
  EXPECT_THROW(client.features("bad\xFF", {}, "zh_cn", Record()), TypeError);
  EXPECT_THROW(client.features("ok", {}, "zh_cn", Record("bad\xFF")), TypeError);
}

}  // namespace
}  // namespace kvc::sdk
