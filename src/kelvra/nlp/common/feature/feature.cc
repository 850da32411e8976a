#include "kelvra/nlp/common/feature/feature.h"

#include <utility>

#include "kelvra/common/exceptions.h"
#include "kelvra/common/text_form.h"
#include "kelvra/common/utf8.h"

namespace kelvra::nlp::common::feature {

using kelvra::common::at;
using kelvra::common::optional_integer;
using kelvra::common::optional_string;
using kelvra::common::or_null;
using kelvra::common::require_integer;
using kelvra::common::require_list;
using kelvra::common::require_map;
using kelvra::common::require_string;
using kelvra::common::to_text_form;

namespace {

std::int64_t integer_at(const Record& json, std::string_view key) {
  return require_integer(at(json, key, "json"), key);
}

std::string string_at(const Record& json, std::string_view key) {
  return require_string(at(json, key, "json"), key);
}

}  // namespace

// --- Word ---

Word::Word(std::int64_t id_, std::string text, std::int64_t offset, std::int64_t length,
           std::string pos, std::optional<std::int64_t> sentence_id,
           std::optional<std::int64_t> clause_id, std::optional<std::int64_t> parent,
           std::optional<std::string> relation)
    : id(id_),
      text(std::move(text)),
      offset(offset),
      length(length),
      pos(std::move(pos)),
      sentence_id(sentence_id),
      clause_id(clause_id),
      parent(parent),
      relation(std::move(relation)) {
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

Word Word::from_json(const Record& json) {
  require_map(json, "json");
  // A missing "pos" is the empty string; a null one is not a string.
  std::string pos;
  if (auto it = json.find("pos"); it != json.end()) pos = require_string(*it, "pos");
  auto sentence_id = optional_integer(json, "sentence_id");
  auto clause_id = optional_integer(json, "clause_id");
  auto parent = optional_integer(json, "parent");
  auto relation = optional_string(json, "relation");
  std::int64_t id = integer_at(json, "id");
  std::string text = string_at(json, "text");
  std::int64_t offset = integer_at(json, "offset");
  std::int64_t length = integer_at(json, "length");
  return Word(id, std::move(text), offset, length, std::move(pos), sentence_id, clause_id,
              parent, std::move(relation));
}

std::string Word::to_string() const { return to_text_form(to_json()); }

// --- Clause ---

Clause::Clause(std::int64_t id_, std::string tense, std::int64_t offset, std::int64_t length,
               std::string text)
    : id(id_), tense(std::move(tense)), offset(offset), length(length), text(std::move(text)) {
  kelvra::common::utf8::require_valid(this->tense, "tense");
  kelvra::common::utf8::require_valid(this->text, "text");
}

Record Clause::to_json() const {
  return Record{
      {"id", id}, {"tense", tense}, {"offset", offset}, {"length", length}, {"text", text}};
}

Clause Clause::from_json(const Record& json) {
  require_map(json, "json");
  std::int64_t id = integer_at(json, "id");
  std::string tense = string_at(json, "tense");
  std::int64_t offset = integer_at(json, "offset");
  std::int64_t length = integer_at(json, "length");
  return Clause(id, std::move(tense), offset, length, string_at(json, "text"));
}

std::string Clause::to_string() const { return to_text_form(to_json()); }

// --- Sentence ---

Sentence::Sentence(std::int64_t id_, std::int64_t offset, std::int64_t length, std::string text,
                   std::vector<Clause> clauses)
    : id(id_), offset(offset), length(length), text(std::move(text)), clauses(std::move(clauses)) {
  kelvra::common::utf8::require_valid(this->text, "text");
}

Record Sentence::to_json() const {
  Record clause_records = Record::array();
  for (const auto& clause : clauses) clause_records.push_back(clause.to_json());
  return Record{{"id", id},
                {"offset", offset},
                {"length", length},
                {"text", text},
                {"clauses", std::move(clause_records)}};
}

Sentence Sentence::from_json(const Record& json) {
  require_map(json, "json");
  std::int64_t id = integer_at(json, "id");
  std::int64_t offset = integer_at(json, "offset");
  std::int64_t length = integer_at(json, "length");
  std::string text = string_at(json, "text");
  // Sentences without clauses are allowed: a missing or null list is empty.
  std::vector<Clause> clauses;
  if (auto list = list_from_json<Clause>(json, "clauses")) clauses = std::move(*list);
  return Sentence(id, offset, length, std::move(text), std::move(clauses));
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
  require_map(json, "json");
  auto word_list = list_from_json<Word>(json, "words");
  auto entity_list = list_from_json<Entity>(json, "nes");
  return FeatureSet(std::move(word_list), std::move(entity_list));
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
