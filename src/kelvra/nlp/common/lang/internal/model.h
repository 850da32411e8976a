// What a translator knows once its files are read: the dictionary entries,
// the rules, and the segmenter's lexicon built from them and the Mandarin
// word list, with what each character and word says about a sentence.
// Internal to the cantonese module.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "kelvra/nlp/common/lang/cantoseg.h"
#include "kelvra/nlp/common/lang/internal/dictionary.h"
#include "kelvra/nlp/common/lang/internal/rules.h"

namespace kelvra::nlp::common::lang::internal {

struct Model {
  // The lexicon: the Mandarin words first, then the dictionary's Cantonese
  // words (so that a word in both is a dictionary word), then one word for
  // each word with rules.
  Model(std::vector<Entry> loaded_entries, std::vector<Rule> loaded_rules,
        const std::vector<std::string_view>& words);

  // What a judge looks at first for one rule of a word, beside the rule's
  // position: whether it applies in a Mandarin sentence (or marks one), and
  // the code points its first condition wants right after (side 1) or
  // right before (side 2) the word; most rules fail there.
  struct RuleRef {
    std::uint32_t rule;
    bool cantonese;
    bool marks;
    std::uint8_t side;
    std::array<std::uint64_t, 8> near;
    bool may_hold_next_to(char32_t cp) const { return near[(cp >> 6) & 7] >> (cp & 63) & 1; }
  };

  // A rule word: its rules in the order of their lines, and the lexicon
  // position of what it is where none holds (npos: no word).
  struct RuleWord {
    std::vector<RuleRef> rules;
    std::size_t base = cantoseg::Segmenter::npos;
    std::uint32_t negator = 0;  // 1 + position of its a-not-a rule, or 0
  };

  bool is_entry(std::size_t index) const { return index >= first_entry && index < first_rule_word; }
  const Entry& entry(std::size_t index) const { return entries[index - first_entry]; }
  bool is_rule_word(std::size_t index) const {
    return index != cantoseg::Segmenter::npos && index >= first_rule_word;
  }
  const RuleWord& rule_word(std::size_t index) const { return rule_words[index - first_rule_word]; }
  // True when the entry at lexicon position `index` makes its sentence
  // Cantonese: a rewrite that Mandarin does not write.
  bool entry_marks(std::size_t index) const { return entry_marking[index - first_entry] != 0; }

  // Flags of a code point: kOnlyCantonese, kGuarded (as the text writes
  // it), kFirm (simplified).
  static constexpr std::uint8_t kOnlyCantonese = 1, kGuarded = 2, kFirm = 4;
  std::uint8_t flags(char32_t cp) const {
    if (cp < char_flags.size()) return char_flags[cp];
    const auto found = std::lower_bound(other_flags.begin(), other_flags.end(),
                                        std::pair<char32_t, std::uint8_t>(cp, 0));
    return found != other_flags.end() && found->first == cp ? found->second : 0;
  }
  void flag(char32_t cp, std::uint8_t flag);

  // The standing of a word of the lexicon that is not a rule word.
  cantoseg::Standing standing(std::size_t index) const {
    return is_entry(index) ? entry_standing[index - first_entry] : cantoseg::Standing::kPlain;
  }

  std::vector<Entry> entries;
  std::vector<Rule> rules;
  std::size_t first_entry = 0;      // lexicon position of entries[0]
  std::size_t first_rule_word = 0;  // lexicon position of rule_words[0]
  std::vector<RuleWord> rule_words;
  std::vector<cantoseg::Standing> entry_standing;
  std::vector<std::uint8_t> entry_marking;  // 1: the entry makes its sentence Cantonese
  std::vector<std::uint8_t> char_flags = std::vector<std::uint8_t>(0x10000, 0);  // by code point
  std::vector<std::pair<char32_t, std::uint8_t>> other_flags;  // beyond the BMP, sorted
  bool has_guards = false;                                     // any kGuarded or kFirm
  std::unordered_map<std::string, std::string> c2m;            // key -> value of every entry
  cantoseg::Segmenter segmenter;
};

}  // namespace kelvra::nlp::common::lang::internal
