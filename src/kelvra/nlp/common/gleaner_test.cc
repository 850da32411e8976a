#include "kelvra/nlp/common/gleaner.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "kelvra/common/exceptions.h"

namespace kelvra::nlp::common::gleaner {
namespace {

using kelvra::common::ErrorCodes;
using kelvra::common::KeyError;
using kelvra::common::KvException;
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
  EXPECT_EQ(
      segment("a b \n中文\r\n\n\n •尾"),
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
  EXPECT_EQ(
      dump(Gleaner().extract(doc)),
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
  EXPECT_EQ(
      dump(passages),
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
  Record no_category =
      Record::parse(R"({"text": "ab", "entities": [{"name": "a", "offset": 0, "length": 1}]})");
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

// --- empty values ---

// Regression: "" used to count as a value, so an empty name replaced the
// text (and the entity vanished, or without `category` the call failed),
// and an empty uuid was removed.
TEST(GleanerExtract, RegressionEmptyStringsAreNoValue) {
  Record doc = Record::parse(R"({"text": "ab", "entities": [
      {"name": "", "category": "PER", "text": "ab", "offset": 0, "length": 2},
      {"name": "", "text": "a", "offset": 0, "length": 1, "uuid": ""}]})");
  auto passages = Gleaner().extract(doc);
  EXPECT_EQ((*passages)[0]["entities"].dump(),
            R"([{"name":"","category":"PER","text":"ab","offset":0,"length":2},)"
            R"({"name":"","text":"a","offset":0,"length":1,"uuid":""}])");
}

TEST(GleanerExtract, OnlyAUuidHoldingAValueIsRemoved) {
  Record doc = Record::parse(R"({"text": "ab", "entities": [
      {"uuid": null, "text": "a", "offset": 0, "length": 1}, {"uuid": false, "text": "a", "offset": 0, "length": 1},
      {"uuid": 0.0, "text": "a", "offset": 0, "length": 1}, {"uuid": [], "text": "a", "offset": 0, "length": 1},
      {"uuid": {}, "text": "a", "offset": 0, "length": 1}, {"uuid": "0", "text": "a", "offset": 0, "length": 1},
      {"uuid": 7, "text": "a", "offset": 0, "length": 1}, {"uuid": [0], "text": "a", "offset": 0, "length": 1}]})");
  Gleaner().extract(doc);
  std::string kept;
  for (const Record& entity : doc["entities"])
    kept += entity.contains("uuid") ? entity["uuid"].dump() + " " : "- ";
  EXPECT_EQ(kept, "null false 0.0 [] {} - - - ");
}

TEST(GleanerExtract, EmptyTextValuesOfAnyKindArePassedOver) {
  Record doc = Record::parse(R"({"text": 0, "zh_content": false, "content_zh": "丙"})");
  EXPECT_EQ(dump(Gleaner().extract(doc)), R"([{"text":"丙","offset":0,"entities":null}])");
  Record not_text = Record::parse(R"({"text": 1, "zh_content": "丙"})");
  EXPECT_THROW(Gleaner().extract(not_text), TypeError);
}

// --- positions ---

// Regressions: offset + length used to wrap and place the entity, and
// negative positions were taken and the entity silently left out of every
// passage. Each is refused naming the key, before anything is changed.
TEST(GleanerExtract, RegressionBadPositionsAreRefused) {
  const std::pair<const char*, const char*> cases[] = {
      {R"({"text": "b", "offset": 5, "length": 9223372036854775807})",
       "lies outside the 64-bit position range"},
      {R"({"text": "\nb", "offset": 9223372036854775807, "length": 2})",
       "lies outside the 64-bit position range"},
      {R"({"text": "b", "offset": 9223372036854775807, "length": 1})",
       "lies outside the 64-bit position range"},
      {R"({"text": "a", "offset": -1, "length": 1})",
       "`offset` must be a position or length of at least 0, got -1"},
      {R"({"text": "a", "offset": -9223372036854775808, "length": 1})",
       "`offset` must be a position or length of at least 0, got -9223372036854775808"},
      {R"({"text": "\nd", "offset": 3, "length": -1})",
       "`length` must be a position or length of at least 0, got -1"},
      {R"({"text": "d\n\n", "offset": 4, "length": 1})",
       "`length` must count the 2 line feed(s) of `text`, got 1"}};
  for (const auto& [entity, message] : cases) {
    Record doc = Record::parse(
        R"({"text": "ab\ncd", "entities": [{"uuid": "u", "text": "a", "offset": 0, "length": 1}]})");
    doc["entities"].push_back(Record::parse(entity));
    const Record before = doc;
    try {
      Gleaner().extract(doc);
      ADD_FAILURE() << entity;
    } catch (const KvException& e) {
      EXPECT_EQ(e.code(), ErrorCodes::INVALID_PARAMETERS);
      EXPECT_THAT(e.what(), ::testing::HasSubstr(message));
    }
    EXPECT_EQ(doc, before) << "a failure changes nothing, the entities before it included";
  }
}

TEST(GleanerExtract, BadEntitiesChangeNothing) {
  Record doc = Record::parse(R"({"text": "ab", "entities": [
      {"uuid": "u", "name": "a", "category": "T", "offset": 0, "length": 1},
      {"text": "\nb", "offset": 0, "length": 2}, {"name": "b", "offset": 1, "length": 1}]})");
  const Record before = doc;
  EXPECT_THROW(Gleaner().extract(doc), KeyError);
  EXPECT_EQ(doc, before);
}

// --- placement by position against the plain scan ---

TEST(GleanerExtract, PlacementByPositionMatchesThePlainScan) {
  const std::vector<std::string> alphabet{"a", "中", " ", "•", "\n", "\n", "\r", "b"};
  std::mt19937 rng(5);
  Gleaner gleaner;
  for (int round = 0; round < 400; ++round) {
    std::string text;
    const int size = static_cast<int>(rng() % 60);
    for (int i = 0; i < size; ++i) text += alphabet[rng() % alphabet.size()];
    Record entities = Record::array();
    for (int i = 0, count = static_cast<int>(rng() % 30); i < count; ++i) {
      Record entity = Record::object();
      if (rng() % 3 == 0) entity["uuid"] = rng() % 2 ? Record("u") : Record("");
      std::string surface = rng() % 4 == 0 ? "" : "x";
      if (rng() % 3 == 0) surface = (rng() % 2 ? "\n" : "") + surface + (rng() % 2 ? "\n" : "");
      if (rng() % 3 == 0) {
        entity["name"] = surface;
        entity["category"] = "T";
        if (surface.empty()) entity["text"] = "y";
      } else {
        entity["text"] = surface;
      }
      entity["offset"] = static_cast<std::int64_t>(rng() % static_cast<unsigned>(size + 6));
      // A length counts at least the line feeds it holds.
      entity["length"] =
          static_cast<std::int64_t>(rng() % 8 + std::count(surface.begin(), surface.end(), '\n'));
      entity["id"] = i;
      entities.push_back(std::move(entity));
    }
    Record doc{{"text", text}, {"entities", entities}};

    // The plain scan: each passage normalises and scans the whole list.
    Record plain_doc = doc;
    std::optional<std::vector<Record>> expected = gleaner._segment(text);
    if (expected) {
      for (Record& passage : *expected) {
        auto inside = gleaner._related_entities(passage, plain_doc["entities"]);
        passage["entities"] = inside ? Record(std::move(*inside)) : Record(nullptr);
      }
    }
    Record moved_doc = doc;
    ASSERT_EQ(dump(gleaner.extract(doc)), dump(expected)) << text;
    EXPECT_EQ(doc, plain_doc);
    // Handing the document over gives the same passages.
    ASSERT_EQ(dump(gleaner.extract(std::move(moved_doc))), dump(expected));
  }
}

}  // namespace
}  // namespace kelvra::nlp::common::gleaner
