#include "kelvra/common/text_form.h"

#include <gtest/gtest.h>

#include "kelvra/common/exceptions.h"

namespace kelvra::common {
namespace {

// --- strings ---

TEST(TextForm, ChoosesQuotesLikePython) {
  EXPECT_EQ(quote_text("abc"), "'abc'");
  EXPECT_EQ(quote_text("it's"), "\"it's\"");
  EXPECT_EQ(quote_text("it's \"x\""), "'it\\'s \"x\"'");
  EXPECT_EQ(quote_text("back\\slash"), "'back\\\\slash'");
}

TEST(TextForm, EscapesControlAndNonPrintableCodePoints) {
  EXPECT_EQ(quote_text("\t\n\r"), "'\\t\\n\\r'");
  EXPECT_EQ(quote_text("\x01\x7f"), "'\\x01\\x7f'");
  EXPECT_EQ(quote_text("\u00a0"), "'\\xa0'");                 // Zs
  EXPECT_EQ(quote_text("\u3000"), "'\\u3000'");               // ideographic space
  EXPECT_EQ(quote_text("\u200b\u2028"), "'\\u200b\\u2028'");  // Cf, Zl
  EXPECT_EQ(quote_text("\U000E0001"), "'\\U000e0001'");       // Cf beyond the BMP
  EXPECT_EQ(quote_text("\U0010FFFF"), "'\\U0010ffff'");       // Cn
  EXPECT_EQ(quote_text("\uE000"), "'\\ue000'");               // Co
}

TEST(TextForm, KeepsPrintableNonAscii) { EXPECT_EQ(quote_text("Ａ 你好 😀 é"), "'Ａ 你好 😀 é'"); }

// --- values ---

TEST(TextForm, WritesRecordsAsPythonDoes) {
  Record r = Record::object();
  r["text"] = "Ａ";
  r["normalized_text"] = "A";
  r["offset"] = 4;
  EXPECT_EQ(to_text_form(r), "{'text': 'Ａ', 'normalized_text': 'A', 'offset': 4}");
  EXPECT_EQ(to_text_form(Record::parse(R"([true, false, null, [], {}])")),
            "[True, False, None, [], {}]");
}

TEST(TextForm, WritesRealsAsPythonDoes) {
  EXPECT_EQ(to_text_form(Record(3.0)), "3.0");
  EXPECT_EQ(to_text_form(Record(0.1)), "0.1");
  EXPECT_EQ(to_text_form(Record(-2.5)), "-2.5");
  EXPECT_EQ(to_text_form(Record(1e-5)), "1e-05");
  EXPECT_EQ(to_text_form(Record(0.0001)), "0.0001");
  EXPECT_EQ(to_text_form(Record(1e16)), "1e+16");
  EXPECT_EQ(to_text_form(Record(1e15)), "1000000000000000.0");
  EXPECT_EQ(to_text_form(Record(123.456)), "123.456");
  EXPECT_EQ(to_text_form(Record(1.5e300)), "1.5e+300");
}

// A record built in code can nest far deeper than any parsed one may; its
// text form is refused rather than run out of stack.
TEST(TextForm, RefusesRecordsNestedPastTheLimit) {
  auto nested = [](std::size_t levels) {
    Record value = 1;
    for (std::size_t i = 0; i < levels; ++i) {
      Record outer = Record::array();
      outer.push_back(std::move(value));
      value = std::move(outer);
    }
    return value;
  };
  const std::string limit = to_text_form(nested(kMaxRecordDepth));
  EXPECT_EQ(limit.size(), 2 * kMaxRecordDepth + 1);
  EXPECT_EQ(limit.substr(kMaxRecordDepth - 1, 3), "[1]");
  try {
    to_text_form(nested(kMaxRecordDepth + 1));
    FAIL();
  } catch (const KvException& e) {
    EXPECT_EQ(e.code(), ErrorCodes::INVALID_PARAMETERS);
    EXPECT_STREQ(e.what(), "a record nested deeper than 1000 levels has no text form");
  }
  EXPECT_THROW(to_text_form(nested(100000)), KvException);
  Record in_a_map = Record::object();
  in_a_map["deep"] = nested(kMaxRecordDepth);
  EXPECT_THROW(to_text_form(in_a_map), KvException);
}

}  // namespace
}  // namespace kelvra::common
