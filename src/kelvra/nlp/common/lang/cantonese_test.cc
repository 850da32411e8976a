#include "kelvra/nlp/common/lang/cantonese.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <thread>

#include <opencc/SimpleConverter.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "kelvra/common/exceptions.h"
#include "kelvra/common/utf8.h"

namespace kelvra::nlp::common::lang::cantonese {
namespace {

using kelvra::common::FileError;
using kelvra::common::TypeError;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::Pair;
using ::testing::UnorderedElementsAre;

// Writes `content` to a file named after the running test; returns its path.
std::string dictionary_file(const std::string& content, const std::string& suffix = ".tsv") {
  std::string path = ::testing::TempDir() + "c2m_" +
                     ::testing::UnitTest::GetInstance()->current_test_info()->name() + suffix;
  std::ofstream(path, std::ios::binary) << content;
  return path;
}

// A Mandarin word list of its own for the running test.
std::string words_file(const std::string& content) { return dictionary_file(content, ".words"); }

// Rules of its own for the running test.
std::string rules_file(const std::string& content) { return dictionary_file(content, ".rules"); }

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

// Regression: a byte order mark at the start of the file was kept as part
// of the first word, which then never matched.
TEST(Load, ByteOrderMarkAtTheStartIsDroppedAndTheFirstWordMatches) {
  const std::string dict = dictionary_file("\xEF\xBB\xBF佢\t他\n\xEF\xBB\xBF喺\t在\n");
  EXPECT_THAT(Cantonese::_load(dict), UnorderedElementsAre(Pair("佢", "他"), Pair("\xEF\xBB\xBF喺", "在")));
  EXPECT_EQ(Cantonese(dict, words_file("")).translate("佢喺"), "他喺");
  // The Mandarin word list drops its mark too: 的話 stays whole.
  Cantonese words(dictionary_file("話\t說\n"), words_file("\xEF\xBB\xBF的話\n"));
  EXPECT_EQ(words.translate("的話"), "的话");
  // A file that is only a mark holds nothing.
  EXPECT_TRUE(Cantonese::_load(dictionary_file("\xEF\xBB\xBF")).empty());
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

TEST(Translate, DictionaryWordsMatchAsWrittenOrSimplified) {
  Cantonese traditional(dictionary_file("係\t是\n"), words_file(""));
  EXPECT_EQ(traditional.translate("係"), "是");
  EXPECT_EQ(traditional.translate("系"), "是");
  // 繫 is simplified to 系 as well, but it is another character than 係.
  EXPECT_EQ(traditional.translate("繫"), "系");
  // A word written in simplified characters takes whatever converts to it.
  Cantonese simplified(dictionary_file("系\t是\n"), words_file(""));
  EXPECT_EQ(simplified.translate("繫"), "是");
  EXPECT_EQ(simplified.translate("係"), "是");
}

TEST(Translate, MandarinWordsOfTheWordListStayWhole) {
  const std::string dict = dictionary_file("佢\t他\n話\t說\n唔好\t不要\n");
  // Without the word list, 話 in 的話 is a word of its own.
  EXPECT_EQ(Cantonese(dict, words_file("")).translate("的話佢"), "的说他");
  // With it, 的話 stays whole; # lines and blank lines are not words, and a
  // word in traditional characters is simplified first.
  Cantonese cantonese(dict, words_file("# Mandarin\n\n  的話\r\n好話\n的\n好\n"));
  EXPECT_EQ(cantonese.translate("的話佢"), "的话他");
  // 唔 is no Mandarin character (the list's single characters are), so 唔好
  // wins over the Mandarin 好話 that overlaps it.
  EXPECT_EQ(cantonese.translate("唔好話"), "不要说");
  EXPECT_THROW(Cantonese(dict, "no/such/words.txt"), FileError);
}

TEST(Translate, ConversionEqualsOpenCCOnRandomText) {
  // No dictionary words: translate is then OpenCC's t2s of the whole text,
  // its phrase entries (乾隆, 著作, 瞭解, 於是, ...) included.
  Cantonese plain(dictionary_file(""), words_file(""), rules_file(""));
  opencc::SimpleConverter t2s("t2s");
  const std::vector<std::string> pieces = {"乾", "隆", "著", "作", "瞭", "解", "於", "是", "覆", "蓋",
                                           "藉", "口", "頭", "髮", "的", "了", "𠮶", "a", " ", "，",
                                           "\n", "1", "後", "麼", "乾隆", "著作", "瞭解", "反覆"};
  std::mt19937 random(11);
  for (int round = 0; round < 500; ++round) {
    std::string text;
    for (int i = random() % 40; i > 0; --i) text += pieces[random() % pieces.size()];
    EXPECT_EQ(plain.translate(text), t2s.Convert(text)) << text;
  }
}

TEST(Translate, RewritesNameTheirEntries) {
  Cantonese cantonese(dictionary_file("佢\t她\n𨋢\t電梯\n佢\t他\n嘅\t\t的\n"), words_file(""), rules_file(""));
  std::vector<Rewrite> rewrites;
  // Offsets count code points; 𨋢 takes four bytes.
  EXPECT_EQ(cantonese.translate("搭𨋢嘅佢", rewrites), "搭电梯他");
  ASSERT_EQ(rewrites.size(), 3u);
  EXPECT_EQ(rewrites[0].offset, 1);
  EXPECT_EQ(rewrites[0].length, 1);
  EXPECT_EQ(rewrites[0].text, "𨋢");
  EXPECT_EQ(rewrites[0].mandarin, "电梯");
  EXPECT_EQ(rewrites[0].line, 2);
  EXPECT_EQ(rewrites[0].entry_mandarin, "電梯");
  // An empty Mandarin word is a rewrite too; the later line of 佢 counts.
  EXPECT_EQ(rewrites[1].mandarin, "");
  EXPECT_EQ(rewrites[2].offset, 3);
  EXPECT_EQ(rewrites[2].line, 3);
  EXPECT_EQ(cantonese.dict_file(), dictionary_file("佢\t她\n𨋢\t電梯\n佢\t他\n嘅\t\t的\n"));
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

TEST(Shipped, DataIsBesideTheLibraryInTheBuildTree) {
  std::filesystem::path path = Cantonese::default_dict_file();
  EXPECT_TRUE(path.is_absolute());
  EXPECT_EQ(path.filename(), "c2m.tsv");
  EXPECT_EQ(path.parent_path().filename(), "data");
  EXPECT_TRUE(std::filesystem::exists(path));
  EXPECT_EQ(std::filesystem::path(Cantonese::default_words_file()),
            path.parent_path() / "mandarin_words.txt");
  EXPECT_GE(shipped()._c2m().size(), 600u);
  EXPECT_EQ(shipped().dict_file(), path.string());
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
  opencc::SimpleConverter t2s("t2s");
  // Each holds a character or word that is a Cantonese dictionary word on
  // its own (話, 碟, 傾, 識, 係, 一係, 出年, 行路, 第二個, 一個字, 同, ...).
  const char* mandarin[] = {
      "我們的系統關係很好，三點鐘見。", "食物和飲料", "如果指定選項的話", "磁碟",
      "系統停止傾印核心檔", "使用者標識", "與其相繫", "一系列變數", "輸出年份",
      "不會進行路徑的擴充套件", "第二個引數", "一個字元序列", "同名成員", "非同步命令",
      "換句話說", "期望值", "執行命令", "請您稍等一陣子後再變更密碼", "周圍的環境",
      "即時訊息", "人工智慧", "天文台", "自動櫃員機", "好在有你", "頭痛",
  };
  for (const char* text : mandarin) EXPECT_EQ(shipped().translate(text), t2s.Convert(text)) << text;
}

TEST(Shipped, CantoneseWordsChange) {
  const std::pair<const char*, const char*> cases[] = {
      {"佢", "他"},     {"佢哋", "他们"}, {"喺", "在"},     {"冇", "没有"},   {"咗", "了"},
      {"嘅", "的"},     {"啲嘢", "东西"}, {"嘢", "东西"},   {"乜嘢", "什么"}, {"睇", "看"},
      {"嚟", "来"},     {"唔", "不"},     {"係", "是"},     {"佢系", "他是"},     {"食", "吃"},
      {"你唔好話俾佢知呀。", "你不要告诉他啊。"},
      {"我講得唔係好好。", "我说得不太好。"},
  };
  for (const auto& [cantonese, mandarin] : cases) EXPECT_EQ(shipped().translate(cantonese), mandarin);
}

}  // namespace
}  // namespace kelvra::nlp::common::lang::cantonese
