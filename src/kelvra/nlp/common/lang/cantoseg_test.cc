#include "kelvra/nlp/common/lang/cantoseg.h"

#include <cstdlib>
#include <fstream>
#include <map>
#include <random>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "kelvra/common/exceptions.h"
#include "kelvra/common/utf8.h"

namespace kelvra::nlp::common::lang::cantoseg {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::string join(const std::vector<std::string>& words) {
  std::string out;
  for (const auto& word : words) out += word;
  return out;
}

const Segmenter& segmenter() {
  static const Segmenter instance({"佢哋", "佢", "而家", "喺", "邊度", "食緊飯", "食", "唔該",
                                   "乜嘢", "點解", "咁", "好", "咁好", "好食", "唔"});
  return instance;
}

TEST(Cut, FindsDictionaryWordsInRunningText) {
  EXPECT_THAT(segmenter().cut("佢哋而家喺邊度食緊飯"),
              ElementsAre("佢哋", "而家", "喺", "邊度", "食緊飯"));
  EXPECT_THAT(segmenter().cut("唔該，點解你食乜嘢？"),
              ElementsAre("唔該", "，", "點解", "你", "食", "乜嘢", "？"));
}

TEST(Cut, FewestWordsThenLongerFirstWord) {
  // 咁好食: {咁好, 食} and {咁, 好食} both take two words; the longer first word wins.
  EXPECT_THAT(segmenter().cut("咁好食"), ElementsAre("咁好", "食"));
  // Greedy longest match would take 甲乙丙 and then two single characters.
  Segmenter lexicon({"甲乙丙", "甲乙", "丙丁戊"});
  EXPECT_THAT(lexicon.cut("甲乙丙丁戊"), ElementsAre("甲乙", "丙丁戊"));
}

TEST(Cut, StandingsDecideBetweenEquallyShortCuts) {
  using S = Standing;
  // 成日|食 and 成|日食 both take two words.
  auto cut = [](std::vector<Lexeme> lexicon, std::string_view text) {
    return Segmenter(lexicon).cut(text);
  };
  // All plain: the longer first word wins.
  EXPECT_THAT(cut({{"成日"}, {"日食"}}, "成日食"), ElementsAre("成日", "食"));
  // An ambiguous rewrite loses to a plain word, even as the longer first word.
  EXPECT_THAT(cut({{"成日", S::kAmbiguous}, {"日食"}}, "成日食"), ElementsAre("成", "日食"));
  // A single code point counts too: 唔好|話 loses to 唔|好話 when 話 is ambiguous ...
  EXPECT_THAT(cut({{"唔好"}, {"好話"}, {"話", S::kAmbiguous}}, "唔好話"),
              ElementsAre("唔", "好話"));
  // ... unless 唔好 is marked: covering more with marked words comes first.
  EXPECT_THAT(cut({{"唔好", S::kMarked}, {"好話"}, {"話", S::kAmbiguous}}, "唔好話"),
              ElementsAre("唔好", "話"));
  // Marked words of one code point weigh nothing: 啱|啱先 and 啱啱|先 tie on
  // marked code points, and the longer first word wins.
  EXPECT_THAT(cut({{"啱", S::kMarked}, {"啱啱", S::kMarked}, {"啱先", S::kMarked}}, "啱啱先"),
              ElementsAre("啱啱", "先"));
  // Fewer words always come first.
  EXPECT_THAT(cut({{"甲乙丙", S::kAmbiguous}, {"甲乙"}, {"丙丁"}}, "甲乙丙"),
              ElementsAre("甲乙丙"));
}

// The cut of a span of code points, as the words' texts.
std::vector<std::string> cut_span(const Segmenter& segmenter, std::u32string_view span,
                                  const Segmenter::Options& options = {}) {
  std::vector<Segmenter::Word> words;
  segmenter.cut(span, options, words);
  std::vector<std::string> texts;
  for (const auto& word : words)
    texts.push_back(kelvra::common::utf8::encode(span.substr(word.begin, word.length)));
  return texts;
}

TEST(Cut, TheJudgeDecidesForConditionalWords) {
  // 成日 stands only where the judge says so; elsewhere it is no word.
  struct AtStart : Judge {
    std::optional<Verdict> judge(std::size_t, std::size_t begin, std::size_t) const override {
      if (begin != 0) return std::nullopt;
      return Verdict{Standing::kMarked, 7};
    }
  } at_start;
  Segmenter lexicon(std::vector<Lexeme>{{"成日", Standing::kPlain, true}, {"日食"}});
  EXPECT_THAT(cut_span(lexicon, U"成日食", {false, nullptr, &at_start}), ElementsAre("成日", "食"));
  EXPECT_THAT(cut_span(lexicon, U"我成日食", {false, nullptr, &at_start}),
              ElementsAre("我", "成", "日食"));
  std::vector<Segmenter::Word> words;
  lexicon.cut(U"成日", {false, nullptr, &at_start}, words);
  ASSERT_EQ(words.size(), 1u);
  EXPECT_EQ(words[0].choice, 7u);
  // Without a judge it is a plain word.
  EXPECT_THAT(cut_span(lexicon, U"我成日食"), ElementsAre("我", "成日", "食"));
}

TEST(Cut, NegatorsMakeANotAAndGuardsKeepGuardedWordsOff) {
  using S = Standing;
  Segmenter lexicon(std::vector<Lexeme>{{"唔", S::kMarked, false, true},
                                        {"唔記得", S::kMarked},
                                        {"記得", S::kPlain, false, false, true},
                                        {"书系", S::kPlain, false, false, true},
                                        {"系", S::kAmbiguous}});
  // X, the negator and X again: the first two are one word, paired, and no
  // word starts at the negator.
  std::vector<Segmenter::Word> words;
  lexicon.cut(U"記唔記得", {}, words);
  ASSERT_EQ(words.size(), 2u);
  EXPECT_TRUE(words[0].paired);
  EXPECT_EQ(words[0].length, 2u);
  EXPECT_EQ(words[0].index, 0u);
  EXPECT_THAT(cut_span(lexicon, U"我唔記得"), ElementsAre("我", "唔記得"));
  EXPECT_THAT(cut_span(lexicon, U"唔唔唔"), ElementsAre("唔", "唔", "唔"));
  // A guard of 1 keeps guarded words off the code point; 2 only those that
  // begin before it.
  const std::uint8_t off[] = {0, 1}, begin_here[] = {0, 2};
  EXPECT_THAT(cut_span(lexicon, U"书系"), ElementsAre("书系"));
  EXPECT_THAT(cut_span(lexicon, U"书系", {false, off, nullptr}), ElementsAre("书", "系"));
  EXPECT_THAT(cut_span(lexicon, U"书系", {false, begin_here, nullptr}), ElementsAre("书", "系"));
  const std::uint8_t first_off[] = {2, 0, 0, 0};
  EXPECT_THAT(cut_span(lexicon, U"記得书系", {false, first_off, nullptr}),
              ElementsAre("記得", "书系"));
  // Among equally short cuts, more Ambiguous code points win when asked.
  Segmenter ties(std::vector<Lexeme>{{"我家"}, {"家姐", S::kAmbiguous}});
  EXPECT_THAT(cut_span(ties, U"我家姐"), ElementsAre("我家", "姐"));
  EXPECT_THAT(cut_span(ties, U"我家姐", {true, nullptr, nullptr}), ElementsAre("我", "家姐"));
  EXPECT_THROW(Segmenter(std::vector<Lexeme>{{"唔好", S::kPlain, false, true}}),
               kelvra::common::TypeError);
}

TEST(Cut, PiecesCarryTheirLexiconPosition) {
  Segmenter lexicon(std::vector<std::string>{"佢", "佢哋", "OK", "，", "佢哋"});
  std::vector<Segmenter::Piece> pieces;
  lexicon.cut_pieces("佢哋佢，OK好", pieces);
  ASSERT_EQ(pieces.size(), 5u);
  // Of equal words the last counts; letters, digits and punctuation are
  // found when the whole piece is a lexicon word.
  const std::pair<std::string_view, std::size_t> expected[] = {
      {"佢哋", 4}, {"佢", 0}, {"，", 3}, {"OK", 2}, {"好", Segmenter::npos}};
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    EXPECT_EQ(pieces[i].text, expected[i].first);
    EXPECT_EQ(pieces[i].index, expected[i].second);
  }
  EXPECT_EQ(lexicon.find("佢哋"), 4u);
  EXPECT_EQ(lexicon.find("佢哋佢"), Segmenter::npos);
}

TEST(Cut, LongRunsAreCutInWindows) {
  // A run of 70,000 Chinese characters is cut in bounded windows, and still
  // comes back whole.
  std::string text;
  for (int i = 0; i < 35000; ++i) text += "佢哋";
  auto words = Segmenter(std::vector<std::string>{"佢哋"}).cut(text);
  EXPECT_EQ(join(words), text);
  EXPECT_EQ(words.size(), 35000u);  // the window boundary falls between two words here
}

TEST(Cut, LettersAndDigitsStayOneWordAndNothingIsDropped) {
  EXPECT_THAT(segmenter().cut("佢哋買iPhone15喇 ok!"),
              ElementsAre("佢哋", "買", "iPhone15", "喇", " ", "ok", "!"));
  EXPECT_THAT(segmenter().cut("Ｈｉ３佢"), ElementsAre("Ｈｉ３", "佢"));
  EXPECT_THAT(segmenter().cut(""), IsEmpty());
}

TEST(Cut, ConcatenationIsAlwaysTheTextOnRandomInput) {
  const std::vector<std::string> pieces = {"佢", "哋", "而", "家", "喺", "a", "1", " ",
                                           "，", "😀",  "邊", "度", "\n", "é", "食"};
  std::mt19937 random(7);
  for (int round = 0; round < 300; ++round) {
    std::string text;
    for (int i = random() % 30; i > 0; --i) text += pieces[random() % pieces.size()];
    auto words = segmenter().cut(text);
    EXPECT_EQ(join(words), text);
    for (const auto& word : words) EXPECT_FALSE(word.empty());
  }
}

// The Cantonese words of the shipped dictionary, as the translator gives them
// to its segmenter (it adds their simplified forms too).
std::vector<std::string> shipped_words() {
  const char* source = std::getenv("KELVRA_SOURCE_DIR");
  std::ifstream in(std::string(source ? source : ".") + "/src/kelvra/nlp/common/lang/data/c2m.tsv");
  std::vector<std::string> words;
  for (std::string line; std::getline(in, line);) words.push_back(line.substr(0, line.find('\t')));
  return words;
}

TEST(Cut, FindsTheShippedDictionaryWords) {
  Segmenter shipped(shipped_words());
  ASSERT_GE(shipped.size(), 600u);
  EXPECT_THAT(shipped.cut("佢哋而家喺邊度食緊飯"), ElementsAre("佢哋", "而家", "喺邊度", "食緊飯"));
  EXPECT_THAT(shipped.cut("唔該，點解你要食乜嘢？"),
              ElementsAre("唔該", "，", "點解", "你", "要", "食", "乜嘢", "？"));
  // Mandarin words listed to keep them whole are found too.
  EXPECT_THAT(shipped.cut("我們的關係"), ElementsAre("我", "們", "的", "關係"));
}

TEST(Lexicon, CountsDistinctWordsAndRejectsBadInput) {
  Segmenter lexicon({"佢", "佢", "", "佢哋"});
  EXPECT_EQ(lexicon.size(), 2u);
  EXPECT_TRUE(lexicon.contains("佢哋"));
  EXPECT_FALSE(lexicon.contains("哋"));
  EXPECT_THROW(Segmenter({"\xFF"}), kelvra::common::TypeError);
  EXPECT_THROW(lexicon.cut("\xE4"), kelvra::common::TypeError);
}

// A lexicon far larger than its first guess at the table's size (Latin
// words take one byte a code point, not three), with code points beyond the
// Basic Multilingual Plane, shared prefixes and repeated words: every word
// is found at its last position, and nothing else is.
TEST(Lexicon, LargeLexiconsFindExactlyTheirWords) {
  std::mt19937 random(11);
  const std::vector<char32_t> alphabet = {U'a',  U'b',  U'z',          U'佢',         U'哋',
                                          U'喺', U'係', U'\U00020000', U'\U0002A6D6', U'\u00E9'};
  const auto word_of = [&](std::size_t length) {
    std::string word;
    for (std::size_t i = 0; i < length; ++i)
      kelvra::common::utf8::append(word, alphabet[random() % alphabet.size()]);
    return word;
  };
  std::vector<std::string> words;
  for (int i = 0; i < 30000; ++i) words.push_back(word_of(1 + random() % 8));
  std::map<std::string, std::size_t> last;
  for (std::size_t i = 0; i < words.size(); ++i) last[words[i]] = i;

  const Segmenter lexicon(words);
  EXPECT_EQ(lexicon.size(), last.size());
  for (const auto& [word, index] : last) ASSERT_EQ(lexicon.find(word), index) << word;
  for (int i = 0; i < 30000; ++i) {
    const std::string probe = word_of(1 + random() % 9);
    const auto it = last.find(probe);
    ASSERT_EQ(lexicon.find(probe), it == last.end() ? Segmenter::npos : it->second) << probe;
  }
}

}  // namespace
}  // namespace kelvra::nlp::common::lang::cantoseg
