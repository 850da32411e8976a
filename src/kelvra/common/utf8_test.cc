#include "kelvra/common/utf8.h"

#include <random>

#include <gtest/gtest.h>

#include "kelvra/common/exceptions.h"

namespace kelvra::common::utf8 {
namespace {

TEST(Utf8, RejectsIllFormedSequences) {
  EXPECT_EQ(find_invalid("plain ascii, long enough to take the fast path"), npos);
  EXPECT_EQ(find_invalid("你好😀"), npos);
  EXPECT_EQ(find_invalid("ab\xC0\xAF"), 2u);          // overlong '/'
  EXPECT_EQ(find_invalid("\xED\xA0\x80"), 0u);        // a surrogate
  EXPECT_EQ(find_invalid("\xF4\x90\x80\x80"), 0u);    // above U+10FFFF
  EXPECT_EQ(find_invalid("abcdefgh\xE4\xBD"), 8u);    // truncated at the end
  EXPECT_EQ(find_invalid("\x80"), 0u);                // lone continuation
}

TEST(Utf8, RequireValidNamesTheParameter) {
  try {
    require_valid("ok\xFF", "text");
    FAIL();
  } catch (const TypeError& e) {
    EXPECT_EQ(e.parameter(), "text");
    EXPECT_NE(std::string(e.what()).find("offset 2"), std::string::npos);
  }
}

TEST(Utf8, DecodeEncodeRoundTripAcrossAllSequenceSizes) {
  std::string text = "a\u00e9\u4f60\U0001F600";
  std::u32string cps = decode(text, "text");
  EXPECT_EQ(cps, U"a\u00e9\u4f60\U0001F600");
  EXPECT_EQ(encode(cps), text);
  EXPECT_EQ(length(text), 4u);
}

TEST(Utf8, SubstrCountsCodePoints) {
  std::string_view text = "a你b😀c";
  EXPECT_EQ(substr(text, 1, 3), "你b😀");
  EXPECT_EQ(substr(text, 4, 10), "c");
  EXPECT_EQ(substr(text, 9, 1), "");
  EXPECT_EQ(advance(text, 0, 2), 4u);
}

TEST(Utf8, RandomBytesNeverValidateWhenTheDecoderWouldMisread) {
  // Whatever find_invalid accepts must re-encode to the same bytes.
  std::mt19937 rng(7);
  for (int round = 0; round < 2000; ++round) {
    std::string bytes;
    for (int i = 0; i < 12; ++i) bytes.push_back(static_cast<char>(rng() % 256));
    if (!is_valid(bytes)) continue;
    EXPECT_EQ(encode(decode(bytes, "bytes")), bytes);
  }
}

}  // namespace
}  // namespace kelvra::common::utf8
