// Reading serialised English feature records (en/feature.h has the
// layouts), for any representation of records; see
// kelvra/nlp/common/feature/internal/reading.h.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kelvra/nlp/common/feature/internal/reading.h"
#include "kelvra/nlp/common/feature/lang/en/feature.h"

namespace kelvra::nlp::common::feature::lang::en::internal {

namespace records = kelvra::common::records;
namespace base = kelvra::nlp::common::feature::internal;

template <records::RecordModel M>
Word read_word(const typename M::Value& json) {
  records::require<M>(json, kelvra::common::Kinds::map, "json");
  // The English keys are checked before the base word reads the required
  // ones, so that a bad optional value is reported first, as for the base.
  auto mask = records::optional_truth_value<M>(json, records::keys::mask);
  auto lemma = records::optional_string<M>(json, records::keys::lemma);
  return Word(base::read_word<M>(json), mask, std::move(lemma));
}

// The parts of a serialised English document, read in the order words,
// nes, sentences, text.
template <records::RecordModel M>
struct DocumentParts : base::DocumentParts<M, Word> {
  std::optional<std::vector<Sentence>> sentences;
  std::optional<std::string> text;
};

template <records::RecordModel M>
DocumentParts<M> read_document(const typename M::Value& json) {
  DocumentParts<M> parts;
  static_cast<base::DocumentParts<M, Word>&>(parts) =
      base::read_document<M, Word>(json, "feature_set_json", read_word<M>);
  parts.sentences = base::read_list<M>(json, records::keys::sentences, base::read_sentence<M>);
  parts.text = records::optional_string<M>(json, records::keys::text);
  return parts;
}

}  // namespace kelvra::nlp::common::feature::lang::en::internal
