// Runs split, section and stitch over JSON Lines documents as a user would.
#include <random>
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

TEST(SegmentationOverlap, SectionWritesContextInBothModesAndStitchKeepsEachResultOnce) {
  const std::string text = "一二三。四五六。七八九。";
  const std::string expected = R"({"text":"一二三。四五六。","offset":0,"length":8,"context":0})"
                               "\n"
                               R"({"text":"四五六。七八九。","offset":4,"length":8,"context":4})"
                               "\n";
  auto whole = run("section --type ner --length 8 --overlap 4", text);
  ASSERT_EQ(whole.status, 0) << whole.err;
  EXPECT_EQ(whole.out, expected);
  auto jsonl = run("section --jsonl --type ner --length 8 --overlap 4 --jobs 2",
                   "{\"text\":\"" + text + "\",\"doc\":1}\n");
  ASSERT_EQ(jsonl.status, 0) << jsonl.err;
  EXPECT_EQ(without(jsonl.out, {"doc"}), json_lines(expected));
  // An input's own "context" would clash with the segments'.
  EXPECT_NE(run("section --jsonl --type ner --length 8 --overlap 4",
                "{\"text\":\"" + text + "\",\"context\":1}\n")
                .status,
            0);

  auto relation = run("section --type relation --length 8 --overlap 4",
                      R"({"text":"一二三。四五六。七八九。","nes":[{"offset":5,"length":2}]})");
  ASSERT_EQ(relation.status, 0) << relation.err;
  auto segments = json_lines(relation.out);
  ASSERT_EQ(segments.size(), 2u);
  EXPECT_EQ(segments[1]["context"], 4);
  EXPECT_EQ(segments[1]["feature_set"]["nes"][0]["offset"], 1);

  // The entity both segments report is printed once.
  auto stitched =
      run("stitch --type ner", R"({"offset":0,"context":0,"nes":[{"offset":5,"length":2}]})"
                               "\n"
                               R"({"offset":4,"context":4,"nes":[{"offset":1,"length":2}]})"
                               "\n");
  ASSERT_EQ(stitched.status, 0) << stitched.err;
  EXPECT_EQ(stitched.out, "{\"offset\":5,\"length\":2}\n");
}

TEST(SegmentationOverlap, MeasuresBoundTheSegmentsAndDefaultsChangeNothing) {
  const std::string text = "一二三。四五六。七八九。abc.";
  auto bytes = run("section --type ner --length 12 --measure utf-8-bytes", text);
  ASSERT_EQ(bytes.status, 0) << bytes.err;
  for (const auto& segment : json_lines(bytes.out))
    EXPECT_LE(segment["text"].get<std::string>().size(), 12u) << segment.dump();
  EXPECT_EQ(run("section --type ner --length 5 --overlap 0 --measure code-points", text).out,
            run("section --type ner --length 5", text).out);
  EXPECT_EQ(run("section --type ner --length 5 --measure utf-16-units", text).out,
            run("section --type ner --length 5", text).out);  // no surrogate pairs here
  auto bad = run("section --type ner --length 5 --measure tokens", text);
  EXPECT_NE(bad.status, 0);
  EXPECT_THAT(bad.err, HasSubstr("--measure"));
  EXPECT_THAT(run("section --type ner --length 5 --overlap -2", text).err, HasSubstr("--overlap"));
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

// One record per document equals today's records grouped by document, for
// any --jobs, with documents spanning batches (one larger than a batch),
// documents without results, and ids that differ only in their JSON text.
TEST(SegmentationJsonl, StitchAttachGroupsEachDocumentsRecords) {
  std::mt19937 rng(28);
  std::string segments;
  std::vector<Record> ids;
  const std::string padding(120, 'x');
  for (int doc = 0; doc < 4000; ++doc) {
    Record id = doc % 7 == 0 ? Record(doc) : Record(std::to_string(doc));
    if (doc == 1) id = Record("0");  // after the number 0: another JSON text
    const int count = doc == 2000 ? 9000 : 1 + static_cast<int>(rng() % 6);
    for (int i = 0; i < count; ++i) {
      Record nes = Record::array();
      for (unsigned n = rng() % 3; n > 0; --n)
        nes.push_back(Record{{"offset", static_cast<int>(rng() % 50)}, {"length", 2}});
      segments += Record{{"offset", i * 50}, {"nes", nes}, {"id", id}, {"pad", padding}}.dump() +
                  (rng() % 50 == 0 ? "\n \n" : "\n");
    }
    ids.push_back(id);
  }
  const std::string path = write_file(segments, ".jsonl");
  auto today = run("stitch --type ner --carry id " + path);
  ASSERT_EQ(today.status, 0) << today.err;
  std::vector<Record> expected;
  auto records = json_lines(today.out);
  auto record = records.begin();
  for (const Record& id : ids) {
    Record nes = Record::array();
    for (; record != records.end() && (*record)["id"].dump() == id.dump(); ++record) {
      record->erase("id");
      nes.push_back(*record);
    }
    expected.push_back(Record{{"id", id}, {"nes", nes}});
  }
  ASSERT_EQ(record, records.end());
  auto one = run("stitch --type ner --carry id --attach nes --jobs 1 " + path);
  auto four = run("stitch --type ner --carry id,id --attach nes --jobs 4 " + path);
  ASSERT_EQ(one.status, 0) << one.err;
  EXPECT_TRUE(one.out == four.out);
  EXPECT_EQ(json_lines(one.out), expected);
}

// A skipped bad segment neither loses its document's record nor joins the
// documents around it; one that stops the run ends the open record first.
TEST(SegmentationJsonl, StitchAttachBadSegmentsAndUsage) {
  const std::string segments = R"({"offset":0,"nes":[{"offset":1}],"id":"a"})"
                               "\n"
                               R"({"nes":[{"offset":2}],"id":"a"})"
                               "\n"
                               R"({"offset":9,"nes":[{"offset":3}],"id":"a"})"
                               "\n"
                               R"({"nes":[],"id":"b"})"
                               "\n"
                               R"({"offset":0,"nes":[{"offset":4}],"id":"c"})"
                               "\n{bad\n"
                               R"({"offset":5,"nes":[{"offset":5}],"id":"c"})"
                               "\n"
                               R"({"offset":0,"nes":[],"id":"d"})"
                               "\n[1]\n"
                               R"({"offset":0,"nes":[],"id":"e"})"
                               "\n";
  auto skipped = run("stitch --type ner --carry id --attach nes --skip-bad", segments);
  ASSERT_EQ(skipped.status, 0) << skipped.err;
  EXPECT_EQ(skipped.out, R"({"id":"a","nes":[{"offset":1},{"offset":12}]})"
                         "\n"
                         R"({"id":"b","nes":[]})"
                         "\n"
                         R"({"id":"c","nes":[{"offset":4},{"offset":10}]})"
                         "\n"
                         R"({"id":"d","nes":[]})"
                         "\n"
                         R"({"id":"e","nes":[]})"
                         "\n");
  EXPECT_THAT(skipped.err, HasSubstr("skipped 4 bad lines"));
  auto stopped = run("stitch --type ner --carry id --attach nes", segments);
  EXPECT_EQ(stopped.status, 1);
  EXPECT_THAT(stopped.err, HasSubstr("stdin:2: missing key 'offset'"));
  EXPECT_EQ(stopped.out, R"({"id":"a","nes":[{"offset":1}]})"
                         "\n");

  const std::pair<std::string, std::string> usage[] = {
      {"--attach nes", "--attach requires --carry"},
      {"--carry id,doc --attach doc", "--attach: \"doc\" is also a member --carry copies"},
      {"--carry id --attach ''", "--attach: must not be empty"},
  };
  for (const auto& [args, message] : usage) {
    auto result = run("stitch --type ner " + args, segments);
    EXPECT_EQ(result.status, 2) << args;
    EXPECT_THAT(result.err, HasSubstr(message)) << args;
    EXPECT_EQ(result.out, "") << args;
  }
}

}  // namespace
