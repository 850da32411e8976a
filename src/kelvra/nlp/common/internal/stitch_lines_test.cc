#include "kelvra/nlp/common/internal/stitch_lines.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "kelvra/common/json_text.h"
#include "kelvra/common/json_writer.h"
#include "kelvra/common/record.h"
#include "kelvra/common/utf8.h"
#include "kelvra/nlp/common/stitcher.h"

namespace kelvra::nlp::common::stitcher::internal {
namespace {

using kelvra::common::JsonWriter;

// The record road: the line read as a record, merged by the Stitcher and
// written record by record, carried members after each result's own (a
// clash refused) or, as a list's values, apart. nullopt where it fails.
struct Written {
  std::string json;
  std::string carried;
  bool operator==(const Written&) const = default;
};

std::optional<Written> by_records(std::string_view line, const std::vector<std::string>& carry,
                                  StitchedLayout layout) {
  Written out;
  try {
    std::vector<Record> one;
    one.push_back(kelvra::common::read_json_text(line));
    std::vector<std::string> found;
    if (one.front().is_object()) {
      JsonWriter members(out.carried);
      for (const std::string& key : carry) {
        auto it = one.front().find(key);
        if (it == one.front().end()) continue;
        members.key(key);
        members.value(*it);
        found.push_back(key);
      }
    }
    JsonWriter json(out.json);
    for (const Record& record : Stitcher().merge(std::move(one), "ner")) {
      if (layout == StitchedLayout::kValuePerResult) {
        json.value(record);
        continue;
      }
      for (const std::string& key : found)
        if (record.is_object() && record.contains(key)) return std::nullopt;
      json.begin_object();
      for (auto it = record.begin(); it != record.end(); ++it) {
        json.key(it.key());
        json.value(*it);
      }
      json.members(out.carried);
      json.end_object();
      json.end_line();
    }
  } catch (const std::exception&) {
    return std::nullopt;
  }
  return out;
}

std::optional<Written> as_text(std::string_view line, const std::vector<std::string>& carry,
                               StitchedLayout layout) {
  Written out{"unchanged", ""};
  JsonWriter json(out.json);
  if (stitch_ner_line(line, carry, json, out.carried, layout)) {
    out.json.erase(0, 9);
    return out;
  }
  EXPECT_EQ(out.json, "unchanged");  // nothing written for a line not taken
  EXPECT_EQ(out.carried, "");
  return std::nullopt;
}

// Segments as JSON text, mostly in the compact layout, sometimes spelt in
// ways the text road must leave to the record road (or must read right):
// white space, escapes, reals, -0, repeated names, negative or huge
// positions, results that are no objects or lack an offset, stray bytes.
class SegmentMaker {
 public:
  explicit SegmentMaker(unsigned seed) : rng_(seed) {}

  std::string segment(bool odd) {
    odd_ = odd;
    std::vector<std::string> members;
    members.push_back(member("text", string_value(8)));
    members.push_back(member("offset", position(1000)));
    if (chance(4)) members.push_back(member("context", chance(3) ? "null" : position(30)));
    if (chance(2)) members.push_back(member("id", chance(4) ? number() : string_value(3)));
    if (chance(5)) members.push_back(member("tags", "[1,{\"a\":true}," + string_value(2) + "]"));
    std::string nes = "[";
    const int count = pick(5);
    for (int i = 0; i < count; ++i) {
      if (i > 0) nes += comma();
      nes += entity();
    }
    members.push_back(member("nes", nes + space() + "]"));
    if (odd_ && chance(20)) members.push_back(members[pick(members.size())]);  // repeated
    std::shuffle(members.begin(), members.end(), rng_);
    std::string line = space() + "{";
    for (std::size_t i = 0; i < members.size(); ++i) line += (i > 0 ? comma() : "") + members[i];
    line += "}" + space();
    if (odd_ && chance(40)) line.insert(pick(line.size()), 1, "x\x01\\}"[pick(4)]);
    return line;
  }

 private:
  std::string entity() {
    if (odd_ && chance(30)) return chance(2) ? "3" : "[]";
    std::vector<std::string> members;
    if (!(odd_ && chance(30))) members.push_back(member("offset", position(40)));
    members.push_back(member("length", position(12)));
    members.push_back(member("text", string_value(4)));
    if (chance(3)) members.push_back(member("type", string_value(2)));
    if (chance(8)) members.push_back(member("id", string_value(2)));
    if (odd_ && chance(8)) members.push_back(member("score", chance(2) ? "0.5" : "[1,-2]"));
    std::shuffle(members.begin(), members.end(), rng_);
    std::string out = "{";
    for (std::size_t i = 0; i < members.size(); ++i) out += (i > 0 ? comma() : "") + members[i];
    return out + space() + "}";
  }
  std::string member(std::string_view name, const std::string& value) {
    std::string key = "\"" + std::string(name) + "\"";
    if (odd_ && chance(40))
      key = "\"\\u00" + std::to_string(61) + std::string(name.substr(1)) + "\"";
    return space() + key + space() + ":" + space() + value;
  }
  std::string position(int below) {
    if (odd_ && chance(20)) {
      static const char* const kOdd[] = {
          "-1",    "-0",   "1.0", "1e2", "9223372036854775807", "9223372036854775808",
          "\"3\"", "null", "007"};
      return kOdd[pick(std::size(kOdd))];
    }
    return std::to_string(pick(below));
  }
  std::string number() { return std::to_string(static_cast<int>(pick(2000)) - 1000); }
  std::string string_value(int most) {
    static const char* const kPieces[] = {
        "a",    "中",  "文",      "😀",   " ",      "\\n",    "\\\"",
        "\\\\", "\\/", "\\u00e9", "\\t", "\u2028", "\u0085", "\\ud83d\\ude00"};
    std::string out = "\"";
    const int count = pick(most + 1);
    for (int i = 0; i < count; ++i) out += kPieces[pick(odd_ ? std::size(kPieces) : 5)];
    return out + "\"";
  }
  std::string space() { return odd_ && chance(8) ? std::string(" \t\n\r").substr(pick(4), 1) : ""; }
  std::string comma() { return space() + "," + space(); }
  bool chance(int one_in) { return pick(one_in) == 0; }
  std::size_t pick(std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_);
  }
  int pick(int n) { return static_cast<int>(pick(static_cast<std::size_t>(n))); }

  std::mt19937 rng_;
  bool odd_ = false;
};

// The text road writes what the record road writes, for every line it
// takes, and takes every line in the compact layout that is sound.
TEST(StitchLines, WritesWhatTheRecordRoadWrites) {
  SegmentMaker maker(20261209);
  const std::vector<std::vector<std::string>> carries = {{}, {"id"}, {"id", "tags", "offset"}};
  int odd_taken = 0;
  for (int i = 0; i < 6000; ++i) {
    const bool odd = i % 2 == 1;
    const std::string line = maker.segment(odd);
    if (!kelvra::common::utf8::is_valid(line)) continue;  // as the command line checks first
    const auto& carry = carries[static_cast<std::size_t>(i) % carries.size()];
    for (StitchedLayout layout :
         {StitchedLayout::kLinePerResult, StitchedLayout::kValuePerResult}) {
      const std::optional<Written> expected = by_records(line, carry, layout);
      const std::optional<Written> got = as_text(line, carry, layout);
      if (got) {
        odd_taken += odd ? 1 : 0;
        ASSERT_TRUE(expected) << line;
        ASSERT_EQ(got->json, expected->json) << line;
        ASSERT_EQ(got->carried, expected->carried) << line;
      } else if (!odd && expected) {
        ADD_FAILURE() << "a sound compact line was not taken: " << line;
      }
    }
  }
  EXPECT_GT(odd_taken, 100);  // spelt otherwise, a line is still taken where it can be
}

TEST(StitchLines, ShiftsKeepsOrderAndLeavesTheContextOut) {
  const std::string line =
      R"({"id":"d1","offset":10,"context":3,"nes":[{"text":"甲","length":1,"offset":0},)"
      R"({"offset":2,"text":"乙丙","length":2,"type":"PER"},{"text":"丁","length":1,"offset":5}]})";
  std::string out;
  std::string carried;
  JsonWriter json(out);
  ASSERT_TRUE(stitch_ner_line(line, std::vector<std::string>{"id"}, json, carried,
                              StitchedLayout::kLinePerResult));
  EXPECT_EQ(carried, R"("id":"d1")");
  EXPECT_EQ(out,
            "{\"offset\":12,\"text\":\"乙丙\",\"length\":2,\"type\":\"PER\",\"id\":\"d1\"}\n"
            "{\"text\":\"丁\",\"length\":1,\"offset\":15,\"id\":\"d1\"}\n");
  // As Python's json.dumps writes it by default: spaced, beyond ASCII escaped.
  out.clear();
  carried.clear();
  ASSERT_TRUE(stitch_ner_line(
      R"({"id": "d\u4e00", "offset": 3, "nes": [{"text": "\u4e59\ud83d\ude00", "length": 2, "offset": 1}]})",
      std::vector<std::string>{"id"}, json, carried, StitchedLayout::kLinePerResult));
  EXPECT_EQ(out, "{\"text\":\"乙😀\",\"length\":2,\"offset\":4,\"id\":\"d一\"}\n");
}

}  // namespace
}  // namespace kelvra::nlp::common::stitcher::internal
