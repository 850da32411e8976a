#include "convert.h"

#include <malloc.h>

#include <cmath>
#include <string>
#include <unordered_map>
#include <utility>

#include "kelvra/common/exceptions.h"
#include "kelvra/common/internal/record_model.h"

namespace kelvra::python {

namespace {

[[noreturn]] void raise_type_error(const std::string& message) { throw py::type_error(message); }

// Appends to a map known to hold no such key yet, without the linear
// search of ordered_json's own insertion.
void append_entry(Record& map, std::string key, Record value) {
  map.get_ref<Record::object_t&>().Container::emplace_back(std::move(key), std::move(value));
}

std::string utf8_of_key(PyObject* key) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(key, &size);
  if (data == nullptr) {
    PyErr_Clear();
    raise_type_error("a record key must be valid Unicode text");
  }
  return std::string(data, static_cast<std::size_t>(size));
}

// Numbers that are neither int nor float (numpy scalars, Decimal, ...):
// integers through __index__, the rest through __float__.
Record other_number(PyObject* value, std::string_view parameter) {
  if (PyIndex_Check(value)) {
    py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(value));
    if (!index) throw py::error_already_set();
    return to_record(index, parameter);
  }
  PyObject* as_float = PyNumber_Float(value);
  if (as_float == nullptr) throw py::error_already_set();
  double d = PyFloat_AS_DOUBLE(as_float);
  Py_DECREF(as_float);
  return d;
}

bool is_number(PyObject* value) {
  if (PyBool_Check(value)) return false;
  if (PyLong_Check(value) || PyFloat_Check(value)) return true;
  // numpy scalars and other numbers implement __index__ or __float__.
  PyNumberMethods* nb = Py_TYPE(value)->tp_as_number;
  return nb != nullptr && (nb->nb_index != nullptr || nb->nb_float != nullptr) &&
         !PyUnicode_Check(value);
}

Record convert_plain(py::handle value, std::string_view parameter, int depth);

Record convert_scalar(PyObject* o, std::string_view parameter) {
  if (o == Py_None) return nullptr;
  if (PyBool_Check(o)) return o == Py_True;
  if (PyLong_Check(o)) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow == 0) {
      if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
      return static_cast<std::int64_t>(v);
    }
    if (overflow > 0) {
      unsigned long long u = PyLong_AsUnsignedLongLong(o);
      if (!PyErr_Occurred()) return static_cast<std::uint64_t>(u);
      PyErr_Clear();
    }
    // The right kind, but unusable: reported as the library reports a
    // number beyond 64 bits.
    throw kelvra::common::KvException(kelvra::common::ErrorCodes::INVALID_PARAMETERS,
                                      "`" + std::string(parameter) +
                                          "` holds an integer beyond the 64-bit range: " +
                                          py::str(py::handle(o)).cast<std::string>());
  }
  if (PyFloat_Check(o)) return PyFloat_AS_DOUBLE(o);
  if (PyUnicode_Check(o)) return std::string(require_str(o, parameter));
  if (is_number(o)) return other_number(o, parameter);
  wrong_kind(o, parameter, kRecordValues);
}

Record convert_plain(py::handle value, std::string_view parameter, int depth) {
  PyObject* o = value.ptr();
  if (PyDict_Check(o) || PyList_Check(o) || PyTuple_Check(o)) {
    kelvra::common::records::check_depth(static_cast<std::size_t>(depth) + 1, parameter);
    if (PyDict_Check(o)) {
      Record map = Record::object();
      map.get_ref<Record::object_t&>().reserve(static_cast<std::size_t>(PyDict_GET_SIZE(o)));
      Py_ssize_t pos = 0;
      PyObject *key, *item;
      while (PyDict_Next(o, &pos, &key, &item)) {
        if (!PyUnicode_Check(key))
          raise_type_error(kelvra::common::must_be_message(
              parameter, "a record, whose keys are str", type_name(key)));
        append_entry(map, utf8_of_key(key), convert_plain(item, parameter, depth + 1));
      }
      return map;
    }
    Record list = Record::array();
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(o);
    PyObject** items = PySequence_Fast_ITEMS(o);
    auto& array = list.get_ref<Record::array_t&>();
    array.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i)
      array.push_back(convert_plain(items[i], parameter, depth + 1));
    return list;
  }
  return convert_scalar(o, parameter);
}

}  // namespace

std::string type_name(py::handle value) {
  // tp_name is "module.Name" for types defined outside the core.
  std::string_view name = Py_TYPE(value.ptr())->tp_name;
  if (auto dot = name.rfind('.'); dot != std::string_view::npos) name.remove_prefix(dot + 1);
  return std::string(name);
}

std::string python_kinds(kelvra::common::Kinds expected) {
  using kelvra::common::Kinds;
  static constexpr std::pair<Kinds, std::string_view> kWords[] = {
      {Kinds::map, "a dict"},      {Kinds::list, "a list"},        {Kinds::string, "a str"},
      {Kinds::number, "a number"}, {Kinds::truth_value, "a bool"}, {Kinds::null, "None"}};
  std::string out;
  for (const auto& [kind, words] : kWords) {
    if (!kelvra::common::includes(expected, kind)) continue;
    if (!out.empty()) out += " or ";
    out += words;
  }
  return out;
}

std::string_view python_type_of(Record::value_t kind) {
  switch (kind) {
    case Record::value_t::object:
      return "dict";
    case Record::value_t::array:
      return "list";
    case Record::value_t::string:
      return "str";
    case Record::value_t::number_integer:
    case Record::value_t::number_unsigned:
      return "int";
    case Record::value_t::number_float:
      return "float";
    case Record::value_t::boolean:
      return "bool";
    case Record::value_t::binary:
      return "bytes";
    default:
      return "NoneType";
  }
}

void wrong_kind(py::handle value, std::string_view parameter, std::string_view expected) {
  raise_type_error(kelvra::common::must_be_message(parameter, expected, type_name(value)));
}

std::string_view require_str(py::handle value, std::string_view parameter) {
  if (!PyUnicode_Check(value.ptr())) wrong_kind(value, parameter, "a str");
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
  if (data == nullptr) {
    PyErr_Clear();
    raise_type_error("`" + std::string(parameter) +
                     "` is not valid Unicode text (it holds a lone surrogate)");
  }
  return {data, static_cast<std::size_t>(size)};
}

std::optional<std::string_view> optional_str(py::handle value, std::string_view parameter) {
  if (value.is_none()) return std::nullopt;
  if (!PyUnicode_Check(value.ptr())) wrong_kind(value, parameter, "a str or None");
  return require_str(value, parameter);
}

std::string require_path(py::handle value, std::string_view parameter) {
  PyObject* o = value.ptr();
  if (!PyUnicode_Check(o) && !PyBytes_Check(o) &&
      PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__fspath__") == 0)
    wrong_kind(value, parameter, "a str, bytes or os.PathLike");
  // os.fspath, then bytes in the file system's encoding, as open() does.
  py::object path = py::reinterpret_steal<py::object>(PyOS_FSPath(o));
  if (!path) throw py::error_already_set();
  if (PyUnicode_Check(path.ptr())) {
    path = py::reinterpret_steal<py::object>(PyUnicode_EncodeFSDefault(path.ptr()));
    if (!path) throw py::error_already_set();
  }
  std::string out(PyBytes_AS_STRING(path.ptr()),
                  static_cast<std::size_t>(PyBytes_GET_SIZE(path.ptr())));
  if (out.find('\0') != std::string::npos) throw py::value_error("embedded null byte");
  return out;
}

std::optional<std::string> optional_path(py::handle value, std::string_view parameter) {
  if (value.is_none()) return std::nullopt;
  return require_path(value, parameter);
}

std::int64_t require_int(py::handle value, std::string_view parameter) {
  PyObject* o = value.ptr();
  if (PyLong_CheckExact(o)) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow == 0 && !(v == -1 && PyErr_Occurred())) return v;
    PyErr_Clear();
  }
  if (!is_number(o)) wrong_kind(value, parameter, "a number");
  return kelvra::common::require_integer(convert_scalar(o, parameter), parameter);
}

std::optional<std::int64_t> optional_int(py::handle value, std::string_view parameter) {
  if (value.is_none()) return std::nullopt;
  if (!is_number(value.ptr())) wrong_kind(value, parameter, "a number or None");
  return require_int(value, parameter);
}

bool truth(py::handle value) {
  const int result = PyObject_IsTrue(value.ptr());
  if (result < 0) throw py::error_already_set();
  return result != 0;
}

bool require_bool(py::handle value, std::string_view parameter) {
  if (!PyBool_Check(value.ptr())) wrong_kind(value, parameter, "a bool");
  return value.ptr() == Py_True;
}

std::optional<bool> optional_bool(py::handle value, std::string_view parameter) {
  if (value.is_none()) return std::nullopt;
  if (!PyBool_Check(value.ptr())) wrong_kind(value, parameter, "a bool or None");
  return value.ptr() == Py_True;
}

py::list require_list(py::handle value, std::string_view parameter) {
  if (!PyList_Check(value.ptr())) wrong_kind(value, parameter, "a list");
  return py::reinterpret_borrow<py::list>(value);
}

py::dict require_dict(py::handle value, std::string_view parameter) {
  if (!PyDict_Check(value.ptr())) wrong_kind(value, parameter, "a dict");
  return py::reinterpret_borrow<py::dict>(value);
}

namespace {

std::vector<std::string> strs_of(py::handle items, std::string_view parameter) {
  std::vector<std::string> out;
  for (py::handle item : items) {
    if (!PyUnicode_Check(item.ptr())) wrong_kind(item, parameter, "a collection of str only");
    out.emplace_back(require_str(item, parameter));
  }
  return out;
}

}  // namespace

std::vector<std::string> require_str_list(py::handle value, std::string_view parameter) {
  return strs_of(require_list(value, parameter), parameter);
}

std::vector<std::string> require_str_collection(py::handle value, std::string_view parameter) {
  PyObject* o = value.ptr();
  if (!PyList_Check(o) && !PyTuple_Check(o) && !PyAnySet_Check(o))
    wrong_kind(value, parameter, "a list, tuple or set of str");
  return strs_of(value, parameter);
}

Record to_record(py::handle value, std::string_view parameter) {
  return convert_plain(value, parameter, 0);
}

std::string_view state_bytes(py::handle value, const char* what) {
  if (!PyBytes_Check(value.ptr()))
    throw py::type_error(std::string("cannot restore ") + what + ": bytes expected");
  return {PyBytes_AS_STRING(value.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(value.ptr()))};
}

py::str to_str(std::string_view text) {
  PyObject* s = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
  if (s == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(s);
}

namespace {

// Makes the Python objects of a record. Keys are shared: one str per
// distinct key (a service's answer repeats a few keys millions of times).
// With `release`, each value is freed as soon as its objects are made, so
// that the record and its Python form are never both whole.
class RecordToPython {
 public:
  explicit RecordToPython(bool release) : release_(release) {}

  py::object convert(Record& value) {
    switch (value.type()) {
      case Record::value_t::object: {
        py::dict dict;
        for (auto& [key, item] : value.items()) {
          py::object converted = convert(item);
          if (PyDict_SetItem(dict.ptr(), key_of(key).ptr(), converted.ptr()) != 0)
            throw py::error_already_set();
        }
        done(value);
        return dict;
      }
      case Record::value_t::array: {
        auto& array = value.get_ref<Record::array_t&>();
        PyObject* list = PyList_New(static_cast<Py_ssize_t>(array.size()));
        if (list == nullptr) throw py::error_already_set();
        py::object owned = py::reinterpret_steal<py::object>(list);
        Py_ssize_t i = 0;
        for (auto& item : array) {
          PyList_SET_ITEM(list, i++, convert(item).release().ptr());
          if (release_ && ++released_ % kTrimEvery == 0) malloc_trim(0);
        }
        done(value);
        return owned;
      }
      case Record::value_t::string:
        return to_str(value.get_ref<const std::string&>());
      case Record::value_t::boolean:
        return py::bool_(value.get<bool>());
      case Record::value_t::number_integer:
        return py::int_(value.get<std::int64_t>());
      case Record::value_t::number_unsigned:
        return py::int_(value.get<std::uint64_t>());
      case Record::value_t::number_float:
        return py::float_(value.get<double>());
      case Record::value_t::binary: {
        const auto& bytes = value.get_binary();
        return py::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
      }
      case Record::value_t::null:
      case Record::value_t::discarded:
        break;
    }
    return py::none();
  }

 private:
  // A container's values are gone into Python: free what is left of it.
  void done(Record& value) {
    if (release_) value = nullptr;
  }

  // The shared str of a key. Past a few thousand distinct keys, records
  // that invent keys get a str each.
  py::object key_of(const std::string& key) {
    if (auto found = keys_.find(key); found != keys_.end()) return found->second;
    py::str made = to_str(key);
    if (keys_.size() < kMaxSharedKeys) keys_.emplace(key, made);
    return made;
  }

  static constexpr std::size_t kMaxSharedKeys = 4096;
  // The memory of records freed on the way goes back to the system every
  // so many list items: Python keeps its small objects in arenas of its
  // own, which could not reuse it.
  static constexpr std::size_t kTrimEvery = 1 << 16;
  bool release_;
  std::size_t released_ = 0;
  std::unordered_map<std::string, py::object> keys_;
};

}  // namespace

py::list to_list(std::vector<py::object>& objects) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(objects.size()));
  if (list == nullptr) throw py::error_already_set();
  for (std::size_t i = 0; i < objects.size(); ++i)
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), objects[i].release().ptr());
  return py::reinterpret_steal<py::list>(list);
}

py::object from_record(const Record& value) {
  // Converting never changes a record it does not release.
  return RecordToPython(false).convert(const_cast<Record&>(value));
}

py::object from_record(Record&& value) {
  Record owned = std::move(value);
  return RecordToPython(true).convert(owned);
}

}  // namespace kelvra::python
