// Normalisation and Cantonese to Mandarin.
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "alter_word.h"
#include "bindings.h"
#include "kelvra/nlp/common/lang/cantonese.h"
#include "kelvra/nlp/common/normalizer.h"
#include "str_cache.h"

namespace kelvra::python {

using kelvra::nlp::common::lang::cantonese::Cantonese;
using kelvra::nlp::common::normalizer::AlterWord;
using kelvra::nlp::common::normalizer::Normalizer;
using kelvra::nlp::common::normalizer::Text;

namespace {

// The changes of one normalisation, kept compactly until the caller first
// reads `alter_words`: each distinct text once, each change 16 bytes. The
// AlterWord objects made from them share one str per distinct text.
class Changes {
 public:
  void add(std::string_view text, std::string_view normalized_text, std::int64_t offset) {
    items_.push_back(Change{intern(text), intern(normalized_text), offset});
  }

  py::list to_python() const {
    StrCache strs(texts_.size());
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(items_.size()));
    if (list == nullptr) throw py::error_already_set();
    py::list out = py::reinterpret_steal<py::list>(list);
    for (std::size_t i = 0; i < items_.size(); ++i) {
      const Change& change = items_[i];
      PyObject* word = new_alter_word(strs.get(texts_[change.text]),
                                      strs.get(texts_[change.normalized_text]), change.offset);
      if (word == nullptr) throw py::error_already_set();
      PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), word);
    }
    return out;
  }

  // The changes as a pickled Text carries them: the distinct texts, and
  // each change as 16 bytes of the indexes of its two texts and its offset.
  py::tuple to_state() const {
    static_assert(std::endian::native == std::endian::little,
                  "the packed changes are little-endian");
    py::tuple texts(texts_.size());
    for (std::size_t i = 0; i < texts_.size(); ++i) texts[i] = to_str(texts_[i]);
    return py::make_tuple(texts, py::bytes(reinterpret_cast<const char*>(items_.data()),
                                           items_.size() * sizeof(Change)));
  }

  // Changes from a state of to_state; TypeError when it is not one.
  static std::unique_ptr<Changes> from_state(py::handle state) {
    const auto refuse = [] {
      throw py::type_error("cannot restore the changes of a Text from this state");
    };
    if (!PyTuple_Check(state.ptr()) || PyTuple_GET_SIZE(state.ptr()) != 2) refuse();
    py::handle texts = PyTuple_GET_ITEM(state.ptr(), 0), packed = PyTuple_GET_ITEM(state.ptr(), 1);
    if (!PyTuple_Check(texts.ptr()) || !PyBytes_Check(packed.ptr()) ||
        PyBytes_GET_SIZE(packed.ptr()) % static_cast<Py_ssize_t>(sizeof(Change)) != 0)
      refuse();
    auto out = std::make_unique<Changes>();
    for (py::handle text : texts) out->texts_.emplace_back(require_str(text, "alter_words"));
    out->items_.resize(static_cast<std::size_t>(PyBytes_GET_SIZE(packed.ptr())) / sizeof(Change));
    std::memcpy(out->items_.data(), PyBytes_AS_STRING(packed.ptr()),
                out->items_.size() * sizeof(Change));
    for (const Change& change : out->items_)
      if (change.text >= out->texts_.size() || change.normalized_text >= out->texts_.size())
        refuse();
    return out;
  }

  std::vector<AlterWord> to_values() const {
    std::vector<AlterWord> out;
    out.reserve(items_.size());
    for (const Change& change : items_)
      out.emplace_back(texts_[change.text], texts_[change.normalized_text], change.offset);
    return out;
  }

 private:
  struct Change {
    std::uint32_t text;
    std::uint32_t normalized_text;
    std::int64_t offset;
  };

  std::uint32_t intern(std::string_view text) {
    key_.assign(text);
    auto [it, added] = index_.try_emplace(key_, static_cast<std::uint32_t>(texts_.size()));
    if (added) texts_.push_back(key_);
    return it->second;
  }

  std::vector<std::string> texts_;
  std::unordered_map<std::string, std::uint32_t> index_;
  std::string key_;  // reused for lookups
  std::vector<Change> items_;
};

// A Text: the caller's input str, the normalised str, and `alter_words`, a
// real Python list made from the compact changes on first access (a caller
// that only wants the normalised text never pays for one object per
// changed position). Once made, or set by the caller, the list is the
// attribute: changes to it are kept.
struct PyText {
  py::object text;             // str
  py::object normalized_text;  // str
  std::unique_ptr<Changes> changes;
  py::object alter_words;  // null until first access

  py::object get_alter_words() {
    if (!alter_words) {
      alter_words = changes ? py::object(changes->to_python()) : py::object(py::list());
      changes.reset();
    }
    return alter_words;
  }

  void set_alter_words(py::object list) {
    if (!list.is_none()) require_list(list, "alter_words");
    alter_words = std::move(list);
    changes.reset();
  }

  // What alter_words pickles as: the compact changes while they are not
  // made into objects yet, else the list (or None).
  py::object alter_words_state() const {
    if (alter_words) return alter_words;
    if (changes) return changes->to_state();
    return py::list();
  }

  Text current() const {
    Text out(std::string(require_str(text, "text")),
             std::string(require_str(normalized_text, "normalized_text")), {});
    if (!alter_words) {
      if (changes) out.alter_words = changes->to_values();
    } else if (alter_words.is_none()) {
      out.alter_words = std::nullopt;
    } else {
      for (py::handle item : alter_words) {
        if (!is_alter_word(item.ptr())) wrong_kind(item, "alter_words", "a list of AlterWord");
        out.alter_words->push_back(alter_word_value(item.ptr()));
      }
    }
    return out;
  }
};

// The Python form of a library Text.
std::unique_ptr<PyText> python_text(const Text& value) {
  auto out = std::make_unique<PyText>();
  out->text = to_str(value.text);
  out->normalized_text = to_str(value.normalized_text);
  if (!value.alter_words) {
    out->alter_words = py::none();
  } else {
    py::list words;
    for (const AlterWord& word : *value.alter_words)
      words.append(py::reinterpret_steal<py::object>(new_alter_word(
          to_str(word.text).ptr(), to_str(word.normalized_text).ptr(), word.offset)));
    out->alter_words = std::move(words);
  }
  return out;
}

struct PyNormalizer {
  py::object valid;
  std::shared_ptr<const Normalizer> impl;
  py::object cc;  // its converter object, made on first use
};

// An OpenCC converter: the translators' shared "t2s" converter, or a
// normaliser's (which it keeps alive). Both convert as OpenCC converts the
// whole text.
struct PyConverter {
  std::shared_ptr<const Normalizer> normalizer;  // null: the shared converter
  std::string config = "t2s";

  std::string convert(std::string_view text) const {
    return normalizer ? normalizer->convert(text) : Cantonese::simplified(text);
  }
};

// A converter for `config`: the shared one for "t2s", else one of its own.
std::unique_ptr<PyConverter> converter_for(const std::string& config) {
  auto out = std::make_unique<PyConverter>();
  out->config = config;
  if (config != "t2s") {
    py::gil_scoped_release release;
    out->normalizer = std::make_shared<Normalizer>(kelvra::nlp::common::ValidChrList{}, config);
  }
  return out;
}

std::vector<std::string> valid_chars(py::handle validChrList) {
  return validChrList.is_none() ? std::vector<std::string>{}
                                : require_str_collection(validChrList, "validChrList");
}

std::unique_ptr<PyNormalizer> normalizer_for(py::object validChrList) {
  auto valid = valid_chars(validChrList);
  return std::make_unique<PyNormalizer>(PyNormalizer{
      std::move(validChrList), std::make_shared<const Normalizer>(std::move(valid)), py::object()});
}

std::unique_ptr<Cantonese> cantonese_for(py::handle dict_file, py::handle words_file,
                                         py::handle rules_file) {
  std::optional<std::string> dict, words, rules;
  dict = optional_path(dict_file, "dict_file");
  words = optional_path(words_file, "words_file");
  rules = optional_path(rules_file, "rules_file");
  py::gil_scoped_release release;
  return std::make_unique<Cantonese>(std::move(dict), std::move(words), std::move(rules));
}

}  // namespace

void bind_text(py::module_& m) {
  py::module_ t = m.def_submodule("text", "Normalizer and Cantonese");

  add_alter_word(t);

  auto text_class = class_in<py::class_<PyText>>(t, "kelvra.nlp.common.normalizer", "Text",
                                                 "The result of one normalisation.");
  text_class
      .def(py::init([](py::object text, py::object normalized_text, py::object alter_words) {
             auto out = std::make_unique<PyText>();
             require_str(text, "text");
             require_str(normalized_text, "normalized_text");
             out->text = std::move(text);
             out->normalized_text = std::move(normalized_text);
             out->alter_words = require_list(alter_words, "alter_words");
             return out;
           }),
           py::arg("text"), py::arg("normalized_text"), py::arg("alter_words"))
      .def_property(
          "text", [](const PyText& self) { return self.text; },
          [](PyText& self, py::object value) {
            require_str(value, "text");
            self.text = std::move(value);
          },
          "The caller's input, unchanged (a str).")
      .def_property(
          "normalized_text", [](const PyText& self) { return self.normalized_text; },
          [](PyText& self, py::object value) {
            require_str(value, "normalized_text");
            self.normalized_text = std::move(value);
          },
          "The normalised text: the outputs of all positions joined in order (a str).")
      .def_property("alter_words", &PyText::get_alter_words, &PyText::set_alter_words,
                    "One AlterWord per changed position, by ascending offset (a list; None "
                    "when set so).")
      .def("to_json", [](const PyText& self) { return from_record(self.current().to_json()); })
      .def_static(
          "from_json",
          [](py::object json) { return python_text(Text::from_json(to_record(json, "json"))); },
          py::arg("json"))
      .def("__str__", [](const PyText& self) { return to_str(self.current().to_string()); })
      .def("__repr__", [](const PyText& self) { return to_str(self.current().to_string()); })
      .def(
          "__eq__",
          [](const PyText& self, py::object other) -> py::object {
            if (!py::isinstance<PyText>(other))
              return py::reinterpret_borrow<py::object>(Py_NotImplemented);
            return py::bool_(self.current() == other.cast<const PyText&>().current());
          },
          py::arg("other"))
      .attr("__hash__") = py::none();
  // A Text travels as its values, the changes compactly while they are
  // not made into objects: one small record per distinct character and 16
  // bytes per change.
  add_pickling(
      text_class,
      [](py::object self) {
        const auto& value = self.cast<const PyText&>();
        return py::make_tuple(value.text, value.normalized_text, value.alter_words_state());
      },
      [](const py::tuple& values) {
        require_values(values, 3, "Text");
        auto out = std::make_unique<PyText>();
        require_str(values[0], "text");
        require_str(values[1], "normalized_text");
        out->text = values[0];
        out->normalized_text = values[1];
        py::object alter_words = values[2];
        if (PyTuple_Check(alter_words.ptr())) {
          out->changes = Changes::from_state(alter_words);
        } else {
          out->set_alter_words(std::move(alter_words));
        }
        return out;
      });

  auto converter = class_in<py::class_<PyConverter>>(
      t, "kelvra.nlp.common.normalizer", "OpenCC",
      R"(An OpenCC converter: convert(text) is OpenCC's conversion of the whole text.

OpenCC(config="t2s"): "t2s" is the converter that every Cantonese translator
shares (Cantonese.converter); Normalizer.cc is a normaliser's own.)");
  converter
      .def(py::init([](py::object config) {
             return converter_for(std::string(require_str(config, "config")));
           }),
           py::arg("config") = "t2s")
      .def_property_readonly(
          "config", [](const PyConverter& self) { return to_str(self.config); },
          "The conversion's name, as given (\"t2s\" by default).")
      .def(
          "convert",
          [](const PyConverter& self, py::object text) {
            std::string_view input = require_str(text, "text");
            std::string out;
            {
              py::gil_scoped_release release;
              out = self.convert(input);
            }
            return to_str(out);
          },
          py::arg("text"), "`text` converted, as OpenCC converts the whole text.")
      .def("__repr__", [](const PyConverter& self) {
        return "OpenCC(config=" + repr_of(to_str(self.config)) + ")";
      });
  add_pickling(
      converter,
      [](py::object self) {
        return py::make_tuple(to_str(self.cast<const PyConverter&>().config));
      },
      [](const py::tuple& values) {
        require_values(values, 1, "OpenCC");
        return converter_for(std::string(require_str(values[0], "config")));
      });

  auto normalizer =
      class_in<py::class_<PyNormalizer>>(t, "kelvra.nlp.common.normalizer", "Normalizer",
                                         R"(Text normalisation with change tracking.

Normalizer(validChrList): the characters kept even when they are control
characters (a list, tuple or set of str, or None for none).)");
  normalizer.def(py::init(&normalizer_for), py::arg("validChrList"))
      .def_property_readonly(
          "validChrList", [](const PyNormalizer& self) { return self.valid; },
          "The characters kept even when they are control characters, as given.")
      .def_property_readonly(
          "cc",
          [](PyNormalizer& self) {
            if (!self.cc)
              self.cc = py::cast(std::make_unique<PyConverter>(PyConverter{self.impl, "t2s"}));
            return self.cc;
          },
          "The normaliser's OpenCC converter (\"t2s\").")
      .def(
          "normalize",
          [](const PyNormalizer& self, py::object text, py::object is_q2b, py::object is_replace,
             py::object is_to_zhs) {
            std::string_view input = require_str(text, "text");
            // The switches are tested for truth, as Python callers pass 0, 1 or None too.
            const bool q2b = truth(is_q2b), replace = truth(is_replace), to_zhs = truth(is_to_zhs);
            auto result = std::make_unique<PyText>();
            result->changes = std::make_unique<Changes>();
            std::string normalized;
            {
              py::gil_scoped_release release;
              self.impl->normalize(
                  input, [&normalized](std::string_view out) { normalized.assign(out); },
                  [&changes = *result->changes](std::string_view from, std::string_view to,
                                                std::int64_t offset) {
                    changes.add(from, to, offset);
                  },
                  q2b, replace, to_zhs);
            }
            result->text = std::move(text);
            result->normalized_text = to_str(normalized);
            return result;
          },
          py::arg("text"), py::arg("is_q2b") = true, py::arg("is_replace") = true,
          py::arg("is_to_zhs") = true,
          "Normalises `text`: traditional to simplified, control characters, full-width to "
          "half-width.")
      .def("__repr__", [](const PyNormalizer& self) {
        return "Normalizer(validChrList=" + repr_of(self.valid) + ")";
      });
  explain_argument_mismatch(normalizer, "Normalizer", {"validChrList"}, 1);
  add_pickling(
      normalizer,
      [](py::object self) { return py::make_tuple(self.cast<const PyNormalizer&>().valid); },
      [](const py::tuple& values) {
        return normalizer_for(require_values(values, 1, "Normalizer")[0]);
      });

  route_logger_to_python("kelvra.nlp.common.lang.cantonese");
  t.attr("LOG_FORMAT") = to_str(kelvra::nlp::common::lang::cantonese::LOG_FORMAT);

  auto cantonese = class_in<py::class_<Cantonese>>(
      t, "kelvra.nlp.common.lang.cantonese", "Cantonese",
      R"(Cantonese to Mandarin wording, word by word, with a dictionary.

Cantonese(dict_file=None, words_file=None, rules_file=None): the dictionary
file, the Mandarin word list and the rules file (None: the shipped c2m.tsv,
mandarin_words.txt and c2m_rules.tsv). A translator pickles with the
contents of its three files, not their paths.)");
  cantonese
      .def(py::init(&cantonese_for), py::arg("dict_file") = py::none(),
           py::arg("words_file") = py::none(), py::arg("rules_file") = py::none())
      .def(
          "translate",
          [](const Cantonese& self, py::object text) {
            std::string_view input = require_str(text, "text");
            std::string out;
            {
              py::gil_scoped_release release;
              out = self.translate(input);
            }
            return to_str(out);
          },
          py::arg("text"), "`text` with its Cantonese words replaced by Mandarin ones.")
      .def_static(
          "_load",
          [](py::object dict_file) {
            std::string path = require_path(dict_file, "dict_file");
            Cantonese::Dictionary dictionary;
            {
              py::gil_scoped_release release;
              dictionary = Cantonese::_load(path);
            }
            py::dict out;
            for (const auto& [key, value] : dictionary) out[to_str(key)] = to_str(value);
            return out;
          },
          py::arg("dict_file"))
      .def_property_readonly(
          "_c2m",
          [](const Cantonese& self) {
            py::dict out;
            for (const auto& [key, value] : self._c2m()) out[to_str(key)] = to_str(value);
            return out;
          },
          "The dictionary as read: a new dict of Cantonese word to Mandarin word.")
      .def_property_readonly(
          "dict_file", [](const Cantonese& self) { return to_str(self.dict_file()); },
          "The dictionary file in use.")
      .def_property_readonly(
          "words_file", [](const Cantonese& self) { return to_str(self.words_file()); },
          "The Mandarin word list in use.")
      .def_property_readonly(
          "rules_file", [](const Cantonese& self) { return to_str(self.rules_file()); },
          "The rules file in use.")
      .def_static("default_dict_file", &Cantonese::default_dict_file)
      .def_static("default_words_file", &Cantonese::default_words_file)
      .def_static("default_rules_file", &Cantonese::default_rules_file)
      .def("__repr__", [](const Cantonese& self) {
        return "Cantonese(dict_file=" + repr_of(to_str(self.dict_file())) +
               ", words_file=" + repr_of(to_str(self.words_file())) +
               ", rules_file=" + repr_of(to_str(self.rules_file())) + ")";
      });
  add_pickling(
      cantonese,
      [](py::object self) {
        return py::make_tuple(bytes_of(self.cast<const Cantonese&>().to_bytes()));
      },
      [](const py::tuple& values) {
        const std::string_view bytes =
            state_bytes(require_values(values, 1, "Cantonese")[0], "a Cantonese");
        py::gil_scoped_release release;
        return std::make_unique<Cantonese>(Cantonese::from_bytes(bytes));
      });
  cantonese.attr("SEPERATOR") = to_str(Cantonese::SEPERATOR);
  cantonese.attr("converter") = py::cast(std::make_unique<PyConverter>());
}

}  // namespace kelvra::python
