// The normaliser's changed position as a Python type (see alter_word.cc).
#pragma once

#include <Python.h>

#include <cstdint>

#include "convert.h"
#include "kelvra/nlp/common/normalizer.h"

namespace kelvra::python {

struct AlterWordObject {
  PyObject_HEAD PyObject* text;  // str
  PyObject* normalized_text;     // str
  std::int64_t offset;
};

// Adds the type to `m` as "AlterWord".
void add_alter_word(py::module_& m);

// True for an AlterWord (or an instance of a subclass).
bool is_alter_word(PyObject* object) noexcept;

// A new AlterWord holding references to the two strs; nullptr with the
// Python error set on failure.
PyObject* new_alter_word(PyObject* text, PyObject* normalized_text, std::int64_t offset);

// The library's value of an AlterWord object.
kelvra::nlp::common::normalizer::AlterWord alter_word_value(PyObject* word);

}  // namespace kelvra::python
