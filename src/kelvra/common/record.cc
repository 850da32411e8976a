#include "kelvra/common/record.h"

#include <cmath>

#include "kelvra/common/exceptions.h"
#include "kelvra/common/text_form.h"
#include "kelvra/common/utf8.h"

namespace kelvra::common {

std::string_view kind_name(const Record& value) noexcept {
  switch (value.type()) {
    case Record::value_t::object: return "map";
    case Record::value_t::array: return "list";
    case Record::value_t::string: return "string";
    case Record::value_t::number_integer:
    case Record::value_t::number_unsigned: return "integer";
    case Record::value_t::number_float: return "real";
    case Record::value_t::boolean: return "truth value";
    case Record::value_t::null: return "null";
    case Record::value_t::binary: return "binary";
    case Record::value_t::discarded: return "discarded";
  }
  return "unknown";
}

namespace {

[[noreturn]] void wrong_kind(const Record& value, std::string_view parameter,
                             std::string_view expected) {
  throw TypeError(std::string(parameter), "parameter `" + std::string(parameter) +
                                              "` must be " + std::string(expected) +
                                              ", got " + std::string(kind_name(value)));
}

// A number of the right kind whose value cannot serve.
[[noreturn]] void unusable_number(const Record& value, std::string_view parameter,
                                  std::string_view expected) {
  throw KvException(ErrorCodes::INVALID_PARAMETERS,
                    "`" + std::string(parameter) + "` must be " + std::string(expected) +
                        ", got " + to_text_form(value));
}

constexpr std::string_view kInt64Range = "a finite number within the 64-bit integer range";

}  // namespace

const Record& require_map(const Record& value, std::string_view parameter) {
  if (!value.is_object()) wrong_kind(value, parameter, "a map");
  return value;
}

Record& require_map(Record& value, std::string_view parameter) {
  if (!value.is_object()) wrong_kind(value, parameter, "a map");
  return value;
}

const Record& require_list(const Record& value, std::string_view parameter) {
  if (!value.is_array()) wrong_kind(value, parameter, "a list");
  return value;
}

Record& require_list(Record& value, std::string_view parameter) {
  if (!value.is_array()) wrong_kind(value, parameter, "a list");
  return value;
}

const std::string& require_string(const Record& value, std::string_view parameter) {
  if (!value.is_string()) wrong_kind(value, parameter, "a string");
  const auto& text = value.get_ref<const std::string&>();
  utf8::require_valid(text, parameter);
  return text;
}

std::int64_t require_integer(const Record& value, std::string_view parameter) {
  // is_number_integer() holds for unsigned numbers too: ask about them first.
  if (value.is_number_unsigned()) {
    auto u = value.get<std::uint64_t>();
    if (u > static_cast<std::uint64_t>(INT64_MAX)) unusable_number(value, parameter, kInt64Range);
    return static_cast<std::int64_t>(u);
  }
  if (value.is_number_integer()) return value.get<std::int64_t>();
  if (value.is_number_float()) {
    double d = std::trunc(value.get<double>());
    // 2^63 is exactly representable; anything at or beyond it does not fit.
    if (!std::isfinite(d) || d >= 9223372036854775808.0 || d < -9223372036854775808.0)
      unusable_number(value, parameter, kInt64Range);
    return static_cast<std::int64_t>(d);
  }
  wrong_kind(value, parameter, "a number");
}

std::int64_t require_position(const Record& value, std::string_view parameter) {
  const std::int64_t position = require_integer(value, parameter);
  if (position < 0) unusable_number(value, parameter, "a position or length of at least 0");
  return position;
}

std::int64_t add_positions(std::int64_t a, std::int64_t b, std::string_view parameter) {
  std::int64_t sum = 0;
  if (__builtin_add_overflow(a, b, &sum))
    throw KvException(ErrorCodes::INVALID_PARAMETERS,
                      "`" + std::string(parameter) + "`: " + std::to_string(a) + " + " +
                          std::to_string(b) + " lies outside the 64-bit position range");
  return sum;
}

bool require_bool(const Record& value, std::string_view parameter) {
  if (!value.is_boolean()) wrong_kind(value, parameter, "a truth value");
  return value.get<bool>();
}

const Record& at(const Record& map, std::string_view key, std::string_view parameter) {
  require_map(map, parameter);
  auto it = map.find(key);
  if (it == map.end()) throw KeyError(std::string(key));
  return *it;
}

Record& at(Record& map, std::string_view key, std::string_view parameter) {
  require_map(map, parameter);
  auto it = map.find(key);
  if (it == map.end()) throw KeyError(std::string(key));
  return *it;
}

bool has_key(const Record& map, std::string_view key) noexcept {
  return map.is_object() && map.find(key) != map.end();
}

bool is_empty_value(const Record& value) noexcept {
  switch (value.type()) {
    case Record::value_t::null:
    case Record::value_t::discarded: return true;
    case Record::value_t::boolean: return !value.get<bool>();
    case Record::value_t::number_integer: return value.get<std::int64_t>() == 0;
    case Record::value_t::number_unsigned: return value.get<std::uint64_t>() == 0;
    case Record::value_t::number_float: return value.get<double>() == 0.0;
    case Record::value_t::string: return value.get_ref<const std::string&>().empty();
    case Record::value_t::array:
    case Record::value_t::object: return value.empty();
    case Record::value_t::binary: return value.get_binary().empty();
  }
  return false;
}

std::size_t find_excess_nesting(std::string_view json_text, std::size_t max_depth) noexcept {
  std::size_t depth = 0;
  for (std::size_t pos = 0; pos < json_text.size(); ++pos) {
    switch (json_text[pos]) {
      case '"':
        // Skip the string, escapes included; an unterminated one ends the scan.
        for (++pos; pos < json_text.size() && json_text[pos] != '"'; ++pos)
          if (json_text[pos] == '\\') ++pos;
        break;
      case '[':
      case '{':
        if (++depth > max_depth) return pos;
        break;
      case ']':
      case '}':
        if (depth > 0) --depth;
        break;
      default:
        break;
    }
  }
  return std::string_view::npos;
}

std::optional<std::int64_t> optional_integer(const Record& map, std::string_view key) {
  auto it = map.find(key);
  if (it == map.end() || it->is_null()) return std::nullopt;
  return require_integer(*it, key);
}

std::optional<std::string> optional_string(const Record& map, std::string_view key) {
  auto it = map.find(key);
  if (it == map.end() || it->is_null()) return std::nullopt;
  return require_string(*it, key);
}

std::optional<bool> optional_bool(const Record& map, std::string_view key) {
  auto it = map.find(key);
  if (it == map.end() || it->is_null()) return std::nullopt;
  return require_bool(*it, key);
}

}  // namespace kelvra::common
