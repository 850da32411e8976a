// The library's own records, kelvra::Record (ordered JSON), as a
// RecordModel: a Value points at a Record, an Owned is a Record.
//
//   using M = kelvra::common::records::JsonModel;
//   std::int64_t offset = position_of<M>(at<M>(M::view(ne), keys::offset, "ne"), "offset");
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "kelvra/common/internal/record_model.h"
#include "kelvra/common/record.h"
#include "kelvra/common/text_form.h"
#include "kelvra/common/utf8.h"

namespace kelvra::common::records {

struct JsonModel {
  using Value = Record*;
  using Owned = Record;
  struct Unlocked {};

  // Reading never writes through a Value, so a const record may be viewed.
  static Value view(const Record& record) noexcept { return const_cast<Record*>(&record); }
  static Value view(Record& record) noexcept { return &record; }

  static ValueKind kind(Value value) noexcept {
    switch (value->type()) {
      case Record::value_t::null:
        return ValueKind::kNull;
      case Record::value_t::boolean:
        return ValueKind::kTruthValue;
      case Record::value_t::number_integer:
      case Record::value_t::number_unsigned:
      case Record::value_t::number_float:
        return ValueKind::kNumber;
      case Record::value_t::string:
        return ValueKind::kString;
      case Record::value_t::array:
        return ValueKind::kList;
      case Record::value_t::object:
        return ValueKind::kMap;
      default:
        return ValueKind::kOther;
    }
  }

  static Value find(Value map, Key key) {
    auto it = map->find(key.name);
    return it == map->end() ? nullptr : &*it;
  }
  static std::size_t size(Value value) noexcept {
    return value->is_string() ? value->get_ref<const std::string&>().size() : value->size();
  }
  static Value item(Value list, std::size_t index) { return &(*list)[index]; }

  static Number number(Value value) noexcept {
    // is_number_integer() holds for unsigned numbers too: ask about them first.
    if (value->is_number_unsigned()) {
      const auto u = value->get<std::uint64_t>();
      if (u > static_cast<std::uint64_t>(INT64_MAX)) return Number::beyond();
      return Number::of(static_cast<std::int64_t>(u));
    }
    if (value->is_number_integer()) return Number::of(value->get<std::int64_t>());
    if (value->is_number_float()) return Number::of_real(value->get<double>());
    return {};
  }
  static std::string_view string(Value value, std::string_view parameter) {
    const std::string& text = value->get_ref<const std::string&>();
    utf8::require_valid(text, parameter);
    return text;
  }
  static bool truth_value(Value value) { return value->get<bool>(); }
  static std::string text_form(Value value) { return to_text_form(*value); }
  [[noreturn]] static void wrong_kind(Value value, std::string_view parameter, Kinds expected) {
    throw WrongKind(std::string(parameter), expected, value->type());
  }

  static void set(Value map, Key key, Owned value) {
    auto it = map->find(key.name);
    if (it != map->end())
      *it = std::move(value);
    else
      (*map)[std::string(key.name)] = std::move(value);
  }
  static void set_number(Value map, Key key, const Number& number) {
    if (number.kind == Number::Kind::kReal)
      set(map, key, number.real);
    else
      set(map, key, number.integer);
  }
  static Owned take(Value map, Key key) {
    auto it = map->find(key.name);
    Owned out = std::move(*it);
    map->erase(it);
    return out;
  }
  // A value about to be replaced, and where it stood.
  struct Saved {
    Record* target;
    Record value;
  };
  static Saved save(Value, Key, Value value, const Number&, bool) { return {value, *value}; }
  static void restore(Saved& saved) { *saved.target = std::move(saved.value); }

  static Owned share(Value value) { return *value; }
  static Owned move_out(Value value) { return std::move(*value); }
  static Owned deep_copy(Value value, std::string_view parameter) {
    Owned out;
    copy_into(out, *value, parameter, 0);
    return out;
  }

  static Owned make_map() { return Record::object(); }
  static Owned make_list(std::size_t reserve) {
    Owned list = Record::array();
    list.get_ref<Record::array_t&>().reserve(reserve);
    return list;
  }
  static void append(Owned& list, Owned item) {
    list.get_ref<Record::array_t&>().push_back(std::move(item));
  }
  static Owned make_null() { return nullptr; }
  static Owned make_integer(std::int64_t value) { return value; }
  static Owned make_real(double value) { return value; }
  static Owned make_string(std::string_view text) { return std::string(text); }
  static Owned make_substring(Value, std::string_view text, const Slice& slice) {
    return std::string(text.substr(slice.byte_begin, slice.byte_end - slice.byte_begin));
  }

 private:
  // Record's own copy recurses without a limit; this one refuses what the
  // edge would have refused.
  static void copy_into(Record& out, const Record& value, std::string_view parameter,
                        std::size_t depth) {
    if (value.is_object()) {
      check_depth(depth + 1, parameter);
      out = Record::object();
      auto& entries = out.get_ref<Record::object_t&>();
      entries.reserve(value.size());
      for (const auto& [key, item] : value.items()) {
        entries.Container::emplace_back(key, nullptr);
        copy_into(entries.back().second, item, parameter, depth + 1);
      }
    } else if (value.is_array()) {
      check_depth(depth + 1, parameter);
      out = Record::array();
      auto& items = out.get_ref<Record::array_t&>();
      items.resize(value.size());
      for (std::size_t i = 0; i < items.size(); ++i)
        copy_into(items[i], value[i], parameter, depth + 1);
    } else {
      out = value;
    }
  }
};

static_assert(RecordModel<JsonModel>);

}  // namespace kelvra::common::records
