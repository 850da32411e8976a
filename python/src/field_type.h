// Pieces of the small Python types the extension defines for records made
// by the million (matcher.Word, normalizer.AlterWord): one object with C
// fields, text fields held as str objects, integer fields as C integers,
// which are made into ints only when read. A plain object like that costs
// a fraction of a general wrapped C++ object to make and to keep.
//
//   struct PairObject { PyObject_HEAD PyObject* text; std::int64_t offset; };
//   PyGetSetDef fields[] = {str_field<PairObject, &PairObject::text>("text", "..."), ...};
#pragma once

#include <Python.h>

#include <cstdint>
#include <exception>

#include "bindings.h"

namespace kelvra::python {

// Runs `body`, turning a C++ failure into the Python error and `failed`.
template <class Body, class Result>
Result guarded(Body body, Result failed) {
  try {
    return body();
  } catch (...) {
    set_python_error(std::current_exception());
    return failed;
  }
}

// Stores a new reference to `value` in `field`, dropping the old one.
inline void replace_field(PyObject*& field, PyObject* value) {
  Py_INCREF(value);
  Py_XSETREF(field, value);
}

inline int refuse_delete(void* closure) {
  PyErr_Format(PyExc_AttributeError, "cannot delete the field %s",
               static_cast<const char*>(closure));
  return -1;
}

// A str field: assignments must be str (TypeError naming the field).
template <class Object, PyObject* Object::*field>
PyGetSetDef str_field(const char* name, const char* doc) {
  auto get = [](PyObject* self, void*) -> PyObject* {
    PyObject* value = reinterpret_cast<Object*>(self)->*field;
    Py_INCREF(value);
    return value;
  };
  auto set = [](PyObject* self, PyObject* value, void* closure) -> int {
    if (value == nullptr) return refuse_delete(closure);
    return guarded(
        [&] {
          require_str(value, static_cast<const char*>(closure));
          replace_field(reinterpret_cast<Object*>(self)->*field, value);
          return 0;
        },
        -1);
  };
  return {name, +get, +set, doc, const_cast<char*>(name)};
}

// An integer field: assignments take any number, truncated.
template <class Object, std::int64_t Object::*field>
PyGetSetDef int_field(const char* name, const char* doc) {
  auto get = [](PyObject* self, void*) -> PyObject* {
    return PyLong_FromLongLong(reinterpret_cast<Object*>(self)->*field);
  };
  auto set = [](PyObject* self, PyObject* value, void* closure) -> int {
    if (value == nullptr) return refuse_delete(closure);
    return guarded(
        [&] {
          reinterpret_cast<Object*>(self)->*field =
              require_int(value, static_cast<const char*>(closure));
          return 0;
        },
        -1);
  };
  return {name, +get, +set, doc, const_cast<char*>(name)};
}

// tp_new of an object with str fields: each starts as "" (the integers,
// zeroed by the allocation, as 0), until tp_init sets them.
template <class Object, PyObject* Object::*... fields>
PyObject* new_fields(PyTypeObject* type, PyObject*, PyObject*) {
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  bool made = true;
  ((made = made && (reinterpret_cast<Object*>(self)->*fields =
                        PyUnicode_FromStringAndSize("", 0)) != nullptr),
   ...);
  if (!made) {
    Py_DECREF(self);
    return nullptr;
  }
  return self;
}

// tp_dealloc of an object whose only references are the str fields.
template <class Object, PyObject* Object::*... fields>
void dealloc_fields(PyObject* self) {
  (Py_XDECREF(reinterpret_cast<Object*>(self)->*fields), ...);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);  // instances of a heap type hold a reference to it
}

// Makes the heap type that `layout` describes, kept for the life of the
// process, and adds it to `m` under `name`.
inline PyTypeObject* add_type(py::module_& m, const char* name, PyType_Spec& layout) {
  PyObject* type = PyType_FromSpec(&layout);
  if (type == nullptr) throw py::error_already_set();
  m.attr(name) = py::reinterpret_borrow<py::object>(type);
  return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace kelvra::python
