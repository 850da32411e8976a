#include "kelvra/nlp/common/feature/annotator.h"

#include <fstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "kelvra/common/exceptions.h"
#include "kvc/sdk/test_service.h"

namespace kelvra::nlp::common::feature::annotator {
namespace {

using kelvra::common::ErrorCodes;
using kelvra::common::FileError;
using kelvra::common::KeyError;
using kelvra::common::KvException;
using kelvra::common::TypeError;
using kvc::sdk::NlpClient;
using kvc::sdk::TestService;
using ::testing::HasSubstr;

// A language served without the network: its extractor records what it was
// made with and how often it was asked.
struct Recorder {
  Record tag;
  int calls = 0;
};

Recorder& recorder() {
  static Recorder r;
  return r;
}

class RecordingExtractor : public lang::Extractor {
 public:
  lang::Extraction extract(std::string_view text, const std::vector<types::Types>&) override {
    ++recorder().calls;
    return FeatureSet(std::vector<Word>{Word(0, std::string(text), 0, 1)});
  }
};

void register_recording_language() {
  lang::register_factory("recording", [](std::shared_ptr<NlpClient>, const Record& tag) {
    recorder().tag = tag;
    return std::make_unique<RecordingExtractor>();
  });
}

template <class F>
std::string key_error(F f, const std::string& key) {
  try {
    f();
  } catch (const KeyError& e) {
    EXPECT_EQ(e.key(), key);
    return e.what();
  }
  ADD_FAILURE() << "no KeyError";
  return "";
}

// --- Construction ---

TEST(Annotator, AddressComesFromTheKeysInPriorityOrder) {
  Annotator first(Record::parse(
      R"({"kvcloud_url":"http://second:1","nlp_client":{"url":"http://first:1"},"kvc_sdk_url":"http://third:1"})"));
  EXPECT_EQ(first.nlp_client()->url(), "http://first:1");
  EXPECT_EQ(Annotator(Record{{"kvc_sdk_url", "http://third:1"}, {"kvcloud_url", "http://second:1"}})
                .nlp_client()
                ->url(),
            "http://second:1");
  EXPECT_EQ(Annotator(Record{{"kvc_sdk_url", "http://third:1"}}).nlp_client()->url(),
            "http://third:1");

  EXPECT_EQ(key_error(
                [] {
                  Annotator a(Record{{"lang", "zh_cn"}, {"url", "http://x"}});
                },
                "url"),
            "must specify a url");
  EXPECT_EQ(key_error(
                [] {
                  Annotator a(Record{{"nlp_client", {{"uri", "http://x"}}}});
                },
                "url"),
            "missing key 'url'");
  EXPECT_THROW(Annotator(Record{{"kvcloud_url", nullptr}}), TypeError);
}

TEST(Annotator, TimeoutDefaultsTo60AndNullPassesNull) {
  EXPECT_EQ(Annotator(Record{{"kvcloud_url", "http://h"}}).nlp_client()->timeout(), 60.0);
  Annotator null_timeout(Record{{"kvcloud_url", "http://h"}, {"timeout", nullptr}});
  EXPECT_FALSE(null_timeout.nlp_client()->timeout().has_value());
  EXPECT_EQ(null_timeout.nlp_client()->effective_timeout(), NlpClient::kDefaultTimeout);
  EXPECT_EQ(
      Annotator(Record{{"kvcloud_url", "http://h"}, {"timeout", 2.5}}).nlp_client()->timeout(),
      2.5);
  try {
    Annotator bad(Record{{"kvcloud_url", "http://h"}, {"timeout", "60"}});
    FAIL();
  } catch (const TypeError& e) {
    EXPECT_EQ(e.parameter(), "timeout");
  }
}

TEST(Annotator, AnswerCapComesFromTheConfiguration) {
  EXPECT_EQ(Annotator(Record{{"kvcloud_url", "http://h"}}).nlp_client()->max_answer_bytes(),
            NlpClient::kDefaultMaxAnswerBytes);
  EXPECT_EQ(Annotator(Record{{"kvcloud_url", "http://h"}, {"max_answer_bytes", 1000}})
                .nlp_client()
                ->max_answer_bytes(),
            1000);
  EXPECT_THROW(Annotator(Record{{"kvcloud_url", "http://h"}, {"max_answer_bytes", "1"}}),
               kelvra::common::TypeError);
}

TEST(Annotator, LanguageDefaultsToChineseAndMustBeRegistered) {
  EXPECT_EQ(Annotator(Record{{"kvcloud_url", "http://h"}}).lang(), "zh_cn");
  auto client = std::make_shared<NlpClient>("http://h", 1.0);
  Annotator ready(client);
  EXPECT_EQ(ready.lang(), "zh_cn");
  EXPECT_EQ(ready.nlp_client(), client);

  EXPECT_EQ(key_error(
                [] {
                  Annotator a(Record{{"kvcloud_url", "http://h"}, {"lang", "fr_fr"}});
                },
                "lang"),
            "the lang `fr_fr` is not register!");
  EXPECT_EQ(key_error(
                [] {
                  Annotator a(Record{{"kvcloud_url", "http://h"}, {"lang", nullptr}});
                },
                "lang"),
            "the lang `None` is not register!");
}

TEST(Annotator, FactoryGetsTheTagSettings) {
  register_recording_language();
  Annotator with_tag(
      Record{{"kvcloud_url", "http://h"}, {"lang", "recording"}, {"tag", {{"a", 1}}}});
  EXPECT_EQ(with_tag.lang(), "recording");
  EXPECT_EQ(recorder().tag, (Record{{"a", 1}}));
  Annotator without_tag(Record{{"kvcloud_url", "http://h"}, {"lang", "recording"}});
  EXPECT_EQ(recorder().tag, Record::object());
}

TEST(Annotator, ReadsAConfigurationFile) {
  std::string path = ::testing::TempDir() + "annotator_config.json";
  std::ofstream(path) << R"({"nlp_client": {"url": "http://from-file:9"}, "timeout": 5})";
  Annotator from_file(path);
  EXPECT_EQ(from_file.nlp_client()->url(), "http://from-file:9");
  EXPECT_EQ(from_file.nlp_client()->timeout(), 5.0);
  EXPECT_EQ(Annotator(Record(path)).nlp_client()->url(), "http://from-file:9");
  EXPECT_THROW(Annotator("/nonexistent/annotator.json"), FileError);
}

TEST(Annotator, RejectsParamsOfOtherKinds) {
  for (const Record& param : {Record(5), Record::array(), Record(nullptr)}) {
    try {
      Annotator a(param);
      FAIL();
    } catch (const TypeError& e) {
      EXPECT_EQ(e.parameter(), "param");
    }
  }
  EXPECT_THROW(Annotator{std::shared_ptr<NlpClient>()}, TypeError);
}

// --- extract ---

TEST(Annotator, ExtractChecksItsArgumentsBeforeTheExtractor) {
  register_recording_language();
  Annotator annotator(Record{{"kvcloud_url", "http://h"}, {"lang", "recording"}});
  int before = recorder().calls;
  auto expect_type_error = [&](auto f, const std::string& parameter) {
    try {
      f();
      ADD_FAILURE() << parameter;
    } catch (const TypeError& e) {
      EXPECT_EQ(e.parameter(), parameter);
    }
  };
  expect_type_error([&] { annotator.extract("bad\xFF", {Annotator::Types::WORD}); }, "text");
  expect_type_error([&] { annotator.extract("ok", {Annotator::Types::WORD}, "bad\xFF"); }, "tag");
  expect_type_error([&] { annotator.extract("ok", Record("WORD")); }, "types");
  expect_type_error([&] { annotator.extract("ok", Record{{"WORD", 1}}); }, "types");
  expect_type_error([&] { annotator.extract("ok", Record::parse(R"(["WORD"])"), Record(3)); },
                    "tag");
  EXPECT_THROW(annotator.extract("ok", Record::parse(R"(["VERB"])")), KvException);
  EXPECT_EQ(recorder().calls, before);

  auto plain = annotator.extract("ok", Record::parse(R"(["WORD"])"), Record(nullptr));
  EXPECT_EQ(recorder().calls, before + 1);
  EXPECT_EQ(
      std::get<FeatureSet>(plain).to_json(),
      std::get<FeatureSet>(annotator.extract("ok", {Annotator::Types::WORD}, "any tag")).to_json());
}

TEST(Annotator, ExtractsThroughTheService) {
  TestService service;
  Annotator annotator(Record{{"nlp_client", {{"url", service.url()}}}, {"tag", {{"k", "v"}}}});
  auto one = annotator.extract("你好 世界", {Annotator::Types::WORD, Annotator::Types::NER});
  EXPECT_EQ(std::get<FeatureSet>(one).to_json(),
            FeatureSet::from_json(TestService::feature_set_for("你好 世界")).to_json());
  EXPECT_EQ(service.last_request()["tag"], (Record{{"k", "v"}}));
  EXPECT_EQ(service.last_request()["types"], Record::parse(R"(["WORD","NER"])"));

  auto many = annotator.extract("list", {Annotator::Types::WORD}, "ignored");
  EXPECT_EQ(std::get<std::vector<FeatureSet>>(many).size(), 2u);
}

TEST(Annotator, StalledServiceFailsNamingItsUrl) {
  TestService service;
  Annotator annotator(Record{{"kvcloud_url", service.url()}, {"timeout", 0.3}});
  try {
    annotator.extract("stall", {Annotator::Types::WORD});
    FAIL();
  } catch (const KvException& e) {
    EXPECT_EQ(e.code(), ErrorCodes::REMOTE_ERROR);
    EXPECT_THAT(e.what(), HasSubstr(service.url()));
  }
  EXPECT_FALSE(service.stall_answered());
}

}  // namespace
}  // namespace kelvra::nlp::common::feature::annotator
