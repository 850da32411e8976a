// The automaton's occurrence record, kelvra.nlp.common.matcher.Word, as a
// small Python type of its own: a search can report millions of
// occurrences, and a plain object with three fields costs a fraction of a
// general wrapped C++ object to make.
#include "match_word.h"


#include "bindings.h"
#include "kelvra/nlp/common/matcher.h"

namespace kelvra::python {

using MatchWord = kelvra::nlp::common::matcher::Word;

namespace {

// The two numbers are kept as C integers: an occurrence then costs one
// Python object, and the ints are made only when read.
struct WordObject {
  PyObject_HEAD
  PyObject* text;  // str
  std::int64_t length;
  std::int64_t offset;
};

PyTypeObject* word_type = nullptr;

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

MatchWord record_of(PyObject* self) {
  auto* word = reinterpret_cast<WordObject*>(self);
  return MatchWord(std::string(require_str(word->text, "text")), word->length, word->offset);
}

void word_dealloc(PyObject* self) {
  auto* word = reinterpret_cast<WordObject*>(self);
  Py_XDECREF(word->text);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);  // instances of a heap type hold a reference to it
}

void replace(PyObject*& field, PyObject* value) {
  Py_INCREF(value);
  Py_XSETREF(field, value);
}

int word_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"text", "length", "offset", nullptr};
  PyObject *text, *length, *offset;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:Word", const_cast<char**>(names), &text, &length,
                                   &offset))
    return -1;
  return guarded([&] {
    auto* word = reinterpret_cast<WordObject*>(self);
    require_str(text, "text");
    const std::int64_t checked_length = require_int(length, "length");
    const std::int64_t checked_offset = require_int(offset, "offset");
    replace(word->text, text);
    word->length = checked_length;
    word->offset = checked_offset;
    return 0;
  }, -1);
}

PyObject* word_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  auto* word = reinterpret_cast<WordObject*>(self);
  word->text = PyUnicode_FromStringAndSize("", 0);
  word->length = 0;
  word->offset = 0;
  if (word->text == nullptr) {
    Py_DECREF(self);
    return nullptr;
  }
  return self;
}

// Fields keep their kinds when assigned: text a str, length and offset
// integers (any number, truncated).
PyObject* get_text(PyObject* self, void*) {
  PyObject* text = reinterpret_cast<WordObject*>(self)->text;
  Py_INCREF(text);
  return text;
}

int set_text(PyObject* self, PyObject* value, void*) {
  if (value == nullptr) {
    PyErr_SetString(PyExc_AttributeError, "cannot delete the field text");
    return -1;
  }
  return guarded([&] {
    require_str(value, "text");
    replace(reinterpret_cast<WordObject*>(self)->text, value);
    return 0;
  }, -1);
}

template <std::int64_t WordObject::*field>
PyObject* get_number(PyObject* self, void*) {
  return PyLong_FromLongLong(reinterpret_cast<WordObject*>(self)->*field);
}

template <std::int64_t WordObject::*field>
int set_number(PyObject* self, PyObject* value, void* closure) {
  const char* name = static_cast<const char*>(closure);
  if (value == nullptr) {
    PyErr_Format(PyExc_AttributeError, "cannot delete the field %s", name);
    return -1;
  }
  return guarded([&] {
    reinterpret_cast<WordObject*>(self)->*field = require_int(value, name);
    return 0;
  }, -1);
}

PyObject* word_str(PyObject* self) {
  return guarded([&] { return to_str(record_of(self).to_string()).release().ptr(); },
                 static_cast<PyObject*>(nullptr));
}

PyObject* word_to_json(PyObject* self, PyObject*) {
  return guarded([&] { return from_record(record_of(self).to_json()).release().ptr(); },
                 static_cast<PyObject*>(nullptr));
}

PyObject* word_from_json(PyObject* cls, PyObject* json) {
  return guarded([&] {
    MatchWord word = MatchWord::from_json(to_record(json, "json"));
    return py::reinterpret_borrow<py::object>(cls)(to_str(word.text), word.length, word.offset)
        .release()
        .ptr();
  }, static_cast<PyObject*>(nullptr));
}

PyGetSetDef word_fields[] = {
    {"text", get_text, set_text, "The dictionary word that occurred.", nullptr},
    {"length", get_number<&WordObject::length>, set_number<&WordObject::length>,
     "Length of the word in code points.", const_cast<char*>("length")},
    {"offset", get_number<&WordObject::offset>, set_number<&WordObject::offset>,
     "Start of the occurrence in the searched text, in code points.", const_cast<char*>("offset")},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef word_methods[] = {
    {"to_json", word_to_json, METH_NOARGS, "The record {'text', 'length', 'offset'}."},
    {"from_json", word_from_json, METH_O | METH_CLASS, "A Word from its record."},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot word_slots[] = {
    {Py_tp_doc, const_cast<char*>("Word(text, length, offset): one occurrence of a dictionary word.")},
    {Py_tp_new, reinterpret_cast<void*>(word_new)},
    {Py_tp_init, reinterpret_cast<void*>(word_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(word_dealloc)},
    {Py_tp_str, reinterpret_cast<void*>(word_str)},
    {Py_tp_repr, reinterpret_cast<void*>(word_str)},
    {Py_tp_getset, word_fields},
    {Py_tp_methods, word_methods},
    {0, nullptr}};

PyType_Spec word_spec = {"kelvra.nlp.common.matcher.Word", sizeof(WordObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, word_slots};

}  // namespace

void add_match_word(py::module_& m) {
  PyObject* type = PyType_FromSpec(&word_spec);
  if (type == nullptr) throw py::error_already_set();
  word_type = reinterpret_cast<PyTypeObject*>(type);  // kept for the life of the process
  m.attr("Word") = py::reinterpret_borrow<py::object>(type);
}

PyObject* new_match_word(PyObject* text, std::int64_t length, std::int64_t offset) {
  WordObject* word = PyObject_New(WordObject, word_type);
  if (word == nullptr) return nullptr;
  Py_INCREF(text);
  word->text = text;
  word->length = length;
  word->offset = offset;
  return reinterpret_cast<PyObject*>(word);
}

}  // namespace kelvra::python
