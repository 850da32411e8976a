// The pieces of the extension module kelvra._native: one function per group
// of modules adds its submodule, and a small registry holds the Python
// classes (defined in the thin modules) that the bindings build results of.
#pragma once

#include <pybind11/pybind11.h>

#include "convert.h"

namespace kelvra::python {

// Each adds the submodule(s) of one group to the extension.
void bind_common(py::module_& m);
void bind_records(py::module_& m);
void bind_segmentation(py::module_& m);
void bind_text(py::module_& m);
void bind_retrieval(py::module_& m);
void bind_service(py::module_& m);
void bind_testing(py::module_& m);

// The Python class registered under `name` (e.g. "feature.Sentence"), which
// the thin module registers when it is imported; the first use imports the
// module that defines it. Raises ImportError naming it when it is unknown.
py::handle python_class(const char* name);
void register_class(const std::string& name, py::handle cls);

// Raises the Python form of a C++ failure (for functions called straight
// from the C API, outside pybind11's own handling).
void translate(std::exception_ptr failure);
void set_python_error(std::exception_ptr failure);

// Sends the lines of the library logger `name` to Python's logger of the
// same name, unless a logger of that name exists already.
void route_logger_to_python(const std::string& name);

}  // namespace kelvra::python
