// Runs the kelvra-nlp binary as a user would and checks what it prints.
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cli/cli_test_util.h"
#include "kelvra/common/record.h"

namespace {

using namespace kelvra::cli::testing;

using ::testing::HasSubstr;

TEST(Cli, SplitPrintsOneSentenceRecordPerLine) {
  auto result = run("split", "你好。再见！");
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out,
            R"({"id":0,"offset":0,"length":3,"text":"你好。","clauses":[{"id":0,"tense":"done","offset":0,"length":3,"text":"你好。"}]})"
            "\n"
            R"({"id":1,"offset":3,"length":3,"text":"再见！","clauses":[{"id":0,"tense":"done","offset":3,"length":3,"text":"再见！"}]})"
            "\n");
  auto custom = json_lines(run("split --punct . --max-len 0", "Hi. Bye.").out);
  ASSERT_EQ(custom.size(), 2u);
  EXPECT_EQ(custom[1]["text"], " Bye.");
}

TEST(Cli, SectionAndStitchMakeTheRoad) {
  auto sectioned = run("section --type ner --length 6", "你好。再见！谢谢。");
  ASSERT_EQ(sectioned.status, 0) << sectioned.err;
  auto segments = json_lines(sectioned.out);
  ASSERT_EQ(segments.size(), 2u);
  EXPECT_EQ(segments[1].dump(), R"({"text":"谢谢。","offset":6,"length":3})");

  std::string filled;
  for (auto& segment : segments) {
    segment["nes"] = kelvra::Record::parse(R"([{"offset":0,"length":2}])");
    filled += segment.dump() + "\n\n";  // blank lines are skipped
  }
  auto stitched = json_lines(run("stitch --type ner", filled).out);
  ASSERT_EQ(stitched.size(), 2u);
  EXPECT_EQ(stitched[1]["offset"], 6);
}

TEST(Cli, SectionRelationReadsAFeatureSet) {
  auto result = run("section --type relation --length 3",
                    R"({"text":"你好。再见！","nes":[{"offset":3,"length":2,"text":"再见"}]})");
  ASSERT_EQ(result.status, 0) << result.err;
  auto segments = json_lines(result.out);
  ASSERT_EQ(segments.size(), 2u);
  EXPECT_EQ(segments[1]["feature_set"]["nes"][0]["offset"], 0);
}

TEST(Cli, BadInputIsOneLineOnStderrWithStatusOne) {
  auto bad_utf8 = run("split", "ok\nbad \xFF");
  EXPECT_EQ(bad_utf8.status, 1);
  EXPECT_THAT(bad_utf8.err, HasSubstr("stdin:2: input is not valid UTF-8"));

  auto bad_json = run("stitch --type ner", "{\"offset\":0,\"nes\":[]}\n{oops}\n");
  EXPECT_EQ(bad_json.status, 1);
  EXPECT_THAT(bad_json.err, HasSubstr("stdin:2: not valid JSON"));

  auto bad_type = run("section --type NER --length 5", "abc");
  EXPECT_EQ(bad_type.status, 1);
  EXPECT_THAT(bad_type.err, HasSubstr(R"(type_ must in ["ner", "relation"])"));

  auto missing_key = run("stitch --type ner", "{\"offset\":0,\"nes\":[]}\n{\"nes\":[]}\n");
  EXPECT_EQ(missing_key.status, 1);
  EXPECT_THAT(missing_key.err, HasSubstr("stdin:2: missing key 'offset'"));
  EXPECT_EQ(missing_key.out, "");

  auto bad_length = run("section --type ner --length 0", "abc");
  EXPECT_EQ(bad_length.status, 1);
  EXPECT_THAT(bad_length.err, HasSubstr("length"));

  auto missing_file = run("split /nonexistent/input.txt");
  EXPECT_EQ(missing_file.status, 1);
  EXPECT_THAT(missing_file.err, HasSubstr("/nonexistent/input.txt"));
}

// Records nested 60,000 levels deep used to crash stitch, section and glean
// (the copies and prints recurse); they are refused where they are parsed.
TEST(Cli, RegressionDeeplyNestedRecordsAreRefusedNotCrashed) {
  const std::string deep = std::string(60000, '[') + std::string(60000, ']');
  auto stitch = run("stitch --type ner", "{\"offset\":0,\"nes\":[]}\n{\"offset\":0,\"nes\":[" + deep + "]}\n");
  EXPECT_EQ(stitch.status, 1);
  EXPECT_EQ(stitch.err, "kelvra-nlp: stdin:2: JSON nested deeper than 1000 levels\n");
  EXPECT_EQ(stitch.out, "");
  auto section = run("section --type relation --length 5",
                     "{\"text\":\"ab\",\n\"nes\":[{\"offset\":0,\"length\":1,\"x\":" + deep + "}]}");
  EXPECT_EQ(section.status, 1);
  EXPECT_THAT(section.err, HasSubstr("stdin:2: JSON nested deeper than 1000 levels"));
  auto glean = run("glean", "{\"text\":\"ab\",\"entities\":[{\"text\":\"a\",\"offset\":0,\"length\":1,\"x\":" + deep + "}]}");
  EXPECT_EQ(glean.status, 1);
  EXPECT_THAT(glean.err, HasSubstr("stdin:1: JSON nested deeper than 1000 levels"));

  // Up to the limit the records go through whole.
  const std::string limit = std::string(997, '[') + std::string(997, ']');
  auto deep_ok = run("glean", "{\"text\":\"ab\",\"entities\":[{\"text\":\"a\",\"offset\":0,\"length\":1,\"x\":" + limit + "}]}");
  ASSERT_EQ(deep_ok.status, 0) << deep_ok.err;
  EXPECT_THAT(deep_ok.out, HasSubstr(limit));
}

TEST(Cli, UsageErrorsExitWithTwo) {
  EXPECT_EQ(run("").status, 2);
  EXPECT_EQ(run("section --length 5").status, 2);
  EXPECT_EQ(run("no-such-command").status, 2);
  auto help = run("--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_THAT(help.out, HasSubstr("section"));
}

}  // namespace
