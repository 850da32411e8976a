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
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot word_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("Word(text, length, offset): one occurrence of a dictionary word.")},
    {Py_tp_new, reinterpret_cast<void*>(new_fields<WordObject, &WordObject::text>)},
    {Py_tp_init, reinterpret_cast<void*>(word_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_fields<WordObject, &WordObject::text>)},
    {Py_tp_str, reinterpret_cast<void*>(word_str)},
    {Py_tp_repr, reinterpret_cast<void*>(word_str)},
    {Py_tp_getset, word_fields},
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
