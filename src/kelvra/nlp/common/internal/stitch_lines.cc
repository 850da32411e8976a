#include "kelvra/nlp/common/internal/stitch_lines.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "kelvra/common/json_text.h"

namespace kelvra::nlp::common::stitcher::internal {

namespace {

using kelvra::common::JsonWriter;

// Deeper text goes the record road, which has the depth rule.
constexpr int kMaxDepth = 64;
// Objects with more members are not searched for repeated keys; where
// their text is written, the line goes the record road.
constexpr std::size_t kMaxCheckedMembers = 32;

// The bytes of a string that string() looks at.
constexpr std::array<bool, 256> kNeedsLook = [] {
  std::array<bool, 256> table{};
  for (int b = 0; b < 0x20; ++b) table[b] = true;
  table['"'] = table['\\'] = table[0xC2] = table[0xE2] = true;
  return table;
}();

// Reads four hex digits at `p`, moving past them.
bool hex4(const char*& p, const char* end, std::uint32_t& code) noexcept {
  if (end - p < 4) return false;
  code = 0;
  for (int i = 0; i < 4; ++i) {
    const char c = *p++;
    std::uint32_t digit = 0;
    if (c >= '0' && c <= '9')
      digit = static_cast<std::uint32_t>(c - '0');
    else if (c >= 'a' && c <= 'f')
      digit = static_cast<std::uint32_t>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F')
      digit = static_cast<std::uint32_t>(c - 'A' + 10);
    else
      return false;
    code = code * 16 + digit;
  }
  return true;
}

bool is_space(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

enum class Shape : std::uint8_t { kString, kInteger, kLiteral, kObject, kList };

// One value as it stands in the line. `exact`: writing its record again
// gives this very text. `integer` holds an integer's value when it is one
// of at least 0 that fits 63 bits (`fits`).
struct Value {
  std::string_view text;
  Shape shape = Shape::kLiteral;
  bool exact = true;
  bool fits = false;
  std::int64_t integer = 0;
};

struct Member {
  std::string_view name;  // without its quotes; names with escapes are not taken
  Value value;
  std::string_view text;  // the whole member, "name":value, where it has no white space
};

// Reads the line; every function returns false for text it does not take.
class Scanner {
 public:
  explicit Scanner(std::string_view line) : p_(line.data()), end_(line.data() + line.size()) {}

  // Skips white space; says whether there was any.
  bool skip_space() noexcept {
    const char* start = p_;
    while (p_ != end_ && is_space(*p_)) ++p_;
    return p_ != start;
  }
  bool at_end() noexcept {
    skip_space();
    return p_ == end_;
  }
  bool take(char c) noexcept {
    if (p_ == end_ || *p_ != c) return false;
    ++p_;
    return true;
  }
  bool peek(char c) const noexcept { return p_ != end_ && *p_ == c; }

  // A string; `raw` without its quotes. `exact`: the writer would write it
  // as it is (its escapes spelt as the writer spells them, no line
  // separator raw); `plain`: it has no escape at all. The line is valid
  // UTF-8, so a quote, a backslash or a control byte is never part of a
  // longer code point, and only the lead bytes of U+0085, U+2028 and
  // U+2029 (which the writer escapes) need a look.
  bool string(std::string_view& raw, bool& exact, bool& plain) {
    if (!take('"')) return false;
    const char* start = p_;
    exact = true;
    plain = true;
    while (true) {
      skip_ordinary();
      if (p_ == end_) return false;
      const auto byte = static_cast<unsigned char>(*p_);
      if (byte == '"') {
        raw = std::string_view(start, static_cast<std::size_t>(p_ - start));
        ++p_;
        return true;
      }
      if (byte == '\\') {
        plain = false;
        if (!escape(exact)) return false;
        continue;
      }
      if (byte < 0x20) return false;
      const auto* next = reinterpret_cast<const unsigned char*>(p_ + 1);
      const auto left = end_ - p_;
      if ((byte == 0xC2 && left >= 2 && next[0] == 0x85) ||
          (byte == 0xE2 && left >= 3 && next[0] == 0x80 && (next[1] & 0xFE) == 0xA8))
        exact = false;
      ++p_;
    }
  }

  // A value, nested at most kMaxDepth deep.
  bool value(Value& out, int depth) {
    if (p_ == end_ || depth > kMaxDepth) return false;
    const char* start = p_;
    out = Value{};
    switch (*p_) {
      case '"': {
        bool plain = false;
        std::string_view raw;
        if (!string(raw, out.exact, plain)) return false;
        out.shape = Shape::kString;
        break;
      }
      case '{':
        if (!object(out.exact, depth)) return false;
        out.shape = Shape::kObject;
        break;
      case '[':
        if (!list(out.exact, depth)) return false;
        out.shape = Shape::kList;
        break;
      case 't':
        if (!word("true")) return false;
        break;
      case 'f':
        if (!word("false")) return false;
        break;
      case 'n':
        if (!word("null")) return false;
        break;
      default:
        if (!number(out)) return false;
        out.shape = Shape::kInteger;
    }
    out.text = std::string_view(start, static_cast<std::size_t>(p_ - start));
    return true;
  }

  // A member's name and the colon after it; `spaced`: white space around
  // the colon. Names with escapes are not taken.
  bool name(Member& member, bool& spaced) {
    bool exact = false;
    bool plain = false;
    if (!string(member.name, exact, plain) || !plain || !exact) return false;
    spaced = skip_space();
    if (!take(':')) return false;
    spaced = skip_space() || spaced;
    return true;
  }

  // The members of an object, appended to `members`; the opening brace is
  // read already.
  bool members(std::vector<Member>& members, int depth) {
    if (skip_space(), take('}')) return true;
    while (true) {
      skip_space();
      Member member;
      const char* start = p_;
      bool spaced = false;
      if (!name(member, spaced) || !value(member.value, depth + 1)) return false;
      if (!spaced) member.text = std::string_view(start, static_cast<std::size_t>(p_ - start));
      members.push_back(member);
      skip_space();
      if (take('}')) return true;
      if (!take(',')) return false;
    }
  }

 private:
  bool word(std::string_view literal) noexcept {
    if (static_cast<std::size_t>(end_ - p_) < literal.size() ||
        std::string_view(p_, literal.size()) != literal)
      return false;
    p_ += literal.size();
    return true;
  }

  // An integer: -?(0|[1-9][0-9]*) within the 64-bit range of its sign.
  // Reals, and integers the reader would make reals, are not taken.
  bool number(Value& out) noexcept {
    const bool negative = take('-');
    const char* digits = p_;
    std::uint64_t magnitude = 0;
    while (p_ != end_ && *p_ >= '0' && *p_ <= '9') {
      const auto digit = static_cast<std::uint64_t>(*p_ - '0');
      if (magnitude > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return false;
      magnitude = magnitude * 10 + digit;
      ++p_;
    }
    const auto count = static_cast<std::size_t>(p_ - digits);
    if (count == 0 || (count > 1 && *digits == '0')) return false;
    if (p_ != end_ && (*p_ == '.' || *p_ == 'e' || *p_ == 'E')) return false;
    if (negative) {
      if (magnitude > std::uint64_t{1} << 63) return false;
      out.exact = magnitude != 0;  // -0 is written 0
      return true;
    }
    out.fits = magnitude <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    out.integer = out.fits ? static_cast<std::int64_t>(magnitude) : 0;
    return true;
  }

  // An escape inside a string. The writer spells \" \\ \b \f \n \r \t as
  // they are and the others otherwise (a string holding those is decoded
  // and written again); a surrogate escape must be a high one followed by a
  // low one, and an escaped NUL goes the record road.
  bool escape(bool& exact) noexcept {
    ++p_;  // the backslash
    if (p_ == end_) return false;
    switch (*p_++) {
      case '"':
      case '\\':
      case 'b':
      case 'f':
      case 'n':
      case 'r':
      case 't':
        return true;
      case '/':
        exact = false;
        return true;
      case 'u': {
        std::uint32_t code = 0;
        if (!hex4(p_, end_, code) || code == 0 || (code >= 0xDC00 && code <= 0xDFFF)) return false;
        if (code >= 0xD800 && code <= 0xDBFF) {
          std::uint32_t low = 0;
          if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u') return false;
          p_ += 2;
          if (!hex4(p_, end_, low) || low < 0xDC00 || low > 0xDFFF) return false;
        }
        exact = false;
        return true;
      }
      default:
        return false;
    }
  }

  // Moves to the next byte of a string that needs a look (see string),
  // eight bytes at a time while there is none.
  void skip_ordinary() noexcept {
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
    const auto has_zero = [](std::uint64_t v) { return (v - kOnes) & ~v & kHigh; };
    while (end_ - p_ >= 8) {
      std::uint64_t v = 0;
      std::memcpy(&v, p_, 8);
      if ((has_zero(v ^ (kOnes * '"')) | has_zero(v ^ (kOnes * '\\')) |
           ((v - kOnes * 0x20) & ~v & kHigh) | has_zero(v ^ (kOnes * 0xC2)) |
           has_zero(v ^ (kOnes * 0xE2))) != 0)
        break;
      p_ += 8;
    }
    while (p_ != end_ && !kNeedsLook[static_cast<unsigned char>(*p_)]) ++p_;
  }

  // An object's text is exact when it is compact, its members' values are
  // exact and no name comes twice.
  bool object(bool& exact, int depth) {
    ++p_;
    std::vector<Member> inner;
    const char* start = p_;
    if (!members(inner, depth)) return false;
    exact =
        compact(start) &&
        std::all_of(inner.begin(), inner.end(), [](const Member& m) { return m.value.exact; }) &&
        !repeats_a_name(inner);
    return true;
  }

  bool list(bool& exact, int depth) {
    ++p_;
    const char* start = p_;
    exact = true;
    skip_space();
    if (!take(']')) {
      while (true) {
        skip_space();
        Value item;
        if (!value(item, depth + 1)) return false;
        exact = exact && item.exact;
        skip_space();
        if (take(']')) break;
        if (!take(',')) return false;
      }
    }
    exact = exact && compact(start);
    return true;
  }

  // Whether the text from `start` to here holds no white space outside its
  // strings (which the value checks already read: only the structure is
  // left to look at).
  bool compact(const char* start) const noexcept {
    bool in_string = false;
    for (const char* c = start; c != p_; ++c) {
      if (in_string) {
        if (*c == '\\')
          ++c;
        else if (*c == '"')
          in_string = false;
      } else if (*c == '"') {
        in_string = true;
      } else if (is_space(*c)) {
        return false;
      }
    }
    return true;
  }

 public:
  // Whether a name comes twice (objects too large to check count as
  // repeating).
  static bool repeats_a_name(std::span<const Member> members) noexcept {
    if (members.size() > kMaxCheckedMembers) return true;
    for (std::size_t i = 1; i < members.size(); ++i)
      for (std::size_t j = 0; j < i; ++j)
        if (members[i].name == members[j].name) return true;
    return false;
  }

 private:
  const char* p_;
  const char* end_;
};

// Whether a value can be written as the record road writes it: as it
// stands, or, for a string, decoded and written again.
bool writable(const Value& value) noexcept { return value.exact || value.shape == Shape::kString; }

const Value* find(std::span<const Member> members, std::string_view name) noexcept {
  for (const Member& member : members)
    if (member.name == name) return &member.value;
  return nullptr;
}

// A result of the segment: its members in the flat list, and the member
// that holds its "offset".
struct Result {
  std::size_t first;
  std::size_t count;
  std::size_t offset_member;
  std::int64_t shifted;
  bool kept;
};

}  // namespace

bool stitch_ner_line(std::string_view line, std::span<const std::string> carry, JsonWriter& json,
                     std::string& carried, StitchedLayout layout) {
  Scanner scan(line);
  scan.skip_space();
  if (!scan.take('{')) return false;
  // The segment's members; the results' members go to `fields`, the list
  // of results to `results`, as "nes" is read.
  std::vector<Member> segment;
  std::vector<Member> fields;
  std::vector<Result> results;
  bool has_list = false;
  if (!(scan.skip_space(), scan.take('}'))) {
    while (true) {
      scan.skip_space();
      Member member;
      bool spaced = false;
      if (!scan.name(member, spaced)) return false;
      if (member.name == "nes" && scan.peek('[')) {
        if (has_list) return false;  // a repeated name
        has_list = true;
        scan.take('[');
        if (!(scan.skip_space(), scan.take(']'))) {
          while (true) {
            scan.skip_space();
            if (!scan.take('{')) return false;
            const std::size_t first = fields.size();
            if (!scan.members(fields, 1)) return false;
            results.push_back({first, fields.size() - first, 0, 0, true});
            scan.skip_space();
            if (scan.take(']')) break;
            if (!scan.take(',')) return false;
          }
        }
        member.value.shape = Shape::kList;
        member.value.exact = false;  // not kept as text: never written
      } else if (!scan.value(member.value, 1)) {
        return false;
      }
      segment.push_back(member);
      scan.skip_space();
      if (scan.take('}')) break;
      if (!scan.take(',')) return false;
    }
  }
  if (!scan.at_end() || !has_list || Scanner::repeats_a_name(segment)) return false;

  const Value* shift = find(segment, "offset");
  if (shift == nullptr || !shift->fits) return false;
  std::int64_t context = 0;
  if (const Value* context_value = find(segment, "context")) {
    if (context_value->text != "null") {
      if (!context_value->fits) return false;
      context = context_value->integer;
    }
  }

  // The carried members the segment has, in the order asked.
  std::vector<std::pair<std::string_view, const Value*>> carried_values;
  for (const std::string& name : carry) {
    if (const Value* value = find(segment, name)) {
      if (!writable(*value)) return false;
      carried_values.emplace_back(name, value);
    }
  }

  // Every result is checked and shifted before anything is written.
  for (Result& result : results) {
    const std::span<const Member> members(fields.data() + result.first, result.count);
    if (Scanner::repeats_a_name(members)) return false;
    const Value* offset = nullptr;
    for (std::size_t m = 0; m < members.size(); ++m) {
      const Member& member = members[m];
      if (!writable(member.value)) return false;
      if (member.name == "offset") {
        offset = &member.value;
        result.offset_member = result.first + m;
      }
    }
    if (offset == nullptr || !offset->fits) return false;
    if (__builtin_add_overflow(offset->integer, shift->integer, &result.shifted)) return false;
    bool keep = true;
    if (context > 0 && offset->integer < context) {
      const Value* length = find(members, "length");
      if (length == nullptr || !length->fits) return false;
      // Compared as reals, as the record road compares them.
      keep = static_cast<double>(offset->integer) + static_cast<double>(length->integer) >
             static_cast<double>(context);
    }
    result.kept = keep;
    // A result written with the carried members must not have one of its own.
    if (keep && layout == StitchedLayout::kLinePerResult)
      for (const auto& carried_value : carried_values)
        if (find(members, carried_value.first) != nullptr) return false;
  }

  const auto write_value = [](JsonWriter& writer, const Value& value) {
    if (value.exact) {
      writer.raw_value(value.text);
    } else {
      // Rare (escapes the writer spells otherwise): the reader decodes it.
      writer.string(kelvra::common::read_json_text(value.text).get_ref<const std::string&>());
    }
  };
  JsonWriter carried_json(carried);
  for (const auto& [name, value] : carried_values) {
    carried_json.key(name);
    write_value(carried_json, *value);
  }
  for (const Result& result : results) {
    if (!result.kept) continue;
    json.begin_object();
    for (std::size_t m = result.first; m < result.first + result.count; ++m) {
      const Member& member = fields[m];
      if (m == result.offset_member) {
        json.key(member.name);
        json.integer(result.shifted);
      } else if (member.text.data() != nullptr && member.value.exact) {
        json.members(member.text);
      } else {
        json.key(member.name);
        write_value(json, member.value);
      }
    }
    if (layout == StitchedLayout::kLinePerResult) {
      json.members(carried);
      json.end_object();
      json.end_line();
    } else {
      json.end_object();
    }
  }
  return true;
}

}  // namespace kelvra::nlp::common::stitcher::internal
