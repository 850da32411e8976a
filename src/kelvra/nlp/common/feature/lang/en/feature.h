// English feature records: a word with a mask flag and a lemma, and a
// document that also carries its sentences and its text.
//
//   Word word(0, "ran", 4, 3, {.pos = "VBD", .lemma = "run"});
//   FeatureSet doc(std::vector<Word>{word}, std::nullopt, std::nullopt, "He ran.");
//   FeatureSet back = FeatureSet::from_json(doc.to_json());   // back == doc
//
// Both derive from the base records of kelvra/nlp/common/feature/feature.h
// (here also named CN_WORD and CN_FeatureSet) and reuse its Entity and
// Sentence unchanged. An absent list and an empty list are different values
// and stay different through to_json and from_json: absent is null, empty
// is []. Every field is public and may be replaced; to_json and to_string
// read the fields as they are at the time of the call.
#pragma once

#include <concepts>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "kelvra/common/record.h"
#include "kelvra/nlp/common/feature/feature.h"

namespace kelvra::nlp::common::feature::lang::en {

// The base records under the names this module gives them.
using CN_WORD = feature::Word;
using CN_FeatureSet = feature::FeatureSet;
using feature::Entity;
using feature::Sentence;

// The optional fields of an English word, for designated initialisers:
//   Word(3, "dogs", 10, 4, {.pos = "NNS", .mask = false, .lemma = "dog"})
struct WordOptions {
  std::string pos = "";
  std::optional<std::int64_t> sentence_id = std::nullopt;
  std::optional<std::int64_t> clause_id = std::nullopt;
  std::optional<std::int64_t> parent = std::nullopt;
  std::optional<std::string> relation = std::nullopt;
  std::optional<bool> mask = std::nullopt;
  std::optional<std::string> lemma = std::nullopt;
};

// One English token: the nine fields of the base word, then `mask` and
// `lemma`.
class Word : public CN_WORD {
 public:
  // The four required fields by position, the rest by name. Throws
  // TypeError naming `text`, `pos`, `relation` or `lemma` when that text is
  // not valid UTF-8.
  Word(std::int64_t id_, std::string text, std::int64_t offset, std::int64_t length,
       WordOptions options = {});

  // All fields by position, in the order of the serialised word. (`pos` is
  // a template parameter so that a braced list in its place always means
  // WordOptions.)
  template <std::convertible_to<std::string> Pos>
  Word(std::int64_t id_, std::string text_, std::int64_t offset_, std::int64_t length_, Pos pos_,
       std::optional<std::int64_t> sentence_id_ = std::nullopt,
       std::optional<std::int64_t> clause_id_ = std::nullopt,
       std::optional<std::int64_t> parent_ = std::nullopt,
       std::optional<std::string> relation_ = std::nullopt,
       std::optional<bool> mask_ = std::nullopt, std::optional<std::string> lemma_ = std::nullopt)
      : Word(id_, std::move(text_), offset_, length_,
             WordOptions{std::string(std::move(pos_)), sentence_id_, clause_id_, parent_,
                         std::move(relation_), mask_, std::move(lemma_)}) {}

  // A base word with the two English fields added.
  Word(CN_WORD base, std::optional<bool> mask, std::optional<std::string> lemma);

  std::optional<bool> mask;
  std::optional<std::string> lemma;

  // Exactly eleven keys in this order: "id", "text", "offset", "length",
  // "pos", "sentence_id", "clause_id", "parent", "relation", "mask",
  // "lemma"; absent values are null.
  Record to_json() const;

  // Reads a serialised word; keys in any order, unknown keys ignored. A
  // missing "pos" gives the empty string, other missing or null optional
  // keys give absent. Throws TypeError naming `json` when it is not a map,
  // KeyError naming the first of "id", "text", "offset", "length" that is
  // missing, and TypeError naming the key whose value is of the wrong kind
  // (a null "pos", a "mask" that is not true or false, ...). Reals under
  // integer keys are truncated toward zero.
  static Word from_json(const Record& json);

  // The record text form of the field map, fields in the order they were
  // set: the base word's nine, then mask, then lemma.
  std::string to_string() const;

  // Equal when all eleven fields are equal.
  bool operator==(const Word&) const = default;
};

// One analysed English document. Each of the four fields may be absent,
// which is the default.
class FeatureSet : public feature::BasicFeatureSet<Word> {
 public:
  explicit FeatureSet(std::optional<std::vector<Word>> words = std::nullopt,
                      std::optional<std::vector<Entity>> nes = std::nullopt,
                      std::optional<std::vector<Sentence>> sentences = std::nullopt,
                      std::optional<std::string> text = std::nullopt);

  std::optional<std::vector<Sentence>> sentences;
  std::optional<std::string> text;

  // Exactly four keys in this order: "nes", "words", "sentences", "text";
  // each list element serialised by its own to_json, absent values as null.
  Record to_json() const;

  // Reads a serialised document; keys in any order, unknown keys ignored,
  // a missing or null key gives absent and an empty list stays empty.
  // Throws TypeError naming `feature_set_json` when it is not a map,
  // TypeError naming "nes", "words", "sentences" or "text" when that value
  // is of the wrong kind, and whatever reading one element throws (no
  // partial document is returned).
  static FeatureSet from_json(const Record& feature_set_json);

  // The record text form of to_json().
  std::string to_string() const;

  bool operator==(const FeatureSet&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Word& word);
std::ostream& operator<<(std::ostream& os, const FeatureSet& feature_set);

}  // namespace kelvra::nlp::common::feature::lang::en
