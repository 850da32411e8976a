// Runs `kelvra-nlp embed ...` as a user would and checks what it prints.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
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

std::string model_file(const std::string& content) { return write_file(content, ".model"); }

std::string binary_model() {
  std::string content = "2 2\n中国 ";
  const float a[2] = {3, 4}, b[2] = {0, 1};
  content.append(reinterpret_cast<const char*>(a), sizeof a);
  content += "\n人 ";
  content.append(reinterpret_cast<const char*>(b), sizeof b);
  return model_file(content);
}

TEST(EmbedCli, VectorPrintsOneLinePerWordWithSubstitutes) {
  std::string model = model_file("3 2\n中国 3 4\n人 0 1\n中 1 0\n");
  auto result = run("embed --model " + model + " vector 中国 中国人 人中");
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out,
            "{\"word\":\"中国\",\"vector\":[0.6,0.8]}\n"
            "{\"word\":\"中国人\",\"vector\":[0.6,0.8]}\n"
            "{\"word\":\"人中\",\"vector\":[0.5,0.5]}\n");
  auto binary = run("embed --model " + binary_model() + " --binary vector 中国");
  ASSERT_EQ(binary.status, 0) << binary.err;
  EXPECT_EQ(binary.out, "{\"word\":\"中国\",\"vector\":[0.6,0.8]}\n");
  EXPECT_EQ(binary.err, "");  // no progress when standard error is not a terminal
}

TEST(EmbedCli, SimilarListsNeighboursMostSimilarFirst) {
  std::string model = model_file("4 2\n中国 3 4\n人 0 1\n中 1 0\n反 -3 -4\n");
  auto result = run("embed --model " + model + " similar 中国 --topk 2");
  ASSERT_EQ(result.status, 0) << result.err;
  auto lines = json_lines(result.out);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0]["word"], "人");
  EXPECT_NEAR(lines[0]["similarity"].get<double>(), 0.8, 1e-6);
  EXPECT_EQ(lines[1]["word"], "中");
  EXPECT_EQ(json_lines(run("embed --model " + model + " similar 中国").out).size(), 3u);
}

TEST(EmbedCli, FailuresSayWhatAndWhere) {
  std::string model = model_file("2 2\n中国 3 4\n人 0\n");
  auto bad_file = run("embed --model " + model + " vector 中国");
  EXPECT_EQ(bad_file.status, 1);
  EXPECT_THAT(bad_file.err, HasSubstr(model + ":3: row has 1 components"));

  std::string good = model_file("1 2\n中国 3 4\n");
  auto unknown = run("embed --model " + good + " vector 龘");
  EXPECT_EQ(unknown.status, 1);
  EXPECT_THAT(unknown.err, HasSubstr("all ngrams for word 龘 absent from model"));
  auto not_in_vocabulary = run("embed --model " + good + " similar 中");
  EXPECT_EQ(not_in_vocabulary.status, 1);
  EXPECT_THAT(not_in_vocabulary.err, HasSubstr("not in vocabulary"));
  auto bad_utf8 = run("embed --model " + good + " vector ok \"$(printf '\\377')\"");
  EXPECT_EQ(bad_utf8.status, 1) << bad_utf8.err;
  EXPECT_THAT(bad_utf8.err, HasSubstr("WORD 2 is not valid UTF-8"));

  EXPECT_EQ(run("embed --model " + ::testing::TempDir() + " vector 中国").status, 1);
  EXPECT_EQ(run("embed vector 中国").status, 2);                   // no --model
  EXPECT_EQ(run("embed --model " + good).status, 2);               // no action
  EXPECT_EQ(run("embed --model " + good + " similar").status, 2);  // no word
}

TEST(EmbedCli, BadOptionValuesAreUsageErrors) {
  std::string good = model_file("1 2\n中国 3 4\n");
  const std::pair<std::string, std::string> cases[] = {
      {" similar 中国 --topk -3", "--topk: must be at least 1, got -3"},
      {" similar 中国 --topk 0", "--topk: must be at least 1, got 0"},
  };
  for (const auto& [args, message] : cases) {
    auto result = run("embed --model " + good + args);
    EXPECT_EQ(result.status, 2) << args;
    EXPECT_THAT(result.err, HasSubstr(message)) << args;
  }
}

TEST(EmbedCli, RegressionAnEmptyNgramRangeFindsVocabularyWordsOnly) {
  const std::string good = model_file("1 2\n中国 3 4\n");
  auto found = run("embed --model " + good + " vector 中国 --min-n 5 --max-n 2");
  EXPECT_EQ(found.status, 0) << found.err;
  EXPECT_EQ(found.out, "{\"word\":\"中国\",\"vector\":[0.6,0.8]}\n");
  auto missing = run("embed --model " + good + " vector 中国人 --min-n 0 --max-n 0");
  EXPECT_EQ(missing.status, 1);
  EXPECT_THAT(missing.err, HasSubstr("all ngrams for word 中国人 absent from model"));
}

// Runs `command` in a shell; its standard output and error come back.
Result shell(const std::string& command) {
  const std::string base = temp_path();
  const int raw = std::system((command + " > " + base + ".out 2> " + base + ".err").c_str());
  return Result{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(base + ".out"), slurp(base + ".err")};
}

TEST(EmbedCli, ModelsThroughPipesAreReadOrRefusedAtOnce) {
  const std::string cli = KELVRA_CLI_PATH;
  const std::string text = model_file("2 2\n中国 3 4\n人 0 1\n");
  const std::string expected = "{\"word\":\"中国\",\"vector\":[0.6,0.8]}\n";
  // Text and binary word2vec files are read as they come: nothing of their
  // start is lost to a look at it.
  for (const auto& [model, flag] : {std::pair{text, ""}, std::pair{binary_model(), " --binary"}}) {
    auto piped =
        shell("cat " + model + " | " + cli + " embed --model /dev/stdin" + flag + " vector 中国");
    EXPECT_EQ(piped.status, 0) << piped.err;
    EXPECT_EQ(piped.out, expected);
  }
  // A saved store is mapped: through a pipe it is refused, saying why.
  const std::string saved = temp_path(".kvwv");
  ASSERT_EQ(run("embed --model " + text + " save " + saved).status, 0);
  auto saved_piped = shell("cat " + saved + " | " + cli + " embed --model /dev/stdin vector 中国");
  EXPECT_EQ(saved_piped.status, 1);
  EXPECT_THAT(saved_piped.err, HasSubstr("a saved vector store cannot be read from a pipe"));
  EXPECT_THAT(saved_piped.err, ::testing::Not(HasSubstr("try")));
  // A FIFO that nothing writes to is refused at once, not waited on.
  const std::string fifo = temp_path(".fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  auto unfed = shell("timeout 20 " + cli + " embed --model " + fifo + " vector 中国");
  EXPECT_EQ(unfed.status, 1);
  EXPECT_THAT(unfed.err, HasSubstr(fifo + ": cannot read: nothing writes to this pipe"));
  ::unlink(fifo.c_str());
}

TEST(EmbedCli, AModelReadInTheWrongVariantSaysWhichFlagToTry) {
  auto binary_as_text = run("embed --model " + binary_model() + " vector 中国");
  EXPECT_EQ(binary_as_text.status, 1);
  EXPECT_THAT(binary_as_text.err,
              HasSubstr("(the file looks like the binary variant: try --binary)"));
  auto text_as_binary =
      run("embed --model " + model_file("2 2\n中国 3 4\n人 0 1\n") + " --binary vector 中国");
  EXPECT_EQ(text_as_binary.status, 1);
  EXPECT_THAT(text_as_binary.err,
              HasSubstr("(the file looks like the text variant: try without --binary)"));
  // A broken file of the chosen variant gets no hint.
  auto broken = run("embed --model " + model_file("2 2\n中国 3 4\n人 0\n") + " vector 中国");
  EXPECT_THAT(broken.err, ::testing::Not(HasSubstr("try")));
}

TEST(EmbedCli, ASavedStoreAnswersExactlyAsItsWord2vecFile) {
  std::string model =
      model_file("5 3\n中国 3 4 0\n人 0 1 2\n中 1 0 -1\n反 -3 -4 0.5\nzero 0 0 0\n");
  const std::string saved = temp_path(".kvwv");
  auto save = run("embed --model " + model + " save " + saved);
  ASSERT_EQ(save.status, 0) << save.err;
  EXPECT_EQ(save.out, "");
  for (const std::string& args :
       {std::string(" vector 中国 中国人 人中 反人"), std::string(" similar 中国 --topk 9")}) {
    const auto from_text = run("embed --model " + model + args);
    const auto from_saved = run("embed --model " + saved + args);
    ASSERT_EQ(from_saved.status, 0) << from_saved.err;
    EXPECT_EQ(from_saved.out, from_text.out) << args;
  }
  // No flag is needed, and --binary does not mislead it.
  EXPECT_EQ(run("embed --model " + saved + " --binary vector 中").status, 0);
  // A saved store can be saved again, also over itself.
  EXPECT_EQ(run("embed --model " + saved + " save " + saved).status, 0);
  EXPECT_EQ(run("embed --model " + saved + " vector 中国").out,
            "{\"word\":\"中国\",\"vector\":[0.6,0.8,0]}\n");

  // A damaged one is refused with what is wrong, and no hint about --binary.
  std::string bytes = slurp(saved);
  bytes[bytes.size() - 3] ^= 0x40;
  const std::string damaged = write_file(bytes, ".kvwv");
  auto refused = run("embed --model " + damaged + " vector 中国");
  EXPECT_EQ(refused.status, 1);
  EXPECT_THAT(refused.err, HasSubstr(damaged + ": damaged saved vector store: checksum mismatch"));
  EXPECT_THAT(refused.err, ::testing::Not(HasSubstr("try")));
  auto unwritable = run("embed --model " + model + " save " + ::testing::TempDir() + "no/such/dir");
  EXPECT_EQ(unwritable.status, 1);
  EXPECT_THAT(unwritable.err, HasSubstr("cannot create"));
  EXPECT_EQ(run("embed --model " + model + " save").status, 2);  // no OUT
}

}  // namespace
