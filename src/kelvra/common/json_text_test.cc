#include "kelvra/common/json_text.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>

namespace kelvra::common {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

// The JsonTextError that reading `text` throws.
JsonTextError refusal(std::string_view text, const JsonLimits& limits = {}) {
  try {
    read_json_text(text, limits);
  } catch (const JsonTextError& e) {
    return e;
  }
  ADD_FAILURE() << "read: " << text;
  return JsonTextError(0, "");
}

// Random JSON with few distinct keys, so that objects repeat keys, written
// with random blanks between tokens.
class RandomJson {
 public:
  explicit RandomJson(unsigned seed) : random_(seed) {}

  std::string value(int depth) {
    switch (pick(depth > 3 ? 5 : 7)) {
      case 0:
        return "null";
      case 1:
        return pick(2) ? "true" : "false";
      case 2:
        return std::to_string(static_cast<std::int64_t>(random_()) - (1LL << 31));
      case 3: {
        // Every kind of number token: integers at the edges of 64 bits and
        // past them, negative zero, fractions, exponents, the tiny and the
        // huge.
        static const char* const kNumbers[] = {"0",
                                               "-0",
                                               "1.5e3",
                                               "-0.25",
                                               "18446744073709551615",
                                               "18446744073709551616",
                                               "-9223372036854775808",
                                               "-9223372036854775809",
                                               "1E+2",
                                               "2e-3",
                                               "0.1",
                                               "123456789012345678901234567890",
                                               "1e-400",
                                               "-1e-400",
                                               "4.9e-324",
                                               "1.7976931348623157e308"};
        return kNumbers[pick(16)];
      }
      case 4:
        return string();
      case 5: {
        std::string out = "[";
        for (int i = 0, n = pick(4); i < n; ++i)
          out += (i ? "," : "") + blank() + value(depth + 1) + blank();
        return out + "]";
      }
      default: {
        std::string out = "{";
        for (int i = 0, n = pick(12); i < n; ++i)
          out += (i ? "," : "") + blank() + string() + blank() + ":" + value(depth + 1);
        return out + "}";
      }
    }
  }

 private:
  int pick(int n) { return static_cast<int>(random_() % static_cast<unsigned>(n)); }
  std::string blank() { return pick(3) == 0 ? " \n\t" : ""; }
  std::string string() {
    static const char* const kPieces[] = {
        "a", "b", "\\u00e9", "\\n", "江", "\\ud83d\\ude00", "long key of twenty"};
    std::string out = "\"";
    for (int i = 0, n = pick(3); i < n; ++i) out += kPieces[pick(7)];
    return out + "\"";
  }

  std::mt19937 random_;
};

// --- What it reads ---

TEST(JsonText, ReadsWhatTheLibraryReadsDuplicateKeysIncluded) {
  // Also with every string decoded apart, as long strings are.
  const JsonLimits every_string_apart{.long_string_bytes = 1};
  RandomJson random(17);
  for (int i = 0; i < 2000; ++i) {
    const std::string text = random.value(0);
    const std::string expected = Record::parse(text).dump();
    EXPECT_EQ(read_json_text(text).dump(), expected) << text;
    EXPECT_EQ(read_json_text(text, every_string_apart).dump(), expected) << text;
  }
  // First place, last value.
  EXPECT_EQ(read_json_text(R"({"a":1,"b":2,"a":3})").dump(), R"({"a":3,"b":2})");
}

TEST(JsonText, ObjectsWithManyMembersReadInLinearithmicTime) {
  // 200,000 members: the library's own reader compares each key with all
  // the earlier ones (minutes); this one sorts them once.
  std::string text = "{";
  for (int i = 0; i < 200000; ++i)
    text += (i ? ",\"k" : "\"k") + std::to_string(i % 150000) + "\":" + std::to_string(i);
  text += "}";
  Record record = read_json_text(text);
  ASSERT_EQ(record.size(), 150000u);
  EXPECT_EQ(record.begin().key(), "k0");
  EXPECT_EQ(record["k0"], 150000);
  EXPECT_EQ(record["k149999"], 149999);
}

// Whether `a` and `b` are the same records, down to the kind of every
// number (an unsigned, a signed and a real 1 compare equal as values).
bool same_kinds(const Record& a, const Record& b) {
  if (a.type() != b.type()) return false;
  if (a.is_object()) {
    if (a.size() != b.size()) return false;
    for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j)
      if (i.key() != j.key() || !same_kinds(*i, *j)) return false;
  } else if (a.is_array()) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
      if (!same_kinds(a[i], b[i])) return false;
  } else if (a.is_number_float()) {
    return std::signbit(a.get<double>()) == std::signbit(b.get<double>()) && a == b;
  }
  return a == b;
}

TEST(JsonText, AgreesWithTheLibraryOnTextWithRandomFlaws) {
  // Valid text, and the same with a byte changed, dropped or doubled: read
  // exactly when the library reads it, into the same records.
  RandomJson random(29);
  std::mt19937 flaws(31);
  const char kBytes[] = "{}[]:,\\\"0123456789-+.eEtfnul \n\x01\xc3\xa9\xe6\xb1\x9f\xff";
  for (int i = 0; i < 20000; ++i) {
    std::string text = random.value(0);
    if (i % 4 != 0 && !text.empty()) {
      const std::size_t at = flaws() % text.size();
      switch (flaws() % 3) {
        case 0:
          text[at] = kBytes[flaws() % (sizeof kBytes - 1)];
          break;
        case 1:
          text.erase(at, 1);
          break;
        default:
          text.insert(at, 1, text[at]);
      }
    }
    Record expected;
    bool library_reads = true;
    try {
      expected = Record::parse(text);
    } catch (const Record::exception&) {
      library_reads = false;
    }
    try {
      const Record read = read_json_text(text);
      EXPECT_TRUE(library_reads) << text;
      if (library_reads) {
        EXPECT_TRUE(same_kinds(read, expected)) << text;
      }
    } catch (const JsonTextError& e) {
      EXPECT_FALSE(library_reads) << text << ": " << e.what();
      EXPECT_EQ(e.kind(), JsonTextError::Kind::kNotJson);
      EXPECT_LE(e.byte(), text.size());
    }
  }
}

// --- What it refuses, and how it says so ---

TEST(JsonText, StringsDecodedApartAreRefusedAsTheLibraryRefusesThem) {
  const JsonLimits every_string_apart{.long_string_bytes = 1};
  for (const char* text :
       {"[\"a\x01\"]", "[\"\\x\"]", "[\"\\u12\"]", "[\"\\ud800\"]", "[\"\\ud800\\u0041\"]",
        "[\"\\udc00\"]", "[\"\xc3\"]", "[\"\xed\xa0\x80\"]", "{\"a\":\"\\", "[\"\\\"]"}) {
    EXPECT_FALSE(Record::accept(text)) << text;
    EXPECT_THAT(refusal(text, every_string_apart).what(), HasSubstr("not valid JSON at column"))
        << text;
  }
  // Places are those of the text as given, after the strings cut out.
  const std::string long_then_bad = "{\"text\":\"" + std::string(100, 'x') + "\",\n \"b\": tru}";
  JsonTextError e = refusal(long_then_bad, JsonLimits{.long_string_bytes = 50});
  EXPECT_EQ(line_number_at(long_then_bad, e.byte()), 2);
  EXPECT_THAT(e.what(), HasSubstr("at column 10: invalid literal"));
}

TEST(JsonText, RefusesANulByteWhereverItStands) {
  // The library alone reads each of these as the text before the NUL.
  for (std::string text :
       {std::string("{\"text\":\"a\"}\0{\"text\":\"b\"}", 25), std::string("[1]\0", 4),
        std::string("\0", 1), std::string("{\"a\":\n\0}", 8)}) {
    JsonTextError e = refusal(text);
    EXPECT_EQ(e.byte(), text.find('\0')) << e.what();
    EXPECT_THAT(e.what(), HasSubstr("not valid JSON at column"));
    EXPECT_THAT(e.what(), HasSubstr("a NUL byte"));
    EXPECT_EQ(line_number_at(text, e.byte()), text.find('\n') < e.byte() ? 2 : 1);
  }
}

TEST(JsonText, FailuresSpeakOurWordsAndQuoteLittle) {
  EXPECT_STREQ(refusal("[1e999]").what(),
               "not valid JSON at column 2: the number 1e999 is too large to hold");
  EXPECT_STREQ(refusal("{\"a\" 1}").what(),
               "not valid JSON at column 6: unexpected number literal; expected ':'");
  const std::string long_string = "[\"" + std::string(100000, 'x') + "\x01\"]";
  JsonTextError cut = refusal(long_string);
  EXPECT_LT(std::string(cut.what()).size(), 200u);
  EXPECT_THAT(cut.what(), HasSubstr("last read: '\"xxxx"));
  for (const char* text : {"", "[", "{\"a\":}", "[1,]", "tru", "\"\\ud800\"", "[1] 2", "\"\xff\""})
    EXPECT_THAT(refusal(text).what(), Not(HasSubstr("json.exception"))) << text;
  const std::string deep =
      std::string(kMaxRecordDepth + 1, '[') + std::string(kMaxRecordDepth + 1, ']');
  EXPECT_EQ(refusal(deep).byte(), kMaxRecordDepth);
  EXPECT_STREQ(refusal(deep).what(), "JSON nested deeper than 1000 levels");
}

TEST(JsonText, CapsTheMemoryOfTheRecordsAsTheyAreBuilt) {
  std::string many = "[";
  for (int i = 0; i < 100000; ++i) many += i ? ",{}" : "{}";
  many += "]";
  EXPECT_EQ(read_json_text(many).size(), 100000u);
  // Each {} costs a value and a heap block: far more than its 3 bytes.
  JsonTextError e = refusal(many, JsonLimits{.max_record_bytes = 10 * many.size()});
  EXPECT_EQ(e.byte(), std::string_view::npos);
  EXPECT_THAT(e.what(), HasSubstr("JSON whose records would take more than"));
  // Real answers cost a few times their size (compact words about 6 times).
  std::string words = R"({"words":[)";
  for (int i = 0; i < 1000; ++i)
    words += (i ? "," : "") + std::string(R"({"id":)") + std::to_string(i) +
             R"(,"text":"a","offset":)" + std::to_string(i) + R"(,"length":1})";
  words += "]}";
  EXPECT_NO_THROW(read_json_text(words, JsonLimits{.max_record_bytes = 7 * words.size()}));
}

// --- Helpers for messages ---

TEST(JsonText, ExcerptsAreShortSingleLinesOfWholeCharacters) {
  EXPECT_EQ(text_excerpt("short", 10), "short");
  EXPECT_EQ(text_excerpt("a\nb\tc", 10), "a b c");
  EXPECT_EQ(text_excerpt("你好世界", 7), "你好...");
  EXPECT_EQ(text_excerpt("a\xff"
                         "b",
                         10),
            "a?b");
  try {
    (void)Record::parse("[1]").at(5);
  } catch (const Record::exception& e) {
    EXPECT_EQ(json_error_text(e), "array index 5 is out of range");
  }
}

}  // namespace
}  // namespace kelvra::common
