// Lookup and retrieval: the dictionary automaton, word embeddings and
// entity material extraction.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <exception>
#include <thread>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "bindings.h"
#include "kelvra/common/json_writer.h"
#include "kelvra/common/text_input.h"
#include "kelvra/nlp/common/embedding/embedding.h"
#include "kelvra/nlp/common/gleaner.h"
#include "kelvra/nlp/common/internal/gleaning.h"
#include "kelvra/nlp/common/matcher.h"
#include "match_word.h"
#include "record_model.h"
#include "str_cache.h"

namespace kelvra::python {

using kelvra::nlp::common::embedding::embedding::Embedding;
using kelvra::nlp::common::embedding::embedding::KeyedVectors;
using kelvra::nlp::common::embedding::embedding::Neighbours;
using kelvra::nlp::common::gleaner::Gleaner;
using kelvra::nlp::common::matcher::Automaton;
using kelvra::nlp::common::matcher::Occurrences;
using kelvra::nlp::common::matcher::SearchOptions;
using MatchWord = kelvra::nlp::common::matcher::Word;
namespace gleaning = kelvra::nlp::common::gleaner::internal;

namespace {

py::array_t<float> vector_of(std::span<const float> values) {
  py::array_t<float> out(static_cast<py::ssize_t>(values.size()));
  std::copy(values.begin(), values.end(), out.mutable_data());
  return out;
}

py::list neighbours_of(const Neighbours& neighbours) {
  py::list out;
  for (const auto& [word, similarity] : neighbours)
    out.append(py::make_tuple(to_str(word), static_cast<double>(similarity)));
  return out;
}

// Occurrences as Word objects, or as records {"text", "length", "offset"};
// the occurrences of one word share its str.
py::list occurrences_of(const std::vector<MatchWord>& found, bool records) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(found.size()));
  if (list == nullptr) throw py::error_already_set();
  py::list out = py::reinterpret_steal<py::list>(list);
  StrCache texts(std::min<std::size_t>(found.size(), 4096));
  for (std::size_t i = 0; i < found.size(); ++i) {
    const MatchWord& word = found[i];
    PyObject* text = texts.get(word.text);
    PyObject* item = records ? new_match_record(text, word.length, word.offset)
                             : new_match_word(text, word.length, word.offset);
    if (item == nullptr) throw py::error_already_set();
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
  }
  return out;
}

// The options of a search from its keyword arguments.
SearchOptions search_options(py::handle kind, py::handle whole_words) {
  return {kelvra::nlp::common::matcher::match_kind_of(require_str(kind, "kind"), "kind"),
          require_bool(whole_words, "whole_words")};
}

// The foldings of `fold`: None, a str of names joined by commas, or an
// iterable of names.
std::uint8_t folds_of(py::handle fold) {
  using kelvra::nlp::common::matcher::folds_of;
  if (fold.is_none()) return 0;
  if (py::isinstance<py::str>(fold)) return folds_of(require_str(fold, "fold"), "fold");
  if (!py::isinstance<py::iterable>(fold))
    throw py::type_error("`fold` must be None, a str or an iterable of str, got " +
                         std::string(py::str(py::type::of(fold).attr("__name__"))));
  std::uint8_t folds = 0;
  for (py::handle name : fold) folds |= folds_of(require_str(name, "fold"), "fold");
  return folds;
}

py::tuple arrays_of(Occurrences&& found) {
  return py::make_tuple(array_of(std::move(found.offsets)), array_of(std::move(found.lengths)),
                        array_of(std::move(found.ids)));
}

// Automaton.words: the dictionary as given, each str made when it is read.
struct WordList {
  py::object owner;  // the Automaton
  const Automaton* automaton;

  Py_ssize_t size() const { return static_cast<Py_ssize_t>(automaton->dictionary_size()); }
  py::str at(Py_ssize_t index) const {
    if (index < 0) index += size();
    if (index < 0 || index >= size()) throw py::index_error("words index out of range");
    return to_str(automaton->word(static_cast<std::size_t>(index)));
  }
};

// The read-only sequence protocol of a list view with size() and at(index):
// len, indexing (negative too), slices and iteration, each str made as it
// is reached.
template <class Class>
void bind_sequence(Class& cls) {
  using View = typename Class::type;
  cls.def("__len__", &View::size)
      .def("__getitem__", &View::at, py::arg("index"))
      .def(
          "__getitem__",
          [](const View& self, py::slice slice) {
            py::list out;
            Py_ssize_t start = 0, stop = 0, step = 0, count = 0;
            if (PySlice_GetIndicesEx(slice.ptr(), self.size(), &start, &stop, &step, &count) != 0)
              throw py::error_already_set();
            for (Py_ssize_t i = 0; i < count; ++i) out.append(self.at(start + i * step));
            return out;
          },
          py::arg("index"))
      .def("__iter__", [](py::object self) {
        return py::module_::import("builtins")
            .attr("map")(self.attr("__getitem__"),
                         py::module_::import("builtins").attr("range")(py::len(self)));
      });
}

// Pickled views travel as the attribute of their owner that gives them:
// getattr(owner, name) makes them again.
py::tuple reduced_to_attribute(py::handle owner, const char* name) {
  return py::make_tuple(py::module_::import("builtins").attr("getattr"),
                        py::make_tuple(owner, name));
}

py::object passages_of(std::optional<std::vector<py::object>> passages) {
  if (!passages) return py::none();
  return to_list(*passages);
}

// An Embedding: the C++ store, and the path it was loaded from (None when
// it was made from pickled bytes).
struct PyEmbedding {
  std::unique_ptr<Embedding> impl;
  py::object path;
};

// wv_from_text: a view of an Embedding's store that keeps the Embedding
// alive (and travels as it).
struct StoreView {
  py::object owner;  // the Embedding
  const KeyedVectors* store;
};

// The words of a store in row order, as an immutable sequence that makes
// each str when it is read: nothing is built per access of index_to_key.
struct KeyList {
  py::object owner;  // the StoreView, which keeps the store alive
  const KeyedVectors* store;

  Py_ssize_t size() const { return static_cast<Py_ssize_t>(store->size()); }
  py::str at(Py_ssize_t index) const {
    if (index < 0) index += size();
    if (index < 0 || index >= size()) throw py::index_error("index_to_key index out of range");
    return to_str(store->word(static_cast<std::size_t>(index)));
  }
};

}  // namespace

void bind_retrieval(py::module_& m) {
  py::module_ r = m.def_submodule("retrieval", "Automaton, Embedding and Gleaner");

  add_match_word(r);

  auto automaton = class_in<py::class_<Automaton>>(
      r, "kelvra.nlp.common.matcher", "Automaton",
      R"(Every occurrence of the words of a fixed dictionary in a text.

Automaton(words, fold=None): `words` is the dictionary, a list of str.
`fold` makes matching ignore "case" (Unicode case folding), "width" (full-
and half-width forms) or "script" (traditional and simplified Chinese):
names joined by commas, or a list of them. Occurrences still report the
searched text: text[offset:offset + length] is the occurrence's text. An
automaton saves to a file (save) that Automaton.load(path) maps read-only,
shared by every process that loads it, and pickles as its built tables.)");
  automaton
      .def(py::init([](py::object words, py::object fold) {
             std::vector<std::string> dictionary = require_str_list(words, "words");
             const std::uint8_t folds = folds_of(fold);
             py::gil_scoped_release release;
             return std::make_unique<Automaton>(dictionary, folds);
           }),
           py::arg("words"), py::arg("fold") = py::none())
      .def(
          "search",
          [](const Automaton& self, py::object text, py::object records, py::object kind,
             py::object whole_words) {
            std::string_view input = require_str(text, "text");
            const bool as_records = require_bool(records, "records");
            const SearchOptions options = search_options(kind, whole_words);
            // The occurrence list of the last search is kept for the next one
            // on this thread: a large result then costs no fresh pages each
            // time (it is smaller than the Python list the caller holds). One
            // much larger than the current result is given back.
            thread_local std::vector<MatchWord> found;
            found.clear();
            {
              py::gil_scoped_release release;
              self.search(input, found, options);
            }
            py::list out = occurrences_of(found, as_records);
            if (found.capacity() > 2 * found.size() + 1024) std::vector<MatchWord>().swap(found);
            found.clear();
            return out;
          },
          py::arg("text"), py::arg("records") = false, py::kw_only(),
          py::arg("kind") = "overlapping", py::arg("whole_words") = false,
          R"(Every occurrence in `text`, by end position, longest first at one end: Word
objects, or with records=True dicts {"text", "length", "offset"}.

kind="leftmost-longest" or "leftmost-first": from left to right, the
occurrence that starts first, the longest (or the word listed first) of those
starting there; the scan goes on after its end, so none overlap.
whole_words=True: only occurrences that cut no word (no letter, digit or
combining mark on both sides of either end; Chinese, Japanese and Korean
characters need no boundary).)")
      .def(
          "search_arrays",
          [](const Automaton& self, py::object text, py::object kind, py::object whole_words) {
            std::string_view input = require_str(text, "text");
            const SearchOptions options = search_options(kind, whole_words);
            Occurrences found;
            {
              py::gil_scoped_release release;
              self.search(input, found, options);
            }
            return arrays_of(std::move(found));
          },
          py::arg("text"), py::kw_only(), py::arg("kind") = "overlapping",
          py::arg("whole_words") = false,
          R"(The occurrences of search(text, kind=..., whole_words=...), in the same order,
as three NumPy arrays (offsets int64, lengths int64, ids int32): no object
per occurrence. An id is the word's index in the dictionary as given (the
first, for a word listed twice): words[id] is its text.)")
      .def(
          "search_many",
          [](const Automaton& self, py::object texts, py::object threads, py::object kind,
             py::object whole_words) {
            // The views stay valid while `items` holds the strs.
            const py::list items = require_list(texts, "texts");
            std::vector<std::string_view> inputs;
            inputs.reserve(items.size());
            for (py::handle item : items) inputs.push_back(require_str(item, "texts"));
            const std::int64_t wanted = require_int(threads, "threads");
            if (wanted < 1)
              throw py::value_error("`threads` must be at least 1, got " + std::to_string(wanted));
            const SearchOptions options = search_options(kind, whole_words);
            std::vector<Occurrences> found(inputs.size());
            {
              py::gil_scoped_release release;
              // Each thread takes the next text not yet taken.
              std::atomic<std::size_t> next{0};
              std::exception_ptr failure;
              std::atomic<bool> failed{false};
              auto work = [&] {
                try {
                  for (std::size_t i; (i = next.fetch_add(1)) < inputs.size() && !failed;)
                    self.search(inputs[i], found[i], options);
                } catch (...) {
                  if (!failed.exchange(true)) failure = std::current_exception();
                }
              };
              const std::size_t count = std::min<std::size_t>(
                  static_cast<std::size_t>(std::min<std::int64_t>(wanted, 256)),
                  std::max<std::size_t>(inputs.size(), 1));
              std::vector<std::thread> pool;
              for (std::size_t t = 1; t < count; ++t) pool.emplace_back(work);
              work();
              for (auto& thread : pool) thread.join();
              if (failure) std::rethrow_exception(failure);
            }
            py::list out(inputs.size());
            for (std::size_t i = 0; i < inputs.size(); ++i) out[i] = arrays_of(std::move(found[i]));
            return out;
          },
          py::arg("texts"), py::kw_only(), py::arg("threads") = 1, py::arg("kind") = "overlapping",
          py::arg("whole_words") = false,
          R"(search_arrays of each text of the list `texts`, as a list of array triples,
searched by `threads` threads at once (the GIL released).)")
      .def_property_readonly(
          "words",
          [](py::object self) {
            return WordList{self, &self.cast<const Automaton&>()};
          },
          "The dictionary as given, repeats and empty words included: words[id] is the\n"
          "word of an id of search_arrays.")
      .def("__len__", &Automaton::size, "Number of distinct words stored.")
      .def_property_readonly(
          "fold",
          [](const Automaton& self) {
            using namespace kelvra::nlp::common::matcher;
            py::list names;
            for (const Fold fold : {kFoldCase, kFoldWidth, kFoldScript})
              if (self.folds() & fold) names.append(to_str(folds_name(fold)));
            return py::tuple(names);
          },
          "The foldings it matches under, a tuple of \"case\", \"width\" and \"script\"\n"
          "(empty for exact matching).")
      .def(
          "save",
          [](const Automaton& self, py::object path) {
            std::string file = require_path(path, "path");
            py::gil_scoped_release release;
            self.save(file);
          },
          py::arg("path"),
          "Writes the automaton to `path` (replaced whole, never half-written), for "
          "Automaton.load.")
      .def_property_readonly(
          "mapped", &Automaton::mapped,
          "True when the tables are a saved file's pages, mapped by Automaton.load.")
      .def("__repr__", [](const Automaton& self) {
        const std::string folds = kelvra::nlp::common::matcher::folds_name(self.folds());
        return "Automaton(words=" + std::to_string(self.size()) +
               (folds.empty() ? "" : ", fold='" + folds + "'") +
               (self.mapped() ? ", mapped=True)" : ")");
      });
  bind_class_method(automaton, "load",
                    py::cpp_function(
                        [](py::handle cls, py::object path) {
                          std::string file = require_path(path, "path");
                          std::unique_ptr<Automaton> loaded;
                          {
                            py::gil_scoped_release release;
                            loaded = std::make_unique<Automaton>(Automaton::load(file));
                          }
                          return instance_holding(cls, std::move(loaded));
                        },
                        py::name("load"), py::arg("cls"), py::arg("path"),
                        "The automaton saved at `path`, mapped read-only and searched in place; "
                        "FileError naming\n"
                        "the file and what is wrong when it is not a sound saved automaton."));
  // Pickled as its saved form: unpickling checks the tables and builds
  // nothing. One loaded from a file sends its bytes too.
  add_pickling(
      automaton,
      [](py::object self) {
        return py::make_tuple(bytes_of(self.cast<const Automaton&>().to_bytes()));
      },
      [](const py::tuple& values) {
        const std::string_view bytes =
            state_bytes(require_values(values, 1, "Automaton")[0], "an Automaton");
        py::gil_scoped_release release;
        return std::make_unique<Automaton>(Automaton::from_bytes(bytes));
      });
  auto word_list =
      class_in<py::class_<WordList>>(r, "kelvra.nlp.common.matcher", "WordList",
                                     "The words of an Automaton as given (read only).");
  bind_sequence(word_list);
  word_list.def("__repr__", [](const WordList& self) {
    return "<words of an Automaton: " + std::to_string(self.size()) + ">";
  });

  r.def(
      "words_json",
      [](py::object words) {
        // The JSON text of occurrence records, as json.dumps(ensure_ascii=False,
        // separators=(",", ":")) writes their to_json(): for corpus output, where
        // making a dict per occurrence and dumping it would cost more than the
        // search. Written by the command line's record writer, in the layout of
        // Word::to_json.
        py::list list = require_list(words, "words");
        std::string out;
        kelvra::common::JsonWriter json(out);
        json.keep_line_separators();  // as json.dumps
        json.begin_array();
        for (py::handle item : list) {
          if (!is_match_word(item.ptr())) wrong_kind(item, "words", "a list of matcher.Word");
          const auto* word = reinterpret_cast<const MatchWordObject*>(item.ptr());
          json.begin_object();
          kelvra::nlp::common::matcher::word_members(json, require_str(word->text, "text"),
                                                     word->length, word->offset);
          json.end_object();
        }
        json.end_array();
        return to_str(out);
      },
      py::arg("words"),
      "The JSON text of a list of matcher.Word, as json.dumps writes their records.");
  r.def(
      "word_list",
      [](py::object content) {
        if (!PyBytes_Check(content.ptr())) wrong_kind(content, "content", "bytes");
        const std::string_view bytes(PyBytes_AS_STRING(content.ptr()),
                                     static_cast<std::size_t>(PyBytes_GET_SIZE(content.ptr())));
        py::list out;
        for (std::string_view word : kelvra::common::text_input::word_list(bytes)) {
          PyObject* text =
              PyUnicode_DecodeUTF8(word.data(), static_cast<Py_ssize_t>(word.size()), "strict");
          if (text == nullptr) {
            PyErr_Clear();
            const std::size_t at = static_cast<std::size_t>(word.data() - bytes.data());
            const auto line =
                std::count(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(at), '\n') +
                1;
            throw py::value_error("line " + std::to_string(line) +
                                  ": a word that is not valid UTF-8");
          }
          out.append(py::reinterpret_steal<py::object>(text));
        }
        return out;
      },
      py::arg("content"),
      "The words of a word list's bytes: one a line, each cut at its first blank or tab, a byte\n"
      "order mark at the start dropped (ValueError naming the line of a word that is not UTF-8).");

  auto key_list =
      class_in<py::class_<KeyList>>(r, "kelvra.nlp.common.embedding.embedding", "KeyList",
                                    "The words of a vector store in row order (read only).");
  bind_sequence(key_list);
  key_list
      .def(
          "__contains__",
          [](const KeyList& self, py::object word) {
            return PyUnicode_Check(word.ptr()) && self.store->contains(require_str(word, "word"));
          },
          py::arg("word"))
      .def(
          "index",
          [](const KeyList& self, py::object word) {
            std::optional<std::size_t> row;
            if (PyUnicode_Check(word.ptr())) row = self.store->index(require_str(word, "word"));
            if (!row)
              throw py::value_error(py::repr(word).cast<std::string>() + " is not in index_to_key");
            return *row;
          },
          py::arg("word"))
      .def(
          "__eq__",
          [](const KeyList& self, py::object other) {
            return py::list(py::cast(self)).equal(other);
          },
          py::arg("other"))
      .def("__repr__",
           [](const KeyList& self) {
             return "<index_to_key of " + std::to_string(self.size()) + " words>";
           })
      .def("__reduce__",
           [](const KeyList& self) { return reduced_to_attribute(self.owner, "index_to_key"); });
  py::module_::import("collections.abc").attr("Sequence").attr("register")(key_list);

  auto store =
      class_in<py::class_<StoreView>>(r, "kelvra.nlp.common.embedding.embedding", "KeyedVectors",
                                      "The word-vector store of an Embedding (read only).");
  store.def("__len__", [](const StoreView& self) { return self.store->size(); })
      .def(
          "__contains__",
          [](const StoreView& self, py::object word) {
            return PyUnicode_Check(word.ptr()) && self.store->contains(require_str(word, "word"));
          },
          py::arg("word"))
      .def(
          "__getitem__",
          [](const StoreView& self, py::object word) {
            return vector_of((*self.store)[require_str(word, "word")]);
          },
          py::arg("word"))
      .def_property_readonly(
          "vector_size", [](const StoreView& self) { return self.store->vector_size(); },
          "The number of dimensions of each vector.")
      .def_property_readonly(
          "index_to_key",
          [](py::object self) {
            return KeyList{self, self.cast<const StoreView&>().store};
          },
          "The words in row order: an immutable sequence view of the store.")
      .def_property_readonly(
          "vectors",
          [](py::object self) {
            // A read-only view of the unit vectors that keeps the store alive.
            const KeyedVectors& vectors = *self.cast<const StoreView&>().store;
            py::array_t<float> view({static_cast<py::ssize_t>(vectors.size()),
                                     static_cast<py::ssize_t>(vectors.vector_size())},
                                    vectors.matrix().data(), self);
            py::detail::array_proxy(view.ptr())->flags &=
                ~py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
            return view;
          },
          "The unit vectors, a read-only float32 array of one row per word.")
      .def(
          "similar_by_word",
          [](const StoreView& self, py::object word, py::object topn) {
            std::string_view key = require_str(word, "word");
            std::int64_t count = require_int(topn, "topn");
            Neighbours neighbours;
            {
              py::gil_scoped_release release;
              neighbours = self.store->similar_by_word(key, count);
            }
            return neighbours_of(neighbours);
          },
          py::arg("word"), py::arg("topn") = 10)
      .def("__repr__",
           [](const StoreView& self) {
             return "KeyedVectors(words=" + std::to_string(self.store->size()) +
                    ", size=" + std::to_string(self.store->vector_size()) + ")";
           })
      .def("__reduce__",
           [](const StoreView& self) { return reduced_to_attribute(self.owner, "wv_from_text"); });

  auto embedding = class_in<py::class_<PyEmbedding>>(
      r, "kelvra.nlp.common.embedding.embedding", "Embedding",
      R"(Word vectors from a word2vec file, or from a store saved with save.

Embedding(embedding_file, binary=False): loads the text variant, or the
binary one when `binary` is true; a file written by save is known by its
first bytes and mapped read-only instead, shared by every process that
loads it. An Embedding pickles as its saved form (the vectors as stored).)");
  embedding
      .def(py::init([](py::object embedding_file, py::object binary) {
             std::string path = require_path(embedding_file, "embedding_file");
             const bool is_binary = require_bool(binary, "binary");
             auto out = std::make_unique<PyEmbedding>();
             {
               py::gil_scoped_release release;
               out->impl = std::make_unique<Embedding>(path, is_binary);
             }
             out->path = std::move(embedding_file);
             return out;
           }),
           py::arg("embedding_file"), py::arg("binary") = false)
      .def_property_readonly(
          "wv_from_text",
          [](py::object self) {
            return StoreView{self, &self.cast<const PyEmbedding&>().impl->wv_from_text()};
          },
          "The word vectors read from the model file, as KeyedVectors.")
      .def(
          "save",
          [](const PyEmbedding& self, py::object path) {
            std::string file = require_path(path, "path");
            py::gil_scoped_release release;
            self.impl->save(file);
          },
          py::arg("path"),
          "Writes the store to `path` in the saved form (replaced whole), which Embedding(path) "
          "maps.")
      .def(
          "word2vec",
          [](const PyEmbedding& self, py::object word, py::object min_n, py::object max_n) {
            std::string_view key = require_str(word, "word");
            return vector_of(
                self.impl->word2vec(key, require_int(min_n, "min_n"), require_int(max_n, "max_n")));
          },
          py::arg("word"), py::arg("min_n") = 1, py::arg("max_n") = 3,
          "The vector of `word` (numpy float32), or the mean of its known n-grams.")
      .def(
          "most_similar",
          [](const PyEmbedding& self, py::object word, py::object topk) {
            std::string_view key = require_str(word, "word");
            std::int64_t count = require_int(topk, "topk");
            Neighbours neighbours;
            {
              py::gil_scoped_release release;
              neighbours = self.impl->most_similar(key, count);
            }
            return neighbours_of(neighbours);
          },
          py::arg("word"), py::arg("topk") = 10,
          "The `topk` vocabulary words most similar to `word`, as (word, similarity) pairs.")
      .def(
          "most_similar_batch",
          [](const PyEmbedding& self, py::object words, py::object topk) {
            std::vector<std::string> keys = require_str_list(words, "words");
            std::int64_t count = require_int(topk, "topk");
            std::vector<Neighbours> all;
            {
              py::gil_scoped_release release;
              all = self.impl->most_similar_batch(keys, count);
            }
            py::list out;
            for (const auto& neighbours : all) out.append(neighbours_of(neighbours));
            return out;
          },
          py::arg("words"), py::arg("topk") = 10,
          "most_similar for each of `words` at once (one matrix product per block of words).")
      .def(
          "_compute_ngrams",
          [](const PyEmbedding& self, py::object word, py::object min_n, py::object max_n) {
            py::list out;
            for (const auto& gram :
                 self.impl->_compute_ngrams(require_str(word, "word"), require_int(min_n, "min_n"),
                                            require_int(max_n, "max_n")))
              out.append(to_str(gram));
            return out;
          },
          py::arg("word"), py::arg("min_n"), py::arg("max_n"))
      .def("__repr__", [](const PyEmbedding& self) {
        const KeyedVectors& vectors = self.impl->wv_from_text();
        return "Embedding(path=" + repr_of(self.path) +
               ", words=" + std::to_string(vectors.size()) +
               ", size=" + std::to_string(vectors.vector_size()) + ")";
      });
  // Pickled as its saved form: the vectors as stored (float32, unit rows)
  // with their norms; unpickling checks them and parses nothing. One mapped
  // from a file sends its bytes, so the receiving machine needs no file.
  add_pickling(
      embedding,
      [](py::object self) {
        return py::make_tuple(bytes_of(self.cast<const PyEmbedding&>().impl->to_bytes()));
      },
      [](const py::tuple& values) {
        const std::string_view bytes =
            state_bytes(require_values(values, 1, "Embedding")[0], "an Embedding");
        auto out = std::make_unique<PyEmbedding>();
        {
          py::gil_scoped_release release;
          out->impl = std::make_unique<Embedding>(Embedding::from_bytes(bytes));
        }
        out->path = py::none();
        return out;
      });

  auto gleaner = class_in<py::class_<Gleaner>>(
      r, "kelvra.nlp.common.gleaner", "Gleaner",
      R"(Line passages of an annotated document, each with the entities inside it.

The document's entity dicts are changed where they stand, and the passages
hold those very dicts.)");
  gleaner.def(py::init<>())
      .def("__repr__", [](const Gleaner&) { return "Gleaner()"; })
      .def(
          "extract",
          [](const Gleaner&, py::object doc) -> py::object {
            if (!doc.is_none()) require_dict(doc, "doc");
            return passages_of(gleaning::extract<PyModel>(PyValue::borrowed(doc.ptr()), false));
          },
          py::arg("doc"), "The passages of `doc` (None when it has none).")
      .def(
          "_segment",
          [](const Gleaner&, py::object text) -> py::object {
            const std::string_view view = require_str(text, "text");
            return passages_of(gleaning::segment<PyModel>(PyValue::borrowed(text.ptr()), view));
          },
          py::arg("text"))
      .def(
          "_related_entities",
          [](const Gleaner&, py::object seg, py::object ref_entities) -> py::object {
            return passages_of(gleaning::related_entities<PyModel>(
                PyValue::borrowed(seg.ptr()), PyValue::borrowed(ref_entities.ptr())));
          },
          py::arg("seg"), py::arg("ref_entities"));
  add_pickling(
      gleaner, [](py::object) { return py::tuple(); },
      [](const py::tuple& values) {
        require_values(values, 0, "Gleaner");
        return std::make_unique<Gleaner>();
      });
}

}  // namespace kelvra::python
