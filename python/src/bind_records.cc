// The feature records (base and English): the Python classes live in the
// thin modules and keep their fields as plain attributes; these functions
// read those attributes into the C++ records for serialising, and build
// Python records from serialised ones through the class's own constructor.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "bindings.h"
#include "kelvra/common/text_form.h"
#include "kelvra/nlp/common/feature/feature.h"
#include "kelvra/nlp/common/feature/internal/reading.h"
#include "kelvra/nlp/common/feature/lang/en/feature.h"
#include "kelvra/nlp/common/feature/lang/en/internal/reading.h"
#include "match_word.h"
#include "record_model.h"
#include "records.h"

namespace kelvra::python {

namespace feature = kelvra::nlp::common::feature;
namespace en = kelvra::nlp::common::feature::lang::en;
namespace reading = kelvra::nlp::common::feature::internal;
namespace en_reading = kelvra::nlp::common::feature::lang::en::internal;
using namespace pybind11::literals;

feature::Word word_of(py::handle word) {
  feature::Word out(
      require_int(word.attr("id"), "id"), std::string(require_str(word.attr("text"), "text")),
      require_int(word.attr("offset"), "offset"), require_int(word.attr("length"), "length"),
      std::string(require_str(word.attr("pos"), "pos")),
      optional_int(word.attr("sentence_id"), "sentence_id"),
      optional_int(word.attr("clause_id"), "clause_id"),
      optional_int(word.attr("parent"), "parent"), std::nullopt);
  if (auto relation = optional_str(word.attr("relation"), "relation"))
    out.relation = std::string(*relation);
  return out;
}

namespace {

en::Word en_word_of(py::handle word) {
  std::optional<std::string> lemma;
  if (auto text = optional_str(word.attr("lemma"), "lemma")) lemma = std::string(*text);
  return en::Word(word_of(word), optional_bool(word.attr("mask"), "mask"), std::move(lemma));
}

feature::Clause clause_of(py::handle clause) {
  return feature::Clause(
      require_int(clause.attr("id"), "id"), std::string(require_str(clause.attr("tense"), "tense")),
      require_int(clause.attr("offset"), "offset"), require_int(clause.attr("length"), "length"),
      std::string(require_str(clause.attr("text"), "text")));
}

feature::Sentence sentence_of(py::handle sentence) {
  std::vector<feature::Clause> clauses;
  for (py::handle clause : require_list(sentence.attr("clauses"), "clauses"))
    clauses.push_back(clause_of(clause));
  return feature::Sentence(
      require_int(sentence.attr("id"), "id"), require_int(sentence.attr("offset"), "offset"),
      require_int(sentence.attr("length"), "length"),
      std::string(require_str(sentence.attr("text"), "text")), std::move(clauses));
}

feature::Entity entity_of(py::handle entity) {
  return feature::Entity(to_record(require_dict(entity.attr("record"), "record"), "record"));
}

// Reads an optional list attribute element by element.
template <class T, class Read>
std::optional<std::vector<T>> list_of(py::handle owner, const char* name, Read read) {
  py::object value = owner.attr(name);
  if (value.is_none()) return std::nullopt;
  std::vector<T> out;
  for (py::handle item : require_list(value, name)) out.push_back(read(item));
  return out;
}

template <class T, class Make>
py::object py_list(const std::optional<std::vector<T>>& items, Make make) {
  if (!items) return py::none();
  py::list out;
  for (const auto& item : *items) out.append(make(item));
  return out;
}

// An entity record read from Python: a copy of the dict, or the record
// that a matcher Word stands for.
py::object entity_record(py::handle json) {
  if (is_match_word(json.ptr())) {
    auto* word = reinterpret_cast<MatchWordObject*>(json.ptr());
    PyObject* record = new_match_record(word->text, word->length, word->offset);
    if (record == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(record);
  }
  return reading::read_entity<PyModel>(PyValue::borrowed(json.ptr()));
}

py::object make_entity(const py::object& record) { return python_class("feature.Entity")(record); }

py::object make_en_word(py::handle cls, const en::Word& w) {
  return cls("id_"_a = w.id, "text"_a = to_str(w.text), "offset"_a = w.offset,
             "length"_a = w.length, "pos"_a = to_str(w.pos), "sentence_id"_a = w.sentence_id,
             "clause_id"_a = w.clause_id, "parent"_a = w.parent,
             "relation"_a = w.relation ? py::object(to_str(*w.relation)) : py::object(py::none()),
             "mask"_a = w.mask,
             "lemma"_a = w.lemma ? py::object(to_str(*w.lemma)) : py::object(py::none()));
}

// An instance of the record class `cls` with `fields` set as its
// constructor sets them, in the same order (so instances share their
// attribute keys as constructed ones do), without running the
// constructor: the values come from C++ already checked, and the
// constructor's checks in Python would cost several times the object.
// `fields` pairs interned attribute names with new references.
py::object record_of(py::handle cls,
                     std::initializer_list<std::pair<PyObject*, py::object>> fields) {
  auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
  static PyObject* const no_arguments = PyTuple_New(0);
  py::object made = py::reinterpret_steal<py::object>(type->tp_new(type, no_arguments, nullptr));
  if (!made) throw py::error_already_set();
  for (const auto& [name, value] : fields)
    if (PyObject_SetAttr(made.ptr(), name, value.ptr()) != 0) throw py::error_already_set();
  return made;
}

PyObject* interned(const char* name) {
  PyObject* made = PyUnicode_InternFromString(name);
  if (made == nullptr) throw py::error_already_set();
  return made;  // kept for the life of the process
}

py::object int_of(std::int64_t value) {
  return py::reinterpret_steal<py::object>(PyLong_FromLongLong(value));
}

py::object optional_int(const std::optional<std::int64_t>& value) {
  return value ? int_of(*value) : py::object(py::none());
}

}  // namespace

py::object make_word(py::handle cls, const feature::Word& w) {
  if (cls.ptr() != python_class("feature.Word").ptr())  // a subclass: its own constructor
    return cls(
        "id_"_a = w.id, "text"_a = to_str(w.text), "offset"_a = w.offset, "length"_a = w.length,
        "pos"_a = to_str(w.pos), "sentence_id"_a = w.sentence_id, "clause_id"_a = w.clause_id,
        "parent"_a = w.parent,
        "relation"_a = w.relation ? py::object(to_str(*w.relation)) : py::object(py::none()));
  static PyObject *const id = interned("id"), *const text = interned("text"),
                         *const offset = interned("offset"), *const length = interned("length"),
                         *const pos = interned("pos"), *const sentence_id = interned("sentence_id"),
                         *const clause_id = interned("clause_id"),
                         *const parent = interned("parent"), *const relation = interned("relation");
  return record_of(cls, {{id, int_of(w.id)},
                         {text, to_str(w.text)},
                         {offset, int_of(w.offset)},
                         {length, int_of(w.length)},
                         {pos, to_str(w.pos)},
                         {sentence_id, optional_int(w.sentence_id)},
                         {clause_id, optional_int(w.clause_id)},
                         {parent, optional_int(w.parent)},
                         {relation, w.relation ? py::object(to_str(*w.relation)) : py::none()}});
}

py::object clause_record(py::handle cls, bool plain, std::int64_t id, py::object tense,
                         std::int64_t offset, std::int64_t length, py::object text) {
  if (!plain)
    return cls("id_"_a = id, "tense"_a = tense, "offset"_a = offset, "length"_a = length,
               "text"_a = text);
  static PyObject *const id_name = interned("id"), *const tense_name = interned("tense"),
                         *const offset_name = interned("offset"),
                         *const length_name = interned("length"),
                         *const text_name = interned("text");
  return record_of(cls, {{id_name, int_of(id)},
                         {tense_name, std::move(tense)},
                         {offset_name, int_of(offset)},
                         {length_name, int_of(length)},
                         {text_name, std::move(text)}});
}

py::object sentence_record(py::handle cls, bool plain, std::int64_t id, std::int64_t offset,
                           std::int64_t length, py::object text, py::list clauses) {
  if (!plain)
    return cls("id_"_a = id, "offset"_a = offset, "length"_a = length, "text"_a = text,
               "clauses"_a = clauses);
  static PyObject *const id_name = interned("id"), *const offset_name = interned("offset"),
                         *const length_name = interned("length"),
                         *const text_name = interned("text"),
                         *const clauses_name = interned("clauses");
  return record_of(cls, {{id_name, int_of(id)},
                         {offset_name, int_of(offset)},
                         {length_name, int_of(length)},
                         {text_name, std::move(text)},
                         {clauses_name, std::move(clauses)}});
}

py::object make_clause(py::handle cls, const feature::Clause& c) {
  return clause_record(cls, cls.ptr() == python_class("feature.Clause").ptr(), c.id,
                       to_str(c.tense), c.offset, c.length, to_str(c.text));
}

py::object make_sentence(py::handle cls, const feature::Sentence& s) {
  py::handle clause_cls = python_class("feature.Clause");
  py::list clauses(s.clauses.size());
  for (std::size_t i = 0; i < s.clauses.size(); ++i)
    clauses[i] = make_clause(clause_cls, s.clauses[i]);
  return sentence_record(cls, cls.ptr() == python_class("feature.Sentence").ptr(), s.id, s.offset,
                         s.length, to_str(s.text), std::move(clauses));
}

void bind_records(py::module_& m) {
  py::module_ r = m.def_submodule("records", "Serialised forms of the feature records");

  r.def("word_to_json", [](py::object self) { return from_record(word_of(self).to_json()); });
  r.def(
      "word_from_json",
      [](py::object cls, py::object json) {
        return make_word(cls, reading::read_word<PyModel>(PyValue::borrowed(json.ptr())));
      },
      py::arg("cls"), py::arg("json"));

  r.def("clause_to_json", [](py::object self) { return from_record(clause_of(self).to_json()); });
  r.def(
      "clause_from_json",
      [](py::object cls, py::object json) {
        return make_clause(cls, reading::read_clause<PyModel>(PyValue::borrowed(json.ptr())));
      },
      py::arg("cls"), py::arg("json"));

  r.def("sentence_to_json",
        [](py::object self) { return from_record(sentence_of(self).to_json()); });
  r.def(
      "sentence_from_json",
      [](py::object cls, py::object json) {
        return make_sentence(cls, reading::read_sentence<PyModel>(PyValue::borrowed(json.ptr())));
      },
      py::arg("cls"), py::arg("json"));

  r.def("entity_to_json", [](py::object self) { return from_record(entity_of(self).to_json()); });
  r.def(
      "entity_from_json", [](py::object cls, py::object json) { return cls(entity_record(json)); },
      py::arg("cls"), py::arg("json"));

  r.def("feature_set_to_json", [](py::object self) {
    feature::FeatureSet set(list_of<feature::Word>(self, "words", word_of),
                            list_of<feature::Entity>(self, "nes", entity_of));
    return from_record(set.to_json());
  });
  r.def(
      "feature_set_from_json",
      [](py::object cls, py::object json) {
        auto parts = reading::read_document<PyModel, feature::Word>(
            PyValue::borrowed(json.ptr()), "json", reading::read_word<PyModel>);
        py::handle word_cls = python_class("feature.Word");
        return cls(
            py_list(parts.words, [&](const feature::Word& w) { return make_word(word_cls, w); }),
            py_list(parts.nes, make_entity));
      },
      py::arg("cls"), py::arg("json"));

  r.def("en_word_to_json", [](py::object self) { return from_record(en_word_of(self).to_json()); });
  r.def(
      "en_word_from_json",
      [](py::object cls, py::object json) {
        return make_en_word(cls, en_reading::read_word<PyModel>(PyValue::borrowed(json.ptr())));
      },
      py::arg("cls"), py::arg("json"));

  r.def("en_feature_set_to_json", [](py::object self) {
    // The steps run in the documented order: words, nes, sentences, text.
    auto words = list_of<en::Word>(self, "words", en_word_of);
    auto nes = list_of<feature::Entity>(self, "nes", entity_of);
    auto sentences = list_of<feature::Sentence>(self, "sentences", sentence_of);
    std::optional<std::string> text;
    if (auto t = optional_str(self.attr("text"), "text")) text = std::string(*t);
    en::FeatureSet set(std::move(words), std::move(nes), std::move(sentences), std::move(text));
    return from_record(set.to_json());
  });
  r.def(
      "en_feature_set_from_json",
      [](py::object cls, py::object feature_set_json) {
        auto set = en_reading::read_document<PyModel>(PyValue::borrowed(feature_set_json.ptr()));
        py::handle word_cls = python_class("en.Word");
        py::handle sentence_cls = python_class("feature.Sentence");
        return cls("words"_a = py_list(
                       set.words, [&](const en::Word& w) { return make_en_word(word_cls, w); }),
                   "nes"_a = py_list(set.nes, make_entity),
                   "sentences"_a = py_list(
                       set.sentences,
                       [&](const feature::Sentence& s) { return make_sentence(sentence_cls, s); }),
                   "text"_a = set.text ? py::object(to_str(*set.text)) : py::object(py::none()));
      },
      py::arg("cls"), py::arg("feature_set_json"));
}

}  // namespace kelvra::python
