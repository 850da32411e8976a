// Test helpers for the command-line tests: run the built kelvra-nlp (its
// path comes in as KELVRA_CLI_PATH) as a user would, and read what it
// printed.
#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "kelvra/common/record.h"

namespace kelvra::cli::testing {

struct Result {
  int status;  // the exit status, or -1 when the command did not exit
  std::string out;
  std::string err;
};

inline std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// A fresh path in the test's temporary folder. Tests run as separate
// processes at once, so the name carries the suite and test names.
inline std::string temp_path(std::string_view suffix = "") {
  static int counter = 0;
  const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
  return ::testing::TempDir() + "kelvra_cli_" + test->test_suite_name() + "_" + test->name() + "_" +
         std::to_string(counter++) + std::string(suffix);
}

// A new file holding `content`; returns its path.
inline std::string write_file(const std::string& content, std::string_view suffix = ".txt") {
  std::string path = temp_path(suffix);
  std::ofstream(path, std::ios::binary) << content;
  return path;
}

// Runs `kelvra-nlp ARGS` with `input` on standard input. Standard output
// goes to `output` when given (e.g. /dev/full), else it is read back.
inline Result run(const std::string& args, const std::string& input = "",
                  const std::string& output = "") {
  std::string base = temp_path();
  std::ofstream(base + ".in", std::ios::binary) << input;
  const std::string out_path = output.empty() ? base + ".out" : output;
  std::string command = std::string(KELVRA_CLI_PATH) + " " + args + " < " + base + ".in > " +
                        out_path + " 2> " + base + ".err";
  int raw = std::system(command.c_str());
  return Result{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, output.empty() ? slurp(out_path) : "",
                slurp(base + ".err")};
}

// The records of JSON Lines output.
inline std::vector<Record> json_lines(const std::string& out) {
  std::vector<Record> records;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) records.push_back(Record::parse(line));
  return records;
}

}  // namespace kelvra::cli::testing
