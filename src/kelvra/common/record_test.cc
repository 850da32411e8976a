#include "kelvra/common/record.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "kelvra/common/exceptions.h"

namespace kelvra::common {
namespace {

TEST(Record, KeepsKeyOrderAndKinds) {
  Record r = Record::object();
  r["z"] = 1;
  r["a"] = nullptr;
  r["m"] = Record::array();
  EXPECT_EQ(r.dump(), R"({"z":1,"a":null,"m":[]})");
  EXPECT_EQ(kind_name(r["z"]), "integer");
  EXPECT_EQ(kind_name(r["a"]), "null");
}

TEST(Record, KindChecksNameTheParameter) {
  try {
    require_map(Record::array(), "input_");
    FAIL();
  } catch (const TypeError& e) {
    EXPECT_EQ(e.parameter(), "input_");
    EXPECT_STREQ(e.what(), "parameter `input_` must be a map, got list");
  }
  EXPECT_THROW(require_list(Record("x"), "segments"), TypeError);
  EXPECT_THROW(require_string(Record(1), "text"), TypeError);
  EXPECT_THROW(require_string(Record("bad\xFF"), "text"), TypeError);
  EXPECT_THROW(require_bool(Record(1), "mask"), TypeError);
}

TEST(Record, IntegersTruncateTowardZero) {
  EXPECT_EQ(require_integer(Record(100.9), "length"), 100);
  EXPECT_EQ(require_integer(Record(-2.5), "length"), -2);
  EXPECT_EQ(require_integer(Record(7), "length"), 7);
  EXPECT_EQ(require_integer(Record(-9223372036854775808.0), "length"), INT64_MIN);
  EXPECT_EQ(require_integer(Record(std::uint64_t{INT64_MAX}), "length"), INT64_MAX);
  EXPECT_THROW(require_integer(Record(true), "length"), TypeError);
  EXPECT_THROW(require_integer(Record("3"), "length"), TypeError);
}

// A number is the right kind even when it is too big to use: that is a bad
// value (naming the parameter and the value), not a TypeError.
TEST(Record, NumbersBeyondSixtyFourBitsAreInvalidValues) {
  const std::pair<Record, const char*> cases[] = {
      {Record(1e30), "1e+30"},
      {Record(9223372036854775808.0), "9.223372036854776e+18"},
      {Record(std::numeric_limits<std::uint64_t>::max()), "18446744073709551615"},
      {Record(std::numeric_limits<double>::infinity()), "inf"},
      {Record(std::numeric_limits<double>::quiet_NaN()), "nan"}};
  for (const auto& [value, shown] : cases) {
    try {
      require_integer(value, "length");
      FAIL() << shown;
    } catch (const KvException& e) {
      EXPECT_EQ(e.code(), ErrorCodes::INVALID_PARAMETERS);
      EXPECT_THAT(e.what(), ::testing::StartsWith("`length` must be"));
      EXPECT_THAT(e.what(), ::testing::EndsWith(std::string("got ") + shown));
    }
  }
}

TEST(Record, PositionsAreNonNegativeAndSumsNeverWrap) {
  EXPECT_EQ(require_position(Record(0), "offset"), 0);
  EXPECT_EQ(require_position(Record(3.9), "offset"), 3);
  EXPECT_EQ(require_position(Record(-0.5), "offset"), 0);  // truncates to 0
  try {
    require_position(Record(-1), "offset");
    FAIL();
  } catch (const KvException& e) {
    EXPECT_STREQ(e.what(), "`offset` must be a position or length of at least 0, got -1");
  }
  EXPECT_EQ(add_positions(INT64_MAX - 1, 1, "length"), INT64_MAX);
  EXPECT_EQ(add_positions(INT64_MIN, INT64_MAX, "length"), -1);
  try {
    add_positions(INT64_MAX, 1, "length");
    FAIL();
  } catch (const KvException& e) {
    EXPECT_EQ(e.code(), ErrorCodes::INVALID_PARAMETERS);
    EXPECT_STREQ(e.what(),
                 "`length`: 9223372036854775807 + 1 lies outside the 64-bit position range");
  }
  EXPECT_THROW(add_positions(INT64_MIN, -1, "offset"), KvException);
}

TEST(Record, EmptyValuesAreNullFalseZeroAndEmptyContainers) {
  for (const char* empty : {"null", "false", "0", "0.0", "-0.0", R"("")", "[]", "{}"})
    EXPECT_TRUE(is_empty_value(Record::parse(empty))) << empty;
  for (const char* value : {"true", "1", "-1", "0.5", R"("0")", R"(" ")", R"("false")", "[0]",
                            "[null]", R"({"a":null})", "18446744073709551615"})
    EXPECT_FALSE(is_empty_value(Record::parse(value))) << value;
  EXPECT_TRUE(is_empty_value(Record(std::uint64_t{0})));
}

TEST(Record, ExcessNestingIsFoundBeforeParsing) {
  const auto npos = std::string_view::npos;
  EXPECT_EQ(find_excess_nesting("", 2), npos);
  EXPECT_EQ(find_excess_nesting("[[1], {\"a\": []}]", 3), npos);
  EXPECT_EQ(find_excess_nesting("[[1], {\"a\": []}]", 2), 12u);
  EXPECT_EQ(find_excess_nesting("[[[1]]]", 2), 2u);
  EXPECT_EQ(find_excess_nesting(R"({"a": {"b": [0]}})", 2), 12u);
  // Brackets inside strings, escaped quotes included, do not count.
  EXPECT_EQ(find_excess_nesting(R"(["[[[", "\"[[[", "\\"])", 1), npos);
  EXPECT_EQ(find_excess_nesting(R"(["\\", [])", 1), 7u);
  // Closing brackets free their level again.
  EXPECT_EQ(find_excess_nesting("[[]] [[]] [[]]", 2), npos);
  const std::string deep = std::string(kMaxRecordDepth, '[') + std::string(kMaxRecordDepth, ']');
  EXPECT_EQ(find_excess_nesting(deep), npos);
  EXPECT_EQ(find_excess_nesting("[" + deep + "]"), kMaxRecordDepth);
  EXPECT_EQ(find_excess_nesting(std::string(100000, '[')), kMaxRecordDepth);
}

TEST(Record, LookupFailsWithTheMissingKey) {
  Record r = Record::parse(R"({"offset": 3, "pos": null})");
  EXPECT_EQ(at(r, "offset"), 3);
  try {
    at(r, "length");
    FAIL();
  } catch (const KeyError& e) {
    EXPECT_EQ(e.key(), "length");
  }
  EXPECT_EQ(optional_integer(r, "pos"), std::nullopt);
  EXPECT_EQ(optional_integer(r, "missing"), std::nullopt);
  EXPECT_EQ(optional_integer(r, "offset"), 3);
  EXPECT_THROW(optional_string(r, "offset"), TypeError);
}

TEST(Record, DisposeLeavesNullWhateverTheShape) {
  // Wide, deep and mixed records, and scalars: each ends null, and one
  // disposed on one thread leaves the next one whole until its turn.
  Record deep = Record::array();
  Record* inner = &deep;
  for (std::size_t i = 1; i < kMaxRecordDepth; ++i) {
    inner->push_back(Record::object());
    inner = &inner->back();
    (*inner)["k"] = Record::array();
    inner = &(*inner)["k"];
  }
  Record wide = Record::parse(R"({"a":[{"t":"x","o":1},{"t":"y","o":[[],{}]}],"b":"s","c":{}})");
  const Record copy = wide;
  for (Record* record : {&deep, &wide}) {
    Record scalar = "text";
    dispose(*record);
    dispose(scalar);
    EXPECT_TRUE(record->is_null() && scalar.is_null());
  }
  Record again = copy;
  EXPECT_EQ(again, copy);
  dispose(again);
  EXPECT_TRUE(again.is_null());
}

}  // namespace
}  // namespace kelvra::common
