#include "kelvra/common/record.h"

#include <gtest/gtest.h>

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
  EXPECT_THROW(require_integer(Record(true), "length"), TypeError);
  EXPECT_THROW(require_integer(Record("3"), "length"), TypeError);
  EXPECT_THROW(require_integer(Record(1e300), "length"), TypeError);
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

}  // namespace
}  // namespace kelvra::common
