#include "kelvra/common/utils.h"

#include <cstdio>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "kelvra/common/exceptions.h"

namespace kelvra::common {
namespace {

std::string write_temp(const std::string& name, const std::string& content) {
  std::string path = ::testing::TempDir() + name;
  std::ofstream(path, std::ios::binary) << content;
  return path;
}

TEST(LogUtil, SameNameGivesTheSameLogger) {
  auto a = LogUtil::get_logger("kelvra.test.logger");
  auto b = LogUtil::get_logger("kelvra.test.logger");
  EXPECT_EQ(a, b);
  EXPECT_EQ(a->name(), "kelvra.test.logger");
}

TEST(ConfigUtil, LoadsObjectsInFileOrder) {
  auto path =
      write_temp("config_ok.json", R"({"nlp_client": {"url": "http://x"}, "timeout": null})");
  Record config = ConfigUtil::load(path);
  EXPECT_EQ(config.dump(), R"({"nlp_client":{"url":"http://x"},"timeout":null})");
}

TEST(ConfigUtil, MissingFileNamesThePath) {
  try {
    ConfigUtil::load("/nonexistent/kelvra.json");
    FAIL();
  } catch (const FileError& e) {
    EXPECT_EQ(e.path(), "/nonexistent/kelvra.json");
  }
}

TEST(ConfigUtil, BadJsonNamesTheLine) {
  auto path = write_temp("config_bad.json", "{\n  \"a\": 1,\n  \"b\": oops\n}\n");
  try {
    ConfigUtil::load(path);
    FAIL();
  } catch (const FileError& e) {
    EXPECT_EQ(e.line(), 3);
    EXPECT_NE(std::string(e.what()).find(path + ":3:"), std::string::npos);
  }
  EXPECT_THROW(ConfigUtil::load(write_temp("config_list.json", "[1]")), FileError);
}

TEST(ConfigUtil, RefusesNestingDeeperThanRecordsAllowNamingTheLine) {
  const std::string deep =
      std::string(kMaxRecordDepth + 1, '[') + std::string(kMaxRecordDepth + 1, ']');
  auto path = write_temp("config_deep.json", "{\n  \"a\": 1,\n  \"b\": " + deep + "\n}\n");
  try {
    ConfigUtil::load(path);
    FAIL();
  } catch (const FileError& e) {
    EXPECT_EQ(e.line(), 3);
    EXPECT_NE(std::string(e.what()).find("nested deeper than 1000 levels"), std::string::npos)
        << e.what();
  }
  const std::string allowed =
      std::string(kMaxRecordDepth - 1, '[') + std::string(kMaxRecordDepth - 1, ']');
  EXPECT_TRUE(
      ConfigUtil::load(write_temp("config_ok.json", "{\"b\": " + allowed + "}")).is_object());
}

// Each used to pass through as something else: a C++ library's "basic_filebuf::underflow" for a
// directory, the first record alone for a NUL, memory filled for /dev/zero.
TEST(ConfigUtil, RegressionDirectoriesNulBytesAndEndlessFilesAreRefusedByName) {
  const std::pair<std::string, std::string> cases[] = {
      {::testing::TempDir(), ": is a directory, not a configuration file"},
      {write_temp("config_nul.json", std::string("{\"a\": 1}\n\0{\"b\": 2}", 19)),
       ":2: not valid JSON at column 1: a NUL byte"},
      {write_temp("config_huge_number.json", "{\"timeout\": 1e999}"),
       ":1: not valid JSON at column 13: the number 1e999 is too large to hold"},
      {"/dev/zero", ": larger than 16 MiB, which no configuration file is"},
  };
  for (const auto& [path, message] : cases) {
    try {
      ConfigUtil::load(path);
      ADD_FAILURE() << path;
    } catch (const FileError& e) {
      EXPECT_EQ(e.path(), path);
      EXPECT_NE(std::string(e.what()).find(path + message), std::string::npos) << e.what();
    }
  }
}

}  // namespace
}  // namespace kelvra::common
