// The automaton's occurrence record, kelvra.nlp.common.matcher.Word, as a
// small Python type of its own (field_type.h): a search can report
// millions of occurrences.
#include "match_word.h"

#include "bindings.h"
#include "field_type.h"
#include "kelvra/nlp/common/matcher.h"
#include "record_model.h"

namespace kelvra::python {

using MatchWord = kelvra::nlp::common::matcher::Word;

namespace {

using WordObject = MatchWordObject;

MatchWord record_of(PyObject* self) {
  auto* word = reinterpret_cast<WordObject*>(self);
  return MatchWord(std::string(require_str(word->text, "text")), word->length, word->offset);
}

int word_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"text", "length", "offset", nullptr};
  PyObject *text, *length, *offset;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:Word", const_cast<char**>(names), &text,
                                   &length, &offset))
    return -1;
  return guarded(
      [&] {
        auto* word = reinterpret_cast<WordObject*>(self);
        require_str(text, "text");
        const std::int64_t checked_length = require_int(length, "length");
        const std::int64_t checked_offset = require_int(offset, "offset");
        replace_field(word->text, text);
        word->length = checked_length;
        word->offset = checked_offset;
        return 0;
      },
      -1);
}

PyObject* word_str(PyObject* self) {
  return guarded([&] { return to_str(record_of(self).to_string()).release().ptr(); },
                 static_cast<PyObject*>(nullptr));
}

PyObject* word_to_json(PyObject* self, PyObject*) {
  auto* word = reinterpret_cast<WordObject*>(self);
  return new_match_record(word->text, word->length, word->offset);
}

// Pickled as the call that makes it again: Word(text, length, offset).
PyObject* word_reduce(PyObject*, PyObject* self) {
  auto* word = reinterpret_cast<WordObject*>(self);
  return Py_BuildValue("(O(OLL))", reinterpret_cast<PyObject*>(Py_TYPE(self)), word->text,
                       static_cast<long long>(word->length), static_cast<long long>(word->offset));
}

PyObject* word_from_json(PyObject* cls, PyObject* json) {
  return guarded(
      [&] {
        MatchWord word = MatchWord::from_json(to_record(json, "json"));
        return py::reinterpret_borrow<py::object>(cls)(to_str(word.text), word.length, word.offset)
            .release()
            .ptr();
      },
      static_cast<PyObject*>(nullptr));
}

// Equal when the three fields are: the lists of two searches compare
// equal, as records do. Mutable, so not hashable (as AlterWord and Text).
PyObject* word_compare(PyObject* self, PyObject* other, int op) {
  if ((op != Py_EQ && op != Py_NE) || !is_match_word(other)) Py_RETURN_NOTIMPLEMENTED;
  auto* a = reinterpret_cast<WordObject*>(self);
  auto* b = reinterpret_cast<WordObject*>(other);
  bool equal = a->length == b->length && a->offset == b->offset;
  if (equal) {
    const int texts = PyObject_RichCompareBool(a->text, b->text, Py_EQ);
    if (texts < 0) return nullptr;
    equal = texts == 1;
  }
  return PyBool_FromLong(equal == (op == Py_EQ));
}

// Read access as a record: w["text"], w.get("length"), "offset" in w,
// w.keys(), dict(w) == w.to_json().
PyObject* word_item(PyObject* self, PyObject* key) {
  auto* word = reinterpret_cast<WordObject*>(self);
  if (PyUnicode_Check(key)) {
    if (PyUnicode_CompareWithASCIIString(key, "text") == 0) {
      Py_INCREF(word->text);
      return word->text;
    }
    if (PyUnicode_CompareWithASCIIString(key, "length") == 0)
      return PyLong_FromLongLong(word->length);
    if (PyUnicode_CompareWithASCIIString(key, "offset") == 0)
      return PyLong_FromLongLong(word->offset);
  }
  PyErr_SetObject(PyExc_KeyError, key);
  return nullptr;
}

int word_contains(PyObject*, PyObject* key) {
  return PyUnicode_Check(key) && (PyUnicode_CompareWithASCIIString(key, "text") == 0 ||
                                  PyUnicode_CompareWithASCIIString(key, "length") == 0 ||
                                  PyUnicode_CompareWithASCIIString(key, "offset") == 0);
}

PyObject* word_keys(PyObject*, PyObject*) {
  return Py_BuildValue("[sss]", "text", "length", "offset");
}

PyObject* word_get(PyObject* self, PyObject* args) {
  PyObject *key, *fallback = Py_None;
  if (!PyArg_UnpackTuple(args, "get", 1, 2, &key, &fallback)) return nullptr;
  if (word_contains(self, key) == 0) {
    Py_INCREF(fallback);
    return fallback;
  }
  return word_item(self, key);
}

// Fields keep their kinds when assigned: text a str, length and offset
// integers (any number, truncated).
PyGetSetDef word_fields[] = {
    str_field<WordObject, &WordObject::text>("text", "The dictionary word that occurred."),
    int_field<WordObject, &WordObject::length>("length", "Length of the word in code points."),
    int_field<WordObject, &WordObject::offset>(
        "offset", "Start of the occurrence in the searched text, in code points."),
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef word_methods[] = {
    {"to_json", word_to_json, METH_NOARGS, "The record {'text', 'length', 'offset'}."},
    {"__reduce__", reinterpret_cast<PyCFunction>(+[](PyObject* self, PyObject*) {
       return word_reduce(nullptr, self);
     }),
     METH_NOARGS, "Pickles as Word(text, length, offset)."},
    {"from_json", word_from_json, METH_O | METH_CLASS, "A Word from its record."},
    {"keys", word_keys, METH_NOARGS, "The record's keys: ['text', 'length', 'offset']."},
    {"get", word_get, METH_VARARGS, "w.get(key, default=None): the field named `key`, as a dict."},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot word_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("Word(text, length, offset): one occurrence of a dictionary word.\n\n"
                       "Equal to another Word when the three fields are; reads as its record\n"
                       "(w[\"text\"], w.keys(), dict(w)).")},
    {Py_tp_new, reinterpret_cast<void*>(new_fields<WordObject, &WordObject::text>)},
    {Py_tp_init, reinterpret_cast<void*>(word_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_fields<WordObject, &WordObject::text>)},
    {Py_tp_str, reinterpret_cast<void*>(word_str)},
    {Py_tp_repr, reinterpret_cast<void*>(word_str)},
    {Py_tp_getset, word_fields},
    {Py_tp_richcompare, reinterpret_cast<void*>(word_compare)},
    {Py_mp_subscript, reinterpret_cast<void*>(word_item)},
    {Py_sq_contains, reinterpret_cast<void*>(word_contains)},
    {Py_tp_methods, word_methods},
    {0, nullptr}};

PyType_Spec word_spec = {"kelvra.nlp.common.matcher.Word", sizeof(WordObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, word_slots};

PyMethodDef reduce_method = {"_reduce_word", word_reduce, METH_O, "Pickles a Word."};

}  // namespace

PyTypeObject* match_word_type = nullptr;

void add_match_word(py::module_& m) {
  match_word_type = add_type(m, "Word", word_spec);
  // Registered with copyreg as well: the pickler then calls the reduction
  // straight from its dispatch table, without looking up __reduce_ex__ and
  // __reduce__ on every Word of a large list.
  py::object reduce = py::reinterpret_steal<py::object>(PyCFunction_New(&reduce_method, nullptr));
  if (!reduce) throw py::error_already_set();
  py::module_::import("copyreg").attr("pickle")(m.attr("Word"), reduce);
}

PyObject* new_match_record(PyObject* text, std::int64_t length, std::int64_t offset) {
  // Searches make these by the million: the keys are the interned strs,
  // fetched once, and nothing but the dict and its two ints is made.
  static PyObject* const keys[] = {
      PyModel::key_object(kelvra::common::records::keys::text).ptr(),
      PyModel::key_object(kelvra::common::records::keys::length).ptr(),
      PyModel::key_object(kelvra::common::records::keys::offset).ptr()};
  PyObject* record = PyDict_New();
  if (record == nullptr) return nullptr;
  PyObject* numbers[] = {PyLong_FromLongLong(length), PyLong_FromLongLong(offset)};
  const bool made = numbers[0] != nullptr && numbers[1] != nullptr &&
                    PyDict_SetItem(record, keys[0], text) == 0 &&
                    PyDict_SetItem(record, keys[1], numbers[0]) == 0 &&
                    PyDict_SetItem(record, keys[2], numbers[1]) == 0;
  Py_XDECREF(numbers[0]);
  Py_XDECREF(numbers[1]);
  if (made) return record;
  Py_DECREF(record);
  return nullptr;
}

PyObject* new_match_word(PyObject* text, std::int64_t length, std::int64_t offset) {
  WordObject* word = PyObject_New(WordObject, match_word_type);
  if (word == nullptr) return nullptr;
  Py_INCREF(text);
  word->text = text;
  word->length = length;
  word->offset = offset;
  return reinterpret_cast<PyObject*>(word);
}

}  // namespace kelvra::python
