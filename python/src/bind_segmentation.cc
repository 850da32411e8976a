// The segmentation road: Phraser, Sectioner and Stitcher.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "bindings.h"
#include "kelvra/nlp/common/internal/sectioning.h"
#include "kelvra/nlp/common/internal/sentence_pieces.h"
#include "kelvra/nlp/common/internal/stitching.h"
#include "kelvra/nlp/common/phraser.h"
#include "kelvra/nlp/common/sectioner.h"
#include "kelvra/nlp/common/stitcher.h"
#include "record_model.h"
#include "records.h"

namespace kelvra::python {

using kelvra::nlp::common::TaskKind;
using kelvra::nlp::common::feature::Sentence;
using kelvra::nlp::common::feature::Word;
using kelvra::nlp::common::phraser::Phraser;
using kelvra::nlp::common::sectioner::Measure;
using kelvra::nlp::common::sectioner::Sectioner;
using kelvra::nlp::common::sectioner::SectionerOptions;
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
  return Word(require_int(word.attr("id"), "id"),
              std::string(require_str(word.attr("text"), "text")), require_int(offset, "offset"),
              require_int(word.attr("length"), "length"));
}

std::vector<Word> tokens_of(const py::list& words) {
  std::vector<Word> out;
  out.reserve(words.size());
  for (py::handle word : words) out.push_back(token_of(word));
  return out;
}

py::list sentences_to_python(const std::vector<Sentence>& sentences) {
  py::handle cls = python_class("feature.Sentence");
  const CollectionPause pause;
  py::list out;
  for (const auto& sentence : sentences) out.append(make_sentence(cls, sentence));
  return out;
}

// The sentence records of `layout`, a layout of the str `text`: their texts
// are slices of it (code point offsets), so nothing is decoded again.
py::list sentences_of_layout(py::handle text, const Phraser::Layout& layout) {
  py::handle sentence_cls = python_class("feature.Sentence");
  py::handle clause_cls = python_class("feature.Clause");
  const py::str tense = to_str(Phraser::kClauseTense);
  const auto slice = [&](const auto& span) {
    PyObject* made = PyUnicode_Substring(text.ptr(), static_cast<Py_ssize_t>(span.offset),
                                         static_cast<Py_ssize_t>(span.offset + span.length));
    if (made == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(made);
  };
  const CollectionPause pause;
  py::list out(layout.sentences.size());
  for (std::size_t i = 0; i < layout.sentences.size(); ++i) {
    const std::size_t first = layout.first_clause[i], end = layout.first_clause[i + 1];
    py::list clauses(end - first);
    for (std::size_t c = first; c < end; ++c) {
      const auto& clause = layout.clauses[c];
      clauses[c - first] = clause_record(clause_cls, true, static_cast<std::int64_t>(c - first),
                                         tense, clause.offset, clause.length, slice(clause));
    }
    const auto& sentence = layout.sentences[i];
    out[i] = sentence_record(sentence_cls, true, static_cast<std::int64_t>(i), sentence.offset,
                             sentence.length, slice(sentence), std::move(clauses));
  }
  return out;
}

py::list records_to_python(std::vector<Record>& records) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(records.size()));
  if (list == nullptr) throw py::error_already_set();
  py::list out = py::reinterpret_steal<py::list>(list);
  const CollectionPause pause;
  for (std::size_t i = 0; i < records.size(); ++i)
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i),
                    from_record(std::move(records[i])).release().ptr());
  return out;
}

// The `threads` of a call that walks a long text in pieces: an int of at
// least 1 (TypeError, or KvException naming it).
std::int64_t walkers_of(py::handle threads) {
  const std::int64_t walkers = require_int(threads, "threads");
  kelvra::nlp::common::internal::require_threads(walkers);
  return walkers;
}

std::optional<std::vector<std::string>> separators(py::handle value, std::string_view parameter) {
  if (value.is_none()) return std::nullopt;
  return require_str_collection(value, parameter);
}

// A class-level list of Phraser as the class was made with it: the list
// object and its items then (kept for the life of the process). The
// operations read the lists through the instance; lists that are these,
// untouched, are the ones the phraser was built with.
struct ClassList {
  explicit ClassList(const char* list_name) : name(list_name) {}

  const char* name;
  PyObject* interned_name = nullptr;
  PyObject* list = nullptr;
  std::vector<PyObject*> items;

  bool untouched(PyObject* value) const {
    if (value != list || PyList_GET_SIZE(value) != static_cast<Py_ssize_t>(items.size()))
      return false;
    for (std::size_t i = 0; i < items.size(); ++i)
      if (PyList_GET_ITEM(value, static_cast<Py_ssize_t>(i)) != items[i]) return false;
    return true;
  }
};

// The lists that make a phraser's marks, in the order of Phraser::Marks.
ClassList mark_lists[] = {ClassList("clause_chars"), ClassList("stop_chars"),
                          ClassList("quote_left_char"), ClassList("quote_right_char")};
ClassList default_enders("default_punct_chars");

// Sets the class attribute `list.name` to a new list of `items`, and keeps it.
template <std::size_t N>
void add_class_list(py::handle cls, ClassList& list, const std::array<std::string_view, N>& items) {
  py::list made = str_list(items);
  list.interned_name = PyUnicode_InternFromString(list.name);
  if (list.interned_name == nullptr) throw py::error_already_set();
  list.list = made.inc_ref().ptr();
  for (py::handle item : made) list.items.push_back(item.inc_ref().ptr());
  cls.attr(list.name) = made;
}

// The phraser that serves a call on `self`: its own, or, when the lists it
// reads through the instance are not the class's untouched (a subclass's,
// an instance's, or the class's changed), one made with those for the call.
class Serving {
 public:
  Serving(py::handle self, const Phraser& own) : phraser_(&own) {
    py::object lists[std::size(mark_lists)];
    bool untouched = true;
    for (std::size_t i = 0; i < std::size(mark_lists); ++i) {
      lists[i] = py::reinterpret_steal<py::object>(
          PyObject_GetAttr(self.ptr(), mark_lists[i].interned_name));
      if (!lists[i]) throw py::error_already_set();
      untouched = untouched && mark_lists[i].untouched(lists[i].ptr());
    }
    if (untouched) return;
    Phraser::Marks marks{require_str_collection(lists[0], mark_lists[0].name),
                         require_str_collection(lists[1], mark_lists[1].name),
                         require_str_collection(lists[2], mark_lists[2].name),
                         require_str_collection(lists[3], mark_lists[3].name)};
    made_ = std::make_unique<Phraser>(
        std::vector<std::string>(own.punct_chars().begin(), own.punct_chars().end()), own.max_len(),
        marks);
    phraser_ = made_.get();
  }
  const Phraser& operator*() const noexcept { return *phraser_; }
  const Phraser* operator->() const noexcept { return phraser_; }

 private:
  const Phraser* phraser_;
  std::unique_ptr<Phraser> made_;
};

// A phraser's enders as its pickled state and repr give them: None for the
// defaults, else the list, sorted.
py::object enders_of(const Phraser& phraser) {
  std::vector<std::string> enders(phraser.punct_chars().begin(), phraser.punct_chars().end());
  std::sort(enders.begin(), enders.end());
  std::vector<std::string> defaults(Phraser::default_punct_chars.begin(),
                                    Phraser::default_punct_chars.end());
  std::sort(defaults.begin(), defaults.end());
  if (enders == defaults) return py::none();
  py::list out;
  for (const auto& ender : enders) out.append(to_str(ender));
  return out;
}

// Stitches the caller's segments where they stand: the result holds the
// very records (dicts or matcher Words) of their lists.
py::list merge(py::handle segments, TaskKind kind) {
  const PyValue list = PyValue::borrowed(segments.ptr());
  const auto count = [&] { return PyModel::size(list); };
  const auto segment_at = [&](std::size_t i) { return PyModel::item(list, i); };
  // The result list is made at its size; code that reading a value runs
  // may change the lists meanwhile, hence the checks on filling it.
  const auto expected =
      static_cast<Py_ssize_t>(stitching::result_count<PyModel>(kind, count, segment_at));
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
  if (filled < expected)
    return py::reinterpret_steal<py::list>(PyList_GetSlice(out.ptr(), 0, filled));
  return out;
}

// A Python callable as a Sectioner's measure: called with the GIL, which
// the split gives up while it packs; its result must be an int of at least 0.
struct PythonMeasure {
  py::object callable;
  std::size_t operator()(std::string_view text) const {
    py::gil_scoped_acquire gil;
    const py::object size = callable(py::reinterpret_steal<py::object>(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict")));
    if (!PyLong_Check(size.ptr()) || PyBool_Check(size.ptr()))
      wrong_kind(size, "measure", "a size (int)");
    const long long value = PyLong_AsLongLong(size.ptr());
    if (value == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (value < 0)
      throw py::value_error("`measure` must give a size of at least 0, got " +
                            std::to_string(value));
    return static_cast<std::size_t>(value);
  }
};

// The measure a Python caller names: None, a name, or a callable.
Measure measure_of(py::handle measure) {
  if (measure.is_none()) return Measure();
  if (PyUnicode_Check(measure.ptr())) return Measure::named(require_str(measure, "measure"));
  if (PyCallable_Check(measure.ptr()))
    return Measure(PythonMeasure{py::reinterpret_borrow<py::object>(measure)});
  wrong_kind(measure, "measure", "a measure name (str), a callable or None");
}

// What Sectioner(measure=...) was given: its name, or the callable.
py::object measure_value(const Sectioner& sectioner) {
  const Measure& measure = sectioner.measure();
  if (measure.kind() != Measure::Kind::kFunction) return py::str(std::string(measure.name()));
  if (const auto* own = measure.function().target<PythonMeasure>()) return own->callable;
  return py::none();
}

}  // namespace

void bind_segmentation(py::module_& m) {
  py::module_ s = m.def_submodule("segmentation", "Phraser, Sectioner and Stitcher");

  auto phraser_class = class_in<py::class_<Phraser>>(
      s, "kelvra.nlp.common.phraser", "Phraser",
      R"(Sentence and clause splitting of a text or of a list of word records.

Phraser(punct_chars=None, max_len=510): `punct_chars` are the sentence
enders (absent or empty: default_punct_chars); `max_len` caps a chunk's
length in code points (0 or None: 510). The class-level lists are read
through the instance: a subclass, or an instance, that sets clause_chars,
stop_chars, quote_left_char, quote_right_char or default_punct_chars uses
its own.)",
      py::dynamic_attr());
  phraser_class
      .def(
          "__init__",
          [](py::detail::value_and_holder& v_h, py::object punct_chars, py::object max_len) {
            const std::int64_t cap = max_len.is_none() ? 0 : require_int(max_len, "max_len");
            std::optional<std::vector<std::string>> enders = separators(punct_chars, "punct_chars");
            if (!enders || enders->empty()) {
              // The defaults, read through the class: a subclass may have its own.
              py::object defaults =
                  py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(Py_TYPE(v_h.inst)))
                      .attr(default_enders.name);
              if (!default_enders.untouched(defaults.ptr()))
                enders = require_str_collection(defaults, default_enders.name);
            }
            v_h.value_ptr() = new Phraser(std::move(enders), cap);
          },
          py::detail::is_new_style_constructor(), py::arg("punct_chars") = py::none(),
          py::arg("max_len") = Phraser::kDefaultMaxLen)
      .def_property_readonly(
          "punct_chars",
          [](const Phraser& self) {
            py::set out;
            for (const auto& c : self.punct_chars()) out.add(to_str(c));
            return out;
          },
          "The sentence enders in use (a set).")
      .def_property_readonly("max_len", &Phraser::max_len, "The length cap of one chunk.")
      .def(
          "split",
          [](py::object self, py::object input, py::object threads) {
            const std::int64_t walkers = walkers_of(threads);
            const Serving phraser(self, self.cast<const Phraser&>());
            if (PyUnicode_Check(input.ptr())) {
              std::string_view text = require_str(input, "input");
              Phraser::Layout layout;
              {
                py::gil_scoped_release release;
                layout = phraser->layout(text, walkers);
              }
              return sentences_of_layout(input, layout);
            }
            return sentences_to_python(phraser->split(tokens_of(require_list(input, "words"))));
          },
          py::arg("input"), py::kw_only(), py::arg("threads") = 1,
          R"(Sentence records (with their clauses) of a str or of a list of word records.

threads: a long str is walked in pieces on this many threads, with the same
sentences as on one (at least 1).)")
      .def(
          "layout",
          [](py::object self, py::object text, py::object threads) {
            const std::int64_t walkers = walkers_of(threads);
            const Serving phraser(self, self.cast<const Phraser&>());
            const std::string_view input = require_str(text, "text");
            std::vector<std::int64_t> sentence_offsets, sentence_lengths, clause_offsets,
                clause_lengths, first_clause;
            {
              py::gil_scoped_release release;
              const Phraser::Layout layout = phraser->layout(input, walkers);
              for (const auto& sentence : layout.sentences) {
                sentence_offsets.push_back(sentence.offset);
                sentence_lengths.push_back(sentence.length);
              }
              for (const auto& clause : layout.clauses) {
                clause_offsets.push_back(clause.offset);
                clause_lengths.push_back(clause.length);
              }
              first_clause.assign(layout.first_clause.begin(), layout.first_clause.end());
            }
            return py::make_tuple(
                array_of(std::move(sentence_offsets)), array_of(std::move(sentence_lengths)),
                array_of(std::move(clause_offsets)), array_of(std::move(clause_lengths)),
                array_of(std::move(first_clause)));
          },
          py::arg("text"), py::kw_only(), py::arg("threads") = 1,
          R"(Where the sentences of split(text, threads=...) and their clauses lie, as five
NumPy int64 arrays and no object per sentence: sentence offsets and lengths,
clause offsets and lengths (code points of `text`), and first_clause, one
longer than the sentences: the clauses of sentence i are first_clause[i] up to
first_clause[i + 1]. text[offset:offset + length] is a sentence's or clause's
text; ids are positions. The walk runs with the GIL released.)")
      .def(
          "split_by_char",
          [](py::object self, py::object words, py::object chars) {
            py::list list = require_list(words, "words");
            std::vector<Word> tokens = tokens_of(list);
            const Serving phraser(self, self.cast<const Phraser&>());
            std::vector<std::vector<Word>> chunks =
                chars.is_none()
                    ? phraser->split_by_char(tokens)
                    : phraser->split_by_char(tokens, require_str_collection(chars, "chars"));
            // The chunks hold the caller's own word objects, in order.
            py::list out;
            std::size_t next = 0;
            for (const auto& chunk : chunks) {
              py::list items;
              for (std::size_t i = 0; i < chunk.size(); ++i) items.append(list[next++]);
              out.append(items);
            }
            return out;
          },
          py::arg("words"), py::arg("chars") = py::none(),
          "Cuts `words` into chunks after the words whose text is in `chars`.")
      .def(
          "get_single_words",
          [](const Phraser&, py::object text) {
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
          },
          py::arg("text"), "One word record per item of `text` (per character of a str).")
      .def("__repr__", [](py::object self) {
        const auto& phraser = self.cast<const Phraser&>();
        return "Phraser(punct_chars=" + repr_of(enders_of(phraser)) +
               ", max_len=" + std::to_string(phraser.max_len()) + ")";
      });
  add_class_list(phraser_class, default_enders, Phraser::default_punct_chars);
  add_class_list(phraser_class, mark_lists[0], Phraser::clause_chars);
  add_class_list(phraser_class, mark_lists[1], Phraser::stop_chars);
  add_class_list(phraser_class, mark_lists[2], Phraser::quote_left_char);
  add_class_list(phraser_class, mark_lists[3], Phraser::quote_right_char);
  add_pickling(
      phraser_class,
      [](py::object self) {
        const auto& own = self.cast<const Phraser&>();
        return py::make_tuple(enders_of(own), own.max_len());
      },
      [](const py::tuple& values) {
        require_values(values, 2, "Phraser");
        return std::make_unique<Phraser>(separators(values[0], "punct_chars"),
                                         require_int(values[1], "max_len"));
      });

  auto sectioner = class_in<py::class_<Sectioner>>(
      s, "kelvra.nlp.common.sectioner", "Sectioner",
      R"(Cuts a document into segments of bounded length along sentences.

Sectioner(separator=None, *, measure=None): `separator` is the phraser's
list of sentence enders (None or empty: its defaults); `measure` the unit
that "length" counts: "code-points" (None, the default), "utf-8-bytes",
"utf-16-units", or a callable giving the size of a str (a tokenizer's
count, say). Offsets and lengths of segments stay code points.)");
  sectioner
      .def(py::init([](py::object separator, py::object measure) {
             if (!separator.is_none() && !PyList_Check(separator.ptr()))
               wrong_kind(separator, "separator", "a list of str or None");
             return std::make_unique<Sectioner>(separators(separator, "separator"),
                                                SectionerOptions{measure_of(measure)});
           }),
           py::arg("separator") = py::none(), py::kw_only(), py::arg("measure") = py::none())
      .def_property_readonly("measure", &measure_value,
                             "What \"length\" counts: the measure's name, or the callable given.")
      .def_property_readonly(
          "phraser", [](const Sectioner& self) { return &self.phraser; },
          py::return_value_policy::reference_internal,
          "The sentence splitter it cuts documents with.")
      .def(
          "split",
          [](const Sectioner& self, py::object input_, py::object type_, py::object threads) {
            const std::int64_t walkers = require_int(threads, "threads");
            require_dict(input_, "input_");
            std::string_view type = require_str(type_, "type_");
            std::vector<py::object> segments = sectioning::split<PyModel>(
                self, PyValue::borrowed(input_.ptr()), type, false, walkers);
            return to_list(segments);
          },
          py::arg("input_"), py::arg("type_"), py::kw_only(), py::arg("threads") = 1,
          R"(Segments of input_["text"] ("ner") or input_["feature_set"] ("relation"),
each at most input_["length"] code points long.

threads: a long text's sentences are found in pieces on this many threads,
with the same segments as on one (at least 1).)")
      .def(
          "_split_text_by_length",
          [](const Sectioner& self, py::object text, py::object length) {
            std::string_view view = require_str(text, "text");
            std::int64_t limit = require_int(length, "length");
            std::vector<py::object> segments = sectioning::text_segments<PyModel>(
                self, PyValue::borrowed(text.ptr()), view, limit);
            return to_list(segments);
          },
          py::arg("text"), py::arg("length"))
      .def(
          "_split_feature_set",
          [](const Sectioner& self, py::object feature_set, py::object length) {
            require_dict(feature_set, "feature_set");
            std::int64_t limit = require_int(length, "length");
            std::vector<py::object> segments = sectioning::split_feature_set<PyModel>(
                self, PyValue::borrowed(feature_set.ptr()), limit, false);
            return to_list(segments);
          },
          py::arg("feature_set"), py::arg("length"))
      .def(
          "_split_extra_long_sentence",
          [](const Sectioner& self, py::object sentence, py::object length,
             py::object segment_offset) {
            auto [segments, end] = self._split_extra_long_sentence(
                require_str(sentence, "sentence"), require_int(length, "length"),
                require_int(segment_offset, "segment_offset"));
            return py::make_tuple(records_to_python(segments), end);
          },
          py::arg("sentence"), py::arg("length"), py::arg("segment_offset"))
      .def(
          "_judge_entity_in_segment",
          [](const Sectioner&, py::object ne, py::object segment) {
            return sectioning::judge_entity_in_segment<PyModel>(PyValue::borrowed(ne.ptr()),
                                                                PyValue::borrowed(segment.ptr()));
          },
          py::arg("ne"), py::arg("segment"))
      .def("__repr__", [](const Sectioner& self) {
        std::string repr = "Sectioner(separator=" + repr_of(enders_of(self.phraser));
        if (self.measure().kind() != Measure::Kind::kCodePoints)
          repr += ", measure=" + std::string(py::repr(measure_value(self)));
        return repr + ")";
      });
  add_pickling(
      sectioner,
      [](py::object self) {
        const auto& own = self.cast<const Sectioner&>();
        if (own.measure().kind() == Measure::Kind::kCodePoints)
          return py::make_tuple(enders_of(own.phraser));
        return py::make_tuple(enders_of(own.phraser), measure_value(own));
      },
      [](const py::tuple& values) {
        if (values.size() != 2) require_values(values, 1, "Sectioner");
        return std::make_unique<Sectioner>(
            separators(values[0], "separator"),
            SectionerOptions{
                measure_of(values.size() == 2 ? py::object(values[1]) : py::object(py::none()))});
      });

  auto stitcher =
      class_in<py::class_<Stitcher>>(s, "kelvra.nlp.common.stitcher", "Stitcher",
                                     R"(Puts per-segment model results back into document positions.

The caller's entity and relation records are changed where they stand, and
the returned list holds those very records.)");
  stitcher.def(py::init<>())
      .def("__repr__", [](const Stitcher&) { return "Stitcher()"; })
      .def(
          "merge",
          [](const Stitcher&, py::object segments, py::object type_) {
            require_list(segments, "segments");
            return merge(segments,
                         kelvra::nlp::common::parse_task_kind(require_str(type_, "type_")));
          },
          py::arg("segments"), py::arg("type_"),
          R"(One list of the segments' "nes" ("ner") or "relations" ("relation"), shifted by each segment's "offset".)")
      .def(
          "_merge_nes",
          [](const Stitcher&, py::object segments) {
            return merge(require_list(segments, "segments"), TaskKind::kNer);
          },
          py::arg("segments"))
      .def(
          "_merge_relations",
          [](const Stitcher&, py::object segments) {
            return merge(require_list(segments, "segments"), TaskKind::kRelation);
          },
          py::arg("segments"));
  add_pickling(
      stitcher, [](py::object) { return py::tuple(); },
      [](const py::tuple& values) {
        require_values(values, 0, "Stitcher");
        return std::make_unique<Stitcher>();
      });
}

}  // namespace kelvra::python
