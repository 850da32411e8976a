// kelvra.nlp.common.normalizer.AlterWord as a small Python type of its own
// (field_type.h): a normalisation can change millions of positions, and
// each change is one object of 48 bytes whose strs are shared with the
// other changes of the same characters.
#include "alter_word.h"

#include "field_type.h"
#include "record_model.h"

namespace kelvra::python {

using kelvra::nlp::common::normalizer::AlterWord;

namespace {

PyTypeObject* alter_word_type = nullptr;

int alter_word_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"text", "normalized_text", "offset", nullptr};
  PyObject *text, *normalized_text, *offset;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:AlterWord", const_cast<char**>(names), &text,
                                   &normalized_text, &offset))
    return -1;
  return guarded(
      [&] {
        auto* word = reinterpret_cast<AlterWordObject*>(self);
        require_str(text, "text");
        require_str(normalized_text, "normalized_text");
        const std::int64_t checked_offset = require_int(offset, "offset");
        replace_field(word->text, text);
        replace_field(word->normalized_text, normalized_text);
        word->offset = checked_offset;
        return 0;
      },
      -1);
}

PyObject* alter_word_str(PyObject* self) {
  return guarded([&] { return to_str(alter_word_value(self).to_string()).release().ptr(); },
                 static_cast<PyObject*>(nullptr));
}

PyObject* alter_word_to_json(PyObject* self, PyObject*) {
  return guarded(
      [&] {
        namespace keys = kelvra::common::records::keys;
        auto* word = reinterpret_cast<AlterWordObject*>(self);
        py::object record = PyModel::make_map();
        const PyValue view = PyModel::view(record);
        PyModel::set(view, keys::text, py::reinterpret_borrow<py::object>(word->text));
        PyModel::set(view, keys::normalized_text,
                     py::reinterpret_borrow<py::object>(word->normalized_text));
        PyModel::set(view, keys::offset, PyModel::make_integer(word->offset));
        return record.release().ptr();
      },
      static_cast<PyObject*>(nullptr));
}

PyObject* alter_word_from_json(PyObject* cls, PyObject* json) {
  return guarded(
      [&] {
        AlterWord word = AlterWord::from_json(to_record(json, "json"));
        return py::reinterpret_borrow<py::object>(cls)(to_str(word.text),
                                                       to_str(word.normalized_text), word.offset)
            .release()
            .ptr();
      },
      static_cast<PyObject*>(nullptr));
}

PyObject* alter_word_compare(PyObject* self, PyObject* other, int op) {
  if ((op != Py_EQ && op != Py_NE) || !is_alter_word(other)) Py_RETURN_NOTIMPLEMENTED;
  return guarded(
      [&] {
        const bool equal = alter_word_value(self) == alter_word_value(other);
        return py::bool_(equal == (op == Py_EQ)).release().ptr();
      },
      static_cast<PyObject*>(nullptr));
}

// Pickled as the call that makes it again: AlterWord(text, normalized_text,
// offset); the strs of many changes of one character are pickled once.
PyObject* alter_word_reduce(PyObject*, PyObject* self) {
  auto* word = reinterpret_cast<AlterWordObject*>(self);
  return Py_BuildValue("(O(OOL))", reinterpret_cast<PyObject*>(Py_TYPE(self)), word->text,
                       word->normalized_text, static_cast<long long>(word->offset));
}

PyGetSetDef alter_word_fields[] = {
    str_field<AlterWordObject, &AlterWordObject::text>("text", "The input character at `offset`."),
    str_field<AlterWordObject, &AlterWordObject::normalized_text>(
        "normalized_text", "What the position became after all steps."),
    int_field<AlterWordObject, &AlterWordObject::offset>(
        "offset", "Position of the character in the input, in code points."),
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef alter_word_methods[] = {
    {"to_json", alter_word_to_json, METH_NOARGS,
     "The record {'text', 'normalized_text', 'offset'}."},
    {"from_json", alter_word_from_json, METH_O | METH_CLASS, "An AlterWord from its record."},
    {"__reduce__", reinterpret_cast<PyCFunction>(+[](PyObject* self, PyObject*) {
       return alter_word_reduce(nullptr, self);
     }),
     METH_NOARGS, "Pickles as AlterWord(text, normalized_text, offset)."},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot alter_word_slots[] = {
    {Py_tp_doc, const_cast<char*>("AlterWord(text, normalized_text, offset): one changed position "
                                  "of a normalised text.")},
    {Py_tp_new,
     reinterpret_cast<void*>(
         new_fields<AlterWordObject, &AlterWordObject::text, &AlterWordObject::normalized_text>)},
    {Py_tp_init, reinterpret_cast<void*>(alter_word_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_fields<AlterWordObject, &AlterWordObject::text,
                                                           &AlterWordObject::normalized_text>)},
    {Py_tp_str, reinterpret_cast<void*>(alter_word_str)},
    {Py_tp_repr, reinterpret_cast<void*>(alter_word_str)},
    {Py_tp_richcompare, reinterpret_cast<void*>(alter_word_compare)},
    {Py_tp_getset, alter_word_fields},
    {Py_tp_methods, alter_word_methods},
    {0, nullptr}};

PyType_Spec alter_word_spec = {"kelvra.nlp.common.normalizer.AlterWord", sizeof(AlterWordObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, alter_word_slots};

PyMethodDef reduce_method = {"_reduce_alter_word", alter_word_reduce, METH_O,
                             "Pickles an AlterWord."};

}  // namespace

void add_alter_word(py::module_& m) {
  alter_word_type = add_type(m, "AlterWord", alter_word_spec);
  // Registered with copyreg as well, as matcher.Word is: the pickler calls
  // it straight from its dispatch table.
  py::object reduce = py::reinterpret_steal<py::object>(PyCFunction_New(&reduce_method, nullptr));
  if (!reduce) throw py::error_already_set();
  py::module_::import("copyreg").attr("pickle")(m.attr("AlterWord"), reduce);
}

bool is_alter_word(PyObject* object) noexcept {
  return alter_word_type != nullptr && PyObject_TypeCheck(object, alter_word_type);
}

PyObject* new_alter_word(PyObject* text, PyObject* normalized_text, std::int64_t offset) {
  AlterWordObject* word = PyObject_New(AlterWordObject, alter_word_type);
  if (word == nullptr) return nullptr;
  Py_INCREF(text);
  Py_INCREF(normalized_text);
  word->text = text;
  word->normalized_text = normalized_text;
  word->offset = offset;
  return reinterpret_cast<PyObject*>(word);
}

AlterWord alter_word_value(PyObject* word) {
  auto* object = reinterpret_cast<AlterWordObject*>(word);
  return AlterWord(std::string(require_str(object->text, "text")),
                   std::string(require_str(object->normalized_text, "normalized_text")),
                   object->offset);
}

}  // namespace kelvra::python
