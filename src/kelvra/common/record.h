// Records: string-keyed maps of JSON values, and the checks every module
// applies to the records and values it is handed.
//
// A Record keeps key order, keeps integers apart from reals and null apart
// from an empty list. The checks below name the offending parameter or key,
// so each module reports bad input the same way.
//
//   const kelvra::Record& ne = kelvra::common::require_map(value, "ne");
//   std::int64_t offset = kelvra::common::require_integer(kelvra::common::at(ne, "offset"), "offset");
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace kelvra {

using Record = nlohmann::ordered_json;

}  // namespace kelvra

namespace kelvra::common {

// A short name for the kind of a value: "map", "list", "string", "integer",
// "real", "truth value", "null" or "binary".
std::string_view kind_name(const Record& value) noexcept;

// Each returns `value` when it is of the named kind and otherwise throws
// TypeError naming `parameter`.
const Record& require_map(const Record& value, std::string_view parameter);
Record& require_map(Record& value, std::string_view parameter);
const Record& require_list(const Record& value, std::string_view parameter);
Record& require_list(Record& value, std::string_view parameter);

// A string value that is valid UTF-8; TypeError naming `parameter` otherwise.
const std::string& require_string(const Record& value, std::string_view parameter);

// Any number, truncated toward zero (100.9 gives 100, -2.5 gives -2). Truth
// values, non-numbers and reals outside the 64-bit range throw TypeError
// naming `parameter`.
std::int64_t require_integer(const Record& value, std::string_view parameter);

// A truth value; TypeError naming `parameter` otherwise.
bool require_bool(const Record& value, std::string_view parameter);

// The value under `key` of a map; KeyError naming `key` when it is missing.
// `map` must be a map (TypeError naming `parameter` otherwise).
const Record& at(const Record& map, std::string_view key,
                 std::string_view parameter = "record");
Record& at(Record& map, std::string_view key, std::string_view parameter = "record");

// True when `map` is a map that holds `key`.
bool has_key(const Record& map, std::string_view key) noexcept;

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
