// Values across the Python boundary: Python objects to records and back,
// the kind checks that name a parameter, and the write-back of in-place
// changes into the caller's own dicts.
//
// Every binding converts its arguments with these helpers, calls the C++
// library and converts the result; the library stays the one
// implementation. A check that fails raises TypeError naming the parameter
// before the library is called.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <pybind11/pybind11.h>

#include "kelvra/common/record.h"

namespace kelvra::python {

namespace py = pybind11;
using kelvra::Record;

// Records nest at most this deep on the way in; deeper input is refused
// rather than risking the C stack in the recursive walks.
inline constexpr int kMaxDepth = 512;

// The Python name of an object's type, for messages.
std::string type_name(py::handle value);

// Raises TypeError naming `parameter`: "`parameter` must be EXPECTED, got TYPE".
[[noreturn]] void wrong_kind(py::handle value, std::string_view parameter,
                             std::string_view expected);

// A str as UTF-8, without copying: the view lives as long as the str.
// TypeError naming `parameter` for anything else (or a lone surrogate).
std::string_view require_str(py::handle value, std::string_view parameter);
std::optional<std::string_view> optional_str(py::handle value, std::string_view parameter);

// Any real number (int, float, numpy scalars; not bool), truncated toward
// zero. TypeError naming `parameter` otherwise, or when it does not fit in
// 64 bits.
std::int64_t require_int(py::handle value, std::string_view parameter);
std::optional<std::int64_t> optional_int(py::handle value, std::string_view parameter);

// Exactly True or False (or None where allowed).
bool require_bool(py::handle value, std::string_view parameter);
std::optional<bool> optional_bool(py::handle value, std::string_view parameter);

// Python's truth test of any value (a switch "tested for truth").
bool truth(py::handle value);

// A list (exactly), a dict (exactly); TypeError naming `parameter` otherwise.
py::list require_list(py::handle value, std::string_view parameter);
py::dict require_dict(py::handle value, std::string_view parameter);

// A list of str, as strings. TypeError naming `parameter` for a value that
// is not a list, or an item that is not a str.
std::vector<std::string> require_str_list(py::handle value, std::string_view parameter);

// The same for a list, tuple, set or frozenset of str.
std::vector<std::string> require_str_collection(py::handle value, std::string_view parameter);

// Python value -> record: dict (str keys), list and tuple, str, int, float,
// bool, None. Anything else is a TypeError naming `parameter`.
Record to_record(py::handle value, std::string_view parameter);

// Record -> new Python objects (dict, list, str, int, float, bool, None).
py::object from_record(const Record& value);
py::object from_record(Record&& value);

// A str from UTF-8 that the library produced (always valid).
py::str to_str(std::string_view text);

// Converts the caller's records for an operation that changes them in place
// and hands back records that are the caller's own:
//   Tracked tracked;
//   Record segments = tracked.to_record(py_segments, "segments");
//   ... the library changes `segments` and returns copies of some of its maps
//   tracked.write_back(segments);             // changes land on the caller's dicts
//   py::object out = tracked.from_record(result);  // copies map to the caller's dicts
// Each dict converted is tagged with a key no caller uses; the library
// leaves keys it does not know alone and copies them along, so the tag
// tells which of the caller's dicts a map (or its copy) stands for. Tags
// never reach the caller.
class Tracked {
 public:
  Record to_record(py::handle value, std::string_view parameter);

  // Writes every tracked map of `root` back into its dict: the dict ends up
  // with exactly the map's keys, in the map's order, and nested maps and
  // lists that stand for the caller's objects are updated where they stand
  // (identity kept).
  void write_back(Record& root);

  // Converts a result: a map with a tag becomes the caller's dict (already
  // written back), everything else new objects.
  py::object from_record(const Record& value);

  // Runs `operation` on `records` and writes the changes back, also when it
  // fails half-way (nothing is rolled back: what it changed stays changed).
  template <class Operation>
  auto apply(Record& records, Operation operation) -> decltype(operation(records)) {
    try {
      auto result = operation(records);
      write_back(records);
      return result;
    } catch (...) {
      write_back(records);
      throw;
    }
  }

 private:
  Record convert(py::handle value, std::string_view parameter, int depth);
  void sync_map(Record& map, PyObject* dict);
  void sync_list(Record& list, PyObject* py_list);
  py::object value_of(Record& value, PyObject* previous);
  PyObject* owner(const Record& map) const;

  // Held, not borrowed: a write-back may drop a dict from the caller's
  // structure while a copy of it still stands in the result.
  std::vector<py::object> dicts_;
  std::unordered_map<const void*, py::object> lists_;  // array storage -> the caller's list
};

// The key that tags tracked maps.
extern const std::string kTagKey;

}  // namespace kelvra::python
