// Values across the Python boundary: the kind checks that name a
// parameter, the one way their messages are worded, and Python objects to
// records and back for the calls that take a converted record (the record
// operations themselves read the caller's objects: record_model.h).
//
// A check that fails raises TypeError naming the parameter before the
// library is called.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "kelvra/common/exceptions.h"
#include "kelvra/common/record.h"

namespace kelvra::python {

namespace py = pybind11;
using kelvra::Record;

// The Python name of an object's type, for messages (type(value).__name__).
std::string type_name(py::handle value);

// Python's words for kinds of record values: "a dict", "a list or None", ...
std::string python_kinds(kelvra::common::Kinds expected);

// The Python type of a value of the library's records of kind `kind`.
std::string_view python_type_of(kelvra::Record::value_t kind);

// Raises TypeError naming `parameter`. Every message of a value of the
// wrong kind, whoever finds it (these checks, the record operations, the
// library's own kind checks), is the library's must_be_message in Python's
// words: "`PARAMETER` must be a str, got int".
[[noreturn]] void wrong_kind(py::handle value, std::string_view parameter,
                             std::string_view expected);

// What a record can hold, for messages.
inline constexpr std::string_view kRecordValues =
    "a value a record can hold (dict, list, str, int, float, bool, None)";

// A str as UTF-8, without copying: the view lives as long as the str.
// TypeError naming `parameter` for anything else (or a lone surrogate).
std::string_view require_str(py::handle value, std::string_view parameter);
std::optional<std::string_view> optional_str(py::handle value, std::string_view parameter);

// A file system path, as open() takes one: a str, bytes or any os.PathLike,
// in the file system's encoding. TypeError naming `parameter` for anything
// else; ValueError "embedded null byte" (as open() says) when it holds a
// NUL, which the system would take for its end.
std::string require_path(py::handle value, std::string_view parameter);
std::optional<std::string> optional_path(py::handle value, std::string_view parameter);

// Any real number (int, float, numpy scalars; not bool), truncated toward
// zero. TypeError naming `parameter` otherwise, or when it does not fit in
// 64 bits.
std::int64_t require_int(py::handle value, std::string_view parameter);
std::optional<std::int64_t> optional_int(py::handle value, std::string_view parameter);

// Exactly a bool (or None where allowed).
bool require_bool(py::handle value, std::string_view parameter);
std::optional<bool> optional_bool(py::handle value, std::string_view parameter);

// Python's truth test of any value, for the switches that are described as
// tested for truth rather than declared as truth values (normalize's).
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
// bool, None. Anything else is a TypeError naming `parameter`; nesting
// deeper than kMaxRecordDepth a KvException(INVALID_PARAMETERS).
Record to_record(py::handle value, std::string_view parameter);

// Record -> new Python objects (dict, list, str, int, float, bool, None).
py::object from_record(const Record& value);
py::object from_record(Record&& value);

// A new list holding the objects (which are released into it).
py::list to_list(std::vector<py::object>& objects);

// A str from UTF-8 that the library produced (always valid).
py::str to_str(std::string_view text);

// A bytes object of `bytes` (a saved form, for pickling).
inline py::bytes bytes_of(const std::string& bytes) {
  return py::bytes(bytes.data(), bytes.size());
}

// The content of the bytes object in a pickled state, without copying: the
// view lives as long as the object. TypeError "cannot restore WHAT: bytes
// expected" for anything else.
std::string_view state_bytes(py::handle value, const char* what);

// Holds Python's cyclic garbage collector off while a call makes a great
// many container objects at once (the records of a long text): they are
// all reachable from the result, yet every few hundred of them would set
// off a collection that walks the ones made before again, a third of the
// time of a long split. Pauses on several threads (each making its records
// in turns under the GIL) count as one: the first switches the collector
// off, the last one to end switches it back on if it was on, failures
// included; a thread that ended its pause early would otherwise switch it
// on under another that is still making records. Only with the GIL held,
// which also guards the count.
class CollectionPause {
 public:
  CollectionPause() noexcept {
    if (active_++ == 0) was_on_ = PyGC_Disable() == 1;
  }
  ~CollectionPause() {
    if (--active_ == 0 && was_on_) PyGC_Enable();
  }
  CollectionPause(const CollectionPause&) = delete;
  CollectionPause& operator=(const CollectionPause&) = delete;

 private:
  static inline int active_ = 0;       // pauses begun and not ended, on any thread
  static inline bool was_on_ = false;  // the collector's state when the first began
};

// A vector handed to NumPy without a copy: the array owns it.
template <class T>
pybind11::array_t<T> array_of(std::vector<T>&& values) {
  auto* owned = new std::vector<T>(std::move(values));
  pybind11::capsule owner(owned, [](void* p) { delete static_cast<std::vector<T>*>(p); });
  return pybind11::array_t<T>(static_cast<pybind11::ssize_t>(owned->size()), owned->data(), owner);
}

}  // namespace kelvra::python
