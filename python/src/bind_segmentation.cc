// The segmentation road: Phraser, Sectioner and Stitcher.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "bindings.h"
#include "kelvra/nlp/common/internal/sectioning.h"
#include "kelvra/nlp/common/internal/stitching.h"
#include "kelvra/nlp/common/phraser.h"
#include "kelvra/nlp/common/sectioner.h"
#include "kelvra/nlp/common/stitcher.h"
#include "record_model.h"
#include "records.h"

namespace kelvra::python {

using kelvra::nlp::common::feature::Sentence;
using kelvra::nlp::common::feature::Word;
using kelvra::nlp::common::phraser::Phraser;
using kelvra::nlp::common::sectioner::Sectioner;
using kelvra::nlp::common::stitcher::Stitcher;
namespace sectioning = kelvra::nlp::common::sectioner::internal;
namespace stitching = kelvra::nlp::common::stitcher::internal;

namespace {

template <std::size_t N>
py::list str_list(const std::array<std::string_view, N>& items) {
  py::list out;
  for (std::string_view item : items) out.append(to_str(item));
  return out;
}

// The splitter reads a word's `id`, `text` and `length` only, so any object
// with those attributes will do (AttributeError for a missing one).
Word token_of(py::handle word) {
  py::object offset = py::getattr(word, "offset", py::int_(0));
  return Word(require_int(word.attr("id"), "id"), std::string(require_str(word.attr("text"), "text")),
              require_int(offset, "offset"), require_int(word.attr("length"), "length"));
}

std::vector<Word> tokens_of(const py::list& words) {
  std::vector<Word> out;
  out.reserve(words.size());
  for (py::handle word : words) out.push_back(token_of(word));
  return out;
}

py::list sentences_to_python(const std::vector<Sentence>& sentences) {
  py::handle cls = python_class("feature.Sentence");
  py::list out;
  for (const auto& sentence : sentences) out.append(make_sentence(cls, sentence));
  return out;
}

py::list records_to_python(std::vector<Record>& records) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(records.size()));
  if (list == nullptr) throw py::error_already_set();
  py::list out = py::reinterpret_steal<py::list>(list);
  for (std::size_t i = 0; i < records.size(); ++i)
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), from_record(std::move(records[i])).release().ptr());
  return out;
}


std::optional<std::vector<std::string>> separators(py::handle value, std::string_view parameter) {
  if (value.is_none()) return std::nullopt;
  return require_str_collection(value, parameter);
}

// Stitches the caller's segments where they stand: the result holds the
// very records (dicts or matcher Words) of their lists.
py::list merge(py::handle segments, stitching::Kind kind) {
  const PyValue list = PyValue::borrowed(segments.ptr());
  const auto count = [&] { return PyModel::size(list); };
  const auto segment_at = [&](std::size_t i) { return PyModel::item(list, i); };
  // The result list is made at its size; code that reading a value runs
  // may change the lists meanwhile, hence the checks on filling it.
  const auto expected = static_cast<Py_ssize_t>(stitching::result_count<PyModel>(kind, count, segment_at));
  py::list out = py::reinterpret_steal<py::list>(PyList_New(expected));
  if (!out) throw py::error_already_set();
  Py_ssize_t filled = 0;
  stitching::merge<PyModel>(kind, count, segment_at, [&](const PyValue& item) {
    if (filled < expected) {
      Py_INCREF(item.object());
      PyList_SET_ITEM(out.ptr(), filled, item.object());
    } else if (PyList_Append(out.ptr(), item.object()) != 0) {
      throw py::error_already_set();
    }
    ++filled;
  });
  if (filled < expected) return py::reinterpret_steal<py::list>(PyList_GetSlice(out.ptr(), 0, filled));
  return out;
}

}  // namespace

void bind_segmentation(py::module_& m) {
  py::module_ s = m.def_submodule("segmentation", "Phraser, Sectioner and Stitcher");

  py::class_<Phraser> phraser(s, "Phraser", R"(Sentence and clause splitting of a text or of a list of word records.

Phraser(punct_chars=None, max_len=510): `punct_chars` are the sentence
enders (absent or empty: default_punct_chars); `max_len` caps a chunk's
length in code points (0 or None: 510).)");
  phraser
      .def(py::init([](py::object punct_chars, py::object max_len) {
             std::int64_t cap = max_len.is_none() ? 0 : require_int(max_len, "max_len");
             return Phraser(separators(punct_chars, "punct_chars"), cap);
           }),
           py::arg("punct_chars") = py::none(), py::arg("max_len") = Phraser::kDefaultMaxLen)
      .def_property_readonly("punct_chars", [](const Phraser& self) {
        py::set out;
        for (const auto& c : self.punct_chars()) out.add(to_str(c));
        return out;
      }, "The sentence enders in use (a set).")
      .def_property_readonly("max_len", &Phraser::max_len, "The length cap of one chunk.")
      .def("split", [](const Phraser& self, py::object input) {
        if (PyUnicode_Check(input.ptr())) {
          std::string_view text = require_str(input, "input");
          std::vector<Sentence> sentences;
          {
            py::gil_scoped_release release;
            sentences = self.split(text);
          }
          return sentences_to_python(sentences);
        }
        return sentences_to_python(self.split(tokens_of(require_list(input, "words"))));
      }, py::arg("input"),
           "Sentence records (with their clauses) of a str or of a list of word records.")
      .def("split_by_char", [](const Phraser& self, py::object words, py::object chars) {
        py::list list = require_list(words, "words");
        std::vector<Word> tokens = tokens_of(list);
        std::vector<std::vector<Word>> chunks =
            chars.is_none() ? self.split_by_char(tokens)
                            : self.split_by_char(tokens, require_str_collection(chars, "chars"));
        // The chunks hold the caller's own word objects, in order.
        py::list out;
        std::size_t next = 0;
        for (const auto& chunk : chunks) {
          py::list items;
          for (std::size_t i = 0; i < chunk.size(); ++i) items.append(list[next++]);
          out.append(items);
        }
        return out;
      }, py::arg("words"), py::arg("chars") = py::none(),
           "Cuts `words` into chunks after the words whose text is in `chars`.")
      .def("get_single_words", [](const Phraser&, py::object text) {
        std::vector<Word> words;
        if (PyUnicode_Check(text.ptr())) {
          words = Phraser::get_single_words(require_str(text, "text"));
        } else {
          words = Phraser::get_single_words(require_str_collection(text, "text"));
        }
        py::handle cls = python_class("feature.Word");
        py::list out;
        for (const auto& word : words) out.append(make_word(cls, word));
        return out;
      }, py::arg("text"), "One word record per item of `text` (per character of a str).");
  phraser.attr("default_punct_chars") = str_list(Phraser::default_punct_chars);
  phraser.attr("clause_chars") = str_list(Phraser::clause_chars);
  phraser.attr("stop_chars") = str_list(Phraser::stop_chars);
  phraser.attr("quote_left_char") = str_list(Phraser::quote_left_char);
  phraser.attr("quote_right_char") = str_list(Phraser::quote_right_char);

  py::class_<Sectioner>(s, "Sectioner", R"(Cuts a document into segments of bounded length along sentences.

Sectioner(separator=None): `separator` is the phraser's list of sentence
enders (None or empty: its defaults).)")
      .def(py::init([](py::object separator) {
             if (!separator.is_none() && !PyList_Check(separator.ptr()))
               wrong_kind(separator, "separator", "a list of str or None");
             return std::make_unique<Sectioner>(separators(separator, "separator"));
           }),
           py::arg("separator") = py::none())
      .def_property_readonly("phraser", [](const Sectioner& self) { return &self.phraser; },
                             py::return_value_policy::reference_internal)
      .def("split", [](const Sectioner& self, py::object input_, py::object type_) {
        require_dict(input_, "input_");
        std::string_view type = require_str(type_, "type_");
        std::vector<py::object> segments =
            sectioning::split<PyModel>(self, PyValue::borrowed(input_.ptr()), type, false);
        return to_list(segments);
      }, py::arg("input_"), py::arg("type_"),
           R"(Segments of input_["text"] ("ner") or input_["feature_set"] ("relation"),
each at most input_["length"] code points long.)")
      .def("_split_text_by_length", [](const Sectioner& self, py::object text, py::object length) {
        std::string_view view = require_str(text, "text");
        std::int64_t limit = require_int(length, "length");
        std::vector<py::object> segments =
            sectioning::text_segments<PyModel>(self, PyValue::borrowed(text.ptr()), view, limit);
        return to_list(segments);
      }, py::arg("text"), py::arg("length"))
      .def("_split_feature_set", [](const Sectioner& self, py::object feature_set, py::object length) {
        require_dict(feature_set, "feature_set");
        std::int64_t limit = require_int(length, "length");
        std::vector<py::object> segments =
            sectioning::split_feature_set<PyModel>(self, PyValue::borrowed(feature_set.ptr()), limit, false);
        return to_list(segments);
      }, py::arg("feature_set"), py::arg("length"))
      .def("_split_extra_long_sentence",
           [](const Sectioner& self, py::object sentence, py::object length, py::object segment_offset) {
             auto [segments, end] = self._split_extra_long_sentence(
                 require_str(sentence, "sentence"), require_int(length, "length"),
                 require_int(segment_offset, "segment_offset"));
             return py::make_tuple(records_to_python(segments), end);
           },
           py::arg("sentence"), py::arg("length"), py::arg("segment_offset"))
      .def("_judge_entity_in_segment", [](const Sectioner&, py::object ne, py::object segment) {
        return sectioning::judge_entity_in_segment<PyModel>(PyValue::borrowed(ne.ptr()),
                                                            PyValue::borrowed(segment.ptr()));
      }, py::arg("ne"), py::arg("segment"));

  py::class_<Stitcher>(s, "Stitcher", R"(Puts per-segment model results back into document positions.

The caller's entity and relation records are changed where they stand, and
the returned list holds those very records.)")
      .def(py::init<>())
      .def("merge", [](const Stitcher&, py::object segments, py::object type_) {
        require_list(segments, "segments");
        return merge(segments, stitching::kind_of(require_str(type_, "type_")));
      }, py::arg("segments"), py::arg("type_"),
           R"(One list of the segments' "nes" ("ner") or "relations" ("relation"), shifted by each segment's "offset".)")
      .def("_merge_nes", [](const Stitcher&, py::object segments) {
        return merge(require_list(segments, "segments"), stitching::Kind::kNes);
      }, py::arg("segments"))
      .def("_merge_relations", [](const Stitcher&, py::object segments) {
        return merge(require_list(segments, "segments"), stitching::Kind::kRelations);
      }, py::arg("segments"));
}

}  // namespace kelvra::python
