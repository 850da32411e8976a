// Feature records: the words, clauses, sentences and named entities of an
// analysed text, and the document that holds them.
//
//   Sentence s(0, 0, 3, "你好。", {Clause(0, "done", 0, 3, "你好。")});
//   Record json = s.to_json();          //
//   {"id":0,"offset":0,"length":3,"text":"你好。","clauses":[...]} Sentence back =
//   Sentence::from_json(json);   // back == s
//
// Positions and lengths count code points. Every record has to_json (a
// Record holding its fields, keys in field order), a static from_json that
// accepts keys in any order and ignores unknown ones, to_string (the record
// text form of to_json()) and operator<<. from_json throws TypeError naming
// `json` when given something other than a map, KeyError naming a missing
// required key, and TypeError naming a field whose value is of the wrong
// kind. Integers read from records may be reals; they are truncated.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "kelvra/common/record.h"
#include "kelvra/common/record_layout.h"

namespace kelvra::nlp::common::feature {

// One token. The first four fields are required; `pos` defaults to the
// empty string and the others to absent.
class Word {
 public:
  Word(std::int64_t id_, std::string text, std::int64_t offset, std::int64_t length,
       std::string pos = "", std::optional<std::int64_t> sentence_id = std::nullopt,
       std::optional<std::int64_t> clause_id = std::nullopt,
       std::optional<std::int64_t> parent = std::nullopt,
       std::optional<std::string> relation = std::nullopt);

  std::int64_t id;
  std::string text;
  std::int64_t offset;
  std::int64_t length;
  std::string pos;
  std::optional<std::int64_t> sentence_id;
  std::optional<std::int64_t> clause_id;
  std::optional<std::int64_t> parent;
  std::optional<std::string> relation;

  // {"id","text","offset","length","pos","sentence_id","clause_id","parent","relation"}
  Record to_json() const;
  static Word from_json(const Record& json);
  std::string to_string() const;
  bool operator==(const Word&) const = default;
};

// One clause of a sentence; `offset` is in the same coordinates as the
// sentence's, not relative to it.
class Clause {
 public:
  Clause(std::int64_t id_, std::string tense, std::int64_t offset, std::int64_t length,
         std::string text);

  std::int64_t id;
  std::string tense;
  std::int64_t offset;
  std::int64_t length;
  std::string text;

  // {"id","tense","offset","length","text"}, laid out by clause_members
  Record to_json() const;
  static Clause from_json(const Record& json);
  std::string to_string() const;
  bool operator==(const Clause&) const = default;
};

// The members of a clause record, in order, handed to `out.member` (see
// record_layout.h): the one layout of Clause::to_json and of writers that
// stream clauses without making them.
template <class Out, class Tense, class Text>
void clause_members(Out& out, std::int64_t id, const Tense& tense, std::int64_t offset,
                    std::int64_t length, const Text& text) {
  out.member("id", id);
  out.member("tense", tense);
  out.member("offset", offset);
  out.member("length", length);
  out.member("text", text);
}

class Sentence {
 public:
  Sentence(std::int64_t id_, std::int64_t offset, std::int64_t length, std::string text,
           std::vector<Clause> clauses = {});

  std::int64_t id;
  std::int64_t offset;
  std::int64_t length;
  std::string text;
  std::vector<Clause> clauses;

  // {"id","offset","length","text","clauses":[clause records]}, laid out by
  // sentence_members
  Record to_json() const;
  static Sentence from_json(const Record& json);
  std::string to_string() const;
  bool operator==(const Sentence&) const = default;
};

// The members of a sentence record, in order, as clause_members; `clauses`
// is the list of clause records (or a callable that makes or writes it).
template <class Out, class Text, class Clauses>
void sentence_members(Out& out, std::int64_t id, std::int64_t offset, std::int64_t length,
                      const Text& text, Clauses&& clauses) {
  out.member("id", id);
  out.member("offset", offset);
  out.member("length", length);
  out.member("text", text);
  out.member("clauses", std::forward<Clauses>(clauses));
}

// A named entity: the record exactly as given, every key kept in order
// (contiguous entities carry `offset` and `length`, multi-piece ones
// `spans`; text, type and any other keys ride along).
class Entity {
 public:
  // `record` must be a map (TypeError naming `json` otherwise).
  explicit Entity(Record record);

  const Record& record() const noexcept { return record_; }
  Record& record() noexcept { return record_; }

  Record to_json() const { return record_; }
  static Entity from_json(const Record& json) { return Entity(json); }
  std::string to_string() const;
  bool operator==(const Entity&) const = default;

 private:
  Record record_;
};

// A document's words and named entities. Either list may be absent, which
// is not the same as empty: absent serialises as null, empty as [].
// Derived document records (such as the English one) reuse it with their
// own word record.
template <class WordT>
class BasicFeatureSet {
 public:
  using word_type = WordT;

  explicit BasicFeatureSet(std::optional<std::vector<WordT>> words_ = std::nullopt,
                           std::optional<std::vector<Entity>> nes_ = std::nullopt)
      : words(std::move(words_)), nes(std::move(nes_)) {}

  std::optional<std::vector<WordT>> words;
  std::optional<std::vector<Entity>> nes;

  bool operator==(const BasicFeatureSet&) const = default;
};

class FeatureSet : public BasicFeatureSet<Word> {
 public:
  using BasicFeatureSet<Word>::BasicFeatureSet;

  // {"words": [word records] or null, "nes": [entity records] or null}
  Record to_json() const;
  static FeatureSet from_json(const Record& json);
  std::string to_string() const;
};

// Serialises each element with its own to_json; absent gives null.
template <class T>
Record list_to_json(const std::optional<std::vector<T>>& items) {
  if (!items) return nullptr;
  Record out = Record::array();
  for (const auto& item : *items) out.push_back(item.to_json());
  return out;
}

// Reads the list under `key` with T::from_json; a missing key or null gives
// absent, anything else but a list is a TypeError naming `key`.
template <class T>
std::optional<std::vector<T>> list_from_json(const Record& json, std::string_view key) {
  auto it = json.find(key);
  if (it == json.end() || it->is_null()) return std::nullopt;
  const Record& list = kelvra::common::require_list(*it, key);
  std::vector<T> out;
  out.reserve(list.size());
  for (const auto& item : list) out.push_back(T::from_json(item));
  return out;
}

std::ostream& operator<<(std::ostream& os, const Word& word);
std::ostream& operator<<(std::ostream& os, const Clause& clause);
std::ostream& operator<<(std::ostream& os, const Sentence& sentence);
std::ostream& operator<<(std::ostream& os, const Entity& entity);
std::ostream& operator<<(std::ostream& os, const FeatureSet& feature_set);

}  // namespace kelvra::nlp::common::feature
