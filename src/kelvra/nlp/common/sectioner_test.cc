#include "kelvra/nlp/common/sectioner.h"

#include <algorithm>
#include <cctype>
#include <iostream>
#include <random>
#include <thread>
#include <tuple>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "kelvra/common/exceptions.h"
#include "kelvra/common/record.h"
#include "kelvra/common/utf8.h"
#include "kelvra/nlp/common/internal/task_kind.h"
#include "kelvra/nlp/common/matcher.h"
#include "kelvra/nlp/common/stitcher.h"

namespace kelvra::nlp::common::sectioner {
namespace {

using kelvra::common::ErrorCodes;
using kelvra::common::KeyError;
using kelvra::common::KvException;
using kelvra::common::TypeError;

Record ner_input(const std::string& text, Record length) {
  return Record{{"text", text}, {"length", std::move(length)}};
}

// (text, offset, length) of each segment, for compact expectations.
std::string describe(const std::vector<Record>& segments) {
  std::string out;
  for (const auto& s : segments)
    out += s["text"].get<std::string>() + "@" + std::to_string(s["offset"].get<int>()) + "+" +
           std::to_string(s["length"].get<int>()) + " ";
  return out;
}

// --- ner ---

TEST(Sectioner, TextThatFitsIsOneSegment) {
  auto segments = Sectioner().split(ner_input("0123456789", 10), "ner");
  EXPECT_EQ(describe(segments), "0123456789@0+10 ");
  EXPECT_EQ(segments[0].dump(), R"({"text":"0123456789","offset":0,"length":10})");
}

TEST(Sectioner, PacksWholeSentencesGreedily) {
  EXPECT_EQ(describe(Sectioner().split(ner_input("你好。再见！谢谢。", 6), "ner")),
            "你好。再见！@0+6 谢谢。@6+3 ");
}

TEST(Sectioner, CutsALongSentenceIntoFixedPieces) {
  EXPECT_EQ(describe(Sectioner().split(ner_input("一二三四五六七八九十", 4), "ner")),
            "一二三四@0+4 五六七八@4+4 九十@8+2 ");
  // The piece cut never merges with the text around it.
  EXPECT_EQ(describe(Sectioner().split(ner_input("甲。一二三四五六七八。乙。", 4), "ner")),
            "甲。@0+2 一二三四@2+4 五六七八@6+4 。@10+1 乙。@11+2 ");
}

TEST(Sectioner, LengthIsTruncatedTowardZero) {
  EXPECT_EQ(describe(Sectioner().split(ner_input("你好。再见！", 3.9), "ner")),
            "你好。@0+3 再见！@3+3 ");
}

TEST(Sectioner, EmptyTextIsOneEmptySegment) {
  EXPECT_EQ(describe(Sectioner().split(ner_input("", 0), "ner")), "@0+0 ");
  EXPECT_EQ(describe(Sectioner().split(ner_input("", 5), "ner")), "@0+0 ");
}

// A length that would lose the document (negative) or divide by zero (0)
// is refused instead.
TEST(Sectioner, RefusesLengthsThatCannotHoldTheText) {
  for (int length : {0, -1}) {
    try {
      Sectioner().split(ner_input("abc", length), "ner");
      FAIL() << length;
    } catch (const KvException& e) {
      EXPECT_EQ(e.code(), ErrorCodes::INVALID_PARAMETERS);
      EXPECT_THAT(e.what(), ::testing::HasSubstr("length"));
      EXPECT_THAT(e.what(), ::testing::HasSubstr(std::to_string(length)));
    }
  }
  EXPECT_THROW(Sectioner().split(ner_input("", -1), "ner"), KvException);
}

// The sectioner and the stitcher take the same task names and refuse the
// same others with the same failure, so that a split is always mergeable.
TEST(Sectioner, TakesTheTaskNamesTheStitcherTakes) {
  const Record input = {{"text", "甲。乙"},
                        {"length", 2},
                        {"feature_set", {{"text", "甲。乙"}, {"nes", Record::array()}}}};
  const auto failure = [](const auto& call) -> std::string {
    try {
      call();
      return "";
    } catch (const KvException& e) {
      return std::to_string(static_cast<int>(e.code())) + " " + e.what();
    }
  };
  using namespace std::string_view_literals;
  for (std::string_view type :
       {"ner"sv, "relation"sv, "NER"sv, "ner "sv, "relations"sv, ""sv, "ner\0"sv}) {
    const std::string split = failure([&] { Sectioner().split(input, type); });
    std::vector<Record> none;
    const std::string merge = failure([&] { stitcher::Stitcher().merge(none, type); });
    EXPECT_EQ(split, merge) << type;
    const bool named =
        std::find(kTaskKindNames.begin(), kTaskKindNames.end(), type) != kTaskKindNames.end();
    EXPECT_EQ(split.empty(), named) << type;
  }
}

TEST(Sectioner, SeparatorOfLineFeedsOnly) {
  Sectioner by_lines(std::vector<std::string>{"\n"});
  EXPECT_EQ(describe(by_lines.split(ner_input("甲。乙\n丙。丁\n", 4), "ner")),
            "甲。乙\n@0+4 丙。丁\n@4+4 ");
}

TEST(Sectioner, RejectsUnknownTypesAndBadInput) {
  for (const char* type : {"NER", "relations", ""}) {
    try {
      Sectioner().split(ner_input("a", 1), type);
      FAIL();
    } catch (const KvException& e) {
      EXPECT_EQ(e.code(), ErrorCodes::INVALID_PARAMETERS);
      EXPECT_STREQ(e.what(), R"(type_ must in ["ner", "relation"])");
    }
  }
  EXPECT_THROW(Sectioner().split(Record::array(), "ner"), TypeError);
  try {
    Sectioner(std::vector<std::string>{"\xFF"});
    FAIL();
  } catch (const TypeError& e) {
    EXPECT_EQ(e.parameter(), "separator");
  }
  EXPECT_THROW(Sectioner().split(Record{{"length", 5}}, "ner"), KeyError);
  EXPECT_THROW(Sectioner().split(Record{{"text", "a"}}, "ner"), KeyError);
  EXPECT_THROW(Sectioner().split(ner_input("a", "5"), "ner"), TypeError);
  EXPECT_THROW(Sectioner().split(Record{{"text", 5}, {"length", 5}}, "ner"), TypeError);
}

// --- relation ---

Record relation_input(Record nes, int length = 6) {
  return Record{
      {"feature_set", {{"text", "一二。四五。七八。十一。二。"}, {"nes", std::move(nes)}}},
      {"length", length}};
}

TEST(Sectioner, RelationCarriesRebasedCopiesOfEntitiesInside) {
  Record input = relation_input(Record::parse(R"([
      {"offset": 5, "length": 3, "type": "straddles"},
      {"offset": 6, "length": 2, "type": "second"},
      {"offset": 0, "length": 6, "type": "whole first"},
      {"spans": [{"offset": 7, "length": 1}, {"offset": 9, "length": 2}], "type": "pieces"},
      {"spans": [{"offset": 1, "length": 1}, {"offset": 9, "length": 1}], "type": "apart"}])"));
  const Record original = input;
  auto segments = Sectioner().split(input, "relation");
  ASSERT_EQ(segments.size(), 3u);
  EXPECT_EQ(describe(segments), "一二。四五。@0+6 七八。十一。@6+6 二。@12+2 ");
  EXPECT_EQ(segments[0]["feature_set"].dump(),
            R"({"text":"一二。四五。","nes":[{"offset":0,"length":6,"type":"whole first"}]})");
  EXPECT_EQ(segments[1]["feature_set"]["nes"].dump(),
            R"([{"offset":0,"length":2,"type":"second"},)"
            R"({"spans":[{"offset":1,"length":1},{"offset":3,"length":2}],"type":"pieces"}])");
  EXPECT_EQ(segments[2]["feature_set"]["nes"], Record::array());
  EXPECT_EQ(input, original);  // the caller's entities keep their positions
}

TEST(Sectioner, ZeroLengthEntityAtABoundaryLiesInBothSegments) {
  auto segments =
      Sectioner().split(relation_input(Record::parse(R"([{"offset":6,"length":0}])")), "relation");
  EXPECT_EQ(segments[0]["feature_set"]["nes"].size(), 1u);
  EXPECT_EQ(segments[1]["feature_set"]["nes"][0]["offset"], 0);
}

TEST(Sectioner, RelationFailures) {
  EXPECT_THROW(Sectioner().split(relation_input(Record::parse("[1]")), "relation"), TypeError);
  EXPECT_THROW(Sectioner().split(relation_input(Record::parse(R"([{"offset":0}])")), "relation"),
               KeyError);
  EXPECT_THROW(Sectioner().split(relation_input(Record::parse(R"([{"length":1}])")), "relation"),
               KeyError);
  EXPECT_THROW(
      Sectioner().split(relation_input(Record::parse(R"([{"spans":[{"offset":1}]}])")), "relation"),
      KeyError);
}

// --- positions beyond what can be placed ---

// The message of the INVALID_PARAMETERS KvException that `call` throws.
template <class Call>
std::string refusal(Call call) {
  try {
    call();
  } catch (const KvException& e) {
    EXPECT_EQ(e.code(), ErrorCodes::INVALID_PARAMETERS);
    return e.what();
  }
  ADD_FAILURE() << "not refused";
  return "";
}

// Regression: offset + length used to wrap, placing this entity inside the
// segment [0, 3).
TEST(Sectioner, RegressionEntityEndBeyondSixtyFourBitsIsRefused) {
  const Record huge = Record::parse(R"({"offset": 5, "length": 9223372036854775807})");
  const Record segment = Record::parse(R"({"offset": 0, "length": 3})");
  EXPECT_EQ(refusal([&] { Sectioner::_judge_entity_in_segment(huge, segment); }),
            "`length`: 5 + 9223372036854775807 lies outside the 64-bit position range");
  EXPECT_EQ(refusal([&] { Sectioner().split(relation_input(Record::array({huge})), "relation"); }),
            "`length`: 5 + 9223372036854775807 lies outside the 64-bit position range");
  const Record huge_span = Record::parse(
      R"({"spans": [{"offset": 1, "length": 1}, {"offset": 9223372036854775807, "length": 1}]})");
  EXPECT_THAT(
      refusal([&] { Sectioner().split(relation_input(Record::array({huge_span})), "relation"); }),
      ::testing::HasSubstr("9223372036854775807 + 1"));
  EXPECT_THAT(refusal([&] {
                Sectioner::_judge_entity_in_segment(Record{{"offset", 0}, {"length", 1}},
                                                    Record{{"offset", INT64_MAX}, {"length", 1}});
              }),
              ::testing::HasSubstr("9223372036854775807 + 1"));
  EXPECT_THAT(refusal([&] { Sectioner()._split_extra_long_sentence("abc", 1, INT64_MAX - 1); }),
              ::testing::HasSubstr("`segment_offset`"));
}

// Regression: the length of an entity that starts before the segment was
// looked up, and a missing one raised KeyError.
TEST(Sectioner, RegressionLengthIsReadOnlyForAStartInsideTheSegment) {
  const Record segment{{"offset", 7}, {"length", 5}};
  EXPECT_FALSE(Sectioner::_judge_entity_in_segment(Record{{"offset", 6}}, segment));
  EXPECT_THROW(Sectioner::_judge_entity_in_segment(Record{{"offset", 7}}, segment),
               kelvra::common::KeyError);
  // Spans in order: the first outside settles it, later ones are not read.
  EXPECT_FALSE(Sectioner::_judge_entity_in_segment(
      Record::parse(R"({"spans": [{"offset": 8, "length": 1}, {"offset": 2}, {}]})"), segment));
  EXPECT_TRUE(Sectioner::_judge_entity_in_segment(
      Record::parse(R"({"spans": [{"offset": 8, "length": 1}, {"offset": 12, "length": 0}]})"),
      segment));
  EXPECT_FALSE(Sectioner::_judge_entity_in_segment(Record{{"offset", 8}, {"length", 5}}, segment));
}

TEST(Sectioner, NegativePositionsAreRefused) {
  EXPECT_EQ(refusal([] {
              Sectioner().split(relation_input(Record::parse(R"([{"offset": -1, "length": 2}])")),
                                "relation");
            }),
            "`offset` must be a position or length of at least 0, got -1");
  EXPECT_EQ(refusal([] {
              Sectioner().split(
                  relation_input(Record::parse(R"([{"spans": [{"offset": 2, "length": -3}]}])")),
                  "relation");
            }),
            "`length` must be a position or length of at least 0, got -3");
  EXPECT_THAT(
      refusal([] { Sectioner()._split_extra_long_sentence("abc", 1, -1); }),
      ::testing::HasSubstr("`segment_offset` must be a position or length of at least 0, got -1"));
}

// A length of any size is a number, so it is a bad value rather than the
// wrong kind.
TEST(Sectioner, RegressionLengthBeyondSixtyFourBitsIsAnInvalidValue) {
  EXPECT_EQ(refusal([] { Sectioner().split(ner_input("abc", 1e30), "ner"); }),
            "`length` must be a finite number within the 64-bit integer range, got 1e+30");
  Record relation = relation_input(Record::array());
  relation["length"] = -1e19;
  EXPECT_THAT(refusal([&] { Sectioner().split(relation, "relation"); }),
              ::testing::HasSubstr("got -1e+19"));
  // The largest usable length keeps the document whole.
  EXPECT_EQ(describe(Sectioner().split(ner_input("abc", INT64_MAX), "ner")), "abc@0+3 ");
  EXPECT_EQ(describe(Sectioner().split(ner_input("abc", 9.2e18), "ner")), "abc@0+3 ");
}

// --- placement by position against the plain scan ---

// What _split_feature_set must give: every entity tested against every
// segment with _judge_entity_in_segment, copies rebased one by one.
std::vector<Record> plain_scan(const Sectioner& sectioner, const Record& feature_set,
                               std::int64_t length) {
  auto segments = sectioner._split_text_by_length(feature_set["text"].get<std::string>(), length);
  for (Record& segment : segments) {
    const std::int64_t shift = segment["offset"].get<std::int64_t>();
    Record nes = Record::array();
    for (const Record& ne : feature_set["nes"]) {
      if (!Sectioner::_judge_entity_in_segment(ne, segment)) continue;
      Record copy = ne;
      if (copy.contains("offset"))
        copy["offset"] = copy["offset"].get<std::int64_t>() - shift;
      else
        for (Record& span : copy["spans"])
          span["offset"] = span["offset"].get<std::int64_t>() - shift;
      nes.push_back(std::move(copy));
    }
    segment["feature_set"] = Record{{"text", segment["text"]}, {"nes", std::move(nes)}};
  }
  return segments;
}

TEST(Sectioner, PlacementByPositionMatchesThePlainScan) {
  const std::vector<std::string> alphabet{"甲", "乙", "。", "！", "a", "\n", "😀"};
  std::mt19937 rng(99);
  Sectioner sectioner;
  for (int round = 0; round < 300; ++round) {
    std::string text;
    const int size = static_cast<int>(rng() % 120);
    for (int i = 0; i < size; ++i) text += alphabet[rng() % alphabet.size()];
    // Entities anywhere around the text, many on segment boundaries: zero
    // length, straddling, past the end, multi-piece (with no spans too).
    Record nes = Record::array();
    for (int i = 0, count = static_cast<int>(rng() % 40); i < count; ++i) {
      auto position = [&] {
        return static_cast<std::int64_t>(rng() % static_cast<unsigned>(size + 4));
      };
      auto extent = [&] { return static_cast<std::int64_t>(rng() % 3 == 0 ? 0 : rng() % 12); };
      if (rng() % 4 != 0) {
        nes.push_back(Record{{"offset", position()}, {"length", extent()}, {"id", i}});
      } else {
        Record spans = Record::array();
        for (unsigned n = rng() % 4; n > 0; --n)
          spans.push_back(Record{{"offset", position()}, {"length", extent()}});
        nes.push_back(Record{{"id", i}, {"spans", std::move(spans)}});
      }
    }
    const Record feature_set{{"text", text}, {"nes", nes}};
    const std::int64_t length = 1 + static_cast<std::int64_t>(rng() % 30);
    const auto expected = plain_scan(sectioner, feature_set, length);
    ASSERT_EQ(sectioner._split_feature_set(feature_set, length), expected) << feature_set.dump();
    // Handing the input over moves the entities but gives the same segments.
    Record input{{"feature_set", feature_set}, {"length", length}};
    ASSERT_EQ(sectioner.split(std::move(input), "relation"), expected);
  }
}

// --- invariants on random documents, and the whole road back ---

TEST(Sectioner, RandomDocumentsKeepTheInvariantsAndStitchBack) {
  const std::vector<std::string> alphabet{"甲", "乙", "。", "，", "”", "「",
                                          "」", "\n", "a",  "😀",  "！"};
  std::mt19937 rng(2024);
  Sectioner sectioner;
  for (int round = 0; round < 200; ++round) {
    std::string text;
    int n = static_cast<int>(rng() % 300);
    for (int i = 0; i < n; ++i) text += alphabet[rng() % alphabet.size()];
    std::int64_t limit = 1 + static_cast<std::int64_t>(rng() % 40);
    auto segments = sectioner.split(ner_input(text, limit), "ner");

    std::string joined;
    std::int64_t expected_offset = 0;
    for (auto& segment : segments) {
      const auto& piece = segment["text"].get_ref<const std::string&>();
      joined += piece;
      EXPECT_EQ(segment["offset"], expected_offset);
      EXPECT_EQ(segment["length"], static_cast<std::int64_t>(kelvra::common::utf8::length(piece)));
      if (n > 0) {
        EXPECT_LE(segment["length"].get<std::int64_t>(), limit);
      }
      expected_offset += segment["length"].get<std::int64_t>();
      // A stand-in model: every "乙" is an entity, positioned in its segment.
      Record nes = Record::array();
      std::int64_t position = 0;
      for (std::size_t pos = 0; pos < piece.size(); ++position) {
        std::size_t start = pos;
        kelvra::common::utf8::next(piece, pos);
        if (piece.compare(start, pos - start, "乙") == 0)
          nes.push_back(Record{{"offset", position}, {"length", 1}, {"text", "乙"}});
      }
      segment["nes"] = std::move(nes);
    }
    ASSERT_EQ(joined, text);
    for (const auto& entity : stitcher::Stitcher().merge(segments, "ner")) {
      EXPECT_EQ(kelvra::common::utf8::substr(text, entity["offset"].get<std::size_t>(), 1), "乙");
    }
  }
}

// --- overlap ---

Record overlap_input(const std::string& text, std::int64_t length, Record overlap) {
  return Record{{"text", text}, {"length", length}, {"overlap", std::move(overlap)}};
}

// Byte-identical defaults: no overlap, 0 or null give today's segments,
// with no "context" member, for both kinds.
TEST(SectionerDefaults, NoOverlapGivesTheSegmentsOfBefore) {
  const std::string text = "你好。再见！谢谢。一二三四五六七八九。好。";
  Sectioner sectioner;
  for (std::int64_t length : {1, 3, 4, 6, 100}) {
    const auto plain = sectioner.split(ner_input(text, length), "ner");
    for (Record overlap : {Record(0), Record(nullptr)})
      EXPECT_EQ(sectioner.split(overlap_input(text, length, overlap), "ner"), plain);
    Record nes = Record::array({Record{{"offset", 3}, {"length", 2}}});
    Record relation{{"feature_set", {{"text", text}, {"nes", nes}}}, {"length", length}};
    const auto plain_relation = sectioner.split(relation, "relation");
    relation["overlap"] = 0;
    EXPECT_EQ(sectioner.split(relation, "relation"), plain_relation);
    for (const auto& segment : plain) EXPECT_FALSE(segment.contains("context"));
  }
}

TEST(SectionerOverlap, RefusesOverlapsThatAreNotWholeNumbersOfAtLeastZero) {
  Sectioner sectioner;
  auto message = [&](Record overlap) -> std::string {
    try {
      sectioner.split(overlap_input("一二三。四五六。", 4, std::move(overlap)), "ner");
    } catch (const std::exception& e) {
      return e.what();
    }
    return "";
  };
  EXPECT_THAT(message(-1), ::testing::HasSubstr("overlap"));
  EXPECT_THAT(message(1.5), ::testing::HasSubstr("overlap"));
  EXPECT_THAT(message("2"), ::testing::HasSubstr("overlap"));
  EXPECT_THROW(sectioner.split(overlap_input("一二三。四五六。", 4, -1), "ner"), KvException);
  EXPECT_THROW(sectioner.split(overlap_input("一二三。四五六。", 4, "2"), "ner"), TypeError);
  EXPECT_THROW(sectioner.for_each_overlapping_segment("abc", 2, -1, [](auto&, auto) {}),
               KvException);
}

TEST(SectionerOverlap, ContextStartsAtASentenceWhereOneLiesFarEnoughBack) {
  // Sentences of 4, 4 and 4 code points, length 8, overlap 4: the second
  // segment repeats the whole second sentence.
  auto segments = Sectioner().split(overlap_input("一二三。四五六。七八九。", 8, 4), "ner");
  ASSERT_EQ(segments.size(), 2u);
  EXPECT_EQ(segments[0],
            (Record{{"text", "一二三。四五六。"}, {"offset", 0}, {"length", 8}, {"context", 0}}));
  EXPECT_EQ(segments[1],
            (Record{{"text", "四五六。七八九。"}, {"offset", 4}, {"length", 8}, {"context", 4}}));
  // No sentence start far enough back: exactly `overlap` code points, and
  // the sentence that does not fit beside them is cut.
  segments = Sectioner().split(overlap_input("abcdefghij", 4, 2), "ner");
  EXPECT_EQ(describe(segments), "abcd@0+4 cdef@2+4 efgh@4+4 ghij@6+4 ");
  // An overlap of the length or more is clamped to length - 1.
  segments = Sectioner().split(overlap_input("abcde", 3, 50), "ner");
  EXPECT_EQ(describe(segments), "abc@0+3 bcd@1+3 cde@2+3 ");
}

TEST(SectionerOverlap, RelationSegmentsCarryTheEntitiesOfTheWholeSegment) {
  Record nes = Record::array({Record{{"offset", 5}, {"length", 2}, {"id", 1}}});
  Record input{{"feature_set", {{"text", "一二三。四五六。七八九。"}, {"nes", nes}}},
               {"length", 8},
               {"overlap", 4}};
  auto segments = Sectioner().split(input, "relation");
  ASSERT_EQ(segments.size(), 2u);
  EXPECT_EQ(segments[0]["feature_set"]["nes"][0]["offset"], 5);
  EXPECT_EQ(segments[1]["feature_set"]["nes"][0]["offset"], 1);  // inside the context
  EXPECT_EQ(segments[1]["context"], 4);
}

// Context bounds on random documents: own spans follow each other and give
// the text back; each context is at most the clamped overlap, at least half
// of it where the text allows, and never reaches before the segment before.
TEST(SectionerOverlap, ContextBoundsOnRandomDocuments) {
  const std::vector<std::string> alphabet{"甲", "乙", "。", "，", "”",  "「",
                                          "」", "\n", "a",  "😀",  "！", " "};
  std::mt19937 rng(7);
  Sectioner sectioner;
  for (int round = 0; round < 2000; ++round) {
    std::string text;
    const int n = static_cast<int>(rng() % 300);
    for (int i = 0; i < n; ++i) text += alphabet[rng() % alphabet.size()];
    const auto limit = 1 + static_cast<std::int64_t>(rng() % 40);
    const auto overlap = static_cast<std::int64_t>(rng() % 50);
    const std::int64_t most = std::min(overlap, limit - 1);
    auto segments = sectioner.split(overlap_input(text, limit, overlap), "ner");
    std::string own_spans;
    std::int64_t own_start = 0, previous_start = 0;
    for (const auto& segment : segments) {
      const auto& piece = segment["text"].get_ref<const std::string&>();
      const auto offset = segment["offset"].get<std::int64_t>();
      const auto length = segment["length"].get<std::int64_t>();
      const auto context = overlap > 0 ? segment["context"].get<std::int64_t>() : 0;
      ASSERT_EQ(overlap > 0, segment.contains("context"));
      EXPECT_EQ(length, static_cast<std::int64_t>(kelvra::common::utf8::length(piece)));
      EXPECT_EQ(piece, kelvra::common::utf8::substr(text, static_cast<std::size_t>(offset),
                                                    static_cast<std::size_t>(length)));
      if (n > 0) {
        EXPECT_LE(length, limit);
      }
      EXPECT_EQ(offset + context, own_start);
      EXPECT_LE(context, most);
      EXPECT_LT(context, std::max<std::int64_t>(length, 1));
      EXPECT_GE(offset, previous_start);
      if (own_start > 0) {
        EXPECT_GE(context, std::min(most - most / 2, own_start));
      }
      own_spans +=
          kelvra::common::utf8::substr(piece, static_cast<std::size_t>(context), piece.size());
      own_start = offset + length;
      previous_start = offset;
    }
    ASSERT_EQ(own_spans, text) << "length " << limit << " overlap " << overlap;
  }
}

// The overlap invariant: with an overlap of at least twice the longest
// entity, a dictionary search run on each segment and stitched finds what
// a search of the whole document finds, each entity once.
std::vector<std::tuple<std::int64_t, std::int64_t, std::string>> sorted_words(
    const std::vector<Record>& records) {
  std::vector<std::tuple<std::int64_t, std::int64_t, std::string>> words;
  for (const auto& r : records)
    words.emplace_back(r["offset"].get<std::int64_t>(), r["length"].get<std::int64_t>(),
                       r["text"].get<std::string>());
  std::sort(words.begin(), words.end());
  return words;
}

// Per-segment search results stitched back, and the whole document's.
std::pair<std::vector<Record>, std::vector<Record>> stitched_and_whole(
    const Sectioner& sectioner, const matcher::Automaton& automaton, const std::string& text,
    std::int64_t length, std::int64_t overlap) {
  auto segments = sectioner.split(overlap_input(text, length, overlap), "ner");
  for (auto& segment : segments) {
    Record nes = Record::array();
    for (const auto& word : automaton.search(segment["text"].get<std::string>()))
      nes.push_back(word.to_json());
    segment["nes"] = std::move(nes);
  }
  std::vector<Record> whole;
  for (const auto& word : automaton.search(text)) whole.push_back(word.to_json());
  return {stitcher::Stitcher().merge(std::move(segments), "ner"), std::move(whole)};
}

TEST(SectionerOverlapInvariant, StitchedSearchEqualsTheWholeDocumentsSearch) {
  const std::vector<std::string> alphabet{"甲", "乙", "丙", "。", "！", "a", "b", "😀", " ", "\n"};
  const matcher::Automaton automaton({"甲乙", "乙甲", "甲乙丙", "a😀b", "ab", "乙", "丙丙丙"});
  const std::int64_t longest = 3;
  std::mt19937 rng(30);
  Sectioner sectioner;
  for (int round = 0; round < 10000; ++round) {
    std::string text;
    const int n = static_cast<int>(rng() % 200);
    for (int i = 0; i < n; ++i) text += alphabet[rng() % alphabet.size()];
    const auto overlap = 2 * longest + static_cast<std::int64_t>(rng() % 8);
    const auto length = overlap + 1 + static_cast<std::int64_t>(rng() % 30);
    auto [stitched, whole] = stitched_and_whole(sectioner, automaton, text, length, overlap);
    ASSERT_EQ(sorted_words(stitched), sorted_words(whole))
        << "text " << text << " length " << length << " overlap " << overlap;
  }
}

// The generated document: 400 sentences of 5 to 250 characters with 240
// names at random places, cut at 100.
TEST(SectionerOverlapInvariant, GeneratedDocumentKeepsEveryName) {
  const std::vector<std::string> names{"王小明", "李华",   "张伟强", "陈静", "刘洋洋",
                                       "赵敏",   "孙悟空", "周杰",   "吴磊", "郑爽快"};
  const std::vector<std::string> filler{"的", "是", "在", "了", "有", "和", "人", "这",
                                        "中", "大", "为", "上", "个", "国", "我", "以"};
  std::mt19937 rng(240);
  std::vector<std::vector<std::string>> sentences(400);
  for (auto& sentence : sentences) {
    const std::size_t size = 5 + rng() % 246;
    for (std::size_t i = 0; i + 1 < size; ++i) sentence.push_back(filler[rng() % filler.size()]);
  }
  for (int placed = 0; placed < 240;) {
    auto& sentence = sentences[rng() % sentences.size()];
    const std::size_t at = rng() % (sentence.size() - 3);
    if (sentence[at].size() > 3 || sentence[at + 3].size() > 3) continue;  // keep names apart
    sentence[at] = names[rng() % names.size()];
    ++placed;
  }
  std::string text;
  for (const auto& sentence : sentences) {
    for (const auto& piece : sentence) text += piece;
    text += "。";
  }
  const matcher::Automaton automaton(names);
  const Sectioner sectioner;
  auto [without, whole] = stitched_and_whole(sectioner, automaton, text, 100, 0);
  auto [with, whole_again] = stitched_and_whole(sectioner, automaton, text, 100, 6);
  ASSERT_EQ(whole.size(), 240u);
  EXPECT_LT(without.size(), whole.size());  // names cut at fixed intervals are lost
  EXPECT_EQ(sorted_words(with), sorted_words(whole));
  std::cout << "names found: " << without.size() << " of " << whole.size() << " without overlap, "
            << with.size() << " of " << whole.size() << " with overlap 6\n";
}

// --- measures ---

// A tokenizer-like size that is not additive: a run of ASCII letters is
// one token, every other code point one.
std::size_t token_count(std::string_view text) {
  std::size_t tokens = 0;
  bool in_word = false;
  for (std::size_t pos = 0; pos < text.size();) {
    const char32_t cp = kelvra::common::utf8::next(text, pos);
    const bool letter = cp < 0x80 && std::isalpha(static_cast<int>(cp));
    tokens += !(letter && in_word);
    in_word = letter;
  }
  return tokens;
}

TEST(SectionerMeasure, NamedMeasuresAndUnknownNames) {
  EXPECT_EQ(Measure::named("utf-8-bytes")("a你😀"), 8u);
  EXPECT_EQ(Measure::named("utf-16-units")("a你😀"), 4u);
  EXPECT_EQ(Measure::named("code-points")("a你😀"), 3u);
  try {
    Measure::named("tokens");
    FAIL();
  } catch (const KvException& e) {
    EXPECT_THAT(e.what(), ::testing::HasSubstr("measure"));
    EXPECT_THAT(e.what(), ::testing::HasSubstr("tokens"));
  }
  EXPECT_THROW(Measure(Measure::Size{}), KvException);
}

// Measure bounds on random documents: every segment's size in the measure
// is at most the length (one code point beyond it excepted), the own spans
// give the text back, and positions stay code points.
TEST(SectionerMeasure, EverySegmentFitsItsMeasure) {
  const std::vector<std::string> alphabet{"甲", "。", "ab", "c", " ", "😀", "！", "\n", "é"};
  std::size_t calls = 0;
  const std::vector<Measure> measures{Measure::named("utf-8-bytes"), Measure::named("utf-16-units"),
                                      Measure([&calls](std::string_view text) {
                                        ++calls;
                                        return token_count(text);
                                      })};
  std::mt19937 rng(3);
  std::size_t sentences = 0;
  for (const Measure& measure : measures) {
    const Sectioner sectioner(std::nullopt, SectionerOptions{measure});
    for (int round = 0; round < 1500; ++round) {
      std::string text;
      const int n = static_cast<int>(rng() % 300);
      for (int i = 0; i < n; ++i) text += alphabet[rng() % alphabet.size()];
      const auto limit = 1 + static_cast<std::int64_t>(rng() % 40);
      const auto overlap = static_cast<std::int64_t>(rng() % 3 == 0 ? rng() % 20 : 0);
      if (measure.kind() == Measure::Kind::kFunction)
        sectioner.phraser.for_each_sentence(text, [&](const auto&) { ++sentences; });
      auto segments = sectioner.split(overlap_input(text, limit, overlap), "ner");
      std::string own_spans;
      std::int64_t own_start = 0;
      for (const auto& segment : segments) {
        const auto& piece = segment["text"].get_ref<const std::string&>();
        const auto length = segment["length"].get<std::int64_t>();
        const auto context = overlap > 0 ? segment["context"].get<std::int64_t>() : 0;
        EXPECT_EQ(length, static_cast<std::int64_t>(kelvra::common::utf8::length(piece)));
        EXPECT_TRUE(measure(piece) <= static_cast<std::size_t>(limit) || length == 1)
            << piece << " in " << limit;
        EXPECT_EQ(segment["offset"].get<std::int64_t>() + context, own_start);
        own_spans +=
            kelvra::common::utf8::substr(piece, static_cast<std::size_t>(context), piece.size());
        own_start += length - context;
      }
      ASSERT_EQ(own_spans, text);
    }
  }
  // A function is asked about sentences and segments, not characters.
  EXPECT_LE(calls, 3 * sentences) << calls << " calls for " << sentences << " sentences";
}

// On ASCII text every built-in measure counts alike, so they cut alike.
TEST(SectionerMeasure, BuiltInMeasuresAgreeOnAscii) {
  const std::string text = "One. Two three. Four five six seven eight nine ten! Eleven? Twelve.";
  const Sectioner plain;
  for (const char* name : {"utf-8-bytes", "utf-16-units"}) {
    const Sectioner measured(std::nullopt, SectionerOptions{Measure::named(name)});
    for (std::int64_t length : {1, 5, 12, 30}) {
      EXPECT_EQ(measured.split(ner_input(text, length), "ner"),
                plain.split(ner_input(text, length), "ner"));
      EXPECT_EQ(measured.split(overlap_input(text, length, 4), "ner"),
                plain.split(overlap_input(text, length, 4), "ner"));
    }
  }
}

TEST(Sectioner, OneInstanceServesTwoThreads) {
  Sectioner sectioner;
  std::string text;
  for (int i = 0; i < 3000; ++i) text += "他说：“走吧。”「甲。乙」丙！";
  Record input = ner_input(text, 50);
  auto expected = sectioner.split(input, "ner");
  std::vector<Record> a, b;
  std::thread t1([&] { a = sectioner.split(input, "ner"); });
  std::thread t2([&] { b = sectioner.split(input, "ner"); });
  t1.join();
  t2.join();
  EXPECT_EQ(a, expected);
  EXPECT_EQ(b, expected);
}

}  // namespace
}  // namespace kelvra::nlp::common::sectioner
