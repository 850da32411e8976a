#include "kelvra/nlp/common/gleaner.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "kelvra/common/exceptions.h"

namespace kelvra::nlp::common::gleaner {
namespace {

using kelvra::common::KeyError;
using kelvra::common::TypeError;

// The passages as one JSON text, or "absent".
std::string dump(const std::optional<std::vector<Record>>& passages) {
  return passages ? Record(*passages).dump() : "absent";
}

std::string segment(std::string_view text) { return dump(Gleaner()._segment(text)); }

// --- Passages ---

TEST(GleanerSegment, LinesAndTheirOffsets) {
  EXPECT_EQ(segment("ab\ncd"), R"([{"text":"ab","offset":0},{"text":"cd","offset":3}])");
  EXPECT_EQ(segment("  ab"), R"([{"text":"ab","offset":2}])");
  EXPECT_EQ(segment("• item\n"), R"([{"text":"item","offset":2}])");
  EXPECT_EQ(segment("x"), R"([{"text":"x","offset":0}])");
  // Inner and trailing blanks and carriage returns stay; code points count.
  EXPECT_EQ(segment("a b \n中文\r\n\n\n •尾"),
            R"([{"text":"a b ","offset":0},{"text":"中文\r","offset":5},{"text":"尾","offset":13}])");
}

TEST(GleanerSegment, NothingButBlanks) {
  EXPECT_EQ(segment(""), "absent");
  EXPECT_EQ(segment("\n \n•\n  "), "absent");
  EXPECT_THROW(Gleaner()._segment("\xff"), TypeError);
}

// --- Documents ---

TEST(GleanerExtract, AbsentResults) {
  Record null_doc;
  EXPECT_EQ(dump(Gleaner().extract(null_doc)), "absent");
  Record no_text = Record::parse(R"({"title": "x"})");
  EXPECT_EQ(dump(Gleaner().extract(no_text)), "absent");
  Record empty = Record::parse(R"({"text": "", "zh_content": null, "content_zh": ""})");
  EXPECT_EQ(dump(Gleaner().extract(empty)), "absent");
  Record blanks = Record::parse(R"({"text": " \n•"})");
  EXPECT_EQ(dump(Gleaner().extract(blanks)), "absent");
  Record not_a_map = Record::array();
  EXPECT_THROW(Gleaner().extract(not_a_map), TypeError);
}

TEST(GleanerExtract, ChoosesTheTextKeyAndNullEntities) {
  Record doc = Record::parse(R"({"text": "", "zh_content": "甲\n乙", "content_zh": "丙"})");
  EXPECT_EQ(dump(Gleaner().extract(doc)),
            R"([{"text":"甲","offset":0,"entities":null},{"text":"乙","offset":2,"entities":null}])");
  Record second = Record::parse(R"({"content_zh": "丙", "entities": []})");
  EXPECT_EQ(dump(Gleaner().extract(second)), R"([{"text":"丙","offset":0,"entities":null}])");
}

TEST(GleanerExtract, PlacesEntitiesAndChangesTheCallersRecords) {
  Record doc = Record::parse(R"({"text": "林秋生\n在江城。", "entities": [
      {"uuid": "u1", "name": "林秋生", "category": "PER", "offset": 0, "length": 3},
      {"uuid": 0, "text": "江城", "type": "LOC", "offset": 5, "length": 2},
      {"text": "生\n在", "offset": 2, "length": 3},
      {"text": "", "offset": 0, "length": 0}]})");
  auto passages = Gleaner().extract(doc);
  EXPECT_EQ(dump(passages),
            R"([{"text":"林秋生","offset":0,"entities":[{"offset":0,"length":3,"text":"林秋生","type":"PER"}]},)"
            R"({"text":"在江城。","offset":4,"entities":[{"uuid":0,"text":"江城","type":"LOC","offset":1,"length":2}]}])");
  // The document's own records: renamed, rebased, line feeds taken out; the
  // one crossing lines keeps its document position.
  EXPECT_EQ(doc["entities"][0].dump(), R"({"offset":0,"length":3,"text":"林秋生","type":"PER"})");
  EXPECT_EQ(doc["entities"][1]["offset"], 1);
  EXPECT_EQ(doc["entities"][2].dump(), R"({"text":"生在","offset":2,"length":2})");
}

TEST(GleanerExtract, BoundaryInclusion) {
  Record doc = Record::parse(R"({"text": "abc\nde", "entities": [
      {"text": "bc", "offset": 1, "length": 2}, {"text": "c\nd", "offset": 2, "length": 3},
      {"text": "de", "offset": 4, "length": 3}]})");
  auto passages = Gleaner().extract(doc);
  EXPECT_EQ((*passages)[0]["entities"].dump(), R"([{"text":"bc","offset":1,"length":2}])");
  EXPECT_TRUE((*passages)[1]["entities"].is_null());  // "de" runs one past the end
  EXPECT_EQ(doc["entities"][2]["offset"], 4);
}

TEST(GleanerExtract, LineFeedsInEntityTexts) {
  // One leading line feed: one further on, one shorter.
  Record doc = Record::parse(R"({"text": "ab\ncd", "entities": [
      {"text": "\ncd", "offset": 2, "length": 3},
      {"text": "ab\n", "offset": 0, "length": 3},
      {"text": "\n\nc", "offset": 1, "length": 3}]})");
  auto passages = Gleaner().extract(doc);
  EXPECT_EQ((*passages)[1]["entities"][0].dump(), R"({"text":"cd","offset":0,"length":2})");
  // Regression: a trailing line feed used to move the entity off its line,
  // dropping it.
  EXPECT_EQ((*passages)[0]["entities"].dump(), R"([{"text":"ab","offset":0,"length":2}])");
  // Two leading line feeds move it on by two.
  EXPECT_EQ(doc["entities"][2].dump(), R"({"text":"c","offset":0,"length":1})");
  EXPECT_EQ((*passages)[1]["entities"].size(), 2u);
}

TEST(GleanerExtract, BadEntities) {
  Record no_category = Record::parse(R"({"text": "ab", "entities": [{"name": "a", "offset": 0, "length": 1}]})");
  EXPECT_THROW(Gleaner().extract(no_category), KeyError);
  Record no_text = Record::parse(R"({"text": "ab", "entities": [{"offset": 0, "length": 1}]})");
  EXPECT_THROW(Gleaner().extract(no_text), KeyError);
  Record no_length = Record::parse(R"({"text": "ab", "entities": [{"text": "a", "offset": 0}]})");
  EXPECT_THROW(Gleaner().extract(no_length), KeyError);
  Record not_a_list = Record::parse(R"({"text": "ab", "entities": {"text": "a"}})");
  EXPECT_THROW(Gleaner().extract(not_a_list), TypeError);
  Record number_text = Record::parse(R"({"text": 5})");
  EXPECT_THROW(Gleaner().extract(number_text), TypeError);
}

}  // namespace
}  // namespace kelvra::nlp::common::gleaner
