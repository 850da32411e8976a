#include "kelvra/nlp/common/phraser.h"

#include <random>
#include <thread>
#include <tuple>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "kelvra/common/exceptions.h"

namespace kelvra::nlp::common::phraser {
namespace {

using ::testing::ElementsAre;

std::vector<std::string> texts(const std::vector<Sentence>& sentences) {
  std::vector<std::string> out;
  for (const auto& s : sentences) out.push_back(s.text);
  return out;
}

std::vector<std::string> clause_texts(const Sentence& sentence) {
  std::vector<std::string> out;
  for (const auto& c : sentence.clauses) out.push_back(c.text);
  return out;
}

// --- the character lists ---

TEST(Phraser, DefaultListsAreAsTabled) {
  EXPECT_EQ(Phraser::default_punct_chars.size(), 45u);
  EXPECT_EQ(Phraser::default_punct_chars.front(), "｡");
  EXPECT_EQ(Phraser::default_punct_chars[35], "．");
  EXPECT_EQ(Phraser::default_punct_chars[43], "𑅃");
  EXPECT_EQ(Phraser::default_punct_chars.back(), "\n");
  EXPECT_THAT(Phraser::clause_chars, ElementsAre("，", "：", ",", ":", "】", "」"));
}

TEST(Phraser, ListsOfItsOwnReplaceTheDefaults) {
  Phraser::Marks marks{{"、"}, {"»"}, {"«"}, {"»"}};
  const Phraser own(std::nullopt, 510, marks);
  // A comma no longer cuts clauses, the enumeration comma does; guillemets bracket
  // and close quotes in place of the defaults.
  auto sentences = own.split("甲，乙、丙。«丁。戊»己。“庚。”");
  EXPECT_THAT(texts(sentences), ElementsAre("甲，乙、丙。", "«丁。戊»己。", "“庚。", "”"));
  EXPECT_THAT(clause_texts(sentences[0]), ElementsAre("甲，乙、", "丙。"));
  // With the default lists given explicitly it is the default phraser.
  const Phraser defaults(std::nullopt, 510,
                         {{Phraser::clause_chars.begin(), Phraser::clause_chars.end()},
                          {Phraser::stop_chars.begin(), Phraser::stop_chars.end()},
                          {Phraser::quote_left_char.begin(), Phraser::quote_left_char.end()},
                          {Phraser::quote_right_char.begin(), Phraser::quote_right_char.end()}});
  const std::string text = "他说：“走吧。”【不。停】然后,好";
  EXPECT_EQ(defaults.split(text), Phraser().split(text));
  // Entries of more than one code point mark word tokens with that text.
  const Phraser words(std::nullopt, 510, {{"而且"}, {"」」"}, {}, {}});
  std::vector<Word> tokens =
      Phraser::get_single_words(std::vector<std::string>{"好", "。", "」」", "而且", "走"});
  auto chunks = words.split(tokens);
  ASSERT_EQ(chunks.size(), 2u);
  EXPECT_EQ(chunks[0].text, "好。」」");
  EXPECT_THAT(clause_texts(chunks[1]), ElementsAre("而且", "走"));
  EXPECT_THROW(Phraser(std::nullopt, 510, {{}, {"\xFF"}, {}, {}}), kelvra::common::TypeError);
}

// --- sentences and clauses of a text ---

TEST(Phraser, SplitsAtEndersWithOneClauseEach) {
  auto sentences = Phraser().split("你好。再见！");
  ASSERT_EQ(sentences.size(), 2u);
  EXPECT_EQ(sentences[0], Sentence(0, 0, 3, "你好。", {Clause(0, "done", 0, 3, "你好。")}));
  EXPECT_EQ(sentences[1], Sentence(1, 3, 3, "再见！", {Clause(0, "done", 3, 3, "再见！")}));
}

TEST(Phraser, AsciiFullStopIsNotADefaultEnder) {
  EXPECT_THAT(texts(Phraser().split("Hi. Bye.")), ElementsAre("Hi. Bye."));
  EXPECT_THAT(texts(Phraser(std::vector<std::string>{"."}).split("Hi. Bye.")),
              ElementsAre("Hi.", " Bye."));
}

TEST(Phraser, ClosingQuoteStaysWithTheSentenceItEnds) {
  auto sentences = Phraser().split("他说：“走吧。”然后");
  EXPECT_THAT(texts(sentences), ElementsAre("他说：“走吧。”", "然后"));
  EXPECT_THAT(clause_texts(sentences[0]), ElementsAre("他说：", "“走吧。”"));
  EXPECT_EQ(sentences[0].clauses[1].offset, 3);
  EXPECT_EQ(sentences[1].offset, 8);
}

TEST(Phraser, OnlyTheVeryNextQuoteJoinsTheChunk) {
  EXPECT_THAT(texts(Phraser().split("好。”’再")), ElementsAre("好。”", "’再"));
}

TEST(Phraser, BracketsSuspendCutting) {
  auto sentences = Phraser().split("「甲。乙」丙。");
  EXPECT_THAT(texts(sentences), ElementsAre("「甲。乙」丙。"));
  EXPECT_THAT(clause_texts(sentences[0]), ElementsAre("「甲。乙」", "丙。"));
}

TEST(Phraser, UnbalancedBrackets) {
  // A lone opening bracket suspends cutting to the end of the input.
  EXPECT_THAT(texts(Phraser().split("「甲。乙。")), ElementsAre("「甲。乙。"));
  // A lone closing bracket drives the depth negative; the next pair only
  // brings it back to zero and so does not suspend.
  EXPECT_THAT(texts(Phraser().split("」甲。「乙。丙」丁。")),
              ElementsAre("」甲。", "「乙。", "丙」丁。"));
}

TEST(Phraser, LineFeedEndsAndBelongsToItsSentence) {
  auto sentences = Phraser().split("a\nb\n");
  EXPECT_THAT(texts(sentences), ElementsAre("a\n", "b\n"));
  EXPECT_EQ(sentences[1].offset, 2);
}

TEST(Phraser, LengthCapCutsLongRuns) {
  auto sentences = Phraser().split(std::string(1200, 'a'));
  ASSERT_EQ(sentences.size(), 3u);
  EXPECT_EQ(sentences[0].length, 510);
  EXPECT_EQ(sentences[1].offset, 510);
  EXPECT_EQ(sentences[2].offset, 1020);
  EXPECT_EQ(sentences[2].length, 180);
  // The cap also interrupts a bracket.
  auto capped = Phraser(std::nullopt, 4).split("「一二三四五六");
  EXPECT_THAT(texts(capped), ElementsAre("「一二三", "四五六"));
}

TEST(Phraser, CountsCharactersBeyondTheBasicPlaneAsOne) {
  auto sentences = Phraser().split("😀𑅁b。");
  EXPECT_THAT(texts(sentences), ElementsAre("😀𑅁", "b。"));
  EXPECT_EQ(sentences[1].offset, 2);
  EXPECT_EQ(sentences[1].length, 2);
}

TEST(Phraser, DefaultsForEmptyArguments) {
  Phraser with_empty(std::vector<std::string>{}, 0);
  EXPECT_EQ(with_empty.max_len(), 510);
  EXPECT_EQ(with_empty.punct_chars().size(), 45u);
  EXPECT_TRUE(Phraser().split("").empty());
  EXPECT_TRUE(Phraser().split(std::vector<Word>{}).empty());
}

TEST(Phraser, RejectsInvalidUtf8NamingTheInput) {
  try {
    Phraser().split("ab\xFE");
    FAIL();
  } catch (const kelvra::common::TypeError& e) {
    EXPECT_EQ(e.parameter(), "input");
  }
}

// --- words ---

TEST(Phraser, SingleWordsCountCodePoints) {
  auto words = Phraser::get_single_words("a你😀");
  ASSERT_EQ(words.size(), 3u);
  EXPECT_EQ(words[2], Word(2, "😀", 2, 1));
  auto items = Phraser::get_single_words(std::vector<std::string>{"ab", "c"});
  EXPECT_EQ(items[1], Word(2, "c", 2, 1));
}

TEST(Phraser, WordInputUsesIdsAndWordCounts) {
  std::vector<Word> words{Word(10, "他们", 0, 2), Word(11, "来了", 2, 2), Word(12, "。", 4, 1),
                          Word(13, "好", 5, 1),   Word(14, "，", 6, 1),   Word(15, "走", 7, 1)};
  auto sentences = Phraser().split(words);
  ASSERT_EQ(sentences.size(), 2u);
  EXPECT_EQ(sentences[0],
            Sentence(0, 10, 3, "他们来了。", {Clause(0, "done", 10, 3, "他们来了。")}));
  EXPECT_EQ(sentences[1].offset, 13);
  EXPECT_THAT(clause_texts(sentences[1]), ElementsAre("好，", "走"));
}

TEST(Phraser, SplitByCharWithoutCharsCutsOnlyAtTheCap) {
  auto words = Phraser::get_single_words("一。二。三");
  EXPECT_EQ(Phraser().split_by_char(words).size(), 1u);
  auto chunks = Phraser(std::nullopt, 2).split_by_char(words);
  EXPECT_EQ(chunks.size(), 3u);
  EXPECT_EQ(chunks[2].size(), 1u);
  EXPECT_EQ(Phraser().split_by_char(words, std::vector<std::string>{"。"}).size(), 3u);
}

TEST(Phraser, WordLookAheadUsesTheWordsLength) {
  // The cap compares the chunk's text length plus the next word's `length`.
  std::vector<Word> words{Word(0, "ab", 0, 2), Word(1, "c", 2, 5)};
  EXPECT_EQ(Phraser(std::nullopt, 6).split_by_char(words).size(), 2u);
  EXPECT_EQ(Phraser(std::nullopt, 7).split_by_char(words).size(), 1u);
}

// The text path must agree with the word path on any input.
TEST(Phraser, TextPathAgreesWithWordPathOnRandomInput) {
  const std::vector<std::string> alphabet{"甲", "。", "，", "”", "’", "「", "」",
                                          "【", "】", "\n", "a", "😀", "！", ":"};
  std::mt19937 rng(42);
  for (int round = 0; round < 300; ++round) {
    std::string text;
    int n = static_cast<int>(rng() % 40);
    for (int i = 0; i < n; ++i) text += alphabet[rng() % alphabet.size()];
    Phraser phraser(std::nullopt, 1 + static_cast<std::int64_t>(rng() % 12));
    EXPECT_EQ(phraser.split(text), phraser.split(Phraser::get_single_words(text))) << text;
  }
}

// --- a long text in pieces ---

using Spans = std::vector<std::tuple<std::size_t, std::size_t, std::int64_t, std::int64_t>>;

// Random text with enders, quotes and brackets of both kinds, unbalanced.
std::string random_text(std::mt19937& rng, int characters) {
  static const std::vector<std::string> alphabet{"甲", "。", "，", "”", "’",  "「", "」", "【",
                                                 "】", "\n", "a",  "😀", "！", "乙", "丙"};
  std::string text;
  for (int i = 0; i < characters; ++i) text += alphabet[rng() % alphabet.size()];
  return text;
}

Spans walked(const Phraser& phraser, std::string_view text, std::size_t end, SentenceWalk& walk,
             std::int64_t shift = 0) {
  Spans spans;
  walk = phraser.walk_sentences(text, end, walk, [&](const SentenceSpan& s) {
    spans.emplace_back(s.byte_begin, s.byte_end, s.offset + shift, s.length);
  });
  return spans;
}

// A character boundary at or after byte `at`.
std::size_t boundary_at(std::string_view text, std::size_t at) {
  while (at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) ++at;
  return at;
}

TEST(Phraser, WalksChainedPieceByPieceAreTheWholeWalk) {
  std::mt19937 rng(7);
  for (int round = 0; round < 300; ++round) {
    const std::string text = random_text(rng, static_cast<int>(rng() % 80));
    const Phraser phraser(std::nullopt, 1 + static_cast<std::int64_t>(rng() % 15));
    SentenceWalk walk;
    const Spans whole = walked(phraser, text, text.size(), walk);
    Spans chained;
    walk = SentenceWalk{};
    while (walk.byte < text.size()) {
      const std::size_t end = boundary_at(text, walk.byte + rng() % 12);
      for (const auto& span : walked(phraser, text, end, walk)) chained.push_back(span);
    }
    EXPECT_EQ(chained, whole) << text;
  }
}

TEST(Phraser, AGuessedPieceStartHoldsWhenTheWalkThereAgrees) {
  std::mt19937 rng(11);
  int held = 0, refused = 0;
  for (int round = 0; round < 400; ++round) {
    const std::string text = random_text(rng, 20 + static_cast<int>(rng() % 80));
    const Phraser phraser(std::nullopt, 2 + static_cast<std::int64_t>(rng() % 30));
    SentenceWalk whole_walk;
    const Spans whole = walked(phraser, text, text.size(), whole_walk);
    const std::size_t start = phraser.piece_start(text, rng() % text.size());
    if (start == text.size()) continue;
    SentenceWalk truth;
    walked(phraser, text, start, truth);
    SentenceWalk guess{.byte = start, .open_byte = start, .after_boundary = true};
    const Spans guessed = walked(phraser, text, text.size(), guess, truth.offset);
    if (truth.open_byte != start || truth.depth > 0 || (truth.depth < 0 && guess.peak_depth > 0)) {
      ++refused;
      continue;
    }
    ++held;
    Spans rest;
    for (const auto& span : whole)
      if (std::get<0>(span) >= start) rest.push_back(span);
    EXPECT_EQ(guessed, rest) << text << " from byte " << start;
    EXPECT_EQ(guess.depth + truth.depth, whole_walk.depth);
  }
  EXPECT_GT(held, 100);
  EXPECT_GT(refused, 10);
}

TEST(Phraser, PieceStartFollowsAnEnderWithoutAClosingQuote) {
  const Phraser phraser;
  const std::string text = "甲。”乙！丙\n丁";
  EXPECT_EQ(phraser.piece_start(text, 0), std::string("甲。”乙！").size());
  EXPECT_EQ(phraser.piece_start(text, 1), std::string("甲。”乙！").size());  // inside 甲
  EXPECT_EQ(phraser.piece_start(text, std::string("甲。”乙！").size()),
            std::string("甲。”乙！丙\n").size());
  EXPECT_EQ(phraser.piece_start(text, text.size() - 1), text.size());
  EXPECT_EQ(phraser.piece_start("。a", 0), 3u);
}

TEST(Phraser, OneInstanceServesTwoThreads) {
  Phraser phraser;
  std::string text;
  for (int i = 0; i < 2000; ++i) text += "他说：“走吧。”「甲。乙」丙！\n";
  auto expected = phraser.split(text);
  std::vector<Sentence> a, b;
  std::thread t1([&] { a = phraser.split(text); });
  std::thread t2([&] { b = phraser.split(text); });
  t1.join();
  t2.join();
  EXPECT_EQ(a, expected);
  EXPECT_EQ(b, expected);
}

}  // namespace
}  // namespace kelvra::nlp::common::phraser
