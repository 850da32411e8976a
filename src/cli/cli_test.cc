// Runs the kelvra-nlp binary as a user would and checks what it prints.
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cli/cli_test_util.h"
#include "kelvra/common/record.h"

namespace {

using namespace kelvra::cli::testing;

using ::testing::HasSubstr;
using ::testing::Not;

TEST(Cli, SplitPrintsOneSentenceRecordPerLine) {
  auto result = run("split", "你好。再见！");
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(
      result.out,
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

  auto missing_key = run("stitch --type ner", "{\"offset\":0,\"nes\":[]}\n{\"nes\":[]}\n");
  EXPECT_EQ(missing_key.status, 1);
  EXPECT_THAT(missing_key.err, HasSubstr("stdin:2: missing key 'offset'"));
  EXPECT_EQ(missing_key.out, "");

  auto missing_file = run("split /nonexistent/input.txt");
  EXPECT_EQ(missing_file.status, 1);
  EXPECT_THAT(missing_file.err, HasSubstr("/nonexistent/input.txt"));

  // A directory where a file belongs is named.
  auto directory = run("normalize " + ::testing::TempDir());
  EXPECT_EQ(directory.status, 1);
  EXPECT_THAT(directory.err, HasSubstr(::testing::TempDir() + ": is a directory, not a file"));
}

// Records nested 60,000 levels deep used to crash stitch, section and glean
// (the copies and prints recurse); they are refused where they are parsed.
TEST(Cli, RegressionDeeplyNestedRecordsAreRefusedNotCrashed) {
  const std::string deep = std::string(60000, '[') + std::string(60000, ']');
  auto stitch = run("stitch --type ner",
                    "{\"offset\":0,\"nes\":[]}\n{\"offset\":0,\"nes\":[" + deep + "]}\n");
  EXPECT_EQ(stitch.status, 1);
  EXPECT_EQ(stitch.err, "kelvra-nlp: stdin:2: JSON nested deeper than 1000 levels\n");
  EXPECT_EQ(stitch.out, "");
  auto section =
      run("section --type relation --length 5",
          "{\"text\":\"ab\",\n\"nes\":[{\"offset\":0,\"length\":1,\"x\":" + deep + "}]}");
  EXPECT_EQ(section.status, 1);
  EXPECT_THAT(section.err, HasSubstr("stdin:2: JSON nested deeper than 1000 levels"));
  auto glean =
      run("glean",
          "{\"text\":\"ab\",\"entities\":[{\"text\":\"a\",\"offset\":0,\"length\":1,\"x\":" + deep +
              "}]}");
  EXPECT_EQ(glean.status, 1);
  EXPECT_THAT(glean.err, HasSubstr("stdin:1: JSON nested deeper than 1000 levels"));

  // Up to the limit the records go through whole.
  const std::string limit = std::string(997, '[') + std::string(997, ']');
  auto deep_ok = run(
      "glean", "{\"text\":\"ab\",\"entities\":[{\"text\":\"a\",\"offset\":0,\"length\":1,\"x\":" +
                   limit + "}]}");
  ASSERT_EQ(deep_ok.status, 0) << deep_ok.err;
  EXPECT_THAT(deep_ok.out, HasSubstr(limit));
}

TEST(Cli, UsageErrorsNameTheOptionAndValueAndExitWithTwo) {
  EXPECT_EQ(run("").status, 2);
  EXPECT_EQ(run("section --length 5").status, 2);
  auto help = run("--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_THAT(help.out, HasSubstr("section"));

  auto bogus = run("bogus");
  EXPECT_EQ(bogus.status, 2);
  EXPECT_THAT(bogus.err, HasSubstr("unknown subcommand 'bogus'"));
  EXPECT_THAT(bogus.err, HasSubstr("split"));

  const std::pair<std::string, std::string> cases[] = {
      {"split --max-len -1", "--max-len: must be at least 0, got -1"},
      {"section --type NER --length 5", "--type: must be one of ner, relation, got NER"},
      {"section --type ner --length 0", "--length: must be at least 1, got 0"},
      {"normalize --jobs 0", "--jobs: must be at least 1, got 0"},
      {"stitch --type ner --jobs two", "--jobs: must be a whole number from 1 to "},
      // Thousands of threads only cost memory; past 64 bits, the same words.
      {"split --jsonl --jobs 100000", "--jobs: must be a whole number from 1 to "},
      {"split --jsonl --jobs 2147483648", "got 2147483648"},
      {"split --jsonl --jobs 99999999999999999999", "--jobs: must be a whole number from 1 to "},
      {"split --punct \"$(printf '\\377')\"", "--punct: not valid UTF-8"},
  };
  for (const auto& [args, message] : cases) {
    auto result = run(args, "abc");
    EXPECT_EQ(result.status, 2) << args;
    EXPECT_THAT(result.err, HasSubstr(message)) << args;
    EXPECT_EQ(result.out, "") << args;
  }
  EXPECT_THAT(run("split --help").out, HasSubstr("0 means the default, 510"));
}

// An unset shell variable gives an empty value: it must never mean
// standard input, "no member" or "nothing to save", and a --field that
// names a member the subcommand writes would lose the text it holds.
TEST(Cli, EmptyNamesAndFieldsOverwrittenByTheOutputAreUsageErrors) {
  const std::string dict = write_file("北京\n");
  const std::string doc = "{\"id\":1,\"text\":\"佢哋食緊飯\",\"translation\":\"x\"}\n";
  const std::pair<std::string, std::string> cases[] = {
      {"match --dict ''", "--dict: must not be empty"},
      {"match --automaton ''", "--automaton: must not be empty"},
      {"match --dict " + dict + " --save-automaton ''", "--save-automaton: must not be empty"},
      {"match --dict " + dict + " --jsonl --attach ''", "--attach: must not be empty"},
      {"match --dict " + dict + " --jsonl --field ''", "--field: must not be empty"},
      {"match --dict " + dict + " ''", "FILE: must not be empty"},
      {"split ''", "FILE: must not be empty"},
      {"section --type ner --length 5 --jsonl --drop ''", "--drop: must not be empty"},
      {"stitch --type ner --carry ''", "--carry: must not be empty"},
      {"cantonese --dict ''", "--dict: must not be empty"},
      {"cantonese --rules ''", "--rules: must not be empty"},
      {"embed --model '' vector 中国", "--model: must not be empty"},
      {"annotate --config '' --types ner", "--config: must not be empty"},
      {"cantonese --jsonl --field translation", "--field: \"translation\" is a member this"},
      {"cantonese --jsonl --explain --field rewrites", "--field: \"rewrites\" is a member"},
      {"normalize --jsonl --field normalized_text", "--field: \"normalized_text\" is a member"},
      {"normalize --jsonl --field alter_words", "--field: \"alter_words\" is a member"},
      {"match --dict " + dict + " --jsonl --attach nes --field nes", "--field: \"nes\" is a"},
  };
  for (const auto& [args, message] : cases) {
    auto result = run(args, doc);
    EXPECT_EQ(result.status, 2) << args << "\n" << result.err;
    EXPECT_THAT(result.err, HasSubstr(message)) << args;
    EXPECT_EQ(result.out, "") << args;
  }
}

TEST(Cli, OutputThatCannotBeWrittenIsAFailure) {
  auto full = run("split", "你好。再见！", "/dev/full");
  EXPECT_EQ(full.status, 1);
  EXPECT_THAT(full.err, HasSubstr("cannot write the output: No space left on device"));
  auto streamed = run("normalize --jobs 2", "a\nb\n", "/dev/full");
  EXPECT_EQ(streamed.status, 1);
  EXPECT_THAT(streamed.err, HasSubstr("cannot write the output"));
}

// --- the JSON Lines reader, and whole-file records ---

// A NUL byte after a complete record used to end the record silently: the
// rest of the line was dropped, the run succeeded, --skip-bad saw nothing.
TEST(Cli, RegressionNulByteAfterARecordIsBadInputEverywhere) {
  const std::string dict = write_file("城东\n");
  const std::string nul(1, '\0');
  const std::pair<std::string, std::string> cases[] = {
      {"split --jsonl", R"({"text":"城东。"})"},
      {"section --jsonl --type ner --length 5", R"({"text":"城东。"})"},
      {"section --jsonl --type relation --length 5", R"({"text":"城东。","nes":[]})"},
      {"match --jsonl --dict " + dict, R"({"text":"城东。"})"},
      {"stitch --type ner", R"({"offset":0,"nes":[]})"},
  };
  for (const auto& [command, record] : cases) {
    const std::string bad = record + nul + R"({"text":"more"})";
    auto stopped = run(command, record + "\n" + bad + "\n");
    EXPECT_EQ(stopped.status, 1) << command;
    EXPECT_EQ(stopped.err,
              "kelvra-nlp: stdin:2: not valid JSON at column " + std::to_string(record.size() + 1) +
                  ": a NUL byte, which JSON allows only escaped, as \\u0000 inside a string\n")
        << command;
    auto skipped = run(command + " --skip-bad", bad + "\n" + record + "\n");
    EXPECT_EQ(skipped.status, 0) << command;
    EXPECT_THAT(skipped.err, HasSubstr("stdin:1: not valid JSON at column")) << command;
    EXPECT_EQ(skipped.out, run(command, record).out) << command;
  }
  for (const std::string command : {"glean", "section --type relation --length 5"}) {
    auto whole =
        run(command, std::string(R"({"text":"a\nb","nes":[],"entities":[]})") + nul + "{}");
    EXPECT_EQ(whole.status, 1) << command;
    EXPECT_THAT(whole.err, HasSubstr("stdin:1: not valid JSON at column 39: a NUL byte"))
        << command;
  }
}

TEST(Cli, WholeFileRecordsFailNamingTheFileInOurWords) {
  const std::string relation =
      write_file(R"({"text":"ab","nes":[{"offset":"z","length":1}]})", ".json");
  auto section = run("section --type relation --length 5 " + relation);
  EXPECT_EQ(section.status, 1);
  EXPECT_EQ(section.err,
            "kelvra-nlp: " + relation + ": parameter `offset` must be a number, got string\n");
  const std::string document =
      write_file(R"({"text":"ab","entities":[{"name":"a","offset":0,"length":1}]})", ".json");
  auto glean = run("glean " + document);
  EXPECT_EQ(glean.status, 1);
  EXPECT_THAT(glean.err, HasSubstr("kelvra-nlp: " + document + ": "));
  auto huge = run("glean", R"({"text":"ab","entities":[{"offset":1e999}]})");
  EXPECT_EQ(
      huge.err,
      "kelvra-nlp: stdin:1: not valid JSON at column 36: the number 1e999 is too large to hold\n");
  auto not_text = run("match --jsonl --dict " + write_file("a\n"), "{\"text\":1}\n");
  EXPECT_THAT(not_text.err, HasSubstr("stdin:1: \"text\" must be a string, got an integer"));
  for (const auto& result : {section, glean, huge, not_text})
    EXPECT_THAT(result.err, Not(HasSubstr("json.exception")));
}

// --- streams: lines in batches, on several threads ---

// Lines of mixed text, some traditional, some with control and full-width
// characters, a few empty: `count` of them, about 1.7 MB (two batches) for 4000.
std::string mixed_lines(int count) {
  static const char* parts[] = {
      "頭髮乾燥，", "我們後來去了臺灣。", "ＡＢＣ１２３", "\t", "plain ascii words ", "😀", "“引号”",
      "\u2028"};
  std::string text;
  for (int i = 0; i < count; ++i) {
    if (i % 97 == 0) {
      text += "\n";
      continue;
    }
    for (int j = 0; j < 20 + i % 30; ++j) text += parts[(i * 7 + j * 3) % std::size(parts)];
    text += i % 5 == 0 ? "\r\n" : "\n";
  }
  return text;
}

TEST(Cli, JobsGiveTheSameBytesAsOneJob) {
  const std::string path = write_file(mixed_lines(4000));
  for (const std::string command : {"normalize", "cantonese"}) {
    auto one = run(command + " --jobs 1 " + path);
    auto two = run(command + " --jobs 2 " + path);
    ASSERT_EQ(one.status, 0) << one.err;
    ASSERT_EQ(two.status, 0) << two.err;
    EXPECT_EQ(std::count(one.out.begin(), one.out.end(), '\n'), 4000);
    EXPECT_TRUE(one.out == two.out) << command << ": --jobs 2 differs from --jobs 1";
  }
}

// Text that carries the sentence walk's state across the places where a
// long text is cut into pieces (a quarter of a megabyte) and lines into
// batches (a megabyte): ordinary prose with enders, closing quotes after them and brackets
// of both kinds, between stretches of one of these kinds, each longer than a
// piece: a bracket left open (the walk is suspended, cut only at the length
// cap), closing brackets with no opening one (the depth stays below zero for
// a while), and no ender at all, each kind in turn.
const char* const kPlain[] = {"甲", "乙", "江", "城", "雨", "a", "b", " ", "😀", "，", "頭", "Ａ"};

// Appends about `size` bytes of prose: enders, closing quotes after some,
// and brackets, closed a few characters later (an ender may come between),
// but for one in ten thousand.
void append_prose(std::mt19937& rng, std::string& text, std::size_t size) {
  static const char* enders[] = {"。", "！", "？", "\n", "；"};
  int open = 0;  // characters until the open bracket closes, or 0
  for (const std::size_t end = text.size() + size; text.size() < end;) {
    const unsigned kind = rng() % 100;
    if (open > 0 && --open == 0) {
      text += rng() % 2 ? "」" : "】";
    } else if (kind < 80) {
      text += kPlain[rng() % std::size(kPlain)];
    } else if (kind < 95) {
      text += enders[rng() % std::size(enders)];
      if (rng() % 4 == 0) text += rng() % 2 ? "”" : "’";
    } else if (open == 0) {
      text += rng() % 2 ? "「" : "【";
      open = 1 + static_cast<int>(rng() % 12);
    }
    if (rng() % 10000 == 0) text += rng() % 2 ? "「" : "」";
  }
}

std::string piece_crossing_text(std::mt19937& rng, std::size_t bytes) {
  auto prose = [&](std::string& text, std::size_t size) { append_prose(rng, text, size); };
  std::string text;
  for (unsigned kind = rng(); text.size() < bytes; ++kind) {
    prose(text, 100'000 + rng() % 400'000);
    const std::size_t stretch = (std::size_t{1} << 20) + rng() % 300'000;
    switch (kind % 3) {
      case 0:  // open for longer than a piece, then perhaps closed
        text += "「";
        prose(text, stretch);
        if (rng() % 2) text += "」";
        break;
      case 1:  // below zero for a while
        text += "」】";
        prose(text, stretch);
        text += "【「";
        break;
      default:  // no ender
        for (const std::size_t end = text.size() + stretch; text.size() < end;)
          text += kPlain[rng() % 5];
    }
  }
  return text;
}

TEST(Cli, JobsGiveTheSameBytesOnTextsCrossingPieces) {
  std::mt19937 rng(2024);
  for (int round = 0; round < 3; ++round) {
    // Over 8 MB once, so that the file is also read in parts.
    const std::string path =
        write_file(piece_crossing_text(rng, round == 0 ? (9u << 20) : (4u << 20)));
    std::vector<std::string> commands{"split", "section --type ner --length 100"};
    if (round > 0) {
      commands.push_back("split --max-len 7 --punct 。！");
      commands.push_back("section --type ner --length 510");
    }
    for (const std::string& command : commands) {
      auto one = run(command + " --jobs 1 " + path);
      auto three = run(command + " --jobs 3 " + path);
      ASSERT_EQ(one.status, 0) << one.err;
      ASSERT_EQ(three.status, 0) << three.err;
      EXPECT_GT(one.out.size(), 1000000u);
      EXPECT_TRUE(one.out == three.out) << command << ", round " << round << ": --jobs 3 differs";
    }
  }
}

TEST(Cli, JobsGiveTheSameBytesForEveryLineSubcommand) {
  std::mt19937 rng(77);
  std::string documents;
  for (int n = 0; documents.size() < (3u << 19); ++n) {
    std::string text;
    append_prose(rng, text, rng() % 3000);
    kelvra::Record document{{"doc", n}, {"text", text}};
    if (n % 3 == 0) document["offset"] = n;
    documents += document.dump() + "\n";
  }
  const std::string input = write_file(documents, ".jsonl");
  const std::string dictionary = write_file("江城\n雨\n甲乙\nab\n頭\n");
  const std::string segments =
      write_file(run("section --jsonl --type ner --length 40 " + input).out, ".jsonl");
  const std::string filled = write_file(
      run("match --jsonl --attach nes --dict " + dictionary + " " + segments).out, ".jsonl");
  for (const std::string& command :
       {"normalize --jsonl " + input, "cantonese --jsonl --explain " + input,
        "split --jsonl " + input, "section --jsonl --type ner --length 40 " + input,
        "match --jsonl --dict " + dictionary + " " + input,
        "match --jsonl --attach nes --dict " + dictionary + " " + segments,
        "stitch --type ner --carry doc " + filled}) {
    auto one = run(command + " --jobs 1");
    auto three = run(command + " --jobs 3");
    ASSERT_EQ(one.status, 0) << command << ": " << one.err;
    ASSERT_EQ(three.status, 0) << command << ": " << three.err;
    EXPECT_GT(one.out.size(), 100000u) << command;
    EXPECT_TRUE(one.out == three.out) << command << ": --jobs 3 differs";
  }
}

TEST(Cli, StreamedRunEqualsRunsOverItsParts) {
  // More than one batch: the output must not depend on where batches end.
  const std::string text = mixed_lines(4000);
  const std::size_t middle = text.find('\n', text.size() / 2) + 1;
  auto whole = run("normalize --jobs 2", text);
  auto first = run("normalize --jobs 1", text.substr(0, middle));
  auto second = run("normalize --jobs 1", text.substr(middle));
  ASSERT_EQ(whole.status, 0) << whole.err;
  EXPECT_TRUE(whole.out == first.out + second.out);
  for (const auto& record : json_lines(whole.out)) ASSERT_TRUE(record.is_object());
}

TEST(Cli, BadLineStopsAfterWhatCameBeforeOrIsSkipped) {
  // The bad line sits in a later batch than the first, on several threads.
  std::string text = mixed_lines(4000);
  std::size_t lines_before = 0, at = 0;
  while (at < text.size() * 3 / 4) {
    at = text.find('\n', at) + 1;
    ++lines_before;
  }
  text.insert(at, "bad \xC3\x28 byte\n");
  auto stopped = run("normalize --jobs 2", text);
  EXPECT_EQ(stopped.status, 1);
  EXPECT_THAT(stopped.err, HasSubstr("stdin:" + std::to_string(lines_before + 1) +
                                     ": input is not valid UTF-8"));
  EXPECT_EQ(json_lines(stopped.out).size(), lines_before);

  auto skipped = run("normalize --jobs 2 --skip-bad", text);
  EXPECT_EQ(skipped.status, 0);
  EXPECT_EQ(json_lines(skipped.out).size(), 4000u);
  EXPECT_THAT(skipped.err, HasSubstr("(skipped)"));
  EXPECT_THAT(skipped.err, ::testing::EndsWith("kelvra-nlp: skipped 1 bad line\n"));

  auto jsonl = run("split --jsonl --skip-bad",
                   "{\"text\":\"一。\"}\n[1]\n{\"text\":2}\n{oops\n{\"id\":1,\"text\":\"二。\"}\n");
  EXPECT_EQ(jsonl.status, 0);
  EXPECT_EQ(json_lines(jsonl.out).size(), 1u);
  EXPECT_THAT(jsonl.err, HasSubstr("stdin:2: a document must be a JSON object"));
  EXPECT_THAT(jsonl.err, HasSubstr("stdin:3: \"text\" must be a string"));
  EXPECT_THAT(jsonl.err, HasSubstr("stdin:4: not valid JSON"));
  EXPECT_THAT(jsonl.err, HasSubstr("stdin:5: the document's \"id\" would clash"));
  EXPECT_THAT(jsonl.err, ::testing::EndsWith("skipped 4 bad lines\n"));
}

TEST(Cli, ProgressGoesToStandardErrorOnly) {
  const std::string path = write_file(mixed_lines(3000));
  auto quiet = run("normalize --quiet " + path);
  auto shown = run("normalize --progress " + path);
  ASSERT_EQ(shown.status, 0) << shown.err;
  EXPECT_TRUE(shown.out == quiet.out);
  EXPECT_THAT(shown.err, HasSubstr("normalize: "));
  EXPECT_THAT(shown.err, HasSubstr("B/s"));  // kB/s or MB/s, as the machine goes
  EXPECT_EQ(quiet.err, "");
  // Not a terminal and not forced: nothing.
  EXPECT_EQ(run("normalize " + path).err, "");
  EXPECT_EQ(run("normalize --progress --quiet " + path).status, 2);
}

}  // namespace
