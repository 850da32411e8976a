#include "kelvra/nlp/common/stitcher.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "kelvra/common/exceptions.h"

namespace kelvra::nlp::common::stitcher {
namespace {

using kelvra::common::ErrorCodes;
using kelvra::common::KeyError;
using kelvra::common::KvException;
using kelvra::common::TypeError;

TEST(Stitcher, ShiftsEntitiesInPlaceAndConcatenates) {
  auto segments = Record::parse(R"([
      {"offset": 0, "nes": [{"offset": 5, "length": 2}]},
      {"offset": 120, "text": "x", "nes": [{"offset": 5, "length": 2}]}])");
  auto merged = Stitcher().merge(segments, "ner");
  ASSERT_EQ(merged.size(), 2u);
  EXPECT_EQ(merged[0]["offset"], 5);
  EXPECT_EQ(merged[1]["offset"], 125);
  EXPECT_EQ(segments[1]["nes"][0]["offset"], 125);  // changed where it stands
}

TEST(Stitcher, ShiftsSpansOnlyWithoutATopLevelOffset) {
  auto segments = Record::parse(R"([
      {"offset": 50, "nes": [{"offset": 3, "spans": [{"offset": 3}, {"offset": 10}]}]},
      {"offset": 40, "nes": [{"spans": [{"offset": 2}, {"offset": 9}], "type": "T"}]}])");
  auto merged = Stitcher().merge(segments, "ner");
  EXPECT_EQ(merged[0].dump(), R"({"offset":53,"spans":[{"offset":3},{"offset":10}]})");
  EXPECT_EQ(merged[1].dump(), R"({"spans":[{"offset":42},{"offset":49}],"type":"T"})");
}

TEST(Stitcher, ShiftsHeadAndTailOfRelations) {
  std::vector<Record> segments{Record::parse(
      R"({"offset": 100, "relations": [{"head": {"offset": 4}, "tail": {"offset": 17, "spans": [{"offset": 1}]}, "label": "r"}]})")};
  auto merged = Stitcher().merge(segments, "relation");
  EXPECT_EQ(merged[0].dump(),
            R"({"head":{"offset":104},"tail":{"offset":117,"spans":[{"offset":1}]},"label":"r"})");
}

TEST(Stitcher, EmptyInputsAndRepeatedMerges) {
  std::vector<Record> none;
  EXPECT_TRUE(Stitcher().merge(none, "ner").empty());
  EXPECT_TRUE(Stitcher().merge(none, "relation").empty());
  auto segments =
      Record::parse(R"([{"offset": 10, "nes": []}, {"offset": 7, "nes": [{"offset": 1}]}])");
  Stitcher().merge(segments, "ner");
  EXPECT_EQ(Stitcher().merge(segments, "ner")[0]["offset"], 15);  // shifted twice
}

TEST(Stitcher, Failures) {
  auto segments = Record::parse(R"([{"offset": 1, "nes": [{"offset": 1}]}])");
  for (const char* type : {"NER", "relations"}) {
    EXPECT_THROW(Stitcher().merge(segments, type), KvException);
  }
  EXPECT_EQ(segments[0]["nes"][0]["offset"], 1);  // nothing read or changed
  Record not_a_list = Record::object();
  EXPECT_THROW(Stitcher().merge(not_a_list, "ner"), TypeError);

  auto missing_nes = Record::parse(R"([{"offset": 1}])");
  EXPECT_THROW(Stitcher().merge(missing_nes, "ner"), KeyError);
  auto no_position = Record::parse(R"([{"offset": 1, "nes": [{"length": 1}]}])");
  EXPECT_THROW(Stitcher().merge(no_position, "ner"), KeyError);
  auto no_tail = Record::parse(R"([{"offset": 1, "relations": [{"head": {"offset": 1}}]}])");
  EXPECT_THROW(Stitcher().merge(no_tail, "relation"), KeyError);
  auto text_position = Record::parse(R"([{"offset": 1, "nes": [{"offset": "3"}]}])");
  EXPECT_THROW(Stitcher().merge(text_position, "ner"), TypeError);
}

TEST(Stitcher, RealPositionsStayReal) {
  auto segments = Record::parse(R"([{"offset": 2, "nes": [{"offset": 1.5}]}])");
  EXPECT_EQ(Stitcher().merge(segments, "ner")[0]["offset"], 3.5);
  auto real_shift = Record::parse(
      R"([{"offset": 2.0, "relations": [{"head": {"offset": 1}, "tail": {"offset": 3}}]}])");
  EXPECT_EQ(Stitcher().merge(real_shift, "relation")[0].dump(),
            R"({"head":{"offset":3.0},"tail":{"offset":5.0}})");
}

// --- positions that cannot be stitched ---

// The message of the KvException that `segments_json` stitched as `type`
// throws; the segments must come through unchanged.
std::string refusal(const char* segments_json, const char* type = "ner") {
  auto segments = Record::parse(segments_json);
  const Record before = segments;
  try {
    Stitcher().merge(segments, type);
  } catch (const KvException& e) {
    EXPECT_EQ(e.code(), ErrorCodes::INVALID_PARAMETERS);
    EXPECT_EQ(segments, before) << "changed although refused";
    return e.what();
  }
  ADD_FAILURE() << "not refused: " << segments_json;
  return "";
}

// Regression: these sums used to wrap (undefined behaviour), turn into 0 or
// into null.
TEST(Stitcher, RegressionSumsBeyondSixtyFourBitsAreRefused) {
  EXPECT_EQ(refusal(R"([{"offset": 1, "nes": [{"offset": 9223372036854775807}]}])"),
            "`offset`: 9223372036854775807 + 1 lies outside the 64-bit position range");
  EXPECT_EQ(
      refusal(
          R"([{"offset": 9223372036854775807, "relations": [{"head": {"offset": 0}, "tail": {"offset": 1}}]}])",
          "relation"),
      "`offset`: 1 + 9223372036854775807 lies outside the 64-bit position range");
  EXPECT_EQ(
      refusal(R"([{"offset": 0, "nes": [{"offset": 18446744073709551615}]}])"),
      "`offset` must be a finite number within the 64-bit integer range, got 18446744073709551615");
  EXPECT_EQ(refusal(R"([{"offset": 1e308, "nes": [{"offset": 1e308}]}])"),
            "`offset` must be a finite number within the 64-bit integer range, got 1e+308");
  EXPECT_EQ(refusal(R"([{"offset": 9.2e18, "nes": [{"spans": [{"offset": 9.2e18}]}]}])"),
            "`offset`: 9.2e+18 + 9.2e+18 lies outside the 64-bit position range");
}

TEST(Stitcher, NegativePositionsAreRefused) {
  EXPECT_EQ(
      refusal(R"([{"offset": 0, "nes": [{"offset": 1}]}, {"offset": 5, "nes": [{"offset": -1}]}])"),
      "`offset` must be a position or length of at least 0, got -1");
  EXPECT_EQ(refusal(R"([{"offset": -3, "nes": []}])"),
            "`offset` must be a position or length of at least 0, got -3");
  EXPECT_EQ(refusal(R"([{"offset": 4, "nes": [{"offset": -0.5e0}]}])"),
            "`offset` must be a position or length of at least 0, got -0.5");
}

// A failure anywhere leaves every record as it was, the ones before it too.
TEST(Stitcher, FailuresChangeNothing) {
  for (const char* type : {"ner", "relation"}) {
    auto segments = Record::parse(R"([
        {"offset": 10, "nes": [{"offset": 1}], "relations": [{"head": {"offset": 1}, "tail": {"offset": 2}}]},
        {"offset": 20, "nes": [{"offset": 1}, {"length": 2}], "relations": [{"head": {"offset": 1}}]}])");
    const Record before = segments;
    EXPECT_THROW(Stitcher().merge(segments, type), KeyError);
    EXPECT_EQ(segments, before) << type;
  }
}

TEST(Stitcher, HandedOverSegmentsAreMovedNotCopied) {
  std::vector<Record> segments;
  segments.push_back(Record::parse(
      R"({"offset": 7, "nes": [{"offset": 1, "text": "甲"}, {"spans": [{"offset": 2}]}]})"));
  auto merged = Stitcher().merge(std::move(segments), "ner");
  EXPECT_THAT(merged, ::testing::ElementsAre(Record::parse(R"({"offset": 8, "text": "甲"})"),
                                             Record::parse(R"({"spans": [{"offset": 9}]})")));
}

// --- segments with context ---

// Results wholly inside the context are left out; those that start in it
// and run past it, or start at its end or later, are kept; all are shifted.
TEST(StitcherContext, KeepsWhatTheSegmentBeforeCouldNotSeeWhole) {
  auto segments = Record::parse(R"([
      {"offset": 0, "context": 0, "nes": [{"offset": 7, "length": 2, "id": "a"}]},
      {"offset": 6, "context": 4, "nes": [
        {"offset": 1, "length": 2, "id": "a"},
        {"offset": 3, "length": 2, "id": "across"},
        {"offset": 4, "length": 1, "id": "own"},
        {"offset": 4, "length": 0, "id": "empty"},
        {"spans": [{"offset": 0, "length": 1}, {"offset": 2, "length": 2}], "id": "in"},
        {"spans": [{"offset": 0, "length": 1}, {"offset": 4, "length": 1}], "id": "out"}]}])");
  std::vector<std::string> ids;
  for (const auto& record : Stitcher().merge(segments, "ner")) ids.push_back(record["id"]);
  EXPECT_THAT(ids, ::testing::ElementsAre("a", "across", "own", "empty", "out"));
  EXPECT_EQ(segments[1]["nes"][0]["offset"], 7);  // left out, shifted all the same

  auto relations = Record::parse(R"([{"offset": 10, "context": 5, "relations": [
      {"head": {"offset": 0, "length": 2}, "tail": {"offset": 3, "length": 2}, "id": 1},
      {"head": {"offset": 0, "length": 2}, "tail": {"offset": 4, "length": 2}, "id": 2},
      {"head": {"offset": 6, "length": 2}, "tail": {"offset": 9, "length": 2}, "id": 3}]}])");
  const auto merged = Stitcher().merge(relations, "relation");
  ASSERT_EQ(merged.size(), 2u);
  EXPECT_EQ(merged[0]["id"], 2);
  EXPECT_EQ(merged[1]["id"], 3);
}

TEST(StitcherContext, AbsentNullOrZeroContextChangesNothing) {
  for (const char* context : {"", R"("context": null,)", R"("context": 0,)"}) {
    auto segments = Record::parse(std::string(R"([{"offset": 5, )") + context +
                                  R"( "nes": [{"offset": 0, "length": 1}, {"offset": 0}]}])");
    EXPECT_EQ(Stitcher().merge(segments, "ner").size(), 2u) << context;
  }
}

TEST(StitcherContext, ALengthIsNeededOnlyInsideTheContext) {
  auto segments = Record::parse(
      R"([{"offset": 5, "context": 2, "nes": [{"offset": 2}, {"offset": 1, "text": "x"}]}])");
  const Record before = segments;
  EXPECT_THROW(Stitcher().merge(segments, "ner"), KeyError);
  EXPECT_EQ(segments, before);
  segments =
      Record::parse(R"([{"offset": 5, "context": 2, "nes": [{"offset": 1, "length": -1}]}])");
  EXPECT_THROW(Stitcher().merge(segments, "ner"), KvException);
  segments = Record::parse(R"([{"offset": 5, "context": -2, "nes": []}])");
  EXPECT_THROW(Stitcher().merge(segments, "ner"), KvException);
}

}  // namespace
}  // namespace kelvra::nlp::common::stitcher
