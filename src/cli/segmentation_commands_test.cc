// Runs split, section and stitch over JSON Lines documents as a user would.
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cli/cli_test_util.h"
#include "kelvra/common/record.h"

namespace {

using namespace kelvra::cli::testing;

using kelvra::Record;
using ::testing::HasSubstr;

// The records of `out` with the members `keys` dropped from each.
std::vector<Record> without(const std::string& out, std::initializer_list<const char*> keys) {
  auto records = json_lines(out);
  for (auto& record : records)
    for (const char* key : keys) record.erase(key);
  return records;
}

TEST(SegmentationJsonl, SplitGivesEachDocumentsSentencesWithItsMembers) {
  const std::string docs =
      "{\"doc\":1,\"text\":\"你好。再见！\",\"tags\":[\"a\"]}\n"
      "\n"
      "{\"text\":\"谢谢。\",\"doc\":2}\n";
  auto result = run("split --jsonl", docs);
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(
      result.out,
      R"({"id":0,"offset":0,"length":3,"text":"你好。","clauses":[{"id":0,"tense":"done","offset":0,"length":3,"text":"你好。"}],"doc":1,"tags":["a"]})"
      "\n"
      R"({"id":1,"offset":3,"length":3,"text":"再见！","clauses":[{"id":0,"tense":"done","offset":3,"length":3,"text":"再见！"}],"doc":1,"tags":["a"]})"
      "\n"
      R"({"id":0,"offset":0,"length":3,"text":"谢谢。","clauses":[{"id":0,"tense":"done","offset":0,"length":3,"text":"谢谢。"}],"doc":2})"
      "\n");
}

TEST(SegmentationJsonl, SectionPerDocumentEqualsSectionOfEachText) {
  const std::string first = "你好。再见！谢谢。", second = "一二三四五六七八九十";
  auto jsonl = run("section --jsonl --type ner --length 4 --jobs 2",
                   "{\"text\":\"" + first + "\",\"doc\":\"a\"}\n{\"text\":\"" + second + "\"}\n");
  ASSERT_EQ(jsonl.status, 0) << jsonl.err;
  auto whole = json_lines(run("section --type ner --length 4", first).out);
  for (const auto& record : json_lines(run("section --type ner --length 4", second).out))
    whole.push_back(record);
  EXPECT_EQ(without(jsonl.out, {"doc"}), whole);
  EXPECT_EQ(json_lines(jsonl.out).front()["doc"], "a");

  auto relation = run("section --jsonl --type relation --length 3",
                      R"({"text":"你好。再见！","nes":[{"offset":3,"length":2}],"doc":7})"
                      "\n");
  ASSERT_EQ(relation.status, 0) << relation.err;
  auto segments = json_lines(relation.out);
  ASSERT_EQ(segments.size(), 2u);
  EXPECT_EQ(
      segments[1].dump(),
      R"({"text":"再见！","offset":3,"length":3,"feature_set":{"text":"再见！","nes":[{"offset":0,"length":2}]},"doc":7})");
}

TEST(SegmentationJsonl, HugeDocumentIsWorkedOnAloneAndWrittenWhole) {
  // Longer than a batch many times over: it is read whole, worked on after
  // the lines before it, and its segments equal those of the text alone.
  std::string text;
  while (text.size() < (std::size_t{17} << 20)) text += "江城的雨季很长。The rain \"falls\".\n";
  const std::string path =
      write_file("{\"text\":\"short。\"}\n" + Record{{"text", text}, {"n", 1}}.dump() +
                 "\n{\"text\":\"end。\"}\n");
  auto jsonl = run("section --jsonl --type ner --length 2000000 --jobs 2 " + path);
  ASSERT_EQ(jsonl.status, 0) << jsonl.err;
  auto records = without(jsonl.out, {"n"});
  ASSERT_GE(records.size(), 3u);
  EXPECT_EQ(records.front()["text"], "short。");
  EXPECT_EQ(records.back()["text"], "end。");
  records.erase(records.begin());
  records.pop_back();
  EXPECT_EQ(records,
            json_lines(run("section --type ner --length 2000000 " + write_file(text)).out));
}

TEST(SegmentationJsonl, StitchStreamsSegmentsInOrder) {
  std::string segments;
  for (int i = 0; i < 3000; ++i)
    segments += R"({"offset":)" + std::to_string(i * 10) +
                R"(,"nes":[{"offset":1,"length":2}]})"
                "\n";
  auto one = run("stitch --type ner --jobs 1", segments);
  auto two = run("stitch --type ner --jobs 2", segments);
  ASSERT_EQ(one.status, 0) << one.err;
  EXPECT_TRUE(one.out == two.out);
  auto merged = json_lines(one.out);
  ASSERT_EQ(merged.size(), 3000u);
  EXPECT_EQ(merged[2999]["offset"], 29991);
  // A bad segment stops the run after the ones before it were written.
  auto stopped = run("stitch --type ner", segments + "{\"nes\":[]}\n" + segments);
  EXPECT_EQ(stopped.status, 1);
  EXPECT_THAT(stopped.err, HasSubstr("stdin:3001: missing key 'offset'"));
  EXPECT_EQ(json_lines(stopped.out).size(), 3000u);
}

}  // namespace
