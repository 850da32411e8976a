// Runs `kelvra-nlp annotate` against a small NLP service on a loopback port.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cli/cli_test_util.h"
#include "kelvra/common/record.h"
#include "kvc/sdk/test_service.h"

namespace {

using namespace kelvra::cli::testing;

using kvc::sdk::TestService;
using ::testing::HasSubstr;

// The number of lines of `text`, counting a last line without a line feed.
std::size_t line_count(const std::string& text) {
  std::size_t lines = 0;
  for (char c : text) lines += c == '\n';
  return lines + (!text.empty() && text.back() != '\n');
}

TEST(AnnotateCommand, PrintsTheFeatureSetsOfTheWholeInput) {
  TestService service;
  auto result = run("annotate --url " + service.url() + " --types WORD,NER", "hello world");
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(
      result.out,
      R"({"words":[{"id":0,"text":"hello","offset":0,"length":5,"pos":"X","sentence_id":null,)"
      R"("clause_id":null,"parent":null,"relation":null},{"id":1,"text":"world","offset":6,)"
      R"("length":5,"pos":"X","sentence_id":null,"clause_id":null,"parent":null,)"
      R"("relation":null}],"nes":[]})"
      "\n");
  EXPECT_EQ(service.last_request().dump(),
            R"({"text":"hello world","types":["WORD","NER"],"lang":"zh_cn","tag":{}})");

  auto list = run("annotate --url " + service.url() + "/ --types WORD", "list");
  ASSERT_EQ(list.status, 0) << list.err;
  EXPECT_EQ(json_lines(list.out).size(), 2u);
}

TEST(AnnotateCommand, ReadsAConfigurationFile) {
  TestService service;
  std::string config = ::testing::TempDir() + "annotate_config.json";
  std::ofstream(config) << R"({"kvcloud_url": ")" << service.url()
                        << R"(", "tag": {"domain": "news"}})";
  std::string input = ::testing::TempDir() + "annotate_input.txt";
  std::ofstream(input) << "a b c";
  auto result = run("annotate --config " + config + " --types POS " + input);
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(json_lines(result.out).at(0)["words"].size(), 3u);
  EXPECT_EQ(service.last_request()["tag"]["domain"], "news");

  auto directory = run("annotate --config " + ::testing::TempDir() + " --types WORD", "x");
  EXPECT_EQ(directory.status, 1);
  EXPECT_THAT(directory.err, HasSubstr("--config " + ::testing::TempDir() + ": is a directory"));

  auto missing = run("annotate --config /nonexistent/annotate.json --types WORD", "x");
  EXPECT_EQ(missing.status, 1);
  EXPECT_THAT(missing.err, HasSubstr("/nonexistent/annotate.json"));
}

TEST(AnnotateCommand, ServiceFailuresAreOneLineNamingTheUrl) {
  std::string gone_url;
  {
    TestService gone;
    gone_url = gone.url();
  }
  auto unreachable = run("annotate --url " + gone_url + " --types WORD", "x");
  EXPECT_EQ(unreachable.status, 1);
  EXPECT_THAT(unreachable.err, HasSubstr(gone_url + "/features"));
  EXPECT_EQ(line_count(unreachable.err), 1u) << unreachable.err;
  EXPECT_EQ(unreachable.out, "");

  TestService service;
  auto stalled = run("annotate --url " + service.url() + " --timeout 0.3 --types WORD", "stall");
  EXPECT_EQ(stalled.status, 1);
  EXPECT_THAT(stalled.err, HasSubstr(service.url() + "/features: no answer within the time-out"));
  EXPECT_EQ(line_count(stalled.err), 1u) << stalled.err;
  EXPECT_FALSE(service.stall_answered());

  auto failing = run("annotate --url " + service.url() + " --types WORD", "fail");
  EXPECT_EQ(failing.status, 1);
  EXPECT_THAT(failing.err, HasSubstr("status 500"));
  EXPECT_EQ(line_count(failing.err), 1u) << failing.err;
}

TEST(AnnotateCommand, HugeTimeOutAndAnswerCap) {
  TestService service;
  auto patient = run("annotate --url " + service.url() + " --types WORD --timeout 1e10", "a b");
  EXPECT_EQ(patient.status, 0) << patient.err;

  std::string config = ::testing::TempDir() + "annotate_cap.json";
  std::ofstream(config) << R"({"kvcloud_url": ")" << service.url()
                        << R"(", "max_answer_bytes": 50})";
  auto capped = run("annotate --config " + config + " --types WORD", "a b c d e f g h");
  EXPECT_EQ(capped.status, 1);
  EXPECT_THAT(capped.err, HasSubstr(service.url() +
                                    "/features: the answer is larger than the cap of 50 bytes"));
}

// Each used to pass: a service trickling its headers kept annotate waiting
// far past --timeout, positions outside the text were printed, and a 500
// under a small cap was reported as "larger than the cap".
TEST(AnnotateCommand, RegressionHostileServicesEndWithOneClearLine) {
  kvc::sdk::RawService trickling([](int fd, const std::atomic<bool>& stopping) {
    kvc::sdk::RawService::read_request(fd);
    bool open = kvc::sdk::RawService::send_all(fd, "HTTP/1.1 200 OK\r\n");
    for (int i = 0; open && !stopping && i < 400; ++i) {
      open = kvc::sdk::RawService::send_all(fd, "X-Slow: 1\r\n");
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  TestService service;
  std::string capped = ::testing::TempDir() + "annotate_small_cap.json";
  std::ofstream(capped) << R"({"kvcloud_url": ")" << service.url()
                        << R"(", "max_answer_bytes": 10})";
  const std::pair<std::string, std::string> cases[] = {
      {"--url " + trickling.url() + " --timeout 0.5",
       trickling.url() +
           "/features: no answer within the time-out of 0.5 s (while reading the answer's headers"},
      {"--url " + service.url(),
       service.url() + "/features: the answer's word 0 lies outside the text of "},
      {"--config " + capped,
       service.url() + "/features: answered with status 500: model crashed see the log"},
  };
  const std::string inputs[] = {
      "x", R"(echo:{"words":[{"id":0,"text":"x","offset":1e15,"length":2}]})", "fail"};
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    auto result = run("annotate " + cases[i].first + " --types WORD", inputs[i]);
    EXPECT_EQ(result.status, 1) << result.err;
    EXPECT_THAT(result.err, HasSubstr(cases[i].second));
    EXPECT_EQ(line_count(result.err), 1u) << result.err;
    EXPECT_EQ(result.out, "");
  }
}

TEST(AnnotateCommand, BadArguments) {
  auto unknown_type = run("annotate --url http://127.0.0.1:1 --types WORD,VERB", "x");
  EXPECT_EQ(unknown_type.status, 1);
  EXPECT_THAT(unknown_type.err, HasSubstr("unknown feature type `VERB`"));

  auto bad_url = run("annotate --url localhost:80 --types WORD", "x");
  EXPECT_EQ(bad_url.status, 1);
  EXPECT_THAT(bad_url.err, HasSubstr("url `localhost:80`"));

  for (const std::string timeout : {"-1", "0", "nan", "soon"}) {
    auto bad_timeout = run("annotate --url http://h --types WORD --timeout " + timeout, "x");
    EXPECT_EQ(bad_timeout.status, 2) << timeout;
    EXPECT_THAT(bad_timeout.err,
                HasSubstr("--timeout: must be a positive number of seconds, got " + timeout));
  }

  EXPECT_EQ(run("annotate --types WORD", "x").status, 2);
  EXPECT_EQ(run("annotate --url http://h --config c.json --types WORD", "x").status, 2);
  EXPECT_EQ(run("annotate --url http://h", "x").status, 2);
}

}  // namespace
