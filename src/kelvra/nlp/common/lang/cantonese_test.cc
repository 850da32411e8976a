#include "kelvra/nlp/common/lang/cantonese.h"

#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "kelvra/common/exceptions.h"

namespace kelvra::nlp::common::lang::cantonese {
namespace {

using kelvra::common::FileError;
using kelvra::common::TypeError;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::Pair;
using ::testing::UnorderedElementsAre;

// Writes `content` to a file named after the running test; returns its path.
std::string dictionary_file(const std::string& content) {
  std::string path = ::testing::TempDir() + "c2m_" +
                     ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".tsv";
  std::ofstream(path, std::ios::binary) << content;
  return path;
}

const Cantonese& shipped() {
  static const Cantonese instance;
  return instance;
}

// --- the dictionary file ---

TEST(Load, FieldsTabsAndBlanks) {
  auto c2m = Cantonese::_load(dictionary_file(
      "佢哋\t他們\t第三欄\n"   // three fields: the first two count
      "嘅\t\t的\n"             // two tabs: an empty Mandarin word
      "單獨一個\n"             // no tab: skipped
      "尾巴\t\n"               // a tab only at the end, trimmed away: skipped
      "  有 空格\t有 空格\r\n"  // blanks around the line go, inner ones stay
      "\r"                     // a lone carriage return ends a line too
      "\n"
      "\u3000乜嘢\t什么\u3000"));  // Unicode white space is trimmed as well
  EXPECT_THAT(c2m, UnorderedElementsAre(Pair("佢哋", "他们"), Pair("嘅", ""), Pair("有 空格", "有 空格"),
                                        Pair("乜嘢", "什么")));
}

TEST(Load, LaterLineWinsAndTheLogCountsWordsOnce) {
  std::string path = dictionary_file("喺\t在\n係\t是\n喺\t在於\n");
  ::testing::internal::CaptureStderr();
  auto c2m = Cantonese::_load(path);
  std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(c2m.at("喺"), "在于");
  EXPECT_EQ(c2m.size(), 2u);
  EXPECT_THAT(log, MatchesRegex("\\[[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2},[0-9]{3}\\] "
                                "\\[INFO\\] \\[kelvra\\.nlp\\.common\\.lang\\.cantonese:[0-9]+\\] "
                                "Loaded 2 cantonese-mandarin pairs from " +
                                std::regex_replace(path, std::regex("[.]"), "\\.") + "\n"));
}

TEST(Load, ByteOrderMarkStaysPartOfTheFirstWord) {
  auto c2m = Cantonese::_load(dictionary_file("\xEF\xBB\xBF佢\t他\n"));
  EXPECT_EQ(c2m.count("\xEF\xBB\xBF佢"), 1u);
}

TEST(Load, MissingFileAndBadUtf8NameThePathAndLine) {
  try {
    Cantonese("no/such/c2m.tsv");
    FAIL();
  } catch (const FileError& e) {
    EXPECT_EQ(e.path(), "no/such/c2m.tsv");
  }
  std::string path = dictionary_file("佢\t他\n\n喺\t\xE5\x9C\n");
  try {
    Cantonese{path};
    FAIL();
  } catch (const FileError& e) {
    EXPECT_EQ(e.path(), path);
    EXPECT_EQ(e.line(), 3);
    EXPECT_THAT(e.what(), HasSubstr("UTF-8"));
  }
}

// --- translate ---

TEST(Translate, WordByWordWithSimplifiedKeys) {
  Cantonese cantonese(dictionary_file("佢哋\t他們\n嘅\t\t的\n喺\t在\n邊度\t哪裡\n"));
  // A traditional key matches simplified input, and the other way round.
  EXPECT_EQ(cantonese.translate("佢哋喺边度"), "他们在哪里");
  EXPECT_EQ(cantonese.translate("佢哋喺邊度"), "他们在哪里");
  // An empty Mandarin word deletes the Cantonese word.
  EXPECT_EQ(cantonese.translate("佢哋嘅書"), "他们书");
  // Words outside the dictionary come out simplified, otherwise unchanged.
  EXPECT_EQ(cantonese.translate("頭髮 OK 123"), "头发 OK 123");
  EXPECT_EQ(cantonese.translate(""), "");
}

TEST(Translate, RejectsInvalidUtf8NamingText) {
  try {
    shipped().translate("\xC3");
    FAIL();
  } catch (const TypeError& e) {
    EXPECT_EQ(e.parameter(), "text");
  }
}

// Regression: the converter stops at NUL, so "食\0飯" came out as "食饭".
TEST(Translate, RegressionNulAndTheTextAfterItAreKept) {
  using namespace std::string_literals;
  Cantonese cantonese(dictionary_file("佢哋\t他們\n"));
  EXPECT_EQ(cantonese.translate("頭\0髮\0\0佢哋\0"s), "头\0发\0\0他们\0"s);
  const std::string rice = shipped().translate("食\0飯"s);
  EXPECT_EQ(rice.substr(rice.size() - 4), "\0饭"s);
}

TEST(Translate, ConcurrentCallsAgree) {
  const std::string text = "佢哋而家喺邊度食緊飯？我哋聽日再傾啦。";
  const std::string expected = shipped().translate(text);
  std::vector<std::thread> threads;
  std::vector<std::string> results(4);
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) results[t] = shipped().translate(text);
    });
  for (auto& thread : threads) thread.join();
  for (const auto& result : results) EXPECT_EQ(result, expected);
}

// --- the shipped dictionary ---

TEST(Shipped, DefaultPathIsBesideTheLibrary) {
  std::filesystem::path path = Cantonese::default_dict_file();
  EXPECT_TRUE(path.is_absolute());
  EXPECT_EQ(path.filename(), "c2m.tsv");
  EXPECT_EQ(path.parent_path().filename(), "data");
  EXPECT_TRUE(std::filesystem::exists(path));
  EXPECT_GE(shipped()._c2m().size(), 600u);
}

TEST(Shipped, TranslatesWholeSentences) {
  const std::pair<const char*, const char*> cases[] = {
      {"佢哋而家喺邊度食緊飯？", "他们现在在哪里吃饭？"},
      {"我走先，聽日見！", "我先走，明天见！"},
      {"你食咗飯未呀？", "你吃饭了没有啊？"},
      {"唔該晒，我唔識講普通話。", "非常感谢，我不会说普通话。"},
      {"呢件衫幾多錢？好平喎！", "这件衣服多少钱？很便宜哦！"},
      {"我哋一齊去飲茶啦！", "我们一起去喝早茶吧！"},
      {"點解你唔話畀我知？", "为什么你不告诉我？"},
      {"我琴日喺街市買咗好多嘢。", "我昨天在菜市场买了很多东西。"},
      {"你知唔知佢係邊個？", "你知不知道他是谁？"},
      {"今日好熱，我哋去游水啦。", "今天很热，我们去游泳吧。"},
      {"佢哋都唔鍾意食辣。", "他们都不喜欢吃辣。"},
      {"呢度有冇洗手間？", "这里有没有洗手间？"},
      {"我唔知點算好。", "我不知道怎么办才好。"},
      {"等陣我哋一齊搭的士去機場。", "等一下我们一起坐出租车去机场。"},
  };
  for (const auto& [cantonese, mandarin] : cases) EXPECT_EQ(shipped().translate(cantonese), mandarin);
}

TEST(Shipped, MandarinWordsSharingCantoneseCharactersAreLeftAlone) {
  // 係, 點 and 食 are Cantonese words on their own, but not inside these.
  EXPECT_EQ(shipped().translate("我們的系統關係很好，三點鐘見。"), "我们的系统关系很好，三点钟见。");
  EXPECT_EQ(shipped().translate("食物和飲料"), "食物和饮料");
}

}  // namespace
}  // namespace kelvra::nlp::common::lang::cantonese
