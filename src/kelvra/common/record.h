// Records: string-keyed maps of JSON values, and the checks every module
// applies to the records and values it is handed.
//
// A Record keeps key order, keeps integers apart from reals and null apart
// from an empty list. The checks below name the offending parameter or key,
// so each module reports bad input the same way.
//
//   const kelvra::Record& ne = kelvra::common::require_map(value, "ne");
//   std::int64_t offset = kelvra::common::require_position(kelvra::common::at(ne, "offset"),
//   "offset"); std::int64_t end = kelvra::common::add_positions(offset, length, "length");
//
// Traps these helpers exist for: Record::empty() is false for strings and
// numbers (ask is_empty_value instead); positions added as plain int64 can
// wrap (use add_positions); copying, comparing and printing a record recurse
// once per level of nesting (refuse text nested deeper than kMaxRecordDepth
// before parsing it, with find_excess_nesting).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "kelvra/common/exceptions.h"

namespace kelvra {

using Record = nlohmann::ordered_json;

}  // namespace kelvra

namespace kelvra::common {

// A short name for the kind of a value: "map", "list", "string", "integer",
// "real", "truth value", "null" or "binary".
std::string_view kind_name(const Record& value) noexcept;

// The kinds a check may ask for, combined with |: Kinds::list | Kinds::null.
enum class Kinds : std::uint8_t {
  map = 1,
  list = 2,
  string = 4,
  number = 8,
  truth_value = 16,
  null = 32,
};
constexpr Kinds operator|(Kinds a, Kinds b) noexcept {
  return static_cast<Kinds>(static_cast<std::uint8_t>(a) | static_cast<std::uint8_t>(b));
}
constexpr bool includes(Kinds set, Kinds kind) noexcept {
  return (static_cast<std::uint8_t>(set) & static_cast<std::uint8_t>(kind)) != 0;
}

// How messages name what was expected: "a map", "a list or null", ...
std::string expected_kinds(Kinds expected);

// The failure of a kind check: a TypeError naming the parameter whose
// message reads "parameter `P` must be EXPECTED, got FOUND", and that also
// keeps what was expected and the kind found, so that a binding to another
// language can word the message in that language's own terms.
class WrongKind : public TypeError {
 public:
  WrongKind(std::string parameter, Kinds expected, Record::value_t found);
  Kinds expected() const noexcept { return expected_; }
  Record::value_t found() const noexcept { return found_; }

 private:
  Kinds expected_;
  Record::value_t found_;
};

// Each returns `value` when it is of the named kind and otherwise throws
// WrongKind naming `parameter`.
const Record& require_map(const Record& value, std::string_view parameter);
Record& require_map(Record& value, std::string_view parameter);
const Record& require_list(const Record& value, std::string_view parameter);
Record& require_list(Record& value, std::string_view parameter);

// A string value that is valid UTF-8; TypeError naming `parameter` otherwise.
const std::string& require_string(const Record& value, std::string_view parameter);

// Any number, truncated toward zero (100.9 gives 100, -2.5 gives -2). Truth
// values and non-numbers throw TypeError naming `parameter`; a number whose
// truncation lies outside the 64-bit integer range (or is not finite) is of
// the right kind but unusable, and throws KvException(INVALID_PARAMETERS)
// naming `parameter` and the value.
std::int64_t require_integer(const Record& value, std::string_view parameter);

// A position or length read from a record: require_integer, and not negative
// (KvException(INVALID_PARAMETERS) naming `parameter` and the value).
std::int64_t require_position(const Record& value, std::string_view parameter);

// a + b, for positions and lengths. KvException(INVALID_PARAMETERS) naming
// `parameter` and both values when the sum lies outside the 64-bit range;
// nothing ever wraps.
std::int64_t add_positions(std::int64_t a, std::int64_t b, std::string_view parameter);

// A truth value; TypeError naming `parameter` otherwise.
bool require_bool(const Record& value, std::string_view parameter);

// The value under `key` of a map; KeyError naming `key` when it is missing.
// `map` must be a map (TypeError naming `parameter` otherwise).
const Record& at(const Record& map, std::string_view key, std::string_view parameter = "record");
Record& at(Record& map, std::string_view key, std::string_view parameter = "record");

// True when `map` is a map that holds `key`.
bool has_key(const Record& map, std::string_view key) noexcept;

// True for a value that counts as "no value": null, false, 0 (integer or
// real), "", [] and {}. Every other value, "0" and " " included, is a value.
// (Record::empty() cannot decide this: it is false for every string and
// number.)
bool is_empty_value(const Record& value) noexcept;

// Makes `record` null, emptying its containers innermost first, so that
// nothing is allocated on the way: the JSON library's own destruction of a
// container moves its children into a scratch list allocated for it (one
// allocation per container, which for records of many small objects, such
// as a segment's entities, is a large share of their cost).
void dispose(Record& record) noexcept;

// How deeply records read from outside may nest: a scalar is level 0, [] and
// {} level 1, [[]] level 2. Deeper input is refused before it is parsed, so
// that no later copy, comparison or print runs out of stack.
inline constexpr std::size_t kMaxRecordDepth = 1000;

// The byte offset, in JSON text, of the first '[' or '{' that opens a level
// deeper than `max_depth`, or std::string_view::npos when there is none.
// Brackets inside strings do not count. One pass, no allocation; text that
// is not valid JSON is scanned as far as it goes (the parser reports it).
std::size_t find_excess_nesting(std::string_view json_text,
                                std::size_t max_depth = kMaxRecordDepth) noexcept;

// Optional fields of a serialised record: a missing key or a null value
// gives the absent value; anything else must be of the named kind
// (TypeError naming `key` otherwise; integers as require_integer).
std::optional<std::int64_t> optional_integer(const Record& map, std::string_view key);
std::optional<std::string> optional_string(const Record& map, std::string_view key);
std::optional<bool> optional_bool(const Record& map, std::string_view key);

// An absent value as null, a present one as itself.
template <class T>
Record or_null(const std::optional<T>& value) {
  return value ? Record(*value) : Record(nullptr);
}

}  // namespace kelvra::common
