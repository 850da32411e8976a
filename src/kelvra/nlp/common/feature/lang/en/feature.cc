#include "kelvra/nlp/common/feature/lang/en/feature.h"

#include <utility>

#include "kelvra/common/internal/json_model.h"
#include "kelvra/common/text_form.h"
#include "kelvra/common/utf8.h"
#include "kelvra/nlp/common/feature/lang/en/internal/reading.h"

namespace kelvra::nlp::common::feature::lang::en {

using kelvra::common::or_null;
using kelvra::common::to_text_form;
using M = kelvra::common::records::JsonModel;

// --- Word ---

Word::Word(std::int64_t id_, std::string text_, std::int64_t offset_, std::int64_t length_,
           WordOptions options)
    : Word(CN_WORD(id_, std::move(text_), offset_, length_, std::move(options.pos),
                   options.sentence_id, options.clause_id, options.parent,
                   std::move(options.relation)),
           options.mask, std::move(options.lemma)) {}

Word::Word(CN_WORD base, std::optional<bool> mask_, std::optional<std::string> lemma_)
    : CN_WORD(std::move(base)), mask(mask_), lemma(std::move(lemma_)) {
  if (this->lemma) kelvra::common::utf8::require_valid(*this->lemma, "lemma");
}

Record Word::to_json() const {
  // Documents hold thousands of words: fill one map of known size in place
  // rather than growing the base word's map by two keys.
  Record json = Record::object();
  auto& fields = json.get_ref<Record::object_t&>();
  fields.reserve(11);
  fields.emplace_back("id", id);
  fields.emplace_back("text", text);
  fields.emplace_back("offset", offset);
  fields.emplace_back("length", length);
  fields.emplace_back("pos", pos);
  fields.emplace_back("sentence_id", or_null(sentence_id));
  fields.emplace_back("clause_id", or_null(clause_id));
  fields.emplace_back("parent", or_null(parent));
  fields.emplace_back("relation", or_null(relation));
  fields.emplace_back("mask", or_null(mask));
  fields.emplace_back("lemma", or_null(lemma));
  return json;
}

Word Word::from_json(const Record& json) { return internal::read_word<M>(M::view(json)); }

std::string Word::to_string() const { return to_text_form(to_json()); }

// --- FeatureSet ---

FeatureSet::FeatureSet(std::optional<std::vector<Word>> words_,
                       std::optional<std::vector<Entity>> nes_,
                       std::optional<std::vector<Sentence>> sentences_,
                       std::optional<std::string> text_)
    : BasicFeatureSet<Word>(std::move(words_), std::move(nes_)),
      sentences(std::move(sentences_)),
      text(std::move(text_)) {
  if (this->text) kelvra::common::utf8::require_valid(*this->text, "text");
}

Record FeatureSet::to_json() const {
  // Built in the order words, nes, sentences, text; written with "nes" first.
  Record word_records = feature::list_to_json(words);
  Record entity_records = feature::list_to_json(nes);
  Record sentence_records = feature::list_to_json(sentences);
  return Record{{"nes", std::move(entity_records)},
                {"words", std::move(word_records)},
                {"sentences", std::move(sentence_records)},
                {"text", or_null(text)}};
}

FeatureSet FeatureSet::from_json(const Record& feature_set_json) {
  auto parts = internal::read_document<M>(M::view(feature_set_json));
  return FeatureSet(std::move(parts.words), feature::internal::entities_of(std::move(parts.nes)),
                    std::move(parts.sentences), std::move(parts.text));
}

std::string FeatureSet::to_string() const { return to_text_form(to_json()); }

std::ostream& operator<<(std::ostream& os, const Word& word) { return os << word.to_string(); }

std::ostream& operator<<(std::ostream& os, const FeatureSet& feature_set) {
  return os << feature_set.to_string();
}

}  // namespace kelvra::nlp::common::feature::lang::en
