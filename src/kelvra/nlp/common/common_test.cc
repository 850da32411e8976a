#include "kelvra/nlp/common/common.h"

#include <gtest/gtest.h>

#include "kelvra/common/exceptions.h"

namespace kelvra::nlp::common {
namespace {

using kelvra::common::TypeError;

// --- Q2B ---

TEST(Q2B, MapsTheWholeFullWidthAsciiBlockAndTheIdeographicSpace) {
  EXPECT_EQ(Q2B("！"), "!");  // U+FF01, first of the block
  EXPECT_EQ(Q2B("～"), "~");  // U+FF5E, last of the block
  EXPECT_EQ(Q2B("ＡＢｃ１２３　（ｘ）"), "ABc123 (x)");
  for (char32_t cp = 0xFF01; cp <= 0xFF5E; ++cp) EXPECT_EQ(q2b(cp), cp - 0xFEE0);
}

TEST(Q2B, LeavesEverythingElseAlone) {
  EXPECT_EQ(Q2B(""), "");
  EXPECT_EQ(Q2B("中文、。ｰ｡￥"), "中文、。ｰ｡￥");  // all outside the block
  EXPECT_EQ(q2b(0xFF00), 0xFF00u);
  EXPECT_EQ(q2b(0xFF5F), 0xFF5Fu);
  EXPECT_EQ(q2b(U'\u3001'), U'\u3001');
}

TEST(Q2B, RejectsInvalidUtf8NamingValue) {
  try {
    Q2B("\xFF");
    FAIL();
  } catch (const TypeError& e) {
    EXPECT_EQ(e.parameter(), "value");
  }
}

// --- replace_ctrl_char ---

TEST(ReplaceCtrlChar, ControlAndFormatCharactersBecomeOneBlank) {
  for (const char* ch :
       {"\x01", "\x1b", "\x7f", "\u0085", "\u200b", "\ufeff", "\u00ad", "\u2028", "\u2029"})
    EXPECT_EQ(replace_ctrl_char(ch, {}), " ") << ch;
  EXPECT_EQ(replace_ctrl_char(std::string_view("\0", 1), {}), " ");
}

TEST(ReplaceCtrlChar, KeepsLayoutCharactersOrdinaryOnesAndListedOnes) {
  for (const char* ch : {"\t", "\n", "\r", " ", "a", "中", "\u3000", "😀"})
    EXPECT_EQ(replace_ctrl_char(ch, {}), ch);
  EXPECT_EQ(replace_ctrl_char("\u200b", {"x", "\u200b"}), "\u200b");
  EXPECT_EQ(replace_ctrl_char("\u200b", {"\u200b\u200b"}), " ");  // not one character
}

TEST(ReplaceCtrlChar, RequiresExactlyOneCharacter) {
  for (const char* ch : {"", "ab", "\xC0"}) {
    try {
      replace_ctrl_char(ch, {});
      FAIL() << ch;
    } catch (const TypeError& e) {
      EXPECT_EQ(e.parameter(), "ch");
    }
  }
}

}  // namespace
}  // namespace kelvra::nlp::common
