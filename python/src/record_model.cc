#include "record_model.h"

#include <cmath>
#include <stdexcept>

#include "convert.h"
#include "kelvra/common/record.h"
#include "kelvra/common/text_form.h"

namespace kelvra::python {

using records::Key;
using records::Number;
using records::ValueKind;

namespace {

// Numbers of other types (numpy scalars, Decimal, ...): anything with
// __index__ or __float__ but str, which has neither anyway.
bool is_other_number(PyObject* object) {
  PyNumberMethods* methods = Py_TYPE(object)->tp_as_number;
  return methods != nullptr && (methods->nb_index != nullptr || methods->nb_float != nullptr);
}

Number long_number(PyObject* object) {
  int overflow = 0;
  const long long integer = PyLong_AsLongLongAndOverflow(object, &overflow);
  if (overflow != 0) return Number::beyond();
  if (integer == -1 && PyErr_Occurred()) throw py::error_already_set();
  return Number::of(integer);
}

[[noreturn]] void no_such_field(Key key) {
  throw py::attribute_error("'Word' object has no field '" + std::string(key.name) + "'");
}

// The keys whose values save() can keep, known by their slots.
Key saved_key(std::uint8_t slot) {
  for (Key key : {records::keys::text, records::keys::offset, records::keys::length})
    if (key.slot == slot) return key;
  throw std::logic_error("only text, offset and length are saved to be put back");
}

// A borrowed key object for a lookup: the interned one, or `made`.
PyObject* key_for(Key key, py::object& made) {
  if (key.slot < records::keys::kCount)
    return PyModel::key_object(key).ptr();  // interned: lives on
  made = to_str(key.name);
  return made.ptr();
}

py::object copy_of(PyObject* object, std::string_view parameter, std::size_t depth) {
  if (PyDict_Check(object)) {
    records::check_depth(depth + 1, parameter);
    py::dict copy;
    // A strong reference to the dict read: copying runs no code of the
    // caller's, but keeps to the rule.
    py::object source = py::reinterpret_borrow<py::object>(object);
    Py_ssize_t pos = 0;
    PyObject *key, *item;
    while (PyDict_Next(object, &pos, &key, &item)) {
      if (!PyUnicode_Check(key))
        throw py::type_error(kelvra::common::must_be_message(
            parameter, "a record, whose keys are str", type_name(key)));
      py::object item_copy = copy_of(item, parameter, depth + 1);
      if (PyDict_SetItem(copy.ptr(), key, item_copy.ptr()) != 0) throw py::error_already_set();
    }
    return copy;
  }
  if (PyList_Check(object)) {
    records::check_depth(depth + 1, parameter);
    py::list copy;
    py::object source = py::reinterpret_borrow<py::object>(object);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(object); ++i) {
      py::object item_copy = copy_of(PyList_GET_ITEM(object, i), parameter, depth + 1);
      if (PyList_Append(copy.ptr(), item_copy.ptr()) != 0) throw py::error_already_set();
    }
    return copy;
  }
  if (is_match_word(object)) {
    auto* word = reinterpret_cast<MatchWordObject*>(object);
    PyObject* copy = new_match_word(word->text, word->length, word->offset);
    if (copy == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(copy);
  }
  // Immutable values are shared, as copy.deepcopy shares them.
  if (object == Py_None || PyBool_Check(object) || PyLong_Check(object) || PyFloat_Check(object) ||
      PyUnicode_Check(object) || is_other_number(object))
    return py::reinterpret_borrow<py::object>(object);
  throw py::type_error(
      kelvra::common::must_be_message(parameter, kRecordValues, type_name(object)));
}

}  // namespace

std::array<PyObject*, records::keys::kCount>& PyModel::interned_keys() {
  static std::array<PyObject*, records::keys::kCount> keys{};  // made under the GIL, never freed
  return keys;
}

PyObject* PyModel::intern_key(Key key) {
  PyObject*& slot = interned_keys()[key.slot];
  if (slot == nullptr) {
    PyObject* made =
        PyUnicode_FromStringAndSize(key.name.data(), static_cast<Py_ssize_t>(key.name.size()));
    if (made == nullptr) throw py::error_already_set();
    PyUnicode_InternInPlace(&made);
    slot = made;
  }
  return slot;
}

py::object PyModel::key_object(Key key) {
  if (key.slot < records::keys::kCount)
    return py::reinterpret_borrow<py::object>(interned_key(key));
  return to_str(key.name);
}

ValueKind PyModel::other_kind(PyObject* object) {
  if (object == Py_None) return ValueKind::kNull;
  if (PyBool_Check(object)) return ValueKind::kTruthValue;
  // Subtypes of the kinds, then numbers of other types.
  if (PyDict_Check(object) || is_match_word(object)) return ValueKind::kMap;
  if (PyLong_Check(object) || PyFloat_Check(object)) return ValueKind::kNumber;
  if (PyUnicode_Check(object)) return ValueKind::kString;
  if (PyList_Check(object)) return ValueKind::kList;
  if (is_other_number(object)) return ValueKind::kNumber;
  return ValueKind::kOther;
}

PyValue PyModel::find_other(const Value& map, Key key) {
  PyObject* object = map.object();
  if (PyDict_Check(object)) {  // a key outside the list, or a subtype of dict
    py::object made;
    PyObject* found = PyDict_GetItemWithError(object, key_for(key, made));
    if (found == nullptr && PyErr_Occurred()) throw py::error_already_set();
    return PyValue::borrowed(found);
  }
  if (is_match_word(object)) return word_find(object, key);
  return {};
}

Number PyModel::other_number(PyObject* object) {
  if (PyBool_Check(object)) return {};
  if (PyLong_Check(object)) return long_number(object);
  if (PyFloat_Check(object)) return Number::of_real(PyFloat_AS_DOUBLE(object));
  if (PyUnicode_Check(object) || !is_other_number(object)) return {};
  if (Py_TYPE(object)->tp_as_number->nb_index != nullptr) {
    py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(object));
    if (!index) throw py::error_already_set();
    return long_number(index.ptr());
  }
  py::object real = py::reinterpret_steal<py::object>(PyNumber_Float(object));
  if (!real) throw py::error_already_set();
  return Number::of_real(PyFloat_AS_DOUBLE(real.ptr()));
}

py::object PyModel::number_object(const Number& number) {
  return number.kind == Number::Kind::kReal ? make_real(number.real) : make_integer(number.integer);
}

std::string_view PyModel::string(const Value& value, std::string_view parameter) {
  return require_str(value.object(), parameter);
}

std::string PyModel::text_form(const Value& value) {
  if (kind(value) == ValueKind::kNumber) {
    const Number number = PyModel::number(value);
    if (number.kind == Number::Kind::kInteger) return std::to_string(number.integer);
    if (number.kind == Number::Kind::kReal)
      return kelvra::common::to_text_form(Record(number.real));
  }
  py::object shown = py::reinterpret_steal<py::object>(PyObject_Repr(value.object()));
  if (!shown) throw py::error_already_set();
  return std::string(require_str(shown, "value"));
}

void PyModel::wrong_kind(const Value& value, std::string_view parameter,
                         kelvra::common::Kinds expected) {
  const std::string found = value.which() == Field::kNone ? type_name(value.object()) : "int";
  throw py::type_error(kelvra::common::must_be_message(parameter, python_kinds(expected), found));
}

void PyModel::set(const Value& map, Key key, Owned value) {
  PyObject* object = map.object();
  if (PyDict_Check(object)) {
    py::object made;
    if (PyDict_SetItem(object, key_for(key, made), value.ptr()) != 0) throw py::error_already_set();
    return;
  }
  auto* word = reinterpret_cast<MatchWordObject*>(object);
  if (key.slot == records::keys::text.slot) {
    require_str(value, "text");
    Py_SETREF(word->text, value.release().ptr());
  } else if (key.slot == records::keys::length.slot) {
    word->length = require_int(value, "length");
  } else if (key.slot == records::keys::offset.slot) {
    word->offset = require_int(value, "offset");
  } else {
    no_such_field(key);
  }
}

void PyModel::restore(Saved& saved) {
  py::object value;
  switch (saved.kind_) {
    case Saved::Kind::kInteger:
      value = make_integer(saved.old_.integer);
      break;
    case Saved::Kind::kReal:
      value = make_real(saved.old_.real);
      break;
    case Saved::Kind::kObject:
      value = py::reinterpret_borrow<py::object>(saved.old_.object);
      break;
  }
  set(PyValue::borrowed(saved.holder_), saved_key(saved.slot_), std::move(value));
}

py::object PyModel::take(const Value& map, Key key) {
  PyObject* object = map.object();
  if (!PyDict_Check(object)) no_such_field(key);
  py::object made;
  PyObject* name = key_for(key, made);
  PyObject* found = PyDict_GetItemWithError(object, name);
  if (found == nullptr) {
    if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, name);
    throw py::error_already_set();
  }
  py::object taken = py::reinterpret_borrow<py::object>(found);
  if (PyDict_DelItem(object, name) != 0) throw py::error_already_set();
  return taken;
}

py::object PyModel::share(const Value& value) {
  if (value.which() != Field::kNone) return make_integer(word_field(value));
  return py::reinterpret_borrow<py::object>(value.object());
}

py::object PyModel::deep_copy(const Value& value, std::string_view parameter) {
  if (value.which() != Field::kNone) return share(value);
  return copy_of(value.object(), parameter, 0);
}

py::object PyModel::make_map() {
  PyObject* dict = PyDict_New();
  if (dict == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(dict);
}

py::object PyModel::make_list(std::size_t) {
  PyObject* list = PyList_New(0);
  if (list == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(list);
}

void PyModel::append(Owned& list, Owned item) {
  if (PyList_Append(list.ptr(), item.ptr()) != 0) throw py::error_already_set();
}

py::object PyModel::make_integer(std::int64_t value) {
  PyObject* integer = PyLong_FromLongLong(value);
  if (integer == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(integer);
}

py::object PyModel::make_real(double value) {
  PyObject* real = PyFloat_FromDouble(value);
  if (real == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(real);
}

py::object PyModel::make_string(std::string_view text) { return to_str(text); }

py::object PyModel::make_substring(const Value& text_value, std::string_view text,
                                   const records::Slice& slice) {
  // Cutting the str itself copies its code points; decoding the UTF-8
  // again would cost more.
  if (text_value && PyUnicode_Check(text_value.object())) {
    PyObject* part = PyUnicode_Substring(text_value.object(), slice.begin, slice.end);
    if (part == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(part);
  }
  return to_str(text.substr(slice.byte_begin, slice.byte_end - slice.byte_begin));
}

}  // namespace kelvra::python
