// Lookup and retrieval: the dictionary automaton, word embeddings and
// entity material extraction.
#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <cstdint>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "bindings.h"
#include "kelvra/nlp/common/embedding/embedding.h"
#include "kelvra/nlp/common/gleaner.h"
#include "kelvra/nlp/common/matcher.h"
#include "match_word.h"

namespace kelvra::python {

using kelvra::nlp::common::embedding::embedding::Embedding;
using kelvra::nlp::common::embedding::embedding::KeyedVectors;
using kelvra::nlp::common::embedding::embedding::Neighbours;
using kelvra::nlp::common::gleaner::Gleaner;
using kelvra::nlp::common::matcher::Automaton;
using MatchWord = kelvra::nlp::common::matcher::Word;

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

// The str of each distinct matched word, made once per search: an
// open-addressing table keyed by the word's bytes, short keys held in the
// slot itself so a lookup touches one slot (a node-based map, or keys read
// from wherever the word first occurred, would cost more than making the
// Word objects).
class TextCache {
 public:
  explicit TextCache(std::size_t expected) {
    std::size_t capacity = 64;
    while (capacity < 2 * expected && capacity < (std::size_t{1} << 20)) capacity <<= 1;
    slots_.resize(capacity);
  }
  ~TextCache() {
    for (Slot& slot : slots_) Py_XDECREF(slot.str);
  }
  TextCache(const TextCache&) = delete;
  TextCache& operator=(const TextCache&) = delete;

  // A borrowed reference, valid while the cache lives.
  PyObject* get(std::string_view text) {
    if (text.size() > kInline) return long_text(text);
    Slot probe;
    probe.size = static_cast<std::uint32_t>(text.size());
    std::memcpy(probe.key, text.data(), text.size());
    const std::uint64_t hash = hash_of(probe);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
      Slot& slot = slots_[i];
      if (slot.str == nullptr) {
        if (2 * (used_ + 1) > slots_.size()) {
          grow();
          return get(text);
        }
        probe.str = to_str(text).release().ptr();
        slot = probe;
        ++used_;
        return slot.str;
      }
      if (slot.size == probe.size && std::memcmp(slot.key, probe.key, kInline) == 0) return slot.str;
    }
  }

 private:
  static constexpr std::size_t kInline = 20;
  struct Slot {
    std::uint32_t size = 0;
    char key[kInline] = {};  // the word's bytes, zero-padded
    PyObject* str = nullptr;
  };

  static std::uint64_t hash_of(const Slot& slot) {
    std::uint64_t a, b;
    std::uint32_t c;
    std::memcpy(&a, slot.key, 8);
    std::memcpy(&b, slot.key + 8, 8);
    std::memcpy(&c, slot.key + 16, 4);
    std::uint64_t h = (a ^ 0x9E3779B97F4A7C15ull) * 0xBF58476D1CE4E5B9ull;
    h = (h ^ (h >> 31) ^ b) * 0x94D049BB133111EBull;
    h = (h ^ (h >> 29) ^ c ^ (std::uint64_t{slot.size} << 32)) * 0xBF58476D1CE4E5B9ull;
    return h ^ (h >> 32);
  }

  PyObject* long_text(std::string_view text) {
    auto [it, added] = long_.try_emplace(std::string(text));
    if (added) it->second = to_str(text);
    return it->second.ptr();
  }

  void grow() {
    std::vector<Slot> old(slots_.size() * 2);
    old.swap(slots_);
    const std::size_t mask = slots_.size() - 1;
    for (const Slot& slot : old) {
      if (slot.str == nullptr) continue;
      std::size_t i = hash_of(slot) & mask;
      while (slots_[i].str != nullptr) i = (i + 1) & mask;
      slots_[i] = slot;
    }
  }

  std::vector<Slot> slots_;
  std::size_t used_ = 0;
  std::unordered_map<std::string, py::str> long_;
};

// Occurrences as Word objects; the occurrences of one word share its str.
py::list occurrences_of(const std::vector<MatchWord>& found) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(found.size()));
  if (list == nullptr) throw py::error_already_set();
  py::list out = py::reinterpret_steal<py::list>(list);
  TextCache texts(std::min<std::size_t>(found.size(), 4096));
  for (std::size_t i = 0; i < found.size(); ++i) {
    const MatchWord& word = found[i];
    PyObject* item = new_match_word(texts.get(word.text), word.length, word.offset);
    if (item == nullptr) throw py::error_already_set();
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
  }
  return out;
}

// A list of records (the caller's own dicts where they stand for them), or
// None for an absent result.
py::object passages_of(Tracked& tracked, const std::optional<std::vector<Record>>& records) {
  if (!records) return py::none();
  py::list out;
  for (const Record& record : *records) out.append(tracked.from_record(record));
  return out;
}

}  // namespace

void bind_retrieval(py::module_& m) {
  py::module_ r = m.def_submodule("retrieval", "Automaton, Embedding and Gleaner");

  add_match_word(r);

  py::class_<Automaton>(r, "Automaton", R"(Every occurrence of the words of a fixed dictionary in a text.

Automaton(words): `words` is the dictionary, a list of str.)")
      .def(py::init([](py::object words) {
             std::vector<std::string> dictionary = require_str_list(words, "words");
             py::gil_scoped_release release;
             return std::make_unique<Automaton>(dictionary);
           }),
           py::arg("words"))
      .def("search", [](const Automaton& self, py::object text) {
        std::string_view input = require_str(text, "text");
        // The occurrence list of the last search is kept for the next one
        // on this thread: a large result then costs no fresh pages each
        // time (it is smaller than the Python list the caller holds). One
        // much larger than the current result is given back.
        thread_local std::vector<MatchWord> found;
        found.clear();
        {
          py::gil_scoped_release release;
          self.search(input, found);
        }
        py::list out = occurrences_of(found);
        if (found.capacity() > 2 * found.size() + 1024) std::vector<MatchWord>().swap(found);
        found.clear();
        return out;
      }, py::arg("text"),
           "Every occurrence in `text`, by end position, longest first at one end.")
      .def("__len__", &Automaton::size, "Number of distinct words stored.");

  py::class_<KeyedVectors>(r, "KeyedVectors", "The word-vector store of an Embedding (read only).")
      .def("__len__", &KeyedVectors::size)
      .def("__contains__", [](const KeyedVectors& self, py::object word) {
        return PyUnicode_Check(word.ptr()) && self.contains(require_str(word, "word"));
      })
      .def("__getitem__", [](const KeyedVectors& self, py::object word) {
        return vector_of(self[require_str(word, "word")]);
      })
      .def_property_readonly("vector_size", &KeyedVectors::vector_size)
      .def_property_readonly("index_to_key", [](const KeyedVectors& self) {
        py::list out;
        for (std::size_t row = 0; row < self.size(); ++row) out.append(to_str(self.word(row)));
        return out;
      })
      .def_property_readonly("vectors", [](py::object self) {
        // A read-only view of the unit vectors that keeps the store alive.
        const auto& store = self.cast<const KeyedVectors&>();
        py::array_t<float> view({static_cast<py::ssize_t>(store.size()), static_cast<py::ssize_t>(store.vector_size())},
                                store.matrix().data(), self);
        py::detail::array_proxy(view.ptr())->flags &= ~py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
        return view;
      })
      .def("similar_by_word", [](const KeyedVectors& self, py::object word, py::object topn) {
        std::string_view key = require_str(word, "word");
        std::int64_t count = require_int(topn, "topn");
        Neighbours neighbours;
        {
          py::gil_scoped_release release;
          neighbours = self.similar_by_word(key, count);
        }
        return neighbours_of(neighbours);
      }, py::arg("word"), py::arg("topn") = 10);

  py::class_<Embedding>(r, "Embedding", R"(Word vectors from a word2vec file.

Embedding(embedding_file, binary=False): loads the text variant, or the
binary one when `binary` is true.)")
      .def(py::init([](py::object embedding_file, py::object binary) {
             std::string path(require_str(embedding_file, "embedding_file"));
             const bool is_binary = truth(binary);
             py::gil_scoped_release release;
             return std::make_unique<Embedding>(path, is_binary);
           }),
           py::arg("embedding_file"), py::arg("binary") = false)
      .def_property_readonly("wv_from_text", &Embedding::wv_from_text,
                             py::return_value_policy::reference_internal)
      .def("word2vec", [](const Embedding& self, py::object word, py::object min_n, py::object max_n) {
        std::string_view key = require_str(word, "word");
        return vector_of(self.word2vec(key, require_int(min_n, "min_n"), require_int(max_n, "max_n")));
      }, py::arg("word"), py::arg("min_n") = 1, py::arg("max_n") = 3,
           "The vector of `word` (numpy float32), or the mean of its known n-grams.")
      .def("most_similar", [](const Embedding& self, py::object word, py::object topk) {
        std::string_view key = require_str(word, "word");
        std::int64_t count = require_int(topk, "topk");
        Neighbours neighbours;
        {
          py::gil_scoped_release release;
          neighbours = self.most_similar(key, count);
        }
        return neighbours_of(neighbours);
      }, py::arg("word"), py::arg("topk") = 10,
           "The `topk` vocabulary words most similar to `word`, as (word, similarity) pairs.")
      .def("most_similar_batch", [](const Embedding& self, py::object words, py::object topk) {
        std::vector<std::string> keys = require_str_list(words, "words");
        std::int64_t count = require_int(topk, "topk");
        std::vector<Neighbours> all;
        {
          py::gil_scoped_release release;
          all = self.most_similar_batch(keys, count);
        }
        py::list out;
        for (const auto& neighbours : all) out.append(neighbours_of(neighbours));
        return out;
      }, py::arg("words"), py::arg("topk") = 10,
           "most_similar for each of `words` at once (one matrix product per block of words).")
      .def("_compute_ngrams", [](const Embedding& self, py::object word, py::object min_n, py::object max_n) {
        py::list out;
        for (const auto& gram : self._compute_ngrams(require_str(word, "word"), require_int(min_n, "min_n"),
                                                     require_int(max_n, "max_n")))
          out.append(to_str(gram));
        return out;
      }, py::arg("word"), py::arg("min_n"), py::arg("max_n"));

  py::class_<Gleaner>(r, "Gleaner", R"(Line passages of an annotated document, each with the entities inside it.

The document's entity dicts are changed where they stand, and the passages
hold those very dicts.)")
      .def(py::init<>())
      .def("extract", [](const Gleaner& self, py::object doc) -> py::object {
        if (!doc.is_none()) require_dict(doc, "doc");
        Tracked tracked;
        Record record = tracked.to_record(doc, "doc");
        return passages_of(tracked, tracked.apply(record, [&](Record& r) { return self.extract(r); }));
      }, py::arg("doc"), "The passages of `doc` (None when it has none).")
      .def("_segment", [](const Gleaner& self, py::object text) -> py::object {
        Tracked nothing_tracked;
        return passages_of(nothing_tracked, self._segment(require_str(text, "text")));
      }, py::arg("text"))
      .def("_related_entities", [](const Gleaner& self, py::object seg, py::object ref_entities) -> py::object {
        Record segment = to_record(require_dict(seg, "seg"), "seg");
        if (!ref_entities.is_none()) require_list(ref_entities, "ref_entities");
        Tracked tracked;
        Record entities = tracked.to_record(ref_entities, "ref_entities");
        return passages_of(tracked, tracked.apply(entities, [&](Record& r) {
          return self._related_entities(segment, r);
        }));
      }, py::arg("seg"), py::arg("ref_entities"));
}

}  // namespace kelvra::python
