#include "kelvra/nlp/common/feature/feature.h"

#include <utility>

#include "kelvra/common/exceptions.h"
#include "kelvra/common/internal/json_model.h"
#include "kelvra/common/text_form.h"
#include "kelvra/common/utf8.h"
#include "kelvra/nlp/common/feature/internal/reading.h"

namespace kelvra::nlp::common::feature {

using kelvra::common::or_null;
using kelvra::common::require_map;
using kelvra::common::to_text_form;

using M = kelvra::common::records::JsonModel;

// --- Word ---

Word::Word(std::int64_t id_, std::string text_, std::int64_t offset_, std::int64_t length_,
           std::string pos_, std::optional<std::int64_t> sentence_id_,
           std::optional<std::int64_t> clause_id_, std::optional<std::int64_t> parent_,
           std::optional<std::string> relation_)
    : id(id_),
      text(std::move(text_)),
      offset(offset_),
      length(length_),
      pos(std::move(pos_)),
      sentence_id(sentence_id_),
      clause_id(clause_id_),
      parent(parent_),
      relation(std::move(relation_)) {
  kelvra::common::utf8::require_valid(this->text, "text");
  kelvra::common::utf8::require_valid(this->pos, "pos");
  if (this->relation) kelvra::common::utf8::require_valid(*this->relation, "relation");
}

Record Word::to_json() const {
  return Record{{"id", id},
                {"text", text},
                {"offset", offset},
                {"length", length},
                {"pos", pos},
                {"sentence_id", or_null(sentence_id)},
                {"clause_id", or_null(clause_id)},
                {"parent", or_null(parent)},
                {"relation", or_null(relation)}};
}

Word Word::from_json(const Record& json) { return internal::read_word<M>(M::view(json)); }

std::string Word::to_string() const { return to_text_form(to_json()); }

// --- Clause ---

Clause::Clause(std::int64_t id_, std::string tense_, std::int64_t offset_, std::int64_t length_,
               std::string text_)
    : id(id_), tense(std::move(tense_)), offset(offset_), length(length_), text(std::move(text_)) {
  kelvra::common::utf8::require_valid(this->tense, "tense");
  kelvra::common::utf8::require_valid(this->text, "text");
}

Record Clause::to_json() const {
  return kelvra::common::build_record(
      [&](auto& out) { clause_members(out, id, tense, offset, length, text); });
}

Clause Clause::from_json(const Record& json) { return internal::read_clause<M>(M::view(json)); }

std::string Clause::to_string() const { return to_text_form(to_json()); }

// --- Sentence ---

Sentence::Sentence(std::int64_t id_, std::int64_t offset_, std::int64_t length_, std::string text_,
                   std::vector<Clause> clauses_)
    : id(id_),
      offset(offset_),
      length(length_),
      text(std::move(text_)),
      clauses(std::move(clauses_)) {
  kelvra::common::utf8::require_valid(this->text, "text");
}

Record Sentence::to_json() const {
  Record clause_records = Record::array();
  for (const auto& clause : clauses) clause_records.push_back(clause.to_json());
  return kelvra::common::build_record([&](auto& out) {
    sentence_members(out, id, offset, length, text, std::move(clause_records));
  });
}

Sentence Sentence::from_json(const Record& json) {
  return internal::read_sentence<M>(M::view(json));
}

std::string Sentence::to_string() const { return to_text_form(to_json()); }

// --- Entity ---

Entity::Entity(Record record) : record_(std::move(record)) { require_map(record_, "json"); }

std::string Entity::to_string() const { return to_text_form(record_); }

// --- FeatureSet ---

Record FeatureSet::to_json() const {
  return Record{{"words", list_to_json(words)}, {"nes", list_to_json(nes)}};
}

FeatureSet FeatureSet::from_json(const Record& json) {
  auto parts = internal::read_document<M, Word>(M::view(json), "json", internal::read_word<M>);
  return FeatureSet(std::move(parts.words), internal::entities_of(std::move(parts.nes)));
}

std::string FeatureSet::to_string() const { return to_text_form(to_json()); }

std::ostream& operator<<(std::ostream& os, const Word& word) { return os << word.to_string(); }
std::ostream& operator<<(std::ostream& os, const Clause& clause) {
  return os << clause.to_string();
}
std::ostream& operator<<(std::ostream& os, const Sentence& sentence) {
  return os << sentence.to_string();
}
std::ostream& operator<<(std::ostream& os, const Entity& entity) {
  return os << entity.to_string();
}
std::ostream& operator<<(std::ostream& os, const FeatureSet& feature_set) {
  return os << feature_set.to_string();
}

}  // namespace kelvra::nlp::common::feature
