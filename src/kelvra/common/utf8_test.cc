#include "kelvra/common/utf8.h"

#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "kelvra/common/exceptions.h"

namespace kelvra::common::utf8 {
namespace {

TEST(Utf8, RejectsIllFormedSequences) {
  EXPECT_EQ(find_invalid("plain ascii, long enough to take the fast path"), npos);
  EXPECT_EQ(find_invalid("你好😀"), npos);
  EXPECT_EQ(find_invalid("ab\xC0\xAF"), 2u);        // overlong '/'
  EXPECT_EQ(find_invalid("\xED\xA0\x80"), 0u);      // a surrogate
  EXPECT_EQ(find_invalid("\xF4\x90\x80\x80"), 0u);  // above U+10FFFF
  EXPECT_EQ(find_invalid("abcdefgh\xE4\xBD"), 8u);  // truncated at the end
  EXPECT_EQ(find_invalid("\x80"), 0u);              // lone continuation
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

// The offset of the first ill-formed sequence, from the standard's table
// of well-formed byte sequences, one sequence at a time.
std::size_t first_invalid_by_table(std::string_view text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  for (std::size_t i = 0; i < text.size();) {
    const unsigned b0 = s[i];
    std::size_t size = b0 < 0x80                  ? 1
                       : b0 >= 0xC2 && b0 <= 0xDF ? 2
                       : b0 >= 0xE0 && b0 <= 0xEF ? 3
                       : b0 >= 0xF0 && b0 <= 0xF4 ? 4
                                                  : 0;
    if (size == 0 || i + size > text.size()) return i;
    for (std::size_t k = 1; k < size; ++k) {
      unsigned lo = 0x80, hi = 0xBF;
      if (k == 1 && b0 == 0xE0) lo = 0xA0;
      if (k == 1 && b0 == 0xED) hi = 0x9F;
      if (k == 1 && b0 == 0xF0) lo = 0x90;
      if (k == 1 && b0 == 0xF4) hi = 0x8F;
      if (s[i + k] < lo || s[i + k] > hi) return i;
    }
    i += size;
  }
  return npos;
}

TEST(Utf8, FindInvalidAgreesWithTheTableOnMixedText) {
  // Runs of ASCII longer and shorter than the eight-byte skip, CJK, four-byte
  // sequences and stray bytes, at every alignment.
  const std::vector<std::string> pieces = {"a",
                                           "abcdefghij",
                                           "中",
                                           "文字",
                                           "\xF0\x9F\x98\x80",
                                           "\xC3\xA9",
                                           "\x80",
                                           "\xE4\xB8",
                                           "\xED\xA0\x80",
                                           "\xF4\x90\x80\x80",
                                           "\xE0\x80\xAF",
                                           "\xF0\x8F\xBF\xBF",
                                           "\xC1\xBF",
                                           "\xF5\x80\x80\x80",
                                           "\n"};
  std::mt19937 rng(3);
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    const int count = 1 + static_cast<int>(rng() % 12);
    for (int i = 0; i < count; ++i) {
      const std::size_t pick = rng() % pieces.size();
      // Mostly well-formed pieces, so that the bad one lands late.
      text += pieces[pick < 6 || rng() % 4 == 0 ? pick : rng() % 6];
    }
    ASSERT_EQ(find_invalid(text), first_invalid_by_table(text)) << testing::PrintToString(text);
  }
}

}  // namespace
}  // namespace kelvra::common::utf8
