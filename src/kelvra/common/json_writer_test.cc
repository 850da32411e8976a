// The JSON writer against the record library's own dump, on random records.
#include "kelvra/common/json_writer.h"

#include <cmath>
#include <limits>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "kelvra/common/utf8.h"

namespace kelvra::common {
namespace {

// What the writer makes of one record, on its own line.
std::string written(const Record& record) {
  std::string out;
  JsonWriter json(out);
  json.value(record);
  json.end_line();
  return out;
}

// The record library's text, with the three line separators escaped as the
// writer escapes them.
std::string expected(const Record& record) {
  std::string text = record.dump();
  for (auto [from, to] : {std::pair{"\u2028", "\\u2028"}, std::pair{"\u2029", "\\u2029"},
                          std::pair{"\u0085", "\\u0085"}}) {
    for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos;)
      text.replace(at, std::string_view(from).size(), to);
  }
  return text + "\n";
}

std::string random_text(std::mt19937& rng) {
  // Each kind of byte the escaping treats apart, and the bytes next to them.
  static const std::u32string pieces =
      U"aZ09 "
      U"\"\\/"
      U"\b\f\n\r\t\x01\x1f\x7f\u0084\u0085\u00e9\u4e2d\u2027\u2028\u2029\u202a\U0001F600\u00a0";
  std::u32string text(rng() % 12, U'a');
  for (auto& c : text) c = pieces[rng() % pieces.size()];
  return common::utf8::encode(text);
}

Record random_record(std::mt19937& rng, int depth) {
  switch (rng() % (depth > 3 ? 6 : 8)) {
    case 0:
      return nullptr;
    case 1:
      return rng() % 2 == 0;
    case 2:
      return static_cast<std::int64_t>(rng()) - (std::int64_t{1} << 31);
    case 3: {
      static const double reals[] = {0.0,
                                     -0.0,
                                     1.0,
                                     0.1,
                                     1e-7,
                                     123456789.125,
                                     1e300,
                                     -2.5e-300,
                                     std::numeric_limits<double>::quiet_NaN(),
                                     std::numeric_limits<double>::infinity()};
      return reals[rng() % std::size(reals)];
    }
    case 4:
      return random_text(rng);
    case 5:
      return std::numeric_limits<std::uint64_t>::max() - rng() % 3;
    case 6: {
      Record list = Record::array();
      for (unsigned n = rng() % 4; n > 0; --n) list.push_back(random_record(rng, depth + 1));
      return list;
    }
    default: {
      Record map = Record::object();
      for (unsigned n = rng() % 4; n > 0; --n)
        map[random_text(rng)] = random_record(rng, depth + 1);
      return map;
    }
  }
}

TEST(JsonWriter, WritesWhatTheRecordLibraryDumpsOnRandomRecords) {
  std::mt19937 rng(11);
  for (int round = 0; round < 2000; ++round) {
    const Record record = random_record(rng, 0);
    const std::string out = written(record);
    ASSERT_EQ(out, expected(record)) << "round " << round;
    // One line whatever the text held, and it reads back as the same value
    // (NaN and infinity are written as null, as the library writes them).
    ASSERT_EQ(out.find('\n'), out.size() - 1);
    ASSERT_EQ(Record::parse(out).dump(), record.dump()) << "round " << round;
  }
}

// Keeping the line separators, the text is the record library's own.
TEST(JsonWriter, KeepsLineSeparatorsWhenAskedAsTheRecordLibraryDoes) {
  std::mt19937 rng(2028);
  for (int i = 0; i < 500; ++i) {
    const Record record = random_record(rng, 0);
    std::string out;
    JsonWriter json(out);
    json.keep_line_separators();
    json.value(record);
    ASSERT_EQ(out, record.dump());
  }
}

// A writer with a limit throws past it at the next end of an object, list
// or line; one with a spill hands its buffer over, even inside one string.
TEST(JsonWriter, ThrowsPastItsLimitOrSpillsItsBuffer) {
  std::string out;
  JsonWriter limited(out);
  limited.limit(10);
  limited.begin_array();
  limited.string("0123456789ab");  // a string alone does not throw
  EXPECT_THROW(limited.end_array(), JsonOverflow);

  struct Collect final : JsonSpill {
    std::string buffer, taken;
    int spills = 0;
    void spill() override {
      taken += buffer;
      buffer.clear();
      ++spills;
    }
  } sink;
  JsonWriter spilling(sink.buffer, &sink);
  const std::string long_text(3 << 20, 'x');
  spilling.begin_array();
  spilling.string(long_text);
  spilling.end_array();
  spilling.end_line();
  EXPECT_GE(sink.spills, 2);
  EXPECT_EQ(sink.taken + sink.buffer, "[\"" + long_text + "\"]\n");
}

TEST(JsonWriter, EscapesLineSeparatorsAndControlCharacters) {
  EXPECT_EQ(written("a\u2028b\u2029c\u0085d"), R"("a\u2028b\u2029c\u0085d")"
                                               "\n");
  EXPECT_EQ(written("\x01\x1f\x7f\t"), R"("\u0001\u001f)"
                                       "\x7f"
                                       R"(\t")"
                                       "\n");
  // Characters that share the first byte of the separators stay as they are.
  EXPECT_EQ(written("\u2027\u202a\u20ac"), "\"\u2027\u202a\u20ac\"\n");
}

TEST(JsonWriter, BuildsRecordsMemberByMember) {
  std::string out;
  JsonWriter json(out);
  json.begin_object();
  json.key("text");
  json.string("你好");
  json.key("list");
  json.begin_array();
  json.integer(-1);
  json.real(0.5);
  json.boolean(false);
  json.null();
  json.begin_object();
  json.end_object();
  json.end_array();
  json.members(R"("doc":7,"tag":"x")");
  json.members("");
  json.end_object();
  json.end_line();
  json.begin_array();
  json.end_array();
  json.end_line();
  EXPECT_EQ(out, R"({"text":"你好","list":[-1,0.5,false,null,{}],"doc":7,"tag":"x"})"
                 "\n[]\n");
}

}  // namespace
}  // namespace kelvra::common
