// Runs kelvra-nlp match and glean as a user would and checks what they print.
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cli/cli_test_util.h"

namespace {

using namespace kelvra::cli::testing;

using ::testing::HasSubstr;

TEST(RetrievalCli, MatchPrintsOccurrencesInOrder) {
  // Frequency-annotated lines, a tab, a blank line and a repeat.
  std::string dict = write_file("he 10 n\nshe\t5\n\nhers\nhe\n");
  auto result = run("match --dict " + dict, "ushers");
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out,
            "{\"text\":\"she\",\"length\":3,\"offset\":1}\n"
            "{\"text\":\"he\",\"length\":2,\"offset\":2}\n"
            "{\"text\":\"hers\",\"length\":4,\"offset\":2}\n");
  std::string text = write_file("江城的雨季\r\n");
  auto from_file = run("match --dict " + write_file("江城\r\n雨季\n") + " " + text);
  EXPECT_EQ(from_file.out,
            "{\"text\":\"江城\",\"length\":2,\"offset\":0}\n"
            "{\"text\":\"雨季\",\"length\":2,\"offset\":3}\n");
  EXPECT_EQ(run("match --dict " + dict, "nothing").out, "");
}

TEST(RetrievalCli, MatchDictionaryByteOrderMarkIsNotPartOfTheFirstWord) {
  std::string dict = write_file("\xEF\xBB\xBF江城\n雨季\n");
  EXPECT_EQ(run("match --dict " + dict, "江城").out,
            "{\"text\":\"江城\",\"length\":2,\"offset\":0}\n");
}

TEST(RetrievalCli, MatchJsonlSearchesEachDocumentAndPassesItsMembersOn) {
  std::string dict = write_file("he\nshe\n");
  auto result =
      run("match --jobs 2 --jsonl --dict " + dict,
          "{\"id\":\"a\",\"text\":\"she\",\"meta\":{\"n\":[1,2.5]}}\n\n{\"text\":\"he\"}\n");
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out,
            "{\"text\":\"she\",\"length\":3,\"offset\":0,\"id\":\"a\",\"meta\":{\"n\":[1,2.5]}}\n"
            "{\"text\":\"he\",\"length\":2,\"offset\":1,\"id\":\"a\",\"meta\":{\"n\":[1,2.5]}}\n"
            "{\"text\":\"he\",\"length\":2,\"offset\":0}\n");
  // A segment's place in its document carries over to the occurrences.
  auto segment = run("match --jsonl --dict " + dict,
                     "{\"text\":\"she\",\"offset\":3,\"length\":3,\"doc\":1}\n");
  ASSERT_EQ(segment.status, 0) << segment.err;
  EXPECT_EQ(segment.out,
            "{\"text\":\"she\",\"length\":3,\"offset\":3,\"doc\":1}\n"
            "{\"text\":\"he\",\"length\":2,\"offset\":4,\"doc\":1}\n");
  auto bad_offset = run("match --jsonl --dict " + dict, "{\"text\":\"he\",\"offset\":\"3\"}\n");
  EXPECT_EQ(bad_offset.status, 1);
  EXPECT_THAT(bad_offset.err, HasSubstr("stdin:1: "));
  EXPECT_THAT(bad_offset.err, HasSubstr("offset"));
}

TEST(RetrievalCli, GleanPrintsPassages) {
  auto result = run(
      "glean",
      R"({"text": "ab\n• cd", "entities": [{"name": "c", "category": "T", "offset": 5, "length": 1}]})");
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out,
            "{\"text\":\"ab\",\"offset\":0,\"entities\":null}\n"
            "{\"text\":\"cd\",\"offset\":5,\"entities\":[{\"offset\":0,\"length\":1,\"text\":\"c\","
            "\"type\":\"T\"}]}\n");
  auto absent = run("glean", R"({"text": ""})");
  EXPECT_EQ(absent.status, 0);
  EXPECT_EQ(absent.out, "");
}

TEST(RetrievalCli, BadInput) {
  auto missing_dict = run("match --dict /nonexistent/dict.txt", "x");
  EXPECT_EQ(missing_dict.status, 1);
  EXPECT_THAT(missing_dict.err, HasSubstr("/nonexistent/dict.txt"));
  auto bad_dict = run("match --dict " + write_file("ok\nb\xff\n"), "x");
  EXPECT_EQ(bad_dict.status, 1);
  EXPECT_THAT(bad_dict.err, HasSubstr(":2:"));
  EXPECT_EQ(run("match", "x").status, 2);  // --dict is required
  auto directory = run("match --dict " + ::testing::TempDir(), "x");
  EXPECT_EQ(directory.status, 1);
  EXPECT_THAT(directory.err, HasSubstr("--dict " + ::testing::TempDir() + ": is a directory"));
  EXPECT_THAT(run("glean --help").out, HasSubstr("keeps its \\r at the end"));
  auto bad_json = run("glean", "{\"text\": ");
  EXPECT_EQ(bad_json.status, 1);
  EXPECT_THAT(bad_json.err, HasSubstr("not valid JSON"));
  auto bad_entity =
      run("glean", R"({"text": "ab", "entities": [{"name": "a", "offset": 0, "length": 1}]})");
  EXPECT_EQ(bad_entity.status, 1);
  EXPECT_THAT(bad_entity.err, HasSubstr("category"));
}

TEST(RetrievalCli, MatchWithASavedAutomatonFindsWhatTheDictionaryFinds) {
  std::string dict = write_file("he 10 n\nshe\nhers\n江城\n城东\n😀\n");
  const std::string saved = temp_path(".kvac");
  auto save = run("match --dict " + dict + " --save-automaton " + saved, "not read");
  ASSERT_EQ(save.status, 0) << save.err;
  EXPECT_EQ(save.out, "");
  const std::string text = "ushers 江城东😀 hishe\n";
  EXPECT_EQ(run("match --automaton " + saved, text).out, run("match --dict " + dict, text).out);
  const std::string docs = "{\"id\":1,\"text\":\"ushers\"}\n{\"text\":\"江城东\"}\n";
  auto jsonl = run("match --jsonl --jobs 2 --automaton " + saved, docs);
  ASSERT_EQ(jsonl.status, 0) << jsonl.err;
  EXPECT_EQ(jsonl.out, run("match --jsonl --dict " + dict, docs).out);
  EXPECT_THAT(run("match --help").out, HasSubstr("--save-automaton"));
}

TEST(RetrievalCli, MatchRefusesDamagedAutomataAndMixedOptions) {
  const std::string saved = temp_path(".kvac");
  ASSERT_EQ(run("match --dict " + write_file("he\nshe\n") + " --save-automaton " + saved).status,
            0);
  std::string bytes = slurp(saved);
  auto damaged =
      run("match --automaton " + write_file(bytes.substr(0, bytes.size() - 8), ".kvac"), "she");
  EXPECT_EQ(damaged.status, 1);
  EXPECT_THAT(damaged.err, HasSubstr("--automaton "));
  EXPECT_THAT(damaged.err, HasSubstr("truncated saved automaton"));
  auto a_dictionary = run("match --automaton " + write_file("he\nshe\n"), "she");
  EXPECT_EQ(a_dictionary.status, 1);
  EXPECT_THAT(a_dictionary.err, HasSubstr("not a saved automaton"));
  auto unwritable = run("match --dict " + write_file("he\n") + " --save-automaton " +
                        ::testing::TempDir() + "no/such/dir.kvac");
  EXPECT_EQ(unwritable.status, 1);
  EXPECT_THAT(unwritable.err, HasSubstr("--save-automaton "));
  // Usage errors: both sources, neither, saving without --dict or with input.
  EXPECT_EQ(run("match --dict x --automaton " + saved, "she").status, 2);
  EXPECT_EQ(run("match --automaton " + saved + " --save-automaton y").status, 2);
  EXPECT_EQ(run("match --dict x --save-automaton y input.txt").status, 2);
  EXPECT_EQ(run("match --dict x --save-automaton y --jsonl").status, 2);
}

}  // namespace
