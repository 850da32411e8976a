#include "kelvra/nlp/common/feature/lang/lang.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "kelvra/common/exceptions.h"
#include "kvc/sdk/test_service.h"

namespace kelvra::nlp::common::feature::lang {
namespace {

using kelvra::common::ErrorCodes;
using kelvra::common::KvException;
using kvc::sdk::NlpClient;
using kvc::sdk::TestService;
using ::testing::Contains;
using ::testing::HasSubstr;
using types::Types;

TEST(Lang, GetFindsRegisteredCodesOnly) {
  EXPECT_TRUE(get("zh_cn").has_value());
  EXPECT_FALSE(get("xx_yy").has_value());
  EXPECT_THAT(codes(), Contains("zh_cn"));

  ExtractorFactory fallback = [](std::shared_ptr<NlpClient>, const Record&) {
    return std::unique_ptr<Extractor>();
  };
  auto got = get("xx_yy", fallback);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ((*got)(nullptr, Record()), nullptr);

  register_factory("test_lang", fallback);
  EXPECT_TRUE(get("test_lang").has_value());
}

TEST(Lang, ChineseExtractorAsksTheServiceAndReadsFeatureSets) {
  TestService service;
  auto client = std::make_shared<NlpClient>(service.url(), 5);
  auto extractor = (*get("zh_cn"))(client, Record{{"model", "big"}});

  Extraction one = extractor->extract("你好 世界", {Types::WORD, Types::POS});
  ASSERT_TRUE(std::holds_alternative<FeatureSet>(one));
  const FeatureSet& set = std::get<FeatureSet>(one);
  ASSERT_TRUE(set.words.has_value());
  ASSERT_EQ(set.words->size(), 2u);
  EXPECT_EQ((*set.words)[1].text, "世界");
  EXPECT_EQ(service.last_request().dump(),
            R"({"text":"你好 世界","types":["WORD","POS"],"lang":"zh_cn","tag":{"model":"big"}})");

  Extraction many = extractor->extract("list", {Types::WORD});
  ASSERT_TRUE(std::holds_alternative<std::vector<FeatureSet>>(many));
  EXPECT_EQ(std::get<std::vector<FeatureSet>>(many).size(), 2u);
}

TEST(Lang, RecordsThatDoNotReadAreTheServicesFault) {
  TestService service;
  auto extractor = (*get("zh_cn"))(std::make_shared<NlpClient>(service.url(), 5), Record());
  try {
    extractor->extract("bad word", {Types::WORD});
    FAIL();
  } catch (const KvException& e) {
    EXPECT_EQ(e.code(), ErrorCodes::REMOTE_ERROR);
    EXPECT_THAT(e.what(), HasSubstr(service.url() + "/features: the answer holds a feature set "
                                                    "that does not read: missing key 'id'"));
  }
  EXPECT_THROW((*get("zh_cn"))(nullptr, Record()), kelvra::common::TypeError);
}

// Answers whatever it was made with, without a service.
class StubClient : public NlpClient {
 public:
  explicit StubClient(Record answer)
      : NlpClient("http://stub.invalid/nlp"), answer_(std::move(answer)) {}
  Record features(std::string_view, const std::vector<std::string>&, std::string_view,
                  const Record&) const override {
    return answer_;
  }

 private:
  Record answer_;
};

TEST(Lang, RegressionPositionsOutsideTheTextAreTheServicesFault) {
  const std::string text = "你好，世界。Hello!";  // 12 code points
  auto extract = [&](const Record& answer) {
    return (*get("zh_cn"))(std::make_shared<StubClient>(answer), Record())
        ->extract(text, {Types::WORD});
  };
  auto word = [](Record offset, Record length) {
    return Record{
        {"id", 0}, {"text", "x"}, {"offset", std::move(offset)}, {"length", std::move(length)}};
  };
  // Inside: up to the last code point, and an empty word at the very end.
  EXPECT_NO_THROW(extract(
      Record{{"words", {word(0, 12), word(12, 0)}}, {"nes", {{{"offset", 6}, {"length", 6}}}}}));
  EXPECT_NO_THROW(
      extract(Record{{"nes", {{{"spans", {{{"offset", 0}, {"length", 2}}}}}, {{"type", "LOC"}}}}}));

  const std::pair<Record, std::string> outside[] = {
      {Record{{"words", {word(1e15, 2)}}},
       "the answer's word 0 lies outside the text of 12 code points: {\"id\":0"},
      {Record{{"words", {word(0, 2), word(3, -4)}}}, "the answer's word 1 lies outside"},
      {Record{{"words", {word(11, 2)}}}, "the answer's word 0 lies outside"},
      {Record{{"nes", {{{"offset", -7}, {"length", 2}}}}},
       "the answer's entity 0 lies outside the text of 12 code points: {\"offset\":-7"},
      {Record{{"nes", {{{"spans", {{{"offset", 10}, {"length", 5}}}}}}}},
       "the answer's entity 0 lies outside"},
      {Record{{"nes", {{{"offset", "3"}}}}},
       "the answer's entity 0 is not placed in the text: its `offset` is not a number"},
      {Record::array({Record::object(), Record{{"words", {word(13, 0)}}}}),
       "the answer's feature set 1, word 0 lies outside"},
  };
  for (const auto& [answer, message] : outside) {
    try {
      extract(answer);
      ADD_FAILURE() << answer.dump();
    } catch (const KvException& e) {
      EXPECT_EQ(e.code(), ErrorCodes::REMOTE_ERROR);
      EXPECT_THAT(e.what(),
                  HasSubstr("NLP service at http://stub.invalid/nlp/features: " + message))
          << answer.dump();
    }
  }
}

}  // namespace
}  // namespace kelvra::nlp::common::feature::lang
