#include "kelvra/nlp/common/lang/internal/model.h"

#include "kelvra/common/utf8.h"
#include "kelvra/nlp/common/lang/internal/data_lines.h"

namespace kelvra::nlp::common::lang::internal {

namespace utf8 = kelvra::common::utf8;

namespace {

// The segmenter's lexicon, and what the translator needs to know of it
// (see Model's constructor). The word list's single characters are the
// characters Mandarin writes: a dictionary or rule word that changes
// something is Marked when it holds another character, Ambiguous
// otherwise.
std::vector<cantoseg::Lexeme> lexicon(const std::vector<std::string_view>& words, Model& model) {
  std::vector<char32_t> mandarin;  // sorted once all are in
  std::vector<cantoseg::Lexeme> lexemes;
  lexemes.reserve(words.size() + model.entries.size() + model.rules.size());
  for (std::string_view word : words) {
    std::size_t pos = 0;
    const char32_t cp = word.empty() ? 0 : utf8::next(word, pos);
    if (!word.empty() && pos == word.size()) mandarin.push_back(cp);
    lexemes.push_back({word, cantoseg::Standing::kPlain, false, false, true});
  }
  std::sort(mandarin.begin(), mandarin.end());
  const auto standing = [&](std::string_view key, std::string_view value) {
    if (value == key) return cantoseg::Standing::kPlain;
    auto result = cantoseg::Standing::kAmbiguous;
    for (std::size_t pos = 0; pos < key.size();) {
      const char32_t cp = utf8::next(key, pos);
      if (std::binary_search(mandarin.begin(), mandarin.end(), cp) || !is_han(cp)) continue;
      result = cantoseg::Standing::kMarked;
      model.flag(cp, Model::kOnlyCantonese);
    }
    return result;
  };

  // The dictionary's and the rules' words, where the word list and the
  // dictionary hold them last.
  struct Probe {
    std::size_t last = cantoseg::Segmenter::npos;
    bool in_words = false;
  };
  std::unordered_map<std::string_view, Probe> probes;
  probes.reserve(model.entries.size() + model.rules.size());
  for (const auto& entry : model.entries) probes.try_emplace(entry.key);
  for (const auto& rule : model.rules) probes.try_emplace(rule.key);
  for (std::size_t i = 0; i < words.size(); ++i)
    if (auto found = probes.find(words[i]); found != probes.end()) found->second = {i, true};

  model.first_entry = lexemes.size();
  for (const auto& entry : model.entries) {
    Probe& probe = probes[entry.key];
    probe.last = lexemes.size();
    model.entry_standing.push_back(standing(entry.key, entry.value));
    // A rewrite that Mandarin does not write marks its sentence as Cantonese.
    model.entry_marking.push_back(entry.value != entry.key && !probe.in_words);
    lexemes.push_back({entry.key, model.entry_standing.back()});
  }

  model.first_rule_word = lexemes.size();
  std::unordered_map<std::string_view, std::size_t> rule_word_of;
  for (std::size_t r = 0; r < model.rules.size(); ++r) {
    Rule& rule = model.rules[r];
    if (rule.guard) {
      model.flag(utf8::decode(rule.written_cantonese, "rules")[0], Model::kGuarded);
      model.has_guards = true;
      continue;
    }
    // A word that marks a sentence as Cantonese wherever it stands is a
    // Cantonese word, however Mandarin its characters.
    rule.standing = rule.marks && rule.conditions.empty() && rule.mandarin != rule.key &&
                            utf8::length(rule.key) > 1
                        ? cantoseg::Standing::kMarked
                        : standing(rule.key, rule.mandarin);
    auto [it, fresh] = rule_word_of.try_emplace(rule.key, model.rule_words.size());
    if (fresh) {
      model.rule_words.push_back({{}, probes[rule.key].last, 0});
      const std::size_t base = model.rule_words.back().base;
      lexemes.push_back({rule.key, base == cantoseg::Segmenter::npos ? cantoseg::Standing::kPlain
                                                                     : model.standing(base)});
    }
    if (rule.firm || rule.cut_before) {
      model.flag(utf8::decode(rule.key, "rules")[0], Model::kFirm);
      model.has_guards = true;
    }
    Model::RuleWord& word = model.rule_words[it->second];
    cantoseg::Lexeme& lexeme = lexemes[model.first_rule_word + it->second];
    if (rule.negator) {
      word.negator = static_cast<std::uint32_t>(r + 1);
      lexeme.negator = true;
    } else {
      Model::RuleRef ref{static_cast<std::uint32_t>(r), rule.cantonese, rule.marks, 0, {}};
      if (!rule.conditions.empty() && !rule.conditions.front().bare) {
        const Condition& first = rule.conditions.front();
        if (first.test == Test::kBefore || first.test == Test::kAfter) {
          ref.side = first.test == Test::kBefore ? 1 : 2;
          ref.near = first.near;
        }
      }
      word.rules.push_back(ref);
      lexeme.conditional = true;
    }
  }
  return lexemes;
}

}  // namespace

void Model::flag(char32_t cp, std::uint8_t flag) {
  if (cp < char_flags.size()) {
    char_flags[cp] |= flag;
    return;
  }
  const auto found = std::lower_bound(other_flags.begin(), other_flags.end(),
                                      std::pair<char32_t, std::uint8_t>(cp, 0));
  if (found != other_flags.end() && found->first == cp)
    found->second |= flag;
  else
    other_flags.insert(found, {cp, flag});
}

Model::Model(std::vector<Entry> loaded_entries, std::vector<Rule> loaded_rules,
             const std::vector<std::string_view>& words)
    : entries(std::move(loaded_entries)),
      rules(std::move(loaded_rules)),
      segmenter(lexicon(words, *this)) {
  c2m.reserve(entries.size());
  for (const auto& entry : entries) c2m.emplace(entry.key, entry.value);
}

}  // namespace kelvra::nlp::common::lang::internal
