#include "kelvra/common/record.h"

#include <cmath>

#include "kelvra/common/exceptions.h"
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
  if (value.is_number_integer()) return value.get<std::int64_t>();
  if (value.is_number_unsigned()) {
    auto u = value.get<std::uint64_t>();
    if (u > static_cast<std::uint64_t>(INT64_MAX))
      wrong_kind(value, parameter, "an integer within 64 bits");
    return static_cast<std::int64_t>(u);
  }
  if (value.is_number_float()) {
    double d = std::trunc(value.get<double>());
    // 2^63 is exactly representable; anything at or beyond it does not fit.
    if (!std::isfinite(d) || d >= 9223372036854775808.0 || d < -9223372036854775808.0)
      wrong_kind(value, parameter, "a finite number within 64 bits");
    return static_cast<std::int64_t>(d);
  }
  wrong_kind(value, parameter, "a number");
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
