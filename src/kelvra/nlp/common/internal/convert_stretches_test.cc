#include "kelvra/nlp/common/internal/convert_stretches.h"

#include <cctype>
#include <functional>
#include <stdexcept>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace kelvra::nlp::common::internal {
namespace {

using namespace std::string_literals;

// A converter that reads C strings, as OpenCC does: it stops at NUL. It
// upper-cases, and records each stretch it was handed.
struct CStringConverter {
  std::vector<std::string> calls;
  std::string operator()(std::string_view text) {
    calls.emplace_back(text);
    const std::string c_string(text);
    std::string out;
    for (const char* p = c_string.c_str(); *p != '\0'; ++p)
      out.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(*p))));
    return out;
  }
};

TEST(ConvertStretches, KeepsEveryNulWhereItStood) {
  CStringConverter convert;
  EXPECT_EQ(convert_stretches("ab\0cd\0\0e\0"s, std::ref(convert)), "AB\0CD\0\0E\0"s);
  EXPECT_THAT(convert.calls, ::testing::ElementsAre("ab", "cd", "e"));
  EXPECT_EQ(convert_stretches("\0"s, std::ref(convert)), "\0"s);
  EXPECT_EQ(convert_stretches(std::string(100000, '\0') + "x", std::ref(convert)),
            std::string(100000, '\0') + "X");
}

TEST(ConvertStretches, TextWithoutNulIsOneCall) {
  CStringConverter convert;
  EXPECT_EQ(convert_stretches("abc", std::ref(convert)), "ABC");
  EXPECT_EQ(convert_stretches("", std::ref(convert)), "");
  EXPECT_THAT(convert.calls, ::testing::ElementsAre("abc", ""));
}

TEST(ConvertStretches, FailuresOfTheConverterPassThrough) {
  auto failing = [](std::string_view) -> std::string { throw std::runtime_error("broken"); };
  EXPECT_THROW(convert_stretches("a\0b"s, failing), std::runtime_error);
}

}  // namespace
}  // namespace kelvra::nlp::common::internal
