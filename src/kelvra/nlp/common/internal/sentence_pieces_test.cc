#include "kelvra/nlp/common/internal/sentence_pieces.h"

#include <functional>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "kelvra/common/exceptions.h"
#include "kelvra/common/utf8.h"

namespace kelvra::nlp::common::internal {
namespace {

// A random text of `characters` drawn mostly from what steers the walk:
// enders (with and without a closing quote after them), brackets and their
// partners (often left open across many pieces, or closed too often), clause
// marks, line feeds and a few plain letters of one to four bytes.
std::string random_text(std::mt19937& random, std::size_t characters) {
  static const std::vector<std::string> kinds = {"。", "！", "？", "\n", "”",  "’",  "【", "】",
                                                 "「", "」", "，", "：", "a",  "中", "文", "𝔸",
                                                 "字", "b",  "字", "。", "中", "”"};
  std::uniform_int_distribution<std::size_t> pick(0, kinds.size() - 1);
  std::string text;
  for (std::size_t i = 0; i < characters; ++i) text += kinds[pick(random)];
  return text;
}

using feature::Clause;
using feature::Sentence;
using Span = std::tuple<std::size_t, std::size_t, std::int64_t, std::int64_t>;

std::vector<Span> whole_walk(const Phraser& phraser, std::string_view text) {
  std::vector<Span> spans;
  phraser.for_each_sentence(text, [&](const SentenceSpan& s) {
    spans.emplace_back(s.byte_begin, s.byte_end, s.offset, s.length);
  });
  return spans;
}

std::vector<Span> piece_walk(const Phraser& phraser, std::string_view text, int threads,
                             std::size_t piece_bytes) {
  ThreadPool pool(threads);
  std::vector<Span> spans;
  for (const SentenceSpan& s : sentences_in_pieces(phraser, text, pool, threads, piece_bytes))
    spans.emplace_back(s.byte_begin, s.byte_end, s.offset, s.length);
  return spans;
}

// The property the whole module stands on: whatever the text, the piece
// size and the number of threads, the sentences are those of one walk.
TEST(SentencePieces, EqualTheOneWalkForAnyTextPieceSizeAndThreads) {
  std::mt19937 random(20261209);
  for (int round = 0; round < 400; ++round) {
    const std::int64_t max_len = std::uniform_int_distribution<std::int64_t>(1, 40)(random);
    const Phraser phraser(std::nullopt, max_len);
    const std::string text =
        random_text(random, std::uniform_int_distribution<std::size_t>(0, 400)(random));
    const std::size_t piece_bytes = std::uniform_int_distribution<std::size_t>(1, 64)(random);
    const int threads = std::uniform_int_distribution<int>(2, 4)(random);
    ASSERT_EQ(piece_walk(phraser, text, threads, piece_bytes), whole_walk(phraser, text))
        << "round " << round << ", max_len " << max_len << ", piece " << piece_bytes << ", text "
        << text;
  }
}

// A bracket or quotation opened in the first piece and closed in the last
// keeps every guess in between from holding: each piece is walked again.
TEST(SentencePieces, BracketsOpenAcrossPiecesAreWalkedAgain) {
  const Phraser phraser;
  for (const std::string open : {"【", "「"}) {
    const std::string close = open == "【" ? "】" : "」";
    std::string text = "开始" + open;
    for (int i = 0; i < 50; ++i) text += "一句话。“引号”！";
    text += close + "结束。";
    for (int i = 0; i < 20; ++i) text += "后面。";
    const std::vector<Span> whole = whole_walk(phraser, text);
    for (std::size_t piece : {3, 16, 40, 200})
      EXPECT_EQ(piece_walk(phraser, text, 3, piece), whole) << open << " " << piece;
  }
  // A lone closing bracket makes the depth negative for the rest.
  std::string negative = "】";
  for (int i = 0; i < 60; ++i) negative += i % 7 == 0 ? "「句。" : "句。";
  EXPECT_EQ(piece_walk(phraser, negative, 2, 10), whole_walk(phraser, negative));
}

TEST(SentencePieces, SplitGivesTheSameRecordsForAnyThreads) {
  const Phraser phraser(std::nullopt, 20);
  std::mt19937 random(7);
  // Long enough to be walked in pieces of the default size.
  const std::string text = random_text(random, 3 * kPieceBytes / 2);
  ASSERT_TRUE(walked_in_pieces(text.size(), 2));
  const std::vector<Sentence> one = phraser.split(text);
  auto expect_one = [&](const std::vector<Sentence>& many) {
    ASSERT_EQ(many.size(), one.size());
    for (std::size_t i = 0; i < one.size(); ++i)
      ASSERT_EQ(many[i].to_json(), one[i].to_json()) << i;
  };
  for (int threads : {2, 3}) expect_one(phraser.split(text, threads));
  // The layout is where those records lie, on any number of threads.
  for (int threads : {1, 2, 3}) {
    const Phraser::Layout layout = phraser.layout(text, threads);
    ASSERT_EQ(layout.sentences.size(), one.size());
    ASSERT_EQ(layout.first_clause.size(), one.size() + 1);
    ASSERT_EQ(layout.first_clause.back(), layout.clauses.size());
    auto expect_at = [&](const SentenceSpan& span, std::int64_t offset, std::int64_t length,
                         const std::string& piece) {
      ASSERT_EQ(std::tie(span.offset, span.length), std::tie(offset, length));
      ASSERT_EQ(text.substr(span.byte_begin, span.byte_end - span.byte_begin), piece);
    };
    for (std::size_t i = 0; i < one.size(); ++i) {
      expect_at(layout.sentences[i], one[i].offset, one[i].length, one[i].text);
      ASSERT_EQ(layout.first_clause[i + 1] - layout.first_clause[i], one[i].clauses.size()) << i;
      for (std::size_t c = 0; c < one[i].clauses.size(); ++c) {
        const Clause& clause = one[i].clauses[c];
        expect_at(layout.clauses[layout.first_clause[i] + c], clause.offset, clause.length,
                  clause.text);
      }
    }
  }
  // A caller's pool, lent to several calls at once.
  ThreadPool lent(3);
  std::vector<std::vector<Sentence>> results(4);
  std::vector<std::thread> callers;
  for (auto& result : results) callers.emplace_back([&] { result = phraser.split(text, lent); });
  for (auto& caller : callers) caller.join();
  for (const auto& result : results) expect_one(result);
}

TEST(SentencePieces, RefusesFewerThanOneThreadAndBadText) {
  const Phraser phraser;
  EXPECT_THROW(phraser.split("你好。", 0), kelvra::common::KvException);
  try {
    phraser.split("你好。", -3);
    FAIL();
  } catch (const kelvra::common::KvException& e) {
    EXPECT_NE(std::string(e.what()).find("threads"), std::string::npos) << e.what();
  }
  std::string bad(2 * kPieceBytes + 10, 'a');
  bad[kPieceBytes + 3] = '\xff';
  EXPECT_THROW(phraser.split(bad, 2), kelvra::common::TypeError);
  for (std::int64_t threads : {1, 2})
    EXPECT_THROW(phraser.layout(bad, threads), kelvra::common::TypeError);
  EXPECT_THROW(phraser.layout("你好。", 0), kelvra::common::KvException);
  // Any number of threads is taken, however large: no more are started
  // than the text has pieces.
  EXPECT_EQ(phraser.split("你好。再见！", INT64_MAX).size(), 2u);
  const std::string long_text(3 * kPieceBytes, 'a');
  EXPECT_EQ(phraser.layout(long_text, INT64_MAX).sentences.size(),
            phraser.layout(long_text).sentences.size());
  EXPECT_THROW(phraser.layout(bad, INT64_MAX), kelvra::common::TypeError);
  EXPECT_EQ(pool_threads(10, INT64_MAX), 1);
}

// The check on several threads reports the byte the check from the start
// reports, wherever the bad bytes fall beside the cuts between its parts
// (pieces of 8 bytes, so that short texts are cut).
TEST(SentencePieces, CheckOnThreadsReportsTheFirstBadByte) {
  std::mt19937 rng(9);
  const std::string pieces[] = {"a", "中", "😀", "é", "\xff", "\x80", "\xe4\xb8", "\xed\xa0\x80"};
  kelvra::common::ThreadPool pool(3);
  const auto message = [](const std::function<void()>& check) {
    try {
      check();
    } catch (const kelvra::common::TypeError& e) {
      return std::string(e.what());
    }
    return std::string("valid");
  };
  for (int round = 0; round < 2000; ++round) {
    std::string text;
    const std::size_t count = rng() % 40;
    for (std::size_t i = 0; i < count; ++i) text += pieces[rng() % (round % 3 == 0 ? 8 : 4)];
    const std::string expected =
        message([&] { kelvra::common::utf8::require_valid(text, "input"); });
    for (std::int64_t threads : {1, 2, 3, 7})
      ASSERT_EQ(message([&] { require_valid_on(text, pool, threads, "input", 8); }), expected)
          << text;
  }
}

}  // namespace
}  // namespace kelvra::nlp::common::internal
