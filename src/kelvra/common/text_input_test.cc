#include "kelvra/common/text_input.h"

#include <fstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "kelvra/common/exceptions.h"

namespace kelvra::common::text_input {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

std::vector<std::string> lines_of(std::string_view text, LineEnd ends) {
  std::vector<std::string> out;
  Lines lines(text, ends);
  for (std::string_view line; lines.next(line);) {
    // Each line is the text at its place, numbered in order.
    EXPECT_EQ(text.substr(lines.begin(), line.size()), line);
    EXPECT_EQ(lines.number(), static_cast<std::int64_t>(out.size()) + 1);
    out.emplace_back(line);
  }
  return out;
}

TEST(Lines, BothRulesOnEveryKindOfLineEnd) {
  struct Case {
    std::string_view text;
    std::vector<std::string> line_feed, any;
  };
  const Case cases[] = {
      {"", {}, {}},
      {"a", {"a"}, {"a"}},
      {"a\n", {"a"}, {"a"}},
      {"a\n\n", {"a", ""}, {"a", ""}},
      {"\n", {""}, {""}},
      {"a\r\nb", {"a", "b"}, {"a", "b"}},
      {"a\rb\r", {"a\rb"}, {"a", "b"}},
      {"a\r\r\nb", {"a\r", "b"}, {"a", "", "b"}},
      {"a\n\rb", {"a", "\rb"}, {"a", "", "b"}},
      {"\r", {""}, {""}},
      {std::string_view("a \t\n\0z", 6),
       {"a \t", std::string("\0z", 2)},
       {"a \t", std::string("\0z", 2)}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(lines_of(c.text, LineEnd::kLineFeed), c.line_feed) << testing::PrintToString(c.text);
    EXPECT_EQ(lines_of(c.text, LineEnd::kAny), c.any) << testing::PrintToString(c.text);
  }
  std::string_view line = "kept";
  Lines done("", LineEnd::kAny);
  EXPECT_FALSE(done.next(line));
  EXPECT_EQ(line, "kept");
}

TEST(WordList, FirstFieldOfEachLineOnAwkwardLines) {
  // A byte order mark, blanks and tabs after the word, CRLF, an empty line, a
  // line that starts with a blank, the ideographic space (part of the word),
  // a CR inside a line (text) and one ending the file.
  EXPECT_THAT(
      word_list(
          "\xEF\xBB\xBF北京 10 ns\r\n上海\t9\n\n \n\t欢迎\n欢迎  \r\n甲\u3000乙 3\na\rb\nABC\r"),
      ElementsAre("北京", "上海", "欢迎", "甲\u3000乙", "a\rb", "ABC"));
  EXPECT_THAT(word_list(""), ElementsAre());
  EXPECT_THAT(word_list("\xEF\xBB\xBF"), ElementsAre());
  // A byte order mark only counts at the very start.
  EXPECT_THAT(word_list("a\n\xEF\xBB\xBF"
                        "b"),
              ElementsAre("a",
                          "\xEF\xBB\xBF"
                          "b"));
  EXPECT_EQ(without_byte_order_mark("\xEF\xBB\xBF\xEF\xBB\xBFx"), "\xEF\xBB\xBFx");
}

TEST(ReadFile, EveryByteOrAFileErrorNamingThePath) {
  const std::string path = ::testing::TempDir() + "text_input_read";
  // Larger than one read block, with bytes that no text reader may touch.
  std::string content(200000, 'x');
  content.replace(70000, 5, std::string("\0\r\n\xFF\n", 5));
  std::ofstream(path, std::ios::binary) << content;
  EXPECT_EQ(read_file(path, "word list"), content);
  for (const std::string& bad : {path + ".missing", ::testing::TempDir()}) {
    try {
      read_file(bad, "word list");
      ADD_FAILURE() << bad;
    } catch (const FileError& e) {
      EXPECT_EQ(e.path(), bad);
      EXPECT_THAT(e.what(), HasSubstr("word list"));
    }
  }
}

}  // namespace
}  // namespace kelvra::common::text_input
