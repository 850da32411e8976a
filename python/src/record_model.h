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

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <pybind11/pybind11.h>

#include "kelvra/common/internal/record_model.h"
#include "match_word.h"

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
  PyValue(PyValue&& other) noexcept
      : object_(std::exchange(other.object_, nullptr)), field_(other.field_) {}
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
  using Field = PyValue::Field;

  // The hot paths (dicts, lists, exact ints and floats, Words) are inline,
  // always: a call per step of a loop over millions of records costs more
  // than the step; the rest is in record_model.cc.
  [[gnu::always_inline]] static records::ValueKind kind(const Value& value) {
    if (value.which() != Field::kNone) return records::ValueKind::kNumber;
    // The exact types first: a subtype test walks the type's bases.
    PyTypeObject* type = Py_TYPE(value.object());
    if (type == &PyDict_Type || type == match_word_type) return records::ValueKind::kMap;
    if (type == &PyLong_Type || type == &PyFloat_Type) return records::ValueKind::kNumber;
    if (type == &PyUnicode_Type) return records::ValueKind::kString;
    if (type == &PyList_Type) return records::ValueKind::kList;
    return other_kind(value.object());
  }
  [[gnu::always_inline]] static Value find(const Value& map, records::Key key) {
    PyObject* object = map.object();
    if (Py_TYPE(object) == match_word_type) return word_find(object, key);
    if (!PyDict_Check(object) || key.slot >= records::keys::kCount) return find_other(map, key);
    PyObject* found = PyDict_GetItemWithError(object, interned_key(key));
    if (found == nullptr && PyErr_Occurred()) throw py::error_already_set();
    return PyValue::borrowed(found);
  }
  // The field `key` of a Word, which holds text, length and offset only.
  [[gnu::always_inline]] static Value word_find(PyObject* word, records::Key key) {
    if (key.slot == records::keys::offset.slot) return PyValue::field(word, Field::kOffset);
    if (key.slot == records::keys::length.slot) return PyValue::field(word, Field::kLength);
    if (key.slot == records::keys::text.slot)
      return PyValue::borrowed(reinterpret_cast<MatchWordObject*>(word)->text);
    return {};
  }
  static std::size_t size(const Value& value) {
    PyObject* object = value.object();
    if (PyList_Check(object)) return static_cast<std::size_t>(PyList_GET_SIZE(object));
    if (PyDict_Check(object)) return static_cast<std::size_t>(PyDict_GET_SIZE(object));
    if (PyUnicode_Check(object)) return static_cast<std::size_t>(PyUnicode_GET_LENGTH(object));
    return 3;  // a Word's three fields
  }
  static Value item(const Value& list, std::size_t index) {
    return PyValue::borrowed(PyList_GET_ITEM(list.object(), static_cast<Py_ssize_t>(index)));
  }
  [[gnu::always_inline]] static records::Number number(const Value& value) {
    using records::Number;
    if (value.which() != Field::kNone) return Number::of(word_field(value));
    PyObject* object = value.object();
    if (PyLong_CheckExact(object)) {
      int overflow = 0;
      const long long integer = PyLong_AsLongLongAndOverflow(object, &overflow);
      if (overflow == 0 && !(integer == -1 && PyErr_Occurred())) return Number::of(integer);
    }
    if (PyFloat_CheckExact(object)) return Number::of_real(PyFloat_AS_DOUBLE(object));
    return other_number(object);
  }
  static std::string_view string(const Value& value, std::string_view parameter);
  static bool truth_value(const Value& value) { return value.object() == Py_True; }
  static std::string text_form(const Value& value);
  [[noreturn]] static void wrong_kind(const Value& value, std::string_view parameter,
                                      kelvra::common::Kinds expected);

  static void set(const Value& map, records::Key key, Owned value);
  [[gnu::always_inline]] static void set_number(const Value& map, records::Key key,
                                                const records::Number& number) {
    PyObject* object = map.object();
    if (Py_TYPE(object) != &PyDict_Type || key.slot >= records::keys::kCount) {
      if (is_match_word(object) &&
          (key.slot == records::keys::offset.slot || key.slot == records::keys::length.slot)) {
        // A Word keeps its numbers as integers; a real is truncated, as
        // when it is assigned.
        auto* word = reinterpret_cast<MatchWordObject*>(object);
        const std::int64_t integer = number.kind == records::Number::Kind::kReal
                                         ? static_cast<std::int64_t>(number.real)
                                         : number.integer;
        (key.slot == records::keys::offset.slot ? word->offset : word->length) = integer;
        return;
      }
      set(map, key, number_object(number));
      return;
    }
    PyObject* value = number.kind == records::Number::Kind::kReal
                          ? PyFloat_FromDouble(number.real)
                          : PyLong_FromLongLong(number.integer);
    if (value == nullptr) throw py::error_already_set();
    const int failed = PyDict_SetItem(object, interned_key(key), value);
    Py_DECREF(value);
    if (failed != 0) throw py::error_already_set();
  }

  // What a key of a dict or Word held before it was set. Numbers of the
  // exact types int and float are kept as C numbers (an equal object is put
  // back); other objects, and a holder that nothing else keeps, by a
  // reference.
  class Saved {
   public:
    enum class Kind : std::uint8_t { kInteger, kReal, kObject };
    Saved(PyObject* holder, bool owns_holder, std::uint8_t slot) noexcept
        : holder_(holder), slot_(slot), owns_holder_(owns_holder) {}
    Saved(Saved&& other) noexcept
        : holder_(std::exchange(other.holder_, nullptr)),
          old_(other.old_),
          kind_(other.kind_),
          slot_(other.slot_),
          owns_holder_(other.owns_holder_) {
      other.kind_ = Kind::kInteger;
    }
    Saved& operator=(Saved&&) = delete;
    ~Saved() {
      if (kind_ == Kind::kObject) Py_XDECREF(old_.object);
      if (owns_holder_) Py_XDECREF(holder_);
    }

   private:
    friend struct PyModel;
    PyObject* holder_;
    union {
      std::int64_t integer;
      double real;
      PyObject* object;
    } old_{};
    Kind kind_ = Kind::kInteger;
    std::uint8_t slot_;
    bool owns_holder_;
  };
  [[gnu::always_inline]] static Saved save(const Value& holder, records::Key key, const Value& old,
                                           const records::Number& number, bool in_result) {
    // A result record is kept by the caller's list of results; any other
    // holder is kept here, whatever code that reading values runs does.
    Saved saved(holder.object(), !in_result, key.slot);
    if (!in_result) Py_INCREF(holder.object());
    PyObject* object = old.object();
    if (old.which() != Field::kNone ||
        (PyLong_CheckExact(object) && number.kind == records::Number::Kind::kInteger)) {
      saved.old_.integer = number.integer;
    } else if (PyFloat_CheckExact(object)) {
      saved.kind_ = Saved::Kind::kReal;
      saved.old_.real = number.real;
    } else {
      saved.kind_ = Saved::Kind::kObject;
      saved.old_.object = object;
      Py_INCREF(object);
    }
    return saved;
  }
  static void restore(Saved& saved);
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
  static Owned make_substring(const Value& text_value, std::string_view text,
                              const records::Slice& slice);

  // The str of a key: one interned object per listed key, made on first use.
  static py::object key_object(records::Key key);

 private:
  static std::int64_t& word_field(const Value& value) {
    auto* word = reinterpret_cast<MatchWordObject*>(value.object());
    return value.which() == Field::kLength ? word->length : word->offset;
  }
  // The interned str of a listed key (borrowed, kept for the life of the process).
  static PyObject* interned_key(records::Key key) {
    PyObject* made = interned_keys()[key.slot];
    return made != nullptr ? made : intern_key(key);
  }
  static std::array<PyObject*, records::keys::kCount>& interned_keys();
  static PyObject* intern_key(records::Key key);
  static records::ValueKind other_kind(PyObject* object);
  static Value find_other(const Value& map, records::Key key);
  static records::Number other_number(PyObject* object);
  static Owned number_object(const records::Number& number);
};

static_assert(records::RecordModel<PyModel>);

}  // namespace kelvra::python
