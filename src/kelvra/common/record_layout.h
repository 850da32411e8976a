// Record layouts: each record kind lists its members, in order, in one
// function template beside its class (clause_members in feature.h,
// word_members in matcher.h, ...). The function hands every member to
// `out.member(key, value)`; `out` decides what becomes of it. RecordMembers
// below builds a Record, which is how each to_json is made; the command-line
// tool hands the same functions its streaming JSON writer, so that a record
// written straight into a buffer and one made by to_json have one layout.
//
//   Record clause = build_record([&](auto& out) { clause_members(out, 0, "done", 0, 3, text); });
//
// A value is what a Record can be made from (a number, a string, a Record),
// or a callable taking no argument that returns one: a list made only when
// it is written.
#pragma once

#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "kelvra/common/record.h"

namespace kelvra::common {

// A layout's members collected into a map record, in the order they come.
class RecordMembers {
 public:
  template <class Value>
  void member(std::string_view key, Value&& value) {
    if constexpr (std::is_invocable_v<Value&>)
      record_[std::string(key)] = value();
    else
      record_[std::string(key)] = std::forward<Value>(value);
  }

  Record take() && { return std::move(record_); }

 private:
  Record record_ = Record::object();
};

// The record `layout(out)` lays out.
template <class Layout>
Record build_record(Layout&& layout) {
  RecordMembers out;
  layout(out);
  return std::move(out).take();
}

}  // namespace kelvra::common
