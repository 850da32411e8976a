#include "kelvra/nlp/common/lang/cantoseg.h"

#include <cstdlib>
#include <fstream>
#include <random>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "kelvra/common/exceptions.h"

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

TEST(Cut, LettersAndDigitsStayOneWordAndNothingIsDropped) {
  EXPECT_THAT(segmenter().cut("佢哋買iPhone15喇 ok!"),
              ElementsAre("佢哋", "買", "iPhone15", "喇", " ", "ok", "!"));
  EXPECT_THAT(segmenter().cut("Ｈｉ３佢"), ElementsAre("Ｈｉ３", "佢"));
  EXPECT_THAT(segmenter().cut(""), IsEmpty());
}

TEST(Cut, ConcatenationIsAlwaysTheTextOnRandomInput) {
  const std::vector<std::string> pieces = {"佢", "哋", "而", "家", "喺", "a", "1", " ", "，",
                                           "😀", "邊", "度", "\n", "é", "食"};
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

}  // namespace
}  // namespace kelvra::nlp::common::lang::cantoseg
