// Runs kelvra-nlp normalize and cantonese as a user would.
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

TEST(NormalizeCommand, OneRecordPerLineWithInputOffsets) {
  auto result = run("normalize", "頭髮Ａ\n\nok\x07\r\n");
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(
      result.out,
      R"({"text":"頭髮Ａ","normalized_text":"头发A","alter_words":[{"text":"頭","normalized_text":"头","offset":0},{"text":"髮","normalized_text":"发","offset":1},{"text":"Ａ","normalized_text":"A","offset":2}]})"
      "\n"
      R"({"text":"","normalized_text":"","alter_words":[]})"
      "\n"
      R"({"text":"ok\u0007","normalized_text":"ok ","alter_words":[{"text":"\u0007","normalized_text":" ","offset":2}]})"
      "\n");
}

TEST(NormalizeCommand, SwitchesAndValidCharacters) {
  auto off = run("normalize --no-q2b --no-to-zhs --valid \"$(printf '\\a')\"", "頭Ａ\x07\x01");
  ASSERT_EQ(off.status, 0) << off.err;
  auto record = kelvra::Record::parse(off.out);
  EXPECT_EQ(record["normalized_text"], "頭Ａ\x07 ");
  EXPECT_EQ(record["alter_words"].size(), 1u);
  auto bad = run("normalize", "ab\xFF");
  EXPECT_EQ(bad.status, 1);
  EXPECT_THAT(bad.err, HasSubstr("UTF-8"));
}

TEST(CantoneseCommand, TranslatesLineByLine) {
  auto result = run("cantonese", "佢哋而家喺邊度食緊飯？\n唔該晒！\n");
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "他们现在在哪里吃饭？\n非常感谢！\n");
  EXPECT_THAT(result.err, HasSubstr("cantonese-mandarin pairs from"));
}

TEST(CantoneseCommand, OwnDictionaryAndMissingOne) {
  std::string dict = ::testing::TempDir() + "normalization_cli_dict.tsv";
  std::ofstream(dict, std::ios::binary) << "佢\t她\n";
  auto result = run("cantonese --dict " + dict, "佢哋\n");
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "她哋\n");
  // A byte order mark before the first word is not part of it, and the log
  // names the file as given.
  std::string marked = ::testing::TempDir() + "normalization_cli_marked.tsv";
  std::ofstream(marked, std::ios::binary) << "\xEF\xBB\xBF佢\t她\n";
  auto unmarked = run("cantonese --dict " + marked, "佢哋\n");
  ASSERT_EQ(unmarked.status, 0) << unmarked.err;
  EXPECT_EQ(unmarked.out, "她哋\n");
  EXPECT_THAT(unmarked.err, HasSubstr("Loaded 1 cantonese-mandarin pairs from " + marked + "\n"));

  auto missing = run("cantonese --dict no/such.tsv", "佢\n");
  EXPECT_EQ(missing.status, 1);
  EXPECT_THAT(missing.err, HasSubstr("no/such.tsv"));
  auto directory = run("cantonese --dict " + ::testing::TempDir(), "佢\n");
  EXPECT_EQ(directory.status, 1);
  EXPECT_THAT(directory.err, HasSubstr("--dict " + ::testing::TempDir() + ": is a directory"));
}

TEST(CantoneseCommand, ExplainNamesTheDictionaryLineOfEachRewrite) {
  std::string dict = ::testing::TempDir() + "normalization_cli_explain.tsv";
  std::ofstream(dict, std::ios::binary) << "佢哋\t他們\n# a note\n喺\t在\n食物\t食物\n";
  auto result = run("cantonese --explain --dict " + dict, "佢哋喺度\n食物\n");
  ASSERT_EQ(result.status, 0) << result.err;
  // The identity entry changes nothing, so it is not a rewrite.
  EXPECT_EQ(
      result.out,
      R"({"text":"佢哋喺度","translation":"他们在度","rewrites":[)"
      R"({"text":"佢哋","offset":0,"length":2,"translation":"他们","line":1,"entry":"佢哋\t他們"},)"
      R"({"text":"喺","offset":2,"length":1,"translation":"在","line":3,"entry":"喺\t在"}]})"
      "\n"
      R"({"text":"食物","translation":"食物","rewrites":[]})"
      "\n");
}

TEST(CantoneseCommand, RulesOfOnesOwnAndExplainNamesTheRule) {
  std::string dict = ::testing::TempDir() + "normalization_cli_rules_dict.tsv";
  std::ofstream(dict, std::ios::binary) << "佢\t他\n㗎\t的\n";
  std::string rules = ::testing::TempDir() + "normalization_cli_rules.tsv";
  std::ofstream(rules, std::ios::binary) << "# questions\n㗎\t\tbefore:？\n";
  auto result = run("cantonese --explain --dict " + dict + " --rules " + rules, "佢㗎？\n");
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(
      result.out,
      R"({"text":"佢㗎？","translation":"他？","rewrites":[)"
      R"({"text":"佢","offset":0,"length":1,"translation":"他","line":1,"entry":"佢\t他"},)"
      R"({"text":"㗎","offset":1,"length":1,"translation":"","line":2,"entry":"㗎\t","rule":"before:？","senses":["的",""]}]})"
      "\n");
  // "senses" lists every Mandarin the word has, the dictionary's first.
  // A rule that cannot be read stops the run before any output, naming
  // the file and line; a missing file names the option.
  std::ofstream(rules, std::ios::binary) << "㗎\t\tbefore:？\n好\t很\tsoon:END\n";
  auto bad = run("cantonese --rules " + rules, "佢\n");
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.out, "");
  EXPECT_THAT(bad.err, HasSubstr(rules));
  EXPECT_THAT(bad.err, HasSubstr("unknown condition soon:END"));
  // A leading tab leaves the first field empty: the line is named, not
  // read with its fields shifted.
  std::ofstream(rules, std::ios::binary) << "\t你\tbefore:x\n";
  auto shifted = run("cantonese --rules " + rules, "你\n");
  EXPECT_EQ(shifted.status, 1);
  EXPECT_EQ(shifted.out, "");
  EXPECT_THAT(shifted.err, HasSubstr(rules + ":1: no word before the first tab"));
  auto missing = run("cantonese --rules no/such/rules.tsv", "佢\n");
  EXPECT_EQ(missing.status, 1);
  EXPECT_THAT(missing.err, HasSubstr("--rules no/such/rules.tsv"));
}

}  // namespace
