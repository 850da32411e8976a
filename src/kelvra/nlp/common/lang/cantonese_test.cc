#include "kelvra/nlp/common/lang/cantonese.h"

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <thread>

#include <opencc/SimpleConverter.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "kelvra/common/exceptions.h"
#include "kelvra/common/utf8.h"

namespace kelvra::nlp::common::lang::cantonese {
namespace {

namespace utf8 = kelvra::common::utf8;
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
  auto c2m = Cantonese::_load(
      dictionary_file("佢哋\t他們\t第三欄\n"    // three fields: the first two count
                      "嘅\t\t的\n"              // two tabs: an empty Mandarin word
                      "單獨一個\n"              // no tab: skipped
                      "尾巴\t\n"                // a tab only at the end, trimmed away: skipped
                      "  有 空格\t有 空格\r\n"  // blanks around the line go, inner ones stay
                      "\r"                      // a lone carriage return ends a line too
                      "\n"
                      "\u3000乜嘢\t什么\u3000"));  // Unicode white space is trimmed as well
  EXPECT_THAT(c2m, UnorderedElementsAre(Pair("佢哋", "他们"), Pair("嘅", ""),
                                        Pair("有 空格", "有 空格"), Pair("乜嘢", "什么")));
}

TEST(Load, LaterLineWinsAndTheLogCountsWordsOnce) {
  std::string path = dictionary_file("喺\t在\n係\t是\n喺\t在於\n");
  ::testing::internal::CaptureStderr();
  auto c2m = Cantonese::_load(path);
  std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(c2m.at("喺"), "在于");
  EXPECT_EQ(c2m.size(), 2u);
  EXPECT_THAT(log,
              MatchesRegex("\\[[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2},[0-9]{3}\\] "
                           "\\[INFO\\] \\[kelvra\\.nlp\\.common\\.lang\\.cantonese:[0-9]+\\] "
                           "Loaded 2 cantonese-mandarin pairs from " +
                           std::regex_replace(path, std::regex("[.]"), "\\.") + "\n"));
}

// Regression: a byte order mark at the start of the file was kept as part
// of the first word, which then never matched.
TEST(Load, ByteOrderMarkAtTheStartIsDroppedAndTheFirstWordMatches) {
  const std::string dict = dictionary_file("\xEF\xBB\xBF佢\t他\n\xEF\xBB\xBF喺\t在\n");
  EXPECT_THAT(Cantonese::_load(dict),
              UnorderedElementsAre(Pair("佢", "他"), Pair("\xEF\xBB\xBF喺", "在")));
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
  const std::vector<std::string> pieces = {
      "乾", "隆", "著", "作", "瞭", "解", "於", "是", "覆", "蓋", "藉",   "口",   "頭",   "髮",
      "的", "了", "𠮶", "a",  " ",  "，", "\n", "1",  "後", "麼", "乾隆", "著作", "瞭解", "反覆"};
  std::mt19937 random(11);
  for (int round = 0; round < 500; ++round) {
    std::string text;
    for (int i = random() % 40; i > 0; --i) text += pieces[random() % pieces.size()];
    EXPECT_EQ(plain.translate(text), t2s.Convert(text)) << text;
  }
}

TEST(Translate, RewritesNameTheirEntries) {
  Cantonese cantonese(dictionary_file("佢\t她\n𨋢\t電梯\n佢\t他\n嘅\t\t的\n"), words_file(""),
                      rules_file(""));
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

TEST(Bytes, ATranslatorTravelsWholeWithoutItsFiles) {
  const std::string dict = dictionary_file("佢\t她\n𨋢\t電梯\n佢\t他\n");
  const std::string words = words_file("电梯\n");
  const std::string rules = rules_file("咗\t了\tcantonese\n");
  std::string bytes;
  {
    const Cantonese original(dict, words, rules);
    bytes = original.to_bytes();
  }
  std::filesystem::remove(dict);
  std::filesystem::remove(words);
  std::filesystem::remove(rules);
  const Cantonese copy = Cantonese::from_bytes(bytes);
  EXPECT_EQ(copy.to_bytes(), bytes);
  EXPECT_EQ(copy.dict_file(), dict);
  EXPECT_EQ(copy.words_file(), words);
  EXPECT_EQ(copy.rules_file(), rules);
  std::vector<Rewrite> rewrites;
  EXPECT_EQ(copy.translate("佢搭咗𨋢", rewrites), "他搭了电梯");
  ASSERT_EQ(rewrites.size(), 3u);
  EXPECT_EQ(rewrites[0].line, 3);
  EXPECT_TRUE(rewrites[1].by_rule);

  // Translation starts from the shared converter, which converts as OpenCC does.
  EXPECT_EQ(Cantonese::simplified("乾隆的頭髮"), "乾隆的头发");
  EXPECT_THROW(Cantonese::simplified("\xC3"), TypeError);

  // The shipped data, the same translation.
  const Cantonese shipped_copy = Cantonese::from_bytes(shipped().to_bytes());
  const std::string text = "佢哋而家喺邊度食緊飯？你記唔記得我？如果系統支援的話";
  EXPECT_EQ(shipped_copy.translate(text), shipped().translate(text));

  // Damaged bytes are refused, naming them; every cut is.
  for (std::size_t size = 0; size < bytes.size(); size += 7) {
    try {
      Cantonese::from_bytes(std::string_view(bytes).substr(0, size));
      ADD_FAILURE() << "accepted " << size << " bytes";
    } catch (const FileError& e) {
      EXPECT_THAT(e.what(), HasSubstr("Cantonese bytes")) << size;
    }
  }
  EXPECT_THROW(Cantonese::from_bytes(bytes + "x"), FileError);
  std::string other_version = bytes;
  other_version[8] = 9;
  EXPECT_THAT([&] { Cantonese::from_bytes(other_version); },
              ::testing::ThrowsMessage<FileError>(HasSubstr("version 9")));
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

// --- the rules file ---

// A translator with a dictionary, no Mandarin word list beyond the given
// words, and rules of its own.
Cantonese with_rules(const std::string& dict, const std::string& rules,
                     const std::string& words = "") {
  return Cantonese(dictionary_file(dict), words_file(words), rules_file(rules));
}

// Expects reading `rules` to fail with a message that holds `what`.
void rules_fail(const std::string& rules, const char* what) {
  EXPECT_THAT([&] { with_rules("", rules); }, ::testing::ThrowsMessage<FileError>(HasSubstr(what)))
      << rules;
}

TEST(Rules, FormatClassesAndErrorsNamingTheLine) {
  // A byte order mark, comments, CRLF, blanks around the line, a class used
  // in a condition and as the word of a rule.
  Cantonese cantonese = with_rules(
      "佢\t他\n", "\xEF\xBB\xBF# notes\r\n@P\t我|佢\r\n  @P\t的\tafter:好\r\n個\t的\tafter:@P\r\n");
  EXPECT_EQ(cantonese.translate("佢個仔"), "他的仔");
  EXPECT_EQ(cantonese.translate("好我"), "好的");
  EXPECT_EQ(cantonese.translate("一個"), "一个");
  // Blanks and tabs around each field go; a line of only tabs is blank.
  Cantonese spaced = with_rules("", " 好 \t 很 \t before:忙  cantonese \t\n\t\t\n我\t我\tmarks\n");
  EXPECT_EQ(spaced.translate("我好忙"), "我很忙");
  const auto fails = [](const std::string& rules, const char* what) {
    const std::string path = rules_file(rules);
    try {
      Cantonese(dictionary_file(""), words_file(""), path);
      ADD_FAILURE() << rules;
    } catch (const FileError& e) {
      EXPECT_EQ(e.path(), path);
      EXPECT_EQ(e.line(), 2) << rules;
      EXPECT_THAT(e.what(), HasSubstr(what));
    }
  };
  fails("# ok\n好\t很\tsoon:END\n", "unknown condition soon:END");
  fails("@A\t我\n好\t很\tafter:@B\n", "unknown class @B");
  fails("\n唔好\t不\ta-not-a\n", "one character");
  fails("\n好\t很\tbefore:|呀\n", "empty alternative");
  fails("\n好\t很\tbefore\n", "no alternatives");
  // Fields are cut at tabs first, then trimmed: a leading tab leaves the
  // first field empty, which names the line rather than shifting the fields.
  fails("\n\t你\tbefore:x\n", "no word before the first tab");
  fails("\n 你 \n", "no tab after 你");
  fails("\n你\t妳\tbefore:x\tafter:y\n", "more than three fields");
  EXPECT_THROW(Cantonese(dictionary_file(""), words_file(""), "no/such/rules.tsv"), FileError);
}

TEST(Rules, ConditionsDecideWhereAWordChanges) {
  // The shipped word list: its characters are those Mandarin writes.
  Cantonese cantonese(
      dictionary_file("佢\t他\n㗎\t的\n"), std::nullopt,
      rules_file("㗎\t\tbefore:？|呀END\n"       // before the question mark, or 呀 and the end
                 "落\t下\tlater:雨 cantonese\n"  // a word later in the clause
                 "先\t才\tafter:NUM点|日 not-before:CLAUSE\n"
                 "日\t天\tafter:NUM cut-before\n"
                 "好\t很\tbefore:HAN not-before:的 not-after:唔 cantonese\n"
                 "啦\t了\tearlier:唔好 before:END\n"));
  EXPECT_EQ(cantonese.translate("佢㗎？佢㗎。佢㗎呀"), "他？他的。他呀");
  EXPECT_EQ(cantonese.translate("佢落咗好大雨，落山。"), "他下咗很大雨，落山。");
  EXPECT_EQ(cantonese.translate("佢兩点先瞓，聽日先去，去先。"), "他两点才瞓，听日才去，去先。");
  EXPECT_EQ(cantonese.translate("佢三日好的。三日好的"), "他三天好的。三日好的");
  EXPECT_EQ(cantonese.translate("佢唔好走啦。佢走啦。"), "他唔好走了。他走啦。");
  // Rules marked `cantonese` leave a Mandarin sentence alone.
  EXPECT_EQ(cantonese.translate("落大雨，好大。"), "落大雨，好大。");
}

TEST(Rules, ANotAQuestionsTakeTheWordThatFollows) {
  Cantonese cantonese = with_rules("佢\t他\n鍾意\t喜歡\n靚\t漂亮\n唔記得\t忘了\n唔\t不\n",
                                   "唔\t不\ta-not-a\n", "記得\n");
  EXPECT_EQ(cantonese.translate("佢記唔記得？"), "他记不记得？");
  EXPECT_EQ(cantonese.translate("佢鍾唔鍾意？靚唔靚？"), "他喜不喜欢？漂不漂亮？");
  EXPECT_EQ(cantonese.translate("佢唔記得。唔唔唔"), "他忘了。不不不");
  std::vector<Rewrite> rewrites;
  cantonese.translate("靚唔靚", rewrites);
  ASSERT_EQ(rewrites.size(), 2u);
  EXPECT_EQ(rewrites[0].text, "靚唔");
  EXPECT_EQ(rewrites[0].mandarin, "漂不");
  EXPECT_TRUE(rewrites[0].by_rule);
  EXPECT_EQ(rewrites[0].rule, "a-not-a");
  EXPECT_EQ(rewrites[0].line, 1);
  EXPECT_FALSE(rewrites[1].by_rule);
}

TEST(Rules, WordsMoveAndTakeTheirNeighboursIn) {
  Cantonese cantonese =
      with_rules("佢\t他\n沖涼\t洗澡\n食\t吃\n咗\t了\n",
                 "@P\t我|佢\n"
                 "先\t先\tfront:@P before:CLAUSE|啦CLAUSE\n"  // to the start of the verb phrase
                 "緊\t在…\tjoin\n"                            // before the verb, with its object
                 "多啲\t多…点\tafter:HAN\n"
                 "去咗\t去…了\tnext before:食\n");
  EXPECT_EQ(cantonese.translate("我去沖涼先。去食先啦，佢食先。"),
            "我先去洗澡。先去吃啦，他先吃。");
  EXPECT_EQ(cantonese.translate("佢沖緊涼，佢食緊飯"), "他在洗澡，他在吃饭");
  EXPECT_EQ(cantonese.translate("食多啲，多啲"), "多吃点，多啲");
  EXPECT_EQ(cantonese.translate("佢去咗食"), "他去吃了");
  std::vector<Rewrite> rewrites;
  cantonese.translate("佢沖緊涼", rewrites);
  ASSERT_EQ(rewrites.size(), 2u);
  EXPECT_EQ(rewrites[1].text, "沖緊涼");
  EXPECT_EQ(rewrites[1].mandarin, "在洗澡");
  EXPECT_EQ(rewrites[1].offset, 1);
  EXPECT_EQ(rewrites[1].rule, "join");
}

TEST(Rules, MandarinWordsKeepOffCantoneseGrammar) {
  // 书系 and 我部 are Mandarin words of the list; in a Cantonese sentence
  // the copula 係 written so, a firm rule's character and one to be cut
  // before stay out of them.
  const std::string dict = "係\t是\n嘅\t的\n";
  const std::string words = "书\n系\n我\n部\n门\n本\n手\n机\n书系\n我部\n部门\n本书\n";
  const std::string rules =
      "係\t\tguard\n@P\t我\n部\t的\tafter:@P cut-before\n本\t的\tafter:@P firm\n";
  Cantonese cantonese = with_rules(dict, rules, words);
  EXPECT_EQ(cantonese.translate("書係我嘅。"), "书是我的。");
  // cut-before keeps words out that begin before the character, firm all.
  EXPECT_EQ(cantonese.translate("我部手機嘅，我部門嘅，我本書嘅"),
            "我的手机的，我部门的，我的书的");
  // Written 系, in a Mandarin sentence, or without the guard: the Mandarin word.
  EXPECT_EQ(cantonese.translate("書系我嘅。書係我。"), "书系我的。书系我。");
  EXPECT_EQ(with_rules(dict, "", words).translate("書係我嘅。"), "书系我的。");
  // A Mandarin word of the list that is a rule word too keeps off firm
  // characters where none of its own rules holds: 好 before a Chinese
  // character is firm here, so neither 好好 nor 好笑 takes either 好 in.
  Cantonese firmer = with_rules("佢\t他\n", "好\t很\tbefore:HAN firm\n好好\t很好\tbefore:END\n",
                                "好\n笑\n好好\n好笑\n");
  EXPECT_EQ(firmer.translate("佢好好笑"), "他很很笑");
  EXPECT_EQ(firmer.translate("佢好好"), "他很好");
}

TEST(Rules, ClassesInPatternsAndConditions) {
  // The slot takes each word of the class; in MANDARIN the class stands for
  // that word's Mandarin: its dictionary entry's, else its first rule
  // without conditions (揸 -> 开, even on a later line), else the word.
  // In a condition, a class may have text after it and, looking forward,
  // an edge: @P好多 is a word of @P then 好多, @PCLAUSE one closing a clause.
  Cantonese cantonese = with_rules("食\t吃\n唔\t不\n佢\t他\n",
                                   "@V\t食|揸|玩\n"
                                   "@V唔@V得\t能不能@V\n"
                                   "@V咗\t@V了\tbefore:END\n"
                                   "揸\t开\n"
                                   "@P\t我|佢\n"
                                   "高過\t比…高\tnext before:@PCLAUSE|@P好多\n"
                                   "嘅\t的\tafter:@P個\n");
  EXPECT_EQ(cantonese.translate("食唔食得？揸唔揸得？玩唔玩得？"),
            "能不能吃？能不能开？能不能玩？");
  EXPECT_EQ(cantonese.translate("食咗"), "吃了");
  EXPECT_EQ(cantonese.translate("佢高過我。佢高過我好多，佢高過我哋"),
            "他比我高。他比我高好多，他高过我哋");
  EXPECT_EQ(cantonese.translate("我個嘅，我嘅"), "我个的，我嘅");
  std::vector<Rewrite> rewrites;
  cantonese.translate("揸唔揸得", rewrites);
  ASSERT_EQ(rewrites.size(), 1u);
  EXPECT_EQ(rewrites[0].entry_cantonese, "揸唔揸得");
  EXPECT_EQ(rewrites[0].entry_mandarin, "能不能开");
  EXPECT_EQ(rewrites[0].line, 2);
  rules_fail("@V\t食\n@W\t飲\n@V@W\t吃喝\n", "more than one class");
  rules_fail("@V唔@V得\t能不能@V\n", "unknown class @V");
  rules_fail("食@\t吃\n", "a class name after @");
  rules_fail("@P\t我\n高過\t比\tbefore:@QCLAUSE\n", "unknown class @QCLAUSE");
  rules_fail("@P\t我\n高過\t比\tafter:@PSTART\n", "unknown class @PSTART");
  rules_fail("@P\t我\n高過\t比\tbefore:@P好@P\n", "more than one class");
}

TEST(Rules, RewritesNameTheSensesTheyWereChosenFrom) {
  Cantonese cantonese =
      with_rules("成日\t經常\n咗\t了\n", "成日\t一整天\tafter:咗\n成日\t\tbefore:咗\n");
  std::vector<Rewrite> rewrites;
  EXPECT_EQ(cantonese.translate("成日做咗成日", rewrites), "经常做了一整天");
  ASSERT_EQ(rewrites.size(), 3u);
  EXPECT_FALSE(rewrites[0].by_rule);
  EXPECT_THAT(rewrites[0].senses, ::testing::ElementsAre("经常", "一整天", ""));
  EXPECT_TRUE(rewrites[2].by_rule);
  EXPECT_EQ(rewrites[2].mandarin, "一整天");
  EXPECT_EQ(rewrites[2].senses, rewrites[0].senses);
  // A word with one Mandarin names no senses.
  EXPECT_TRUE(rewrites[1].senses.empty());
}

// --- sentences ---

TEST(Sentences, CantoneseMarksDecideSentenceBySentence) {
  // 而家 is no Mandarin word of the list, 今日 is: one marks its sentence as
  // Cantonese and the rules marked `cantonese` apply there only.
  Cantonese cantonese =
      with_rules("佢\t他\n而家\t現在\n今日\t今天\n", "好\t很\tbefore:HAN cantonese\n",
                 "今日\n今\n日\n而\n家\n好\n忙\n");
  EXPECT_EQ(cantonese.translate("佢好忙。而家好忙。今日好忙。好忙。"),
            "他很忙。现在很忙。今天好忙。好忙。");
  // A rule that marks its sentence, where it holds.
  Cantonese marking = with_rules("", "好\t很\tbefore:HAN cantonese\n想\t想\tafter:我好 marks\n",
                                 "我\n想\n好\n去\n");
  EXPECT_EQ(marking.translate("我好想去。佢好想去。"), "我很想去。佢好想去。");
  // A rule's word matches as the rules file writes it, or in simplified
  // characters in a Cantonese sentence only; a dictionary word in either.
  Cantonese traditional = with_rules("佢\t他\n", "係\t是\n", "系\n体\n");
  EXPECT_EQ(traditional.translate("体系。体係。佢系。"), "体系。体是。他是。");
  EXPECT_EQ(with_rules("係\t是\n", "", "系\n体\n").translate("体系。"), "体是。");
}

// Each sentence is translated on its own, so a huge text can be translated
// a sentence at a time: the translation of a text is that of its sentences
// (up to 。！？!?…． and line ends, at most 65,536 code points each) put
// together, whichever way it is asked for.
TEST(Sentences, TextIsTheSumOfItsSentencesOnRandomText) {
  const std::vector<std::string> pieces = {
      "佢",   "哋",   "係",   "書",   "我", "嘅", "記", "唔",   "出咗去", "落",   "雨",   "好",
      "大",   "先",   "緊",   "沖涼", "食", "飯", "嗰", "架",   "車",     "睇",   "到",   "㗎",
      "呀",   "未",   "。",   "？",   "！", "，", "\n", " ",    "a1",     "乾隆", "反覆", "著作",
      "關係", "的話", "系統", "…",    "\r", "個", "部", "手機", "三",     "日"};
  std::mt19937 random(5);
  for (int round = 0; round < 150; ++round) {
    std::string text;
    for (int i = random() % 60; i > 0; --i) text += pieces[random() % pieces.size()];
    std::string sentence_by_sentence;
    std::size_t begin = 0;
    for (std::size_t pos = 0; pos < text.size();) {
      const std::size_t start = pos;
      utf8::next(text, pos);
      const std::string_view cp = std::string_view(text).substr(start, pos - start);
      if (cp == "。" || cp == "？" || cp == "！" || cp == "…" || cp == "\n" || cp == "\r" ||
          pos == text.size()) {
        sentence_by_sentence +=
            shipped().translate(std::string_view(text).substr(begin, pos - begin));
        begin = pos;
      }
    }
    EXPECT_EQ(shipped().translate(text), sentence_by_sentence) << text;
    std::string streamed;
    shipped().translate(text, [&](std::string_view piece) { streamed += piece; });
    EXPECT_EQ(streamed, sentence_by_sentence);
    std::vector<Rewrite> rewrites;
    EXPECT_EQ(shipped().translate(text, rewrites), sentence_by_sentence);
    for (const Rewrite& rewrite : rewrites)
      EXPECT_EQ(utf8::substr(text, static_cast<std::size_t>(rewrite.offset),
                             static_cast<std::size_t>(rewrite.length)),
                rewrite.text);
  }
  // A sentence longer than 65,536 code points is cut into that many.
  std::string run;
  for (int i = 0; i < 30000; ++i) run += "佢哋喺度";
  const std::string_view head = utf8::substr(run, 0, 65536);
  EXPECT_EQ(
      shipped().translate(run),
      shipped().translate(head) + shipped().translate(std::string_view(run).substr(head.size())));
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

// Sentences of the shipped data, one table per construction class: each
// row a sentence written independently of the dictionary and the Mandarin
// a Mandarin speaker writes for it.
struct Row {
  const char* cantonese;
  const char* mandarin;
};

void expect_rows(std::initializer_list<Row> rows) {
  for (const Row& row : rows) EXPECT_EQ(shipped().translate(row.cantonese), row.mandarin);
}

TEST(ShippedClass, CantoneseWordsAndEverydayVocabulary) {
  expect_rows({
      {"佢", "他"},
      {"佢哋", "他们"},
      {"喺", "在"},
      {"冇", "没有"},
      {"嘅", "的"},
      {"啲嘢", "东西"},
      {"乜嘢", "什么"},
      {"睇", "看"},
      {"嚟", "来"},
      {"係", "是"},
      {"佢系", "他是"},
      {"食", "吃"},
      {"佢哋而家喺邊度食緊飯？", "他们现在在哪里吃饭？"},
      {"唔該晒，我唔識講普通話。", "非常感谢，我不会说普通话。"},
      {"呢件衫幾多錢？好平喎！", "这件衣服多少钱？很便宜哦！"},
      {"點解你唔話畀我知？", "为什么你不告诉我？"},
      {"我琴日喺街市買咗好多嘢。", "我昨天在菜市场买了很多东西。"},
      {"等陣我哋一齊搭的士去機場。", "等一下我们一起坐出租车去机场。"},
      {"我買咗把遮。", "我买了把伞。"},
      {"你唔好呃我。", "你不要骗我。"},
      {"我今晚要OT。", "我今晚要加班。"},
      {"我哋公司今年冇花紅。", "我们公司今年没有奖金。"},
      {"部電視冇聲。", "电视没有声音。"},
      {"佢入咗院。", "他住院了。"},
      {"你溫完書先至可以睇電視。", "你复习完才可以看电视。"},
      // Everyday words with no Mandarin look-alike, and words Mandarin writes
      // too in another sense (訊號, 上年), rewritten in Cantonese sentences.
      {"我冇帶耳筒。", "我没有带耳机。"},
      {"佢講大話。", "他说谎。"},
      {"我爭啲遲到。", "我差点迟到。"},
      {"我想飲杯嘢。", "我想喝杯东西。"},
      {"呢度冇訊號喎。", "这里没有信号哦。"},
      {"佢上年去咗英國。", "他去年去了英国。"},
      {"今次輪到你。", "这次轮到你。"},
      {"我好掛住以前嘅日子。", "我很想念以前的日子。"},
      {"我今晚要開夜，佢就開夜車溫書。", "我今晚要加班，他就开夜车复习。"},
      {"佢好大頭蝦，成日漏低嘢。", "他很马大哈，经常落下东西。"},
      {"你記得熄冷氣呀。", "你记得关空调啊。"},
      // Words that hold a shorter one (生仔 in 學生仔, 明唔明 in 明唔明白).
      {"佢哋係學生仔。", "他们是学生。"},
      {"你明唔明白？", "你明不明白？"},
      // 𨋢 and 嗰 are 䢂 and 𠮶 once OpenCC has converted them.
      {"搭𨋢", "坐电梯"},
      {"你睇唔睇到嗰架車？", "你看不看得到那辆车？"},
  });
  EXPECT_EQ(shipped().translate("好㗎喎。"), shipped().translate("好㗎㖞。"));
}

TEST(ShippedClass, AspectMarkersAndComplements) {
  expect_rows({
      {"你食咗飯未呀？", "你吃饭了没有啊？"},
      {"佢啱啱出咗去。", "他刚刚出去了。"},
      {"佢返咗嚟喇。", "他回来了。"},
      {"佢跑咗出去。", "他跑了出去。"},
      {"今朝落咗好大雨。", "今天早上下了很大的雨。"},
      {"北京而家落緊雪。", "北京现在在下雪。"},
      {"呢杯嘢好甜，我飲唔落。", "这杯东西很甜，我喝不下。"},
      // The progressive: V緊, and 喺度 with V緊 later in the clause.
      {"佢喺度打緊電話。", "他在打电话。"},
      {"小朋友喺度玩緊。", "小朋友在玩。"},
      {"你讀緊幾年級？", "你在读几年级？"},
      // 成日 after a verb with 咗 is a duration, elsewhere "always".
      {"我瞓咗成日都仲係好攰。", "我睡了一整天都还是很累。"},
      {"我今日做咗成日嘢，好攰。", "我今天做了一整天的事，很累。"},
      {"佢成日遲到。", "他经常迟到。"},
      {"我搵咗你成日。", "我找了你一整天。"},
      // The progressive is written once: 喺度 and V緊 together are one 在.
      {"佢喺度食緊嘢。", "他在吃东西。"},
      // V晒 closing a clause: all of it, and the sentence is Cantonese.
      {"個天黑晒。", "天都黑了。"},
      // V陣 is "for a while"; V返 putting back is V回.
      {"我頭痛，想瞓陣。", "我头痛，想睡一会儿。"},
      {"你將對鞋放返入鞋櫃。", "你把鞋放回鞋柜。"},
      {"佢俾狗咬親。", "他被狗咬伤了。"},
      // A verb of going with 咗 and where it went, then 喇: one 了; other
      // verbs, and amounts, keep both.
      {"啲學生都入咗課室喇。", "学生都进教室了。"},
      {"佢返咗屋企喇。", "他回家了。"},
      {"佢走咗喇。", "他走了。"},
      {"我食咗飯喇。", "我吃了饭了。"},
      {"我寫咗兩封信喇。", "我写了两封信了。"},
      // V晒 of a dictionary word closing a clause is done with all of it;
      // before a particle, the particle gives the 了.
      {"我啲錢用晒，點算？", "我的钱用完了，怎么办？"},
      {"佢做晒喇。", "他做完了。"},
      // V親 before the part of the body hurt: V伤了.
      {"佢扭親腳，行唔到路。", "他扭伤了脚，走不了路。"},
      // V吓 after a verb of two characters is V一下 (嚇 stays a scare).
      {"我哋一齊慶祝吓啦。", "我们一起庆祝一下吧。"},
      {"食完藥要休息吓。", "吃完药要休息一下。"},
      {"唔好嚇我吖。", "不要吓我啊。"},
  });
}

TEST(ShippedClass, QuestionsANotAAndCanOrCannot) {
  expect_rows({
      {"你記唔記得我？", "你记不记得我？"},
      {"你鍾唔鍾意食辣？", "你喜不喜欢吃辣？"},
      {"你飲唔飲酒㗎？", "你喝不喝酒？"},
      {"好唔好食呀？", "好不好吃啊？"},
      {"你明唔明白我講乜？", "你明不明白我说什么？"},
      {"你知唔知佢係邊個？", "你知不知道他是谁？"},
      {"你識唔識呢個字？", "你认不认识这个字？"},
      // V唔V得 asks "can or can't": 能不能V, with its result.
      {"我飲唔飲得酒？", "我能不能喝酒？"},
      {"你聽唔聽得明佢講乜？", "你能不能听懂他说什么？"},
      {"你睇唔睇得到嗰座山？", "你能不能看到那座山？"},
      {"我隻腳好痛，行唔到。", "我的脚很痛，走不了。"},
      {"我揸唔到車。", "我开不了车。"},
  });
}

TEST(ShippedClass, ThePassive) {
  expect_rows({
      {"佢俾老細炒咗。", "他被老板开除了。"},
      {"我俾人呃咗兩千蚊。", "我被人骗了两千块。"},
      {"佢俾老師罰企。", "他被老师罚站。"},
      {"我俾蚊咬到成身都係。", "我被蚊子咬得全身都是。"},
      // Giving is not the passive.
      {"你唔使俾錢。", "你不用付钱。"},
      {"你拎過嚟俾我。", "你拿过来给我。"},
      {"我想買份禮物俾我阿媽。", "我想买份礼物给我妈妈。"},
      {"我俾咗錢。", "我付了钱。"},
      // 一餐 after a scolding is 一顿; a meal stays a meal.
      {"佢俾老細鬧咗一餐。", "他被老板骂了一顿。"},
  });
}

TEST(ShippedClass, SensesDecidedByTheWordsAround) {
  expect_rows({
      // 係 next to a noun is the copula, not part of a Mandarin word (书系).
      {"呢本書係我嘅。", "这本书是我的。"},
      {"我哋嘅關係好好。", "我们的关系很好。"},
      {"這套書系", "这套书系"},
      // 好: very before a predicate, a result after a verb, and in words.
      {"佢好容易緊張。", "他很容易紧张。"},
      {"佢講嘢好好笑。", "他说话很好笑。"},
      {"你幫我執好張枱啦。", "你帮我收拾好桌子吧。"},
      {"佢病咗好幾日。", "他病了好几天。"},
      // 識 a person or thing, 見到 a person, 執 tidying or picking up.
      {"我唔想再見到佢。", "我不想再见到他。"},
      {"我執埋啲嘢先走。", "我收拾完东西再走。"},
      {"我要執屋，冇時間出街。", "我要收拾房间，没有时间出门。"},
      {"老師好惡。", "老师很凶。"},
      {"你坐喺梳化度等我。", "你坐在沙发上等我。"},
      // 大鑊 closing a clause is trouble, else a big wok; 個半鐘 counts its
      // own hour unless a number comes first.
      {"今次大鑊喇。", "这次糟糕了。"},
      {"我煲咗一大鑊湯。", "我煲了一大锅汤。"},
      {"我等咗個半鐘。", "我等了一个半小时。"},
      {"我等咗兩個半鐘。", "我等了两个半小时。"},
      {"食咁多煎炸嘢好熱氣。", "吃这么多油炸的东西很上火。"},
      {"我費事同佢講。", "我懒得和他说。"},
      {"聽日有體育堂。", "明天有体育课。"},
      // 整 of something broken is 修, of food 做; 成 before a group is 全.
      {"個廁所塞咗，要搵師傅嚟整。", "厕所堵了，要找师傅来修。"},
      {"部電腦壞咗，要搵人嚟整。", "电脑坏了，要找人来修。"},
      {"佢成日整嘢食俾我哋。", "他经常做吃的给我们。"},
      {"部電腦壞咗，係佢整爛嘅。", "电脑坏了，是他弄坏的。"},
      {"成家人都好開心。", "全家人都很开心。"},
      // 見到 a person in a state is 看到; 好驚 before what is feared is 很怕,
      // before the rest of 驚訝 很; 揀 with its result is 选, else 挑.
      {"見到你咁開心，我都好開心。", "看到你这么开心，我也很开心。"},
      {"好高興見到你。", "好高兴见到你。"},
      {"我好驚黑。", "我很怕黑。"},
      {"佢好驚。", "他很害怕。"},
      {"佢好驚訝。", "他很惊讶。"},
      {"咪住，我仲未揀好。", "等一下，我还没选好。"},
      {"你幫我揀件衫啦。", "你帮我挑件衣服吧。"},
      // 著 before what is worn, or after whether it fits, is 穿; 儲 money is
      // 存; a photo sent is 照片; 碌 a card, or it maxed out, is 刷; 單 priced
      // is the bill.
      {"我唔鍾意著裙。", "我不喜欢穿裙子。"},
      {"你著呢件外套啦。", "你穿这件外套吧。"},
      {"你試吓呢對鞋啱唔啱著。", "你试试这双鞋合不合穿。"},
      {"我儲咗好多錢。", "我存了很多钱。"},
      {"我send咗相俾你。", "我发了照片给你。"},
      {"張信用卡碌爆咗。", "信用卡刷爆了。"},
      {"張單幾多錢？", "账单多少钱？"},
      // 好 before a predicate that starts as a Mandarin word of 好 does is
      // 很; those words stay where they stand alone.
      {"我真係好感激你。", "我真的很感激你。"},
      {"我啲同事都好友善。", "我的同事都很友善。"},
      {"佢對我有好感。", "他对我有好感。"},
      {"佢好奇心好重。", "他好奇心很重。"},
      // 邊個 after buying or choosing among things is 哪个, else 谁.
      {"我睇咗好耐都唔知買邊個好。", "我看了很久都不知道买哪个好。"},
      {"你同邊個去？", "你和谁去？"},
  });
}

TEST(ShippedClass, WordOrderClassifiersAndPossessives) {
  expect_rows({
      // 先 closing a clause goes before the verb phrase; after a finished
      // action it is 再, after a time 才; 先至 is 才.
      {"我走先，聽日見！", "我先走，明天见！"},
      {"我去沖涼先。", "我先去洗澡。"},
      {"我要交功課先。", "我要先交作业。"},
      {"我哋食完飯先去。", "我们吃完饭再去。"},
      {"呢份報告我聽日先交得。", "这份报告我明天才能交。"},
      {"你做完呢份嘢先至走。", "你做完这份工作才走。"},
      {"你做完功課先至好出去。", "你做完作业才出去。"},
      {"你執好啲玩具先出去玩。", "你收拾好玩具再出去玩。"},
      {"出面好凍，著多件衫先出去。", "外面很冷，多穿件衣服再出去。"},
      {"你食咗飯先走。", "你吃了饭再走。"},
      // A classifier and noun opening a clause before a predicate: "the".
      {"杯咖啡太甜喇。", "咖啡太甜了。"},
      {"隻狗好得意。", "狗很可爱。"},
      {"我搵唔到條鎖匙。", "我找不到钥匙。"},
      // 個 after hearing of the news is 这个.
      {"佢聽到個消息之後好開心。", "他听到这个消息之后很开心。"},
      // 張 (a surname too) only before what it counts.
      {"張床好舒服。", "床很舒服。"},
      {"張先生好忙。", "张先生很忙。"},
      // 多啲 before a verb, 啲 after a quality, 幾 before a quality.
      {"醫生叫我多啲飲水。", "医生叫我多喝水。"},
      {"你講嘢大聲啲得唔得？", "你说话大声点行不行？"},
      // 啲 after a verb of amounts is "a little", after others "some".
      {"我要慳啲錢。", "我要省点钱。"},
      {"我想換啲外幣。", "我想换点外币。"},
      {"我想買啲日用品。", "我想买些日用品。"},
      {"呢對波鞋幾舒服。", "这双运动鞋挺舒服。"},
      {"我部手機冇電喇。", "我的手机没电了。"},
      {"部冷氣壞咗。", "空调坏了。"},
      {"我哋部門請緊人。", "我们部门在招人。"},
      {"我哋叫多個餸啦。", "我们多叫个菜吧。"},
      {"你幫我影印多幾份啦。", "你帮我多复印几份吧。"},
      // A pronoun before a dictionary word that starts with its classifier.
      {"我條頸好痛。", "我的脖子很痛。"},
      {"我份工好忙。", "我的工作很忙。"},
      // 對 after a pronoun is a pair before a thing, "towards" before a person.
      {"我對鞋好舊。", "我的鞋很旧。"},
      {"佢對我好好。", "他对我很好。"},
      {"佢結咗婚三年，仲未有細路。", "他结婚三年了，还没有小孩。"},
      {"可唔可以俾個膠袋我？", "可不可以给我个塑料袋？"},
      // 舖頭 after this or that shop is 店, on its own 店铺.
      {"嗰間舖頭今日冇開。", "那家店今天没有开。"},
      {"間舖頭今日冇開。", "店铺今天没有开。"},
  });
}

TEST(ShippedClass, Comparisons) {
  expect_rows({
      // A 高過 B is A 比 B 高 where B is one word closing the clause or
      // followed by how much; A may be a phrase.
      {"佢高過我。", "他比我高。"},
      {"呢間平過嗰間好多。", "这家比那家便宜很多。"},
      {"今年熱過舊年。", "今年比去年热。"},
      {"呢間鋪頭啲嘢平過出面。", "这家店的东西比外面便宜。"},
      // ... B may be this or that one by its classifier, or a way of getting
      // around that the dictionary knows as one word.
      {"呢對鞋貴過嗰對好多。", "这双鞋比那双贵很多。"},
      {"呢架車快過嗰架。", "这辆车比那辆快。"},
      {"搭的士去機場貴過搭地鐵。", "坐出租车去机场比坐地铁贵。"},
      {"行路快過揸車。", "走路比开车快。"},
      // ... a longer B is left as it is.
      {"佢靚過佢家姐。", "他漂亮过他姐姐。"},
  });
}

TEST(ShippedClass, WhenAndAtThatTime) {
  expect_rows({
      // 嗰陣 after what happens is 的时候; after a person or opening a
      // clause it is 那时候.
      {"你出去嗰陣記得熄燈。", "你出去的时候记得关灯。"},
      {"食飯嗰陣時唔好睇手機。", "吃饭的时候不要看手机。"},
      {"佢嗰陣好細。", "他那时候很小。"},
      {"嗰陣我仲讀緊書。", "那时候我还在读书。"},
      {"我細個嗰陣好怕黑。", "我小时候很怕黑。"},
      {"就係嗰陣，佢走咗。", "就是那时候，他走了。"},
      // 去到 a place is arriving; 已經好夜 closing the sentence takes 了.
      {"我哋去到酒店嗰陣已經好夜。", "我们到酒店的时候已经很晚了。"},
      {"佢去到公司就開會。", "他到公司就开会。"},
  });
}

TEST(ShippedClass, DirectionsIntoAPlace) {
  expect_rows({
      // 入 into a room or a place, or before 去 and 嚟, is 进.
      {"你入房之前記得除鞋。", "你进房间之前记得脱鞋。"},
      {"佢入咗廚房煮飯。", "他进了厨房做饭。"},
      {"快啲入嚟啦，出面好凍。", "快点进来吧，外面很冷。"},
      // ... but 入院 is its own word.
      {"佢入咗院。", "他住院了。"},
  });
}

TEST(ShippedClass, StillAlsoAndNotYet) {
  expect_rows({
      // 仲 or 又 + 喺度 before a verb is the progressive; before a particle
      // 喺度 is the place.
      {"我個仔而家仲喺度打機。", "我的儿子现在还在打游戏。"},
      {"佢又喺度嘈。", "他又在吵。"},
      {"佢仲喺度呀？", "他还在这里啊？"},
      // 都 after one person or a finished action is 也; after many, 都.
      {"佢都唔知。", "他也不知道。"},
      {"我都想去睇戲。", "我也想去看电影。"},
      {"我哋都唔知。", "我们都不知道。"},
      {"呢對鞋打完折都要八百蚊。", "这双鞋打完折也要八百块。"},
      {"我瞓咗成日都仲係好攰。", "我睡了一整天都还是很累。"},
      // ... after one person named by who they are, 也; after many or two, 都.
      {"阿爸都話唔想去。", "爸爸也说不想去。"},
      {"老師都唔知。", "老师也不知道。"},
      {"我啲同事都唔知。", "我的同事都不知道。"},
      {"我同阿媽都鍾意食魚。", "我和妈妈都喜欢吃鱼。"},
      // 未 after a result reached is 没有; after V咗 or V好, 了没有.
      {"你收到我個短訊未呀？", "你收到我的短信没有啊？"},
      {"你搵到份工未呀？", "你找到工作没有啊？"},
      {"你到咗未呀？", "你到了没有啊？"},
      {"你見過未？", "你见过没有？"},
      // V晒 asked about with 未 is V完, with 都 before it for many (啲碗).
      {"啲碗洗晒未呀？", "碗都洗完了没有啊？"},
      {"你食晒未？", "你吃完了没有？"},
      {"你做晒啲功課未？", "你做完作业了没有？"},
      // A question closing with 未 is Cantonese however Mandarin its words
      // look (執好 is Mandarin too), so 執 before 好 is tidying up.
      {"你執好行李未呀？", "你收拾好行李了没有啊？"},
      {"你食晒啲藥未呀？", "你吃完药了没有啊？"},
  });
}

TEST(ShippedClass, VerbsGoingBackAndRunningOut) {
  expect_rows({
      // V返轉頭 is going back the way one came, for any verb of moving.
      {"我哋行返轉頭啦。", "我们走回去吧。"},
      {"我哋揸返轉頭啦。", "我们开回去吧。"},
      // V過咗 + 站 or 頭: going past where one meant to stop.
      {"我頭先坐過咗站。", "我刚才坐过站了。"},
      {"我琴晚瞓過咗頭。", "我昨晚睡过头了。"},
      // 冇晒 + what ran out is 没…了, with the particle's 了 once.
      {"我部手機冇晒電，點算？", "我的手机没电了，怎么办？"},
      {"我冇晒錢喇。", "我没钱了。"},
      {"啲錢冇晒。", "钱都没了。"},
      // 冇電 closing a clause is a state reached; before a particle the
      // particle gives the 了.
      {"我手機冇電，個充電器又唔見咗。", "我手机没电了，充电器又不见了。"},
      {"我部手機冇電喇。", "我的手机没电了。"},
  });
}

TEST(ShippedClass, ClassifierAndNounAfterAVerb) {
  expect_rows({
      // A document after a verb of handing in or working on it is the one
      // meant: its classifier goes.
      {"老細叫我交份報告。", "老板叫我交报告。"},
      {"佢要寫篇文章。", "他要写文章。"},
      {"你幫我填張表啦，唔該。", "你帮我填表吧，谢谢。"},
      {"佢喺度寫緊份計劃書。", "他在写计划书。"},
      // ... after dropping or hitting it so that it broke; 整爛咗 keeps it.
      {"我唔小心打爛咗隻碗。", "我不小心打破了碗。"},
      {"佢整爛咗部電話。", "他弄坏了部电话。"},
      // 架 before a vehicle after renting or buying one is 辆, and Cantonese.
      {"我想租架車自駕遊。", "我想租辆车自驾游。"},
      // 個 before what is set up on a computer goes.
      {"佢要更新個系統。", "他要更新系统。"},
      // Other verbs keep it: 買份禮物 counts one.
      {"我想買份禮物俾我阿媽。", "我想买份礼物给我妈妈。"},
  });
}

TEST(ShippedClass, SetPhrasesAndSentenceFinalParticles) {
  expect_rows({
      {"呢個係咩嚟㗎？", "这个是什么？"},
      {"真係咩？", "真的吗？"},
      {"係咩？", "真的吗？"},
      {"我唔食牛肉㗎。", "我不吃牛肉的。"},
      {"你喺邊度買㗎？", "你在哪里买的？"},
      {"你食咗早餐未呀？", "你吃了早餐没有啊？"},
      {"你諗好未？", "你想好了没有？"},
      {"我哋一齊去飲茶啦！", "我们一起去喝早茶吧！"},
      {"你唔好話俾佢知呀。", "你不要告诉他啊。"},
      {"我講得唔係好好。", "我说得不太好。"},
      // 咪住 on its own is "wait", before a verb "not yet".
      {"咪住，我仲未搞掂呀。", "等一下，我还没搞定啊。"},
      {"你咪住走。", "你先别走。"},
      // 吖 closing a request is 吧, elsewhere 啊.
      {"你幫我攞杯水嚟吖。", "你帮我拿杯水来吧。"},
      {"好吖，我哋去。", "好啊，我们去。"},
      // 有我喺度 closing a clause is being there; before a verb, the progressive.
      {"唔使驚，有我喺度。", "不用怕，有我在。"},
      {"有人喺度食緊飯。", "有人在吃饭。"},
  });
}

TEST(ShippedClass, MandarinWordsSharingCantoneseCharactersAreLeftAlone) {
  opencc::SimpleConverter t2s("t2s");
  // Each holds a character or word that is a Cantonese dictionary word on
  // its own (話, 碟, 傾, 識, 係, 一係, 出年, 行路, 第二個, 一個字, 同, ...).
  const char* mandarin[] = {
      "我們的系統關係很好，三點鐘見。",
      "食物和飲料",
      "如果指定選項的話",
      "磁碟",
      "系統停止傾印核心檔",
      "使用者標識",
      "與其相繫",
      "一系列變數",
      "輸出年份",
      "不會進行路徑的擴充套件",
      "第二個引數",
      "一個字元序列",
      "同名成員",
      "非同步命令",
      "換句話說",
      "期望值",
      "執行命令",
      "請您稍等一陣子後再變更密碼",
      "周圍的環境",
      "即時訊息",
      "人工智慧",
      "天文台",
      "自動櫃員機",
      "好在有你",
      "頭痛",
      "訊號處理",
      "使用短訊。",
      "第 %d 個分割檔有好幾個版本",
      "已知有 %d 個好的提交",
      "預設輸出格式是某個讓人好讀的變更表示方式。",
      "冒著熱氣的湯",
      "半日之內完成",
      "舅父和舅母",
      "其實會更好",
      "一大鍋飯",
      "請輸入密碼後進入系統。",
      "他進入房間後整理好文件。",
      "成家立業",
      "他們都是學生，也都很忙。",
      "這份報告交給你。",
      "尚未收到回覆。",
      "那陣子我們都很忙。",
      "爸爸都說不想去，老師都知道了。",
      "店鋪今天沒開。",
      "你見過嗎？",
      "這裡的東西比外面便宜。",
      "日子好過以前了。",
      "他們去到香港後很忙。",
      "差不多幾點到？",
      "這件事嚇到我了。",
      "他好驚訝。",
      "他要更新一個系統。",
      "尚未？",
      "是否儲存相片？",
      "這個支架車身很穩。",
      "他今天好奇怪。",
      "我們是好友。",
  };
  for (const char* text : mandarin) EXPECT_EQ(shipped().translate(text), t2s.Convert(text)) << text;
}

// Every character of the dictionary that Mandarin does not write is
// rewritten wherever the dictionary knows it, written as the dictionary
// writes it or as OpenCC's t2s writes it (嗰 is 𠮶 there, 𨋢 is 䢂).
TEST(Shipped, EveryCantoneseOnlyCharacterIsCovered) {
  opencc::SimpleConverter t2s("t2s");
  std::set<std::string> mandarin;
  {
    std::ifstream in(Cantonese::default_words_file());
    for (std::string line; std::getline(in, line);)
      if (utf8::length(line) == 1) mandarin.insert(line);
  }
  std::map<std::string, std::vector<std::string>> words_of;  // character -> keys that hold it
  {
    std::ifstream in(Cantonese::default_dict_file());
    for (std::string line; std::getline(in, line);) {
      const std::string key = line.substr(0, line.find('\t'));
      for (std::size_t pos = 0; pos < key.size();) {
        const std::size_t begin = pos;
        if (const char32_t cp = utf8::next(key, pos); cp >= 0x3400)
          words_of[key.substr(begin, pos - begin)].push_back(key);
      }
    }
  }
  std::size_t checked = 0;
  for (const auto& [character, keys] : words_of) {
    const std::string converted = t2s.Convert(character);
    if (mandarin.count(converted)) continue;
    ++checked;
    const auto left_in = [&](const std::string& text) {
      return shipped().translate(text).find(converted) != std::string::npos;
    };
    if (!left_in(character)) {
      EXPECT_FALSE(left_in(converted)) << converted;
      continue;
    }
    for (const std::string& key : keys) {  // a character that stands in words only
      EXPECT_FALSE(left_in(key)) << key;
      EXPECT_FALSE(left_in(t2s.Convert(key))) << key;
    }
  }
  EXPECT_GE(checked, 60u);
}

}  // namespace
}  // namespace kelvra::nlp::common::lang::cantonese
