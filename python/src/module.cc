// The extension module kelvra._native: failures mapped to Python's kinds,
// the library's log lines routed into Python's logging, the registry of
// Python record classes, and the submodules of every group.
#include <exception>
#include <mutex>
#include <string>
#include <unordered_map>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <spdlog/details/null_mutex.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include "bindings.h"
#include "kelvra/common/exceptions.h"
#include "kelvra/common/record.h"
#include "kelvra/common/text_form.h"
#include "kelvra/common/utils.h"
#include "kelvra/nlp/common/common.h"

namespace kelvra::python {

namespace common = kelvra::common;

namespace {

// Classes are registered by the thin modules at import and live as long as
// the process (never released: the interpreter may be gone by the time
// static destructors run).
std::unordered_map<std::string, PyObject*>& class_registry() {
  static auto* registry = new std::unordered_map<std::string, PyObject*>();
  return *registry;
}

// The thin module that defines each registered class.
const char* module_of(const std::string& name) {
  if (name.rfind("feature.", 0) == 0) return "kelvra.nlp.common.feature.feature";
  if (name.rfind("en.", 0) == 0) return "kelvra.nlp.common.feature.lang.en.feature";
  return nullptr;
}

void raise_python(const char* module, const char* cls, const py::tuple& args) {
  py::object type = py::module_::import(module).attr(cls);
  py::object instance = type(*args);
  PyErr_SetObject(type.ptr(), instance.ptr());
}

}  // namespace

void translate(std::exception_ptr failure) {
  try {
    if (failure) std::rethrow_exception(failure);
  } catch (const common::KvException& e) {
    py::object codes = py::module_::import("kelvra.common.exceptions").attr("ErrorCodes");
    raise_python("kelvra.common.exceptions", "KvException",
                 py::make_tuple(codes(static_cast<int>(e.code())), to_str(e.what())));
  } catch (const common::FileError& e) {
    raise_python("kelvra.common.exceptions", "FileError",
                 py::make_tuple(to_str(e.path()), to_str(e.what()), e.line()));
  } catch (const common::WrongKind& e) {
    // The library's own kind checks, worded as the extension's are.
    const std::string message = common::must_be_message(e.parameter(), python_kinds(e.expected()),
                                                        python_type_of(e.found()));
    PyErr_SetString(PyExc_TypeError, message.c_str());
  } catch (const common::TypeError& e) {
    PyErr_SetString(PyExc_TypeError, e.what());
  } catch (const common::KeyError& e) {
    // A plain missing key is reported as Python reports one: by the key.
    const bool plain = common::missing_key_message(e.key()) == e.what();
    py::str arg = to_str(plain ? e.key() : std::string(e.what()));
    PyErr_SetObject(PyExc_KeyError, arg.ptr());
  } catch (const common::AttributeError& e) {
    PyErr_SetString(PyExc_AttributeError, e.what());
  } catch (const common::IndexError& e) {
    PyErr_SetString(PyExc_IndexError, e.what());
  } catch (const common::ZeroDivisionError& e) {
    PyErr_SetString(PyExc_ZeroDivisionError, e.what());
  }
}

void set_python_error(std::exception_ptr failure) {
  try {
    std::rethrow_exception(failure);
  } catch (py::error_already_set& e) {
    e.restore();
  } catch (const py::builtin_exception& e) {
    e.set_error();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (...) {
    translate(std::current_exception());
    if (!PyErr_Occurred()) {
      try {
        throw;
      } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
      } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ failure");
      }
    }
  }
}

namespace {

// Hands each line of a library logger to the Python logger of the same
// name, as a LogRecord that carries the C++ source line, so the process's
// logging configuration decides whether and how it is written. The GIL
// serialises the calls, so the sink needs no mutex of its own (one would
// deadlock against a thread that holds the GIL and logs).
class PythonLoggingSink : public spdlog::sinks::base_sink<spdlog::details::null_mutex> {
 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    if (!Py_IsInitialized()) return;
    py::gil_scoped_acquire gil;
    try {
      py::object logger = py::module_::import("logging").attr("getLogger")(
          to_str(std::string_view(msg.logger_name.data(), msg.logger_name.size())));
      const int level = python_level(msg.level);
      if (!logger.attr("isEnabledFor")(level).cast<bool>()) return;
      py::object record = logger.attr("makeRecord")(
          logger.attr("name"), level, msg.source.filename ? msg.source.filename : "",
          msg.source.line, to_str(std::string_view(msg.payload.data(), msg.payload.size())),
          py::tuple(), py::none(),
          msg.source.funcname ? py::object(py::str(msg.source.funcname)) : py::object(py::none()));
      logger.attr("handle")(record);
    } catch (py::error_already_set& e) {
      e.discard_as_unraisable("kelvra log line");
    }
  }
  void flush_() override {}

 private:
  static int python_level(spdlog::level::level_enum level) {
    switch (level) {
      case spdlog::level::trace:
      case spdlog::level::debug:
        return 10;
      case spdlog::level::info:
        return 20;
      case spdlog::level::warn:
        return 30;
      case spdlog::level::err:
        return 40;
      case spdlog::level::critical:
        return 50;
      default:
        return 0;
    }
  }
};

}  // namespace

py::handle python_class(const char* name) {
  auto& registry = class_registry();
  auto it = registry.find(name);
  if (it == registry.end()) {
    if (const char* module = module_of(name)) py::module_::import(module);
    it = registry.find(name);
    if (it == registry.end())
      throw py::import_error(std::string("kelvra: class ") + name + " is not registered");
  }
  return it->second;
}

void register_class(const std::string& name, py::handle cls) {
  PyObject*& slot = class_registry()[name];
  Py_XDECREF(slot);
  slot = cls.inc_ref().ptr();
}

void route_logger_to_python(const std::string& name) {
  if (spdlog::get(name) != nullptr) return;
  auto logger = std::make_shared<spdlog::logger>(name, std::make_shared<PythonLoggingSink>());
  logger->set_level(spdlog::level::trace);
  spdlog::register_logger(logger);
}

void raise_argument_mismatch(const char* cls, const std::vector<const char*>& parameters,
                             std::size_t required, const py::args& args, const py::kwargs& kwargs) {
  const std::string name = std::string(cls) + "()";
  const std::size_t given = args.size();
  if (given > parameters.size()) {
    throw py::type_error(name + " takes " + std::to_string(parameters.size()) +
                         " positional argument" + (parameters.size() == 1 ? "" : "s") + " but " +
                         std::to_string(given) + (given == 1 ? " was" : " were") + " given");
  }
  for (auto item : kwargs) {
    const std::string key = py::str(item.first);
    std::size_t at = 0;
    while (at < parameters.size() && key != parameters[at]) ++at;
    if (at == parameters.size())
      throw py::type_error(name + " got an unexpected keyword argument '" + key + "'");
    if (at < given) throw py::type_error(name + " got multiple values for argument '" + key + "'");
  }
  std::vector<std::string> missing;
  for (std::size_t i = given; i < required; ++i)
    if (!kwargs.contains(parameters[i])) missing.push_back(std::string("'") + parameters[i] + "'");
  if (!missing.empty()) {
    std::string listed;
    for (std::size_t i = 0; i < missing.size(); ++i)
      listed += (i == 0 ? "" : i + 1 == missing.size() ? " and " : ", ") + missing[i];
    throw py::type_error(name + " missing " + std::to_string(missing.size()) +
                         " required argument" + (missing.size() == 1 ? "" : "s") + ": " + listed);
  }
  throw py::type_error(name + ": arguments that it does not take");
}

py::tuple pickled_state(py::handle self, py::tuple values) {
  py::object own = py::getattr(self, "__dict__", py::none());
  return py::make_tuple(std::move(values), own.is_none() ? py::dict() : py::dict(own));
}

namespace {

void check_state(const py::tuple& state, const std::string& cls) {
  if (state.size() != 2 || !PyTuple_Check(state[0].ptr()) || !PyDict_Check(state[1].ptr()))
    throw py::type_error("cannot restore a " + cls +
                         " from this state: (values, attributes) expected");
}

}  // namespace

py::tuple pickled_values(const py::tuple& state, const std::string& cls) {
  check_state(state, cls);
  return state[0].cast<py::tuple>();
}

py::dict pickled_attributes(const py::tuple& state, const std::string& cls) {
  check_state(state, cls);
  return state[1].cast<py::dict>();
}

void bind_common(py::module_& m) {
  py::module_ c = m.def_submodule("common", "Failures, configuration files and text forms");

  py::list codes;
  for (auto code : common::kAllErrorCodes)
    codes.append(py::make_tuple(to_str(common::error_code_name(code)), static_cast<int>(code)));
  c.attr("ERROR_CODES") = codes;
  // How deeply records may nest, for the callers that build records near it.
  c.attr("MAX_RECORD_DEPTH") = common::kMaxRecordDepth;

  c.def(
      "load_config",
      [](py::object path) {
        std::string file(require_str(path, "path"));
        if (file.find('\0') != std::string::npos) throw py::value_error("embedded null byte");
        return from_record(common::ConfigUtil::load(file));
      },
      py::arg("path"));

  c.def(
      "text_form",
      [](py::object value) { return to_str(common::to_text_form(to_record(value, "value"))); },
      py::arg("value"), "The record text form of a record value.");

  c.def(
      "register_class", [](const std::string& name, py::object cls) { register_class(name, cls); },
      py::arg("name"), py::arg("cls"));

  // Kind checks for the record classes: each returns the value converted,
  // or raises TypeError naming the parameter.
  c.def("string", [](py::object v, const std::string& name) {
    require_str(v, name);
    return v;
  });
  c.def("optional_string", [](py::object v, const std::string& name) {
    optional_str(v, name);
    return v;
  });
  c.def("integer", [](py::object v, const std::string& name) { return require_int(v, name); });
  c.def("optional_integer",
        [](py::object v, const std::string& name) { return optional_int(v, name); });
  c.def("truth", [](py::object v, const std::string& name) { return require_bool(v, name); });
  c.def("optional_truth",
        [](py::object v, const std::string& name) { return optional_bool(v, name); });
  c.def("list", [](py::object v, const std::string& name) { return require_list(v, name); });
  c.def("optional_list", [](py::object v, const std::string& name) -> py::object {
    if (v.is_none()) return v;
    return require_list(v, name);
  });
  c.def("dict", [](py::object v, const std::string& name) { return require_dict(v, name); });

  py::module_ root = m.def_submodule("nlp_common", "Character functions of the package root");
  root.def(
      "Q2B",
      [](py::object value) {
        return to_str(kelvra::nlp::common::Q2B(require_str(value, "value")));
      },
      py::arg("value"), "The half-width form of `value`.");
  root.def(
      "replace_ctrl_char",
      [](py::object ch, py::object validChrList) {
        std::string_view text = require_str(ch, "ch");
        auto valid = validChrList.is_none() ? std::vector<std::string>{}
                                            : require_str_collection(validChrList, "validChrList");
        return to_str(kelvra::nlp::common::replace_ctrl_char(text, valid));
      },
      py::arg("ch"), py::arg("validChrList"),
      "`ch` itself when listed in validChrList or not a control character, else a blank.");
}

}  // namespace kelvra::python

PYBIND11_MODULE(_native, m) {
  using namespace kelvra::python;
  m.doc() = "The C++ library behind the kelvra package; import the modules under kelvra.*";
  py::register_exception_translator(&translate);
  bind_common(m);
  bind_records(m);
  bind_segmentation(m);
  bind_text(m);
  bind_retrieval(m);
  bind_service(m);
  bind_testing(m);
  // The submodules import by their dotted names too
  // (from kelvra._native.text import Normalizer).
  py::dict modules = py::module_::import("sys").attr("modules");
  for (const char* name : {"common", "nlp_common", "records", "segmentation", "text", "retrieval",
                           "service", "testing"})
    modules[(std::string("kelvra._native.") + name).c_str()] = m.attr(name);
}
