#include "kelvra/common/record.h"

#include <cmath>
#include <utility>
#include <vector>

#include "kelvra/common/exceptions.h"
#include "kelvra/common/internal/json_model.h"
#include "kelvra/common/text_form.h"
#include "kelvra/common/utf8.h"
#include "kelvra/common/utils.h"

namespace kelvra::common {

std::string_view kind_name(const Record& value) noexcept {
  switch (value.type()) {
    case Record::value_t::object:
      return "map";
    case Record::value_t::array:
      return "list";
    case Record::value_t::string:
      return "string";
    case Record::value_t::number_integer:
    case Record::value_t::number_unsigned:
      return "integer";
    case Record::value_t::number_float:
      return "real";
    case Record::value_t::boolean:
      return "truth value";
    case Record::value_t::null:
      return "null";
    case Record::value_t::binary:
      return "binary";
    case Record::value_t::discarded:
      return "discarded";
  }
  return "unknown";
}

std::string expected_kinds(Kinds expected) {
  static constexpr std::pair<Kinds, std::string_view> kWords[] = {
      {Kinds::map, "a map"},
      {Kinds::list, "a list"},
      {Kinds::string, "a string"},
      {Kinds::number, "a number"},
      {Kinds::truth_value, "a truth value"},
      {Kinds::null, "null"}};
  std::string out;
  for (const auto& [kind, words] : kWords) {
    if (!includes(expected, kind)) continue;
    if (!out.empty()) out += " or ";
    out += words;
  }
  return out;
}

WrongKind::WrongKind(std::string parameter, Kinds expected, Record::value_t found)
    : TypeError(parameter, "parameter " + must_be_message(parameter, expected_kinds(expected),
                                                          kind_name(Record(found)))),
      expected_(expected),
      found_(found) {}

namespace records {

void unusable_number(std::string_view parameter, std::string_view expected,
                     const std::string& value_text) {
  throw KvException(ErrorCodes::INVALID_PARAMETERS,
                    must_be_message(parameter, expected, value_text));
}

void check_depth(std::size_t depth, std::string_view parameter) {
  if (depth > kMaxRecordDepth)
    throw KvException(ErrorCodes::INVALID_PARAMETERS,
                      "`" + std::string(parameter) + "` is nested deeper than " +
                          std::to_string(kMaxRecordDepth) + " levels");
}

}  // namespace records

namespace {

using records::JsonModel;
using M = JsonModel;

}  // namespace

const Record& require_map(const Record& value, std::string_view parameter) {
  records::require<M>(M::view(value), Kinds::map, parameter);
  return value;
}

Record& require_map(Record& value, std::string_view parameter) {
  records::require<M>(M::view(value), Kinds::map, parameter);
  return value;
}

const Record& require_list(const Record& value, std::string_view parameter) {
  records::require<M>(M::view(value), Kinds::list, parameter);
  return value;
}

Record& require_list(Record& value, std::string_view parameter) {
  records::require<M>(M::view(value), Kinds::list, parameter);
  return value;
}

const std::string& require_string(const Record& value, std::string_view parameter) {
  records::string_of<M>(M::view(value), parameter);
  return value.get_ref<const std::string&>();
}

std::int64_t require_integer(const Record& value, std::string_view parameter) {
  return records::integer_of<M>(M::view(value), parameter);
}

std::int64_t require_position(const Record& value, std::string_view parameter) {
  return records::position_of<M>(M::view(value), parameter);
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
  return records::truth_value_of<M>(M::view(value), parameter);
}

const Record& at(const Record& map, std::string_view key, std::string_view parameter) {
  return *records::at<M>(M::view(map), records::Key{key, records::kNoSlot}, parameter);
}

Record& at(Record& map, std::string_view key, std::string_view parameter) {
  return *records::at<M>(M::view(map), records::Key{key, records::kNoSlot}, parameter);
}

bool has_key(const Record& map, std::string_view key) noexcept {
  return map.is_object() && map.find(key) != map.end();
}

void dispose(Record& record) noexcept {
  if (!record.is_structured()) {
    record = nullptr;
    return;
  }
  // The containers in an order where each comes before those inside it
  // (a list of this thread's, kept for the next record); emptied from the
  // back, each meets only empty containers inside it.
  thread_local std::vector<Record*> containers;
  try {
    containers.push_back(&record);
    for (std::size_t i = 0; i < containers.size(); ++i) {
      Record& container = *containers[i];
      if (container.is_array()) {
        for (Record& item : container.get_ref<Record::array_t&>())
          if (item.is_structured() && !item.empty()) containers.push_back(&item);
      } else {
        for (auto& member : container.get_ref<Record::object_t&>())
          if (member.second.is_structured() && !member.second.empty())
            containers.push_back(&member.second);
      }
    }
    for (std::size_t i = containers.size(); i-- > 0;) {
      Record& container = *containers[i];
      if (container.is_array())
        container.get_ref<Record::array_t&>().clear();
      else
        container.get_ref<Record::object_t&>().clear();
    }
  } catch (...) {
    // Out of memory for the list: the library's destruction does the rest.
  }
  containers.clear();
  if (containers.capacity() > (std::size_t{1} << 16)) free_memory(containers);
  record = nullptr;
}

bool is_empty_value(const Record& value) noexcept {
  return records::is_empty_value<M>(M::view(value));
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
  return records::optional_integer<M>(M::view(map), records::Key{key, records::kNoSlot});
}

std::optional<std::string> optional_string(const Record& map, std::string_view key) {
  return records::optional_string<M>(M::view(map), records::Key{key, records::kNoSlot});
}

std::optional<bool> optional_bool(const Record& map, std::string_view key) {
  return records::optional_truth_value<M>(M::view(map), records::Key{key, records::kNoSlot});
}

}  // namespace kelvra::common
