// Feature records between Python objects and the C++ records, shared by
// the bindings that take or return them (the phraser's words and sentences).
#pragma once

#include <pybind11/pybind11.h>

#include "convert.h"
#include "kelvra/nlp/common/feature/feature.h"

namespace kelvra::python {

// Reads the nine fields of a word record from its attributes
// (AttributeError for a missing one, TypeError naming a field of the wrong
// kind).
kelvra::nlp::common::feature::Word word_of(py::handle word);

// Builds Python records by calling `cls` with the fields by name.
py::object make_word(py::handle cls, const kelvra::nlp::common::feature::Word& word);
py::object make_clause(py::handle cls, const kelvra::nlp::common::feature::Clause& clause);
py::object make_sentence(py::handle cls, const kelvra::nlp::common::feature::Sentence& sentence);
// The same from the fields, made already; `plain` says that `cls` is the
// record class itself, whose instances are made without running its
// constructor (a subclass's constructor is called).
py::object clause_record(py::handle cls, bool plain, std::int64_t id, py::object tense,
                         std::int64_t offset, std::int64_t length, py::object text);
py::object sentence_record(py::handle cls, bool plain, std::int64_t id, std::int64_t offset,
                           std::int64_t length, py::object text, py::list clauses);

}  // namespace kelvra::python
