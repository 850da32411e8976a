// Runs kelvra-nlp match and glean as a user would and checks what they print.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

TEST(RetrievalCli, MatchKindsAndWholeWords) {
  std::string dict = write_file("ab\nabc\nc\nbcd\n");
  auto matched = [&](const std::string& flags, const std::string& input) {
    auto result = run("match --dict " + dict + " " + flags, input);
    EXPECT_EQ(result.status, 0) << result.err;
    return result.out;
  };
  EXPECT_EQ(matched("--kind leftmost-longest", "abcd"),
            "{\"text\":\"abc\",\"length\":3,\"offset\":0}\n");
  EXPECT_EQ(matched("--kind leftmost-first", "abcd"),
            "{\"text\":\"ab\",\"length\":2,\"offset\":0}\n"
            "{\"text\":\"c\",\"length\":1,\"offset\":2}\n");
  EXPECT_EQ(matched("--kind overlapping", "abc"), matched("", "abc"));
  EXPECT_EQ(matched("--whole-words", "abc abcd"), "{\"text\":\"abc\",\"length\":3,\"offset\":0}\n");
  EXPECT_EQ(matched("--jsonl --attach nes --kind leftmost-longest --whole-words",
                    "{\"text\":\"abc c\"}\n"),
            "{\"text\":\"abc c\",\"nes\":[{\"text\":\"abc\",\"length\":3,\"offset\":0},"
            "{\"text\":\"c\",\"length\":1,\"offset\":4}]}\n");
  auto wrong = run("match --dict " + dict + " --kind longest", "abc");
  EXPECT_NE(wrong.status, 0);
  EXPECT_THAT(wrong.err, HasSubstr("--kind"));
}

TEST(RetrievalCli, MatchFoldedReportsTheInputsOwnTextAndKeepsItsFoldingWhenSaved) {
  std::string dict = write_file("straße\n头发\n");
  const std::string input = "STRASSE 頭髮";
  const std::string expected =
      "{\"text\":\"STRASSE\",\"length\":7,\"offset\":0}\n"
      "{\"text\":\"頭髮\",\"length\":2,\"offset\":8}\n";
  auto folded = run("match --fold case,script --dict " + dict, input);
  ASSERT_EQ(folded.status, 0) << folded.err;
  EXPECT_EQ(folded.out, expected);
  const std::string saved = temp_path(".kvac");
  ASSERT_EQ(run("match --fold script,case --dict " + dict + " --save-automaton " + saved).status,
            0);
  EXPECT_EQ(run("match --automaton " + saved, input).out, expected);
  EXPECT_EQ(run("match --dict " + dict, input).out, "");
  for (const std::string& args :
       {"match --fold accents --dict " + dict, "match --fold case --automaton " + saved}) {
    auto refused = run(args, input);
    EXPECT_EQ(refused.status, 2) << args;
    EXPECT_THAT(refused.err, HasSubstr("--fold")) << args;
  }
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
  // A FIFO is refused at once (opening it would wait for a writer), and
  // saving never replaces what is not a regular file; a link is followed.
  const std::string fifo = temp_path(".fifo");
  ::unlink(fifo.c_str());
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  auto from_fifo = run("match --automaton " + fifo, "she");
  EXPECT_EQ(from_fifo.status, 1);
  EXPECT_THAT(from_fifo.err, HasSubstr("a FIFO, not a regular file"));
  auto onto_fifo = run("match --dict " + write_file("he\n") + " --save-automaton " + fifo);
  EXPECT_EQ(onto_fifo.status, 1);
  EXPECT_THAT(onto_fifo.err, HasSubstr("a FIFO"));
  struct stat st {};
  EXPECT_TRUE(::stat(fifo.c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
  const std::string link = temp_path(".link");
  ::unlink(link.c_str());
  ASSERT_EQ(::symlink(saved.c_str(), link.c_str()), 0);
  ASSERT_EQ(run("match --dict " + write_file("she\n") + " --save-automaton " + link).status, 0);
  EXPECT_TRUE(::lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode));
  EXPECT_EQ(run("match --automaton " + saved, "ushers").out,
            "{\"text\":\"she\",\"length\":3,\"offset\":1}\n");
  // Usage errors: both sources, neither, saving without --dict or with input.
  EXPECT_EQ(run("match --dict x --automaton " + saved, "she").status, 2);
  EXPECT_EQ(run("match --automaton " + saved + " --save-automaton y").status, 2);
  EXPECT_EQ(run("match --dict x --save-automaton y input.txt").status, 2);
  EXPECT_EQ(run("match --dict x --save-automaton y --jsonl").status, 2);
}

// A saved automaton cut short while it is mapped: the search meets pages
// that are gone (SIGBUS); the run ends with status 1 naming the file. The
// input is a FIFO, opened only once the automaton is loaded, so the file
// is cut between the loading and the search.
TEST(RetrievalCli, RegressionAutomatonCutShortWhileInUseIsNamed) {
  const std::string saved = temp_path(".kvac"), fifo = temp_path(".fifo");
  const std::string err = temp_path(".err"), status = temp_path(".status");
  ASSERT_EQ(
      run("match --dict " + write_file("he\nshe\nhers\n") + " --save-automaton " + saved).status,
      0);
  ::unlink(fifo.c_str());
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string script =
      std::string(KELVRA_CLI_PATH) + " match --jsonl --automaton " + saved + " " + fifo +
      " > /dev/null 2> " + err + " & exec 3> " + fifo + "; truncate -s 0 " + saved +
      "; echo '{\"text\":\"ushers\"}' >&3; exec 3>&-; wait $!; echo $? > " + status;
  ASSERT_EQ(std::system(("sh " + write_file(script, ".sh")).c_str()), 0);
  EXPECT_EQ(slurp(status), "1\n");
  EXPECT_THAT(slurp(err), HasSubstr(saved + " changed while in use"));
}

// A short line whose occurrences make far more output than a worker may
// hold is worked on again alone and written as it is made: the same bytes
// for any --jobs, every line there.
TEST(RetrievalCli, RegressionHugeOutputOfOneShortRecordIsStreamed) {
  const std::string dict = write_file("a\naa\naaa\naaaa\naaaaa\naaaaaa\n");
  const std::string docs = "{\"id\":0,\"text\":\"b\"}\n{\"id\":1,\"text\":\"" +
                           std::string(160000, 'a') + "\"}\n{\"id\":2,\"text\":\"aa\"}\n";
  const std::string input = write_file(docs, ".jsonl");
  auto one = run("match --jsonl --jobs 1 --dict " + dict + " " + input);
  ASSERT_EQ(one.status, 0) << one.err;
  EXPECT_EQ(std::count(one.out.begin(), one.out.end(), '\n'), 6 * 160000 - 15 + 3);
  EXPECT_THAT(one.out.substr(one.out.size() - 100), HasSubstr("\"offset\":1,\"id\":2}\n"));
  EXPECT_EQ(run("match --jsonl --jobs 2 --dict " + dict + " " + input).out, one.out);
  auto attached = run("match --jsonl --jobs 2 --attach nes --dict " + dict + " " + input);
  ASSERT_EQ(attached.status, 0) << attached.err;
  EXPECT_EQ(attached.out,
            run("match --jsonl --jobs 1 --attach nes --dict " + dict + " " + input).out);
  EXPECT_EQ(std::count(attached.out.begin(), attached.out.end(), '\n'), 3);
}

}  // namespace
