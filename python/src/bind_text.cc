// Normalisation and Cantonese to Mandarin.
#include <memory>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "bindings.h"
#include "kelvra/nlp/common/lang/cantonese.h"
#include "kelvra/nlp/common/normalizer.h"

namespace kelvra::python {

using kelvra::nlp::common::lang::cantonese::Cantonese;
using kelvra::nlp::common::normalizer::AlterWord;
using kelvra::nlp::common::normalizer::Normalizer;
using kelvra::nlp::common::normalizer::Text;

namespace {

// A Text whose `alter_words` is a real Python list, made from the library's
// result on first access (a caller that only wants the normalised text
// never pays for one object per changed position). Once made, or set by
// the caller, the list is the attribute: changes to it are kept.
struct PyText {
  Text value;
  py::object alter_words;  // null until first access

  py::object get_alter_words() {
    if (!alter_words) {
      if (!value.alter_words) {
        alter_words = py::none();
      } else {
        auto& words = *value.alter_words;
        py::list list(words.size());
        for (std::size_t i = 0; i < words.size(); ++i) list[i] = py::cast(std::move(words[i]));
        alter_words = std::move(list);
        value.alter_words->clear();
      }
    }
    return alter_words;
  }

  void set_alter_words(py::object list) {
    if (!list.is_none()) require_list(list, "alter_words");
    alter_words = std::move(list);
  }

  Text current() const {
    Text out(value.text, value.normalized_text, {});
    if (!alter_words) {
      out.alter_words = value.alter_words;
    } else if (alter_words.is_none()) {
      out.alter_words = std::nullopt;
    } else {
      for (py::handle item : alter_words) {
        if (!py::isinstance<AlterWord>(item))
          wrong_kind(item, "alter_words", "a list of AlterWord");
        out.alter_words->push_back(item.cast<const AlterWord&>());
      }
    }
    return out;
  }
};

struct PyNormalizer {
  py::object valid;
  std::unique_ptr<Normalizer> impl;
};

template <class T>
void string_property(py::class_<T>& cls, const char* name, std::string T::*field) {
  cls.def_property(name, [field](const T& self) { return to_str(self.*field); },
                   [field, name](T& self, py::object value) { self.*field = std::string(require_str(value, name)); });
}

}  // namespace

void bind_text(py::module_& m) {
  py::module_ t = m.def_submodule("text", "Normalizer and Cantonese");

  py::class_<AlterWord> alter(t, "AlterWord", "One changed position: the input character, what it became, its offset.");
  alter.def(py::init([](py::object text, py::object normalized_text, py::object offset) {
             return AlterWord(std::string(require_str(text, "text")),
                              std::string(require_str(normalized_text, "normalized_text")),
                              require_int(offset, "offset"));
           }),
           py::arg("text"), py::arg("normalized_text"), py::arg("offset"));
  string_property(alter, "text", &AlterWord::text);
  string_property(alter, "normalized_text", &AlterWord::normalized_text);
  alter.def_property("offset", [](const AlterWord& self) { return self.offset; },
                     [](AlterWord& self, py::object value) { self.offset = require_int(value, "offset"); })
      .def("to_json", [](const AlterWord& self) { return from_record(self.to_json()); })
      .def_static("from_json", [](py::object json) { return AlterWord::from_json(to_record(json, "json")); },
                  py::arg("json"))
      .def("__str__", [](const AlterWord& self) { return to_str(self.to_string()); })
      .def("__repr__", [](const AlterWord& self) { return to_str(self.to_string()); })
      .def("__eq__", [](const AlterWord& self, py::object other) -> py::object {
        if (!py::isinstance<AlterWord>(other)) return py::reinterpret_borrow<py::object>(Py_NotImplemented);
        return py::bool_(self == other.cast<const AlterWord&>());
      })
      .attr("__hash__") = py::none();

  py::class_<PyText> text(t, "Text", "The result of one normalisation.");
  text.def(py::init([](py::object text, py::object normalized_text, py::object alter_words) {
            auto out = std::make_unique<PyText>(PyText{
                Text(std::string(require_str(text, "text")),
                     std::string(require_str(normalized_text, "normalized_text")), {}),
                py::object()});
            out->alter_words = require_list(alter_words, "alter_words");
            return out;
          }),
          py::arg("text"), py::arg("normalized_text"), py::arg("alter_words"))
      .def_property("text", [](const PyText& self) { return to_str(self.value.text); },
                    [](PyText& self, py::object value) { self.value.text = std::string(require_str(value, "text")); })
      .def_property("normalized_text", [](const PyText& self) { return to_str(self.value.normalized_text); },
                    [](PyText& self, py::object value) {
                      self.value.normalized_text = std::string(require_str(value, "normalized_text"));
                    })
      .def_property("alter_words", &PyText::get_alter_words, &PyText::set_alter_words)
      .def("to_json", [](const PyText& self) { return from_record(self.current().to_json()); })
      .def_static("from_json", [](py::object json) {
        Text value = Text::from_json(to_record(json, "json"));
        return PyText{std::move(value), py::object()};
      }, py::arg("json"))
      .def("__str__", [](const PyText& self) { return to_str(self.current().to_string()); })
      .def("__repr__", [](const PyText& self) { return to_str(self.current().to_string()); })
      .def("__eq__", [](const PyText& self, py::object other) -> py::object {
        if (!py::isinstance<PyText>(other)) return py::reinterpret_borrow<py::object>(Py_NotImplemented);
        return py::bool_(self.current() == other.cast<const PyText&>().current());
      })
      .attr("__hash__") = py::none();

  py::class_<PyNormalizer>(t, "Normalizer", R"(Text normalisation with change tracking.

Normalizer(validChrList): the characters kept even when they are control
characters (a list, tuple or set of str, or None for none).)")
      .def(py::init([](py::object validChrList) {
             auto valid = validChrList.is_none()
                              ? std::vector<std::string>{}
                              : require_str_collection(validChrList, "validChrList");
             return std::make_unique<PyNormalizer>(
                 PyNormalizer{validChrList, std::make_unique<Normalizer>(std::move(valid))});
           }),
           py::arg("validChrList"))
      .def_property_readonly("validChrList", [](const PyNormalizer& self) { return self.valid; })
      .def("normalize", [](const PyNormalizer& self, py::object text, py::object is_q2b,
                           py::object is_replace, py::object is_to_zhs) {
        std::string_view input = require_str(text, "text");
        const bool q2b = truth(is_q2b), replace = truth(is_replace), to_zhs = truth(is_to_zhs);
        Text result = [&] {
          py::gil_scoped_release release;
          return self.impl->normalize(input, q2b, replace, to_zhs);
        }();
        return PyText{std::move(result), py::object()};
      }, py::arg("text"), py::arg("is_q2b") = true, py::arg("is_replace") = true,
           py::arg("is_to_zhs") = true,
           "Normalises `text`: traditional to simplified, control characters, full-width to half-width.");

  route_logger_to_python("kelvra.nlp.common.lang.cantonese");
  t.attr("LOG_FORMAT") = to_str(kelvra::nlp::common::lang::cantonese::LOG_FORMAT);

  py::class_<Cantonese> cantonese(t, "Cantonese", R"(Cantonese to Mandarin wording, word by word, with a dictionary.

Cantonese(dict_file=None, words_file=None): the dictionary file and the
Mandarin word list (None: the shipped c2m.tsv and mandarin_words.txt).)");
  cantonese
      .def(py::init([](py::object dict_file, py::object words_file) {
             std::optional<std::string> path, words;
             if (auto given = optional_str(dict_file, "dict_file")) path = std::string(*given);
             if (auto given = optional_str(words_file, "words_file")) words = std::string(*given);
             py::gil_scoped_release release;
             return std::make_unique<Cantonese>(std::move(path), std::move(words));
           }),
           py::arg("dict_file") = py::none(), py::arg("words_file") = py::none())
      .def("translate", [](const Cantonese& self, py::object text) {
        std::string_view input = require_str(text, "text");
        std::string out;
        {
          py::gil_scoped_release release;
          out = self.translate(input);
        }
        return to_str(out);
      }, py::arg("text"), "`text` with its Cantonese words replaced by Mandarin ones.")
      .def_static("_load", [](py::object dict_file) {
        std::string path(require_str(dict_file, "dict_file"));
        Cantonese::Dictionary dictionary;
        {
          py::gil_scoped_release release;
          dictionary = Cantonese::_load(path);
        }
        py::dict out;
        for (const auto& [key, value] : dictionary) out[to_str(key)] = to_str(value);
        return out;
      }, py::arg("dict_file"))
      .def_property_readonly("_c2m", [](const Cantonese& self) {
        py::dict out;
        for (const auto& [key, value] : self._c2m()) out[to_str(key)] = to_str(value);
        return out;
      })
      .def_property_readonly("dict_file", [](const Cantonese& self) { return to_str(self.dict_file()); })
      .def_static("default_dict_file", &Cantonese::default_dict_file)
      .def_static("default_words_file", &Cantonese::default_words_file);
  cantonese.attr("SEPERATOR") = to_str(Cantonese::SEPERATOR);
}

}  // namespace kelvra::python
