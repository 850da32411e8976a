#include "kelvra/nlp/common/internal/segment_pieces.h"

#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "kelvra/common/exceptions.h"

namespace kelvra::nlp::common::internal {
namespace {

// Texts of enders, closing quotes, brackets left open or closed too often,
// clause marks and plain characters of one to four bytes.
std::string random_text(std::mt19937& random, std::size_t characters) {
  static const std::vector<std::string> kinds = {"。", "！", "\n", "”",  "【", "】", "「",
                                                 "」", "，", "a",  "中", "𝔸",  "字", "文"};
  std::uniform_int_distribution<std::size_t> pick(0, kinds.size() - 1);
  std::string text;
  for (std::size_t i = 0; i < characters; ++i) text += kinds[pick(random)];
  return text;
}

using Span = std::tuple<std::size_t, std::size_t, std::int64_t, std::int64_t>;

std::vector<Span> spans_of(const std::vector<SegmentSpan>& segments) {
  std::vector<Span> spans;
  for (const SegmentSpan& s : segments)
    spans.emplace_back(s.byte_begin, s.byte_end, s.offset, s.length);
  return spans;
}

std::vector<Span> whole_walk(const Sectioner& sectioner, std::string_view text,
                             std::int64_t length) {
  std::vector<SegmentSpan> segments;
  sectioner.for_each_segment(text, length, [&](const SegmentSpan& s) { segments.push_back(s); });
  return spans_of(segments);
}

// Whatever the text, the segment length (sentences longer than it cut into
// pieces included), the piece size and the threads: the segments of one walk.
TEST(SegmentPieces, EqualTheOneWalkForAnyTextLengthPieceSizeAndThreads) {
  std::mt19937 random(1209);
  const Sectioner sectioner;
  for (int round = 0; round < 400; ++round) {
    const std::string text =
        random_text(random, std::uniform_int_distribution<std::size_t>(0, 400)(random));
    const std::int64_t length = std::uniform_int_distribution<std::int64_t>(1, 60)(random);
    const std::size_t piece_bytes = std::uniform_int_distribution<std::size_t>(1, 80)(random);
    const int threads = std::uniform_int_distribution<int>(2, 4)(random);
    ThreadPool pool(threads);
    ASSERT_EQ(spans_of(segments_in_pieces(sectioner, text, length, pool, threads, piece_bytes)),
              whole_walk(sectioner, text, length))
        << "round " << round << ", length " << length << ", piece " << piece_bytes << ", text "
        << text;
  }
}

TEST(SegmentPieces, RefusesWhatTheOneWalkRefuses) {
  const Sectioner sectioner;
  ThreadPool pool(2);
  const std::string text(300, 'a');
  EXPECT_THROW(segments_in_pieces(sectioner, text, 0, pool, 2, 16), kelvra::common::KvException);
  std::string bad = text;
  bad[200] = '\xc3';
  EXPECT_THROW(segments_in_pieces(sectioner, bad, 10, pool, 2, 16), kelvra::common::TypeError);
}

TEST(SegmentPieces, SplitGivesTheSameRecordsForAnyThreads) {
  const Sectioner sectioner;
  std::mt19937 random(28);
  const std::string text = random_text(random, 3 * kPieceBytes / 2);
  Record feature_set = Record::object();
  feature_set["text"] = text;
  Record nes = Record::array();
  for (std::int64_t offset = 0; offset < 400000; offset += 997) {
    Record ne = Record::object();
    ne["offset"] = offset;
    ne["length"] = offset % 13;
    nes.push_back(std::move(ne));
  }
  feature_set["nes"] = std::move(nes);
  Record relation = Record::object();
  relation["feature_set"] = feature_set;
  relation["length"] = 100;
  Record ner = Record::object();
  ner["text"] = text;
  ner["length"] = 37;
  EXPECT_EQ(sectioner.split(ner, "ner", 3), sectioner.split(ner, "ner"));
  EXPECT_EQ(sectioner.split(relation, "relation", 2), sectioner.split(relation, "relation"));
  // A caller's pool, lent to calls on two threads at once.
  ThreadPool lent(2);
  std::vector<Record> ner_lent, relation_lent;
  std::thread other([&] { ner_lent = sectioner.split(ner, "ner", lent); });
  relation_lent = sectioner.split(Record(relation), "relation", lent);
  other.join();
  EXPECT_EQ(ner_lent, sectioner.split(ner, "ner"));
  EXPECT_EQ(relation_lent, sectioner.split(relation, "relation"));
  EXPECT_THROW(sectioner.split(ner, "ner", 0), kelvra::common::KvException);
}

}  // namespace
}  // namespace kelvra::nlp::common::internal
