// The pieces of the extension module kelvra._native: one function per group
// of modules adds its submodule, and a small registry holds the Python
// classes (defined in the thin modules) that the bindings build results of.
#pragma once

#include <memory>
#include <string>
#include <typeinfo>
#include <utility>
#include <vector>

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

// --- objects whose __init__ never ran ---
//
// `Cls.__new__(Cls)`, or unpickling a pickle that carries no state, makes
// an instance whose C++ value was never constructed. pybind11 would then
// hand the first method raw, unconstructed memory for it (it allocates the
// value lazily through the type's operator_new); every bound class routes
// that allocation here instead, which refuses the call with a TypeError
// naming the class.
template <class T>
const char*& unconstructed_class_name() {
  static const char* name = "object";
  return name;
}

template <class T>
void* refuse_unconstructed(std::size_t) {
  const std::string name = unconstructed_class_name<T>();
  throw py::type_error(name + " object has no state: it was made by " + name +
                       ".__new__ without __init__ (or unpickled without its state); make it "
                       "with " +
                       name + "(...)");
}

// A bound class `Class` (py::class_<...> or py::enum_<...>) named `name`,
// made in `scope` as a class of `module`, the module users import it from
// (kelvra.nlp.common.phraser, not kelvra._native.segmentation): its
// __module__, and the type name that signatures, messages, repr, pickling
// and documentation tools show. Its instances refuse use before their
// __init__ or __setstate__ has run (above).
template <class Class, class... Extra>
Class class_in(py::module_& scope, const char* module, const char* name, const Extra&... extra) {
  // pybind11 names a new class after its scope's __name__.
  py::object own = scope.attr("__name__");
  scope.attr("__name__") = module;
  try {
    Class made(scope, name, extra...);
    scope.attr("__name__") = own;
    using Value = typename Class::type;
    unconstructed_class_name<Value>() = name;
    py::detail::get_type_info(typeid(Value))->operator_new = &refuse_unconstructed<Value>;
    return made;
  } catch (...) {
    scope.attr("__name__") = own;
    throw;
  }
}

// --- pickling, copy and deepcopy ---
//
// An object travels as a state (values, attributes): `values` is the tuple
// that makes it again, `attributes` the instance's own attributes (those of
// a Python subclass's instance, or set on a class that takes them), copied
// so that a copy never shares its __dict__ with the original.
py::tuple pickled_state(py::handle self, py::tuple values);
// The two halves of a state made by pickled_state; TypeError naming the
// class when `state` is not one.
py::tuple pickled_values(const py::tuple& state, const std::string& cls);
py::dict pickled_attributes(const py::tuple& state, const std::string& cls);

// Checks that the values of a state hold `count` items.
inline const py::tuple& require_values(const py::tuple& values, std::size_t count,
                                       const char* cls) {
  if (values.size() != count)
    throw py::type_error(std::string("cannot restore a ") + cls + " from " +
                         std::to_string(values.size()) + " values, it takes " +
                         std::to_string(count));
  return values;
}

// Binds pickling (protocol 2 and up, which copy and deepcopy use too) for a
// class whose objects are made again by `make(values)` from
// `values(self)`, a py::tuple; `make` returns the class's holder.
template <class Class, class Values, class Make>
void add_pickling(Class& cls, Values values, Make make) {
  const std::string name = py::str(cls.attr("__name__"));
  cls.def(py::pickle([values](py::object self) { return pickled_state(self, values(self)); },
                     [make, name](const py::tuple& state) {
                       return std::make_pair(make(pickled_values(state, name)),
                                             pickled_attributes(state, name));
                     }));
  // pybind11 passes over a constructor called on an object that already
  // has its state, so a second __setstate__ would be ignored without a word:
  // refuse it instead.
  py::object restore = cls.attr("__setstate__");
  cls.attr("__setstate__") = py::cpp_function(
      [restore, name](py::handle self, py::handle state) {
        auto* inst = reinterpret_cast<py::detail::instance*>(self.ptr());
        if (inst->get_value_and_holder().holder_constructed())
          throw py::type_error(name +
                               " object already has its state: __setstate__ restores "
                               "one only into an object made by " +
                               name + ".__new__ (as pickle and copy make them)");
        return restore(self, state);
      },
      // Another name than __setstate__: pybind11 treats a function of that name
      // as a constructor and would pass over the check.
      py::is_method(cls), py::name("restore_state"));
}

// An instance of `cls` (the bound class of T or a Python subclass of it)
// holding `value`, made without calling __init__: for class methods that
// make objects otherwise than the constructor does (Automaton.load).
template <class T>
py::object instance_holding(py::handle cls, std::unique_ptr<T> value) {
  py::object self = cls.attr("__new__")(cls);
  auto* inst = reinterpret_cast<py::detail::instance*>(self.ptr());
  py::detail::value_and_holder holder =
      inst->get_value_and_holder(py::detail::get_type_info(typeid(T)));
  holder.value_ptr() = value.release();
  holder.type->init_instance(inst, nullptr);
  return self;
}

// Adds to a bound class an __init__ that no call reaches while the real
// one accepts its arguments: called with the wrong number or names of
// arguments, the class then says what Python's own functions say
// ("Normalizer() missing 1 required positional argument: 'validChrList'")
// rather than pybind11's list of supported signatures. `parameters` are
// the real __init__'s, the first `required` of them without a default.
[[noreturn]] void raise_argument_mismatch(const char* cls,
                                          const std::vector<const char*>& parameters,
                                          std::size_t required, const py::args& args,
                                          const py::kwargs& kwargs);

template <class Class>
void explain_argument_mismatch(Class& cls, const char* name, std::vector<const char*> parameters,
                               std::size_t required) {
  using Holder = typename Class::holder_type;
  cls.def(py::init(
      [name, parameters, required](const py::args& args, const py::kwargs& kwargs) -> Holder {
        raise_argument_mismatch(name, parameters, required, args, kwargs);
      }));
}

// Adds `function` to `cls` as a class method named `name`.
inline void bind_class_method(py::handle cls, const char* name, py::cpp_function function) {
  PyObject* method = PyClassMethod_New(function.ptr());
  if (method == nullptr) throw py::error_already_set();
  cls.attr(name) = py::reinterpret_steal<py::object>(method);
}

// repr() of a value, as a std::string (for the reprs of engines).
inline std::string repr_of(py::handle value) { return py::repr(value).cast<std::string>(); }

}  // namespace kelvra::python
