// The automaton's occurrence record as a Python type (see match_word.cc).
#pragma once

#include <cstdint>

#include "convert.h"

namespace kelvra::python {

// Adds the type to `m` as "Word".
void add_match_word(py::module_& m);

// A new Word holding `text` (a str; a reference is taken), `length` and
// `offset`; nullptr with the Python error set on failure.
PyObject* new_match_word(PyObject* text, std::int64_t length, std::int64_t offset);

}  // namespace kelvra::python
