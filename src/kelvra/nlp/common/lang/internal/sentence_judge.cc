#include "kelvra/nlp/common/lang/internal/sentence_judge.h"

#include <algorithm>

#include "kelvra/nlp/common/lang/internal/data_lines.h"

namespace kelvra::nlp::common::lang::internal {

using cantoseg::Segmenter;

std::optional<cantoseg::Verdict> SentenceJudge::judge(std::size_t index, std::size_t begin,
                                                      std::size_t end) const {
  const auto& word = model_.rule_word(index);
  // A rule marked `marks` that holds in a sentence not yet known as
  // Cantonese says so through the word's choice, as the word stays as it is
  // without rules.
  std::uint32_t marks = 0;
  const char32_t next = end < cps_.size() ? cps_[end] : 0;
  const char32_t last = begin > 0 ? cps_[begin - 1] : 0;
  for (const Model::RuleRef& ref : word.rules) {
    const bool applies = cantonese_ || !ref.cantonese;
    if (!applies && (!ref.marks || marks != 0)) continue;
    // Most rules fail on the code point next to the word: look there first,
    // before reading the rule itself.
    if ((ref.side == 1 && !ref.may_hold_next_to(next)) ||
        (ref.side == 2 && !ref.may_hold_next_to(last)))
      continue;
    const std::uint32_t r = ref.rule;
    const Rule& rule = model_.rules[r];
    if (!rule.spelled.empty() && !spelled(rule, begin)) continue;
    if (!std::all_of(rule.conditions.begin(), rule.conditions.end(),
                     [&](const Condition& condition) { return holds(condition, begin, end); }))
      continue;
    if (applies) return cantoseg::Verdict{rule.standing, r + 1};
    marks = kMarksOnly;
  }
  // A word that only its rules make keeps its place while it marks.
  if (word.base == Segmenter::npos) {
    if (marks == 0) return std::nullopt;
    return cantoseg::Verdict{cantoseg::Standing::kMarked, marks};
  }
  if (marks == 0 && word.base < model_.first_entry && guarded(begin, end)) return std::nullopt;
  return cantoseg::Verdict{model_.standing(word.base), marks};
}

bool SentenceJudge::guarded(std::size_t begin, std::size_t end) const {
  if (guard_ == nullptr) return false;
  for (std::size_t k = begin; k < end; ++k)
    if (guard_[k] == 1 || (guard_[k] == 2 && k > begin)) return true;
  return false;
}

bool SentenceJudge::spelled(const Rule& rule, std::size_t begin) const {
  if (rule.spelled.empty()) return true;  // written simplified: whatever converts to it
  for (std::size_t k = 0; k < rule.spelled.size(); ++k) {
    const char32_t written = written_[begin + k];
    if (written != rule.spelled[k] && (!cantonese_ || written != cps_[begin + k])) return false;
  }
  return true;
}

bool SentenceJudge::holds(const Condition& condition, std::size_t begin, std::size_t end) const {
  const auto& alternatives = condition.alternatives;
  switch (condition.test) {
    case Test::kBefore:
    case Test::kNotBefore: {
      // The code point after the word settles most alternatives at once.
      const char32_t next = end < cps_.size() ? cps_[end] : 0;
      const bool any =
          condition.may_hold_next_to(next) &&
          std::any_of(alternatives.begin(), alternatives.end(), [&](const Alternative& a) {
            return (a.text.empty() || a.text.front() == next) && starts_at(a, end);
          });
      return any == (condition.test == Test::kBefore);
    }
    case Test::kAfter:
    case Test::kNotAfter: {
      const char32_t last = begin > 0 ? cps_[begin - 1] : 0;
      const bool any =
          condition.may_hold_next_to(last) &&
          std::any_of(alternatives.begin(), alternatives.end(), [&](const Alternative& a) {
            return (a.text.empty() || a.text.back() == last) && ends_at(a, begin);
          });
      return any == (condition.test == Test::kAfter);
    }
    case Test::kLater: {
      const std::size_t stop = std::min(cps_.size(), end + kReach);
      for (std::size_t pos = end; pos < stop && !Segmenter::is_separate(cps_[pos]); ++pos) {
        // Most places hold no alternative's first code point.
        if (!condition.may_hold_next_to(cps_[pos])) continue;
        for (const Alternative& a : alternatives)
          if (starts_at(a, pos)) return true;
      }
      return false;
    }
    case Test::kEarlier:
    case Test::kNotEarlier: {
      bool any = false;
      const std::size_t stop = begin > kReach ? begin - kReach : 0;
      for (std::size_t pos = begin; !any && pos > stop && !Segmenter::is_separate(cps_[pos - 1]);
           --pos) {
        if (!condition.may_hold_next_to(cps_[pos - 1])) continue;
        any = std::any_of(alternatives.begin(), alternatives.end(),
                          [&](const Alternative& a) { return ends_at(a, pos); });
      }
      return any == (condition.test == Test::kEarlier);
    }
  }
  return false;
}

bool SentenceJudge::starts_at(const Alternative& a, std::size_t pos) const {
  // One code point first: most alternatives fail there.
  if (!a.text.empty() && (pos >= cps_.size() || cps_[pos] != a.text.front())) return false;
  if (cps_.substr(pos, a.text.size()) != a.text) return false;
  const std::size_t at = pos + a.text.size();
  switch (a.edge) {
    case Edge::kNone:
      return true;
    case Edge::kEnd:
      return at == cps_.size() || ends_sentence(cps_[at]);
    case Edge::kStart:
    case Edge::kClause:
      return at == cps_.size() || Segmenter::is_separate(cps_[at]);
    case Edge::kHan:
      return at < cps_.size() && is_han(cps_[at]);
    case Edge::kNumber:
      return at < cps_.size() && is_number(cps_[at]);
  }
  return false;
}

bool SentenceJudge::ends_at(const Alternative& a, std::size_t pos) const {
  if (!a.text.empty() && (pos == 0 || cps_[pos - 1] != a.text.back())) return false;
  if (pos < a.text.size() || cps_.substr(pos - a.text.size(), a.text.size()) != a.text)
    return false;
  const std::size_t at = pos - a.text.size();
  switch (a.edge) {
    case Edge::kNone:
      return true;
    case Edge::kStart:
    case Edge::kClause:
    case Edge::kEnd:
      return at == 0 || Segmenter::is_separate(cps_[at - 1]);
    case Edge::kHan:
      return at > 0 && is_han(cps_[at - 1]);
    case Edge::kNumber:
      return at > 0 && is_number(cps_[at - 1]);
  }
  return false;
}

}  // namespace kelvra::nlp::common::lang::internal
