// The automaton's occurrence record as a Python type (see match_word.cc).
#pragma once

#include <Python.h>

#include <cstdint>

#include "convert.h"

namespace kelvra::python {

// An occurrence: one Python object, its two numbers kept as C integers
// (made into ints only when read).
struct MatchWordObject {
  PyObject_HEAD PyObject* text;  // str
  std::int64_t length;
  std::int64_t offset;
};

// Adds the type to `m` as "Word".
void add_match_word(py::module_& m);

// The type, made when the module is loaded.
extern PyTypeObject* match_word_type;

// True for a Word (or an instance of a subclass).
inline bool is_match_word(PyObject* object) noexcept {
  return match_word_type != nullptr &&
         (Py_TYPE(object) == match_word_type || PyType_IsSubtype(Py_TYPE(object), match_word_type));
}

// A new Word holding `text` (a str; a reference is taken), `length` and
// `offset`; nullptr with the Python error set on failure.
PyObject* new_match_word(PyObject* text, std::int64_t length, std::int64_t offset);

// The record {"text": text, "length": length, "offset": offset} as a new
// dict; nullptr with the Python error set on failure.
PyObject* new_match_record(PyObject* text, std::int64_t length, std::int64_t offset);

}  // namespace kelvra::python
