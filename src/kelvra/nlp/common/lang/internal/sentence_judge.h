// Decides, for the rule words of one sentence, which rule holds where the
// segmenter could cut the word: the first whose conditions hold there, or
// else what the word is without rules. Internal to the cantonese module.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "kelvra/nlp/common/lang/cantoseg.h"
#include "kelvra/nlp/common/lang/internal/model.h"

namespace kelvra::nlp::common::lang::internal {

// A judge's choice for a word whose `marks` rule held in a sentence not yet
// known as Cantonese: the word stays as it is without rules.
inline constexpr std::uint32_t kMarksOnly = 0xFFFFFFFF;

// How far later: and earlier: look within a clause, in code points: a
// clause of Chinese text is rarely longer, and a clause without punctuation
// as long as a sentence would otherwise make every word look at all of it.
inline constexpr std::size_t kReach = 32;

class SentenceJudge final : public cantoseg::Judge {
 public:
  // `cps`: the sentence in simplified characters; `written`: as the text
  // writes it; `cantonese`: whether the sentence is known as Cantonese.
  SentenceJudge(const Model& model, std::u32string_view cps, std::u32string_view written,
                bool cantonese)
      : model_(model), cps_(cps), written_(written), cantonese_(cantonese) {}

  std::optional<cantoseg::Verdict> judge(std::size_t index, std::size_t begin,
                                         std::size_t end) const override;

  // The guard of the cut (see cantoseg::Segmenter::Options): a rule word
  // that no rule changes where it stands and that is a Mandarin word of the
  // list keeps off guarded code points as the list's words do.
  void set_guard(const std::uint8_t* guard) { guard_ = guard; }

  // True when `condition` holds for the word at [begin, end).
  bool holds(const Condition& condition, std::size_t begin, std::size_t end) const;

 private:
  // True when the text writes the rule's word as the rules file does, or,
  // in a Cantonese sentence, in simplified characters: in Mandarin text 系
  // is not the Cantonese 係.
  bool spelled(const Rule& rule, std::size_t begin) const;
  // True when `a` is what the sentence holds from `pos` on.
  bool starts_at(const Alternative& a, std::size_t pos) const;
  // True when `a` is what the sentence holds right before `pos`.
  bool ends_at(const Alternative& a, std::size_t pos) const;

  // True when a Mandarin word of the list may not cover [begin, end).
  bool guarded(std::size_t begin, std::size_t end) const;

  const Model& model_;
  const std::uint8_t* guard_ = nullptr;
  std::u32string_view cps_;
  std::u32string_view written_;
  bool cantonese_;
};

}  // namespace kelvra::nlp::common::lang::internal
