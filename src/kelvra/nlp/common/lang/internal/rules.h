// The rules file (c2m_rules.tsv) as the translator reads it: words that
// change only in some places, and grammar patterns. Its grammar is
// described in docs/file-formats.md. Internal to the cantonese module.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "kelvra/nlp/common/lang/cantoseg.h"

namespace kelvra::nlp::common::lang::internal {

// Where the Mandarin of the word before goes in a rule's Mandarin.
inline constexpr std::string_view kWordBefore = "…";

// What lies beyond an alternative's text: nothing asked, the start of a
// clause, the end of a sentence, the end of a clause, a Chinese character,
// a numeral.
enum class Edge : std::uint8_t { kNone, kStart, kEnd, kClause, kHan, kNumber };

struct Alternative {
  std::u32string text;  // simplified
  Edge edge = Edge::kNone;
};

enum class Test : std::uint8_t {
  kBefore,
  kAfter,
  kNotBefore,
  kNotAfter,
  kLater,
  kEarlier,
  kNotEarlier
};

// True for the tests that look at the text before the word.
constexpr bool looks_back(Test test) {
  return test == Test::kAfter || test == Test::kNotAfter || test == Test::kEarlier ||
         test == Test::kNotEarlier;
}

// True for the tests that scan the clause rather than the word's neighbour.
constexpr bool scans(Test test) {
  return test == Test::kLater || test == Test::kEarlier || test == Test::kNotEarlier;
}

struct Condition {
  Test test = Test::kBefore;
  std::vector<Alternative> alternatives;
  // Bit cp % 512 for the code point next to the word (the first of a
  // before: alternative, the last of an after: one) of every alternative
  // with text, and whether one has none: most tests fail on the first look.
  std::array<std::uint64_t, 8> near{};
  bool bare = false;

  // False when no alternative can start (or, looking back, end) with `cp`.
  bool may_hold_next_to(char32_t cp) const {
    return bare || (near[(cp >> 6) & 7] >> (cp & 63) & 1);
  }
};

// A rule of the rules file, one for each word of a class.
struct Rule {
  std::string key;                    // Cantonese, simplified
  std::string mandarin;               // simplified; kWordBefore for the word before
  std::vector<Condition> conditions;  // those next to the word first
  std::vector<std::u32string> front;  // front:@CLASS: the class's words, simplified
  // The word as the file writes it, when that is not the key, code point for
  // code point with it; empty otherwise.
  std::u32string spelled;
  bool cantonese = false;  // only in a Cantonese sentence
  bool negator = false;    // a-not-a
  bool guard = false;      // Mandarin words of the list keep off the character
  bool join = false;       // kWordBefore takes the word before and the word after together
  bool marks = false;      // where its conditions hold, the sentence is Cantonese
  bool firm = false;  // where it holds, Mandarin words of the list may not take its character in
  bool cut_before = false;  // ... nor take it in together with what comes before it
  bool next = false;        // kWordBefore stands for the word after, not the word before
  cantoseg::Standing standing = cantoseg::Standing::kPlain;
  std::int64_t line = 0;
  std::string written_cantonese;  // the line's fields as the file writes them, trimmed
  std::string written_mandarin;
  std::string written_conditions;
};

// The Mandarin of a word as the file writes it: its dictionary entry's, or
// the word itself.
using MandarinOf = std::function<std::string(std::string_view word)>;

// Reads the rules `content` of the file `path`; `mandarin_of` fills the
// slots of patterns. FileError naming `path` and the line for a line that
// is not valid UTF-8 or not a rule.
std::vector<Rule> load_rules(const std::string& path, std::string_view content,
                             const MandarinOf& mandarin_of);

}  // namespace kelvra::nlp::common::lang::internal
