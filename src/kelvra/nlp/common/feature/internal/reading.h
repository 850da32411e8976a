// Reading serialised feature records (feature.h has the layouts), for any
// representation of records: the library's from_json functions instantiate
// it with its own records, the Python extension with the caller's dicts,
// which it then reads without converting them first.
//
//   feature::Word word = read_word<M>(json);
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kelvra/common/internal/record_model.h"
#include "kelvra/nlp/common/feature/feature.h"

namespace kelvra::nlp::common::feature::internal {

namespace records = kelvra::common::records;
using kelvra::common::Kinds;

template <records::RecordModel M>
std::int64_t integer_at(const typename M::Value& json, records::Key key) {
  return records::integer_of<M>(records::at<M>(json, key, "json"), key.name);
}

template <records::RecordModel M>
std::string string_at(const typename M::Value& json, records::Key key) {
  return std::string(records::string_of<M>(records::at<M>(json, key, "json"), key.name));
}

// The list under `key` read item by item with `read`; a missing key or null
// gives absent, anything else but a list is a TypeError naming the key.
template <records::RecordModel M, class Read>
auto read_list(const typename M::Value& json, records::Key key, Read read)
    -> std::optional<std::vector<decltype(read(json))>> {
  const typename M::Value list = M::find(json, key);
  if (!list || M::kind(list) == records::ValueKind::kNull) return std::nullopt;
  records::require<M>(list, Kinds::list, key.name);
  std::vector<decltype(read(json))> out;
  out.reserve(M::size(list));
  for (std::size_t i = 0; i < M::size(list); ++i) out.push_back(read(M::item(list, i)));
  return out;
}

template <records::RecordModel M>
Word read_word(const typename M::Value& json) {
  using namespace records::keys;
  records::require<M>(json, Kinds::map, "json");
  // A missing "pos" is the empty string; a null one is not a string.
  std::string pos_text;
  if (const typename M::Value value = M::find(json, pos))
    pos_text = records::string_of<M>(value, "pos");
  auto sentence = records::optional_integer<M>(json, sentence_id);
  auto clause = records::optional_integer<M>(json, clause_id);
  auto parent_id = records::optional_integer<M>(json, parent);
  auto relation_name = records::optional_string<M>(json, relation);
  const std::int64_t word_id = integer_at<M>(json, id);
  std::string word_text = string_at<M>(json, text);
  const std::int64_t word_offset = integer_at<M>(json, offset);
  const std::int64_t word_length = integer_at<M>(json, length);
  return Word(word_id, std::move(word_text), word_offset, word_length, std::move(pos_text),
              sentence, clause, parent_id, std::move(relation_name));
}

template <records::RecordModel M>
Clause read_clause(const typename M::Value& json) {
  using namespace records::keys;
  records::require<M>(json, Kinds::map, "json");
  const std::int64_t clause_id_value = integer_at<M>(json, id);
  std::string clause_tense = string_at<M>(json, tense);
  const std::int64_t clause_offset = integer_at<M>(json, offset);
  const std::int64_t clause_length = integer_at<M>(json, length);
  return Clause(clause_id_value, std::move(clause_tense), clause_offset, clause_length,
                string_at<M>(json, text));
}

template <records::RecordModel M>
Sentence read_sentence(const typename M::Value& json) {
  using namespace records::keys;
  records::require<M>(json, Kinds::map, "json");
  const std::int64_t sentence_id_value = integer_at<M>(json, id);
  const std::int64_t sentence_offset = integer_at<M>(json, offset);
  const std::int64_t sentence_length = integer_at<M>(json, length);
  std::string sentence_text = string_at<M>(json, text);
  // Sentences without clauses are allowed: a missing or null list is empty.
  std::vector<Clause> sentence_clauses;
  if (auto list = read_list<M>(json, clauses, read_clause<M>)) sentence_clauses = std::move(*list);
  return Sentence(sentence_id_value, sentence_offset, sentence_length, std::move(sentence_text),
                  std::move(sentence_clauses));
}

// An entity record: any map, kept whole (a deep copy in the model).
template <records::RecordModel M>
typename M::Owned read_entity(const typename M::Value& json) {
  return M::deep_copy(records::require<M>(json, Kinds::map, "json"), "json");
}

// The parts of a serialised document: its words and its entity records.
template <records::RecordModel M, class WordT>
struct DocumentParts {
  std::optional<std::vector<WordT>> words;
  std::optional<std::vector<typename M::Owned>> nes;
};

template <records::RecordModel M, class WordT, class ReadWord>
DocumentParts<M, WordT> read_document(const typename M::Value& json, std::string_view parameter,
                                      ReadWord read_word_record) {
  records::require<M>(json, Kinds::map, parameter);
  DocumentParts<M, WordT> parts;
  parts.words = read_list<M>(json, records::keys::words, read_word_record);
  parts.nes = read_list<M>(json, records::keys::nes, read_entity<M>);
  return parts;
}

// The library's Entity records of a document's parts.
inline std::optional<std::vector<Entity>> entities_of(std::optional<std::vector<Record>> records) {
  if (!records) return std::nullopt;
  std::vector<Entity> entities;
  entities.reserve(records->size());
  for (Record& record : *records) entities.emplace_back(std::move(record));
  return entities;
}

}  // namespace kelvra::nlp::common::feature::internal
