// Records seen through a model, and the rules every module applies to the
// records it reads and changes, written once for any representation.
//
// The operations that read and change records (stitching, passages,
// carrying entities into segments, reading feature records) are templates
// over a RecordModel: a small set of static functions that test a value's
// kind, look up and set keys, read numbers and strings, and make new values.
// The library instantiates them with JsonModel (json_model.h, its ordered
// JSON Record); the Python extension with a model of CPython's own objects,
// so that the caller's dicts are changed where they stand and no record is
// converted. Internal: neither installed nor part of any module's interface.
//
//   template <RecordModel M>
//   std::int64_t start_of(const typename M::Value& entity) {
//     return position_of<M>(at<M>(entity, keys::offset, "ne"), "offset");
//   }
#pragma once

#include <cmath>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "kelvra/common/exceptions.h"
#include "kelvra/common/record.h"

namespace kelvra::common::records {

// What a value is, as far as the rules care. kOther is anything a record
// cannot hold (a model may meet such values; the rules refuse them where
// they need a kind).
enum class ValueKind : std::uint8_t { kNull, kTruthValue, kNumber, kString, kList, kMap, kOther };

// A number read from a record: an integer that fits 64 bits, a real, an
// integer beyond the 64-bit signed range (of the right kind but unusable
// as a position), or kNone for a value that is no number. Sixteen bytes,
// so that it travels in registers.
struct Number {
  enum class Kind : std::uint8_t { kNone, kInteger, kReal, kBeyond };
  Kind kind = Kind::kNone;
  union {
    std::int64_t integer = 0;
    double real;
  };

  static constexpr Number of(std::int64_t value) noexcept {
    Number number;
    number.kind = Kind::kInteger;
    number.integer = value;
    return number;
  }
  static constexpr Number of_real(double value) noexcept {
    Number number;
    number.kind = Kind::kReal;
    number.real = value;
    return number;
  }
  static constexpr Number beyond() noexcept {
    Number number;
    number.kind = Kind::kBeyond;
    return number;
  }
  explicit constexpr operator bool() const noexcept { return kind != Kind::kNone; }
};

// A key of the toolkit's records. `slot` numbers the keys below, so that a
// model can prepare one key object per key once (a key outside the list
// has kNoSlot).
struct Key {
  std::string_view name;
  std::uint8_t slot;
};
inline constexpr std::uint8_t kNoSlot = 0xff;

namespace keys {
inline constexpr Key text{"text", 0};
inline constexpr Key offset{"offset", 1};
inline constexpr Key length{"length", 2};
inline constexpr Key nes{"nes", 3};
inline constexpr Key relations{"relations", 4};
inline constexpr Key head{"head", 5};
inline constexpr Key tail{"tail", 6};
inline constexpr Key spans{"spans", 7};
inline constexpr Key feature_set{"feature_set", 8};
inline constexpr Key entities{"entities", 9};
inline constexpr Key uuid{"uuid", 10};
inline constexpr Key name{"name", 11};
inline constexpr Key category{"category", 12};
inline constexpr Key type{"type", 13};
inline constexpr Key zh_content{"zh_content", 14};
inline constexpr Key content_zh{"content_zh", 15};
inline constexpr Key id{"id", 16};
inline constexpr Key pos{"pos", 17};
inline constexpr Key sentence_id{"sentence_id", 18};
inline constexpr Key clause_id{"clause_id", 19};
inline constexpr Key parent{"parent", 20};
inline constexpr Key relation{"relation", 21};
inline constexpr Key mask{"mask", 22};
inline constexpr Key lemma{"lemma", 23};
inline constexpr Key tense{"tense", 24};
inline constexpr Key clauses{"clauses", 25};
inline constexpr Key words{"words", 26};
inline constexpr Key sentences{"sentences", 27};
inline constexpr Key normalized_text{"normalized_text", 28};
inline constexpr Key alter_words{"alter_words", 29};
inline constexpr std::uint8_t kCount = 30;
}  // namespace keys

// Part of a string value: bytes [byte_begin, byte_end) of its UTF-8, code
// points [begin, end). New strings that are parts of a text are made from
// it, so that a model can cut its own string object without decoding.
struct Slice {
  std::size_t byte_begin;
  std::size_t byte_end;
  std::int64_t begin;
  std::int64_t end;
};

// A representation of records. Value is a cheap handle to a value held
// somewhere (a false one for a missing key); Owned is a value not yet
// stored anywhere. Reading functions take a Value whose kind the caller has
// tested where they say so (find a map, item a list). A model may hold
// references in its Values, so that the records they point to stay alive
// while a template works on them.
template <class M>
concept RecordModel = requires(const typename M::Value& value, typename M::Owned owned,
                               typename M::Owned& holder, Key key, std::size_t index,
                               std::string_view text, std::int64_t integer, double real,
                               const Slice& slice, Kinds kinds) {
  { static_cast<bool>(value) } -> std::same_as<bool>;
  { M::kind(value) } -> std::same_as<ValueKind>;
  // Maps: the value under `key`, or a false Value when it is missing.
  { M::find(value, key) } -> std::same_as<typename M::Value>;
  // Lists, maps and strings: the number of items (zero exactly when empty).
  { M::size(value) } -> std::same_as<std::size_t>;
  { M::item(value, index) } -> std::same_as<typename M::Value>;
  // Numbers: the number; Number{} (kind kNone) for anything else.
  { M::number(value) } -> std::same_as<Number>;
  // Strings: the text as valid UTF-8 (TypeError naming the parameter).
  { M::string(value, text) } -> std::same_as<std::string_view>;
  { M::truth_value(value) } -> std::same_as<bool>;
  // The record text form of a value, for messages.
  { M::text_form(value) } -> std::same_as<std::string>;
  // Throws the model's TypeError: parameter `text` must be `kinds`.
  M::wrong_kind(value, text, kinds);
  // Changing maps in place: setting a key (to a number: set_number), and
  // saving what a key of a map holds before it is set (the value, and the
  // number it holds where it is one; `in_result`: the map is kept alive by
  // whoever collects the results), so that it can be put back.
  M::set(value, key, std::move(owned));
  M::set_number(value, key, std::declval<const Number&>());
  typename M::Saved;
  {
    M::save(value, key, value, std::declval<const Number&>(), true)
    } -> std::same_as<typename M::Saved>;
  M::restore(std::declval<typename M::Saved&>());
  { M::take(value, key) } -> std::same_as<typename M::Owned>;
  // The value itself as an Owned: a copy, or another reference to it; and
  // the same for a value whose holder gives it up.
  { M::share(value) } -> std::same_as<typename M::Owned>;
  { M::move_out(value) } -> std::same_as<typename M::Owned>;
  // A deep copy (records nested deeper than kMaxRecordDepth refused, see
  // check_depth).
  { M::deep_copy(value, text) } -> std::same_as<typename M::Owned>;
  { M::view(holder) } -> std::same_as<typename M::Value>;
  // New values.
  { M::make_map() } -> std::same_as<typename M::Owned>;
  { M::make_list(index) } -> std::same_as<typename M::Owned>;
  M::append(holder, std::move(owned));
  { M::make_null() } -> std::same_as<typename M::Owned>;
  { M::make_integer(integer) } -> std::same_as<typename M::Owned>;
  { M::make_real(real) } -> std::same_as<typename M::Owned>;
  { M::make_string(text) } -> std::same_as<typename M::Owned>;
  // A part of the string `value`, whose UTF-8 is `text`.
  { M::make_substring(value, text, slice) } -> std::same_as<typename M::Owned>;
  // Held while work that touches no record runs (the Python model lets
  // other threads run meanwhile).
  typename M::Unlocked;
};

// --- the rules, once for every model ---

// A number of the right kind whose value cannot serve: KvException
// (INVALID_PARAMETERS) "`PARAMETER` must be EXPECTED, got VALUE".
[[noreturn]] void unusable_number(std::string_view parameter, std::string_view expected,
                                  const std::string& value_text);

// Refuses a level of nesting deeper than kMaxRecordDepth, for operations
// that walk records recursively: KvException(INVALID_PARAMETERS) naming
// `parameter`.
void check_depth(std::size_t depth, std::string_view parameter);

inline constexpr std::string_view kInt64Range = "a finite number within the 64-bit integer range";
inline constexpr std::string_view kNonNegative = "a position or length of at least 0";

constexpr Kinds kind_bit(ValueKind kind) noexcept {
  switch (kind) {
    case ValueKind::kNull:
      return Kinds::null;
    case ValueKind::kTruthValue:
      return Kinds::truth_value;
    case ValueKind::kNumber:
      return Kinds::number;
    case ValueKind::kString:
      return Kinds::string;
    case ValueKind::kList:
      return Kinds::list;
    case ValueKind::kMap:
      return Kinds::map;
    case ValueKind::kOther:
      break;
  }
  return Kinds{};
}

// `value` when it is of one of the `expected` kinds; the model's TypeError
// naming `parameter` otherwise.
template <RecordModel M>
const typename M::Value& require(const typename M::Value& value, Kinds expected,
                                 std::string_view parameter) {
  if (!includes(expected, kind_bit(M::kind(value)))) M::wrong_kind(value, parameter, expected);
  return value;
}

// The value under `key` of the map `map` (TypeError naming `parameter` when
// it is not a map); KeyError naming the key when it is missing.
template <RecordModel M>
typename M::Value at(const typename M::Value& map, Key key, std::string_view parameter) {
  require<M>(map, Kinds::map, parameter);
  typename M::Value found = M::find(map, key);
  if (!found) throw KeyError(std::string(key.name));
  return found;
}

// True when `value` is a map that holds `key`.
template <RecordModel M>
bool has_key(const typename M::Value& value, Key key) {
  return M::kind(value) == ValueKind::kMap && static_cast<bool>(M::find(value, key));
}

template <RecordModel M>
std::string_view string_of(const typename M::Value& value, std::string_view parameter) {
  return M::string(require<M>(value, Kinds::string, parameter), parameter);
}

// Any number, truncated toward zero; a number whose truncation lies outside
// the 64-bit range (or is not finite) is refused as unusable.
template <RecordModel M>
std::int64_t integer_of(const typename M::Value& value, std::string_view parameter) {
  const Number number = M::number(require<M>(value, Kinds::number, parameter));
  switch (number.kind) {
    case Number::Kind::kNone:
      M::wrong_kind(value, parameter, Kinds::number);
    case Number::Kind::kInteger:
      return number.integer;
    case Number::Kind::kBeyond:
      break;
    case Number::Kind::kReal: {
      const double truncated = std::trunc(number.real);
      // 2^63 is exactly representable; anything at or beyond it does not fit.
      if (std::isfinite(truncated) && truncated < 9223372036854775808.0 &&
          truncated >= -9223372036854775808.0)
        return static_cast<std::int64_t>(truncated);
      break;
    }
  }
  unusable_number(parameter, kInt64Range, M::text_form(value));
}

// A position or length: integer_of, and not negative.
template <RecordModel M>
std::int64_t position_of(const typename M::Value& value, std::string_view parameter) {
  const std::int64_t position = integer_of<M>(value, parameter);
  if (position < 0) unusable_number(parameter, kNonNegative, M::text_form(value));
  return position;
}

template <RecordModel M>
bool truth_value_of(const typename M::Value& value, std::string_view parameter) {
  return M::truth_value(require<M>(value, Kinds::truth_value, parameter));
}

// "No value": null, false, 0 (integer or real), "", [] and {}. Every other
// value, "0" and " " included, is a value.
template <RecordModel M>
bool is_empty_value(const typename M::Value& value) {
  switch (M::kind(value)) {
    case ValueKind::kNull:
      return true;
    case ValueKind::kTruthValue:
      return !M::truth_value(value);
    case ValueKind::kNumber: {
      const Number number = M::number(value);
      if (number.kind == Number::Kind::kInteger) return number.integer == 0;
      return number.kind == Number::Kind::kReal && number.real == 0.0;
    }
    case ValueKind::kString:
    case ValueKind::kList:
    case ValueKind::kMap:
      return M::size(value) == 0;
    case ValueKind::kOther:
      break;
  }
  return false;
}

// Optional fields of a serialised record: a missing key or null gives the
// absent value; anything else must be of the kind (TypeError naming the key).
template <RecordModel M>
std::optional<std::int64_t> optional_integer(const typename M::Value& map, Key key) {
  const typename M::Value value = M::find(map, key);
  if (!value || M::kind(value) == ValueKind::kNull) return std::nullopt;
  return integer_of<M>(value, key.name);
}

template <RecordModel M>
std::optional<std::string> optional_string(const typename M::Value& map, Key key) {
  const typename M::Value value = M::find(map, key);
  if (!value || M::kind(value) == ValueKind::kNull) return std::nullopt;
  return std::string(string_of<M>(value, key.name));
}

template <RecordModel M>
std::optional<bool> optional_truth_value(const typename M::Value& map, Key key) {
  const typename M::Value value = M::find(map, key);
  if (!value || M::kind(value) == ValueKind::kNull) return std::nullopt;
  return truth_value_of<M>(value, key.name);
}

}  // namespace kelvra::common::records
