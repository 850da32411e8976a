// CPython's own objects as records: the model the extension instantiates
// the library's record operations with (kelvra/common/internal/record_model.h),
// so that they read and change the caller's dicts and lists where they stand.
//
//   PyValue segments = PyValue::borrowed(py_segments);
//   auto merged = stitcher::internal::merge<PyModel>(kind, count, at);
//
// Maps are dicts, lists are lists, strings str, numbers int and float (and
// number objects of other types through __index__ or __float__, bool
// excluded), null None. A kelvra.nlp.common.matcher.Word is read as the
// map {"text", "length", "offset"}; setting one of those changes the Word.
// Every Value holds a reference to its object, so a record stays alive
// while an operation works on it whatever the caller's other code does
// meanwhile. All of it runs with the GIL held.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <pybind11/pybind11.h>

#include "kelvra/common/internal/record_model.h"

namespace kelvra::python {

namespace py = pybind11;
namespace records = kelvra::common::records;

// A value of a record: an object, or an integer field of a matcher Word
// (held as a C integer, not as an object). Holds a reference.
class PyValue {
 public:
  enum class Field : std::int8_t { kNone = -1, kLength = 0, kOffset = 1 };

  PyValue() noexcept = default;
  // A new reference to `object` (which may be null: a missing value).
  static PyValue borrowed(PyObject* object) noexcept {
    Py_XINCREF(object);
    return PyValue(object, Field::kNone);
  }
  static PyValue field(PyObject* word, Field which) noexcept {
    Py_INCREF(word);
    return PyValue(word, which);
  }

  PyValue(const PyValue& other) noexcept : object_(other.object_), field_(other.field_) {
    Py_XINCREF(object_);
  }
  PyValue(PyValue&& other) noexcept : object_(std::exchange(other.object_, nullptr)), field_(other.field_) {}
  PyValue& operator=(PyValue other) noexcept {
    std::swap(object_, other.object_);
    std::swap(field_, other.field_);
    return *this;
  }
  ~PyValue() { Py_XDECREF(object_); }

  explicit operator bool() const noexcept { return object_ != nullptr; }
  // The object, or the Word whose field this is.
  PyObject* object() const noexcept { return object_; }
  Field which() const noexcept { return field_; }

 private:
  PyValue(PyObject* object, Field which) noexcept : object_(object), field_(which) {}

  PyObject* object_ = nullptr;
  Field field_ = Field::kNone;
};

struct PyModel {
  using Value = PyValue;
  using Owned = py::object;
  using Unlocked = py::gil_scoped_release;

  static records::ValueKind kind(const Value& value);
  static Value find(const Value& map, records::Key key);
  static std::size_t size(const Value& value);
  static Value item(const Value& list, std::size_t index) {
    return PyValue::borrowed(PyList_GET_ITEM(list.object(), static_cast<Py_ssize_t>(index)));
  }
  static std::optional<records::Number> number(const Value& value);
  static std::string_view string(const Value& value, std::string_view parameter);
  static bool truth_value(const Value& value) { return value.object() == Py_True; }
  static std::string text_form(const Value& value);
  [[noreturn]] static void wrong_kind(const Value& value, std::string_view parameter,
                                      kelvra::common::Kinds expected);

  static void set(const Value& map, records::Key key, Owned value);
  static Owned take(const Value& map, records::Key key);
  static Owned share(const Value& value);
  static Owned move_out(const Value& value) { return share(value); }
  static Owned deep_copy(const Value& value, std::string_view parameter);
  static Value view(Owned& owned) noexcept { return PyValue::borrowed(owned.ptr()); }

  static Owned make_map();
  static Owned make_list(std::size_t reserve);
  static void append(Owned& list, Owned item);
  static Owned make_null() { return py::none(); }
  static Owned make_integer(std::int64_t value);
  static Owned make_real(double value);
  static Owned make_string(std::string_view text);
  static Owned make_substring(const Value& text_value, std::string_view text, const records::Slice& slice);

  // The str of a key: one interned object per listed key, made on first use.
  static py::object key_object(records::Key key);
};

static_assert(records::RecordModel<PyModel>);

}  // namespace kelvra::python
