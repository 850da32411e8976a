#include "kelvra/nlp/common/lang/internal/translate_sentence.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "kelvra/common/utf8.h"
#include "kelvra/nlp/common/lang/internal/sentence_judge.h"

namespace kelvra::nlp::common::lang::internal {

namespace utf8 = kelvra::common::utf8;
using cantoseg::Segmenter;

namespace {

// Cuts the sentence into s.words, and says whether it is Cantonese: it holds
// a character only Cantonese writes, or its cut as Mandarin finds a
// Cantonese word. A Cantonese sentence is cut again as such: rewrites win
// over Mandarin words of the list, which keep off guarded characters, and
// rules marked `cantonese` apply.
bool cut_sentence(const Model& model, Sentence& s) {
  const std::u32string_view cps = s.cps;
  bool cantonese = std::any_of(
      cps.begin(), cps.end(), [&](char32_t cp) { return model.flags(cp) & Model::kOnlyCantonese; });
  s.words.clear();
  if (!cantonese) {
    const SentenceJudge judge(model, cps, s.written, false);
    model.segmenter.cut(cps, Segmenter::Options{false, nullptr, &judge}, s.words, s.workspace);
    cantonese = std::any_of(s.words.begin(), s.words.end(), [&](const Segmenter::Word& word) {
      if (word.choice == kMarksOnly || (word.choice != 0 && model.rules[word.choice - 1].marks))
        return true;
      std::size_t index = word.index;
      if (model.is_rule_word(index) && word.choice == 0) index = model.rule_word(index).base;
      return index != Segmenter::npos && model.is_entry(index) && model.entry_marks(index);
    });
    if (!cantonese) return false;
    s.words.clear();
  }
  // Mandarin words of the list keep off guarded characters, and off the
  // characters of firm rules that hold where they stand.
  SentenceJudge judge(model, cps, s.written, true);
  const std::uint8_t* guard = nullptr;
  if (model.has_guards) {
    s.guard.assign(cps.size(), 0);
    for (std::size_t i = 0; i < cps.size(); ++i) {
      if (model.flags(s.written[i]) & Model::kGuarded) {
        s.guard[i] = 1;
      } else if (model.flags(cps[i]) & Model::kFirm) {
        const std::size_t index = model.segmenter.find(cps.substr(i, 1));
        const auto verdict = judge.judge(index, i, i + 1);
        if (verdict && verdict->choice != 0) {
          const Rule& rule = model.rules[verdict->choice - 1];
          s.guard[i] = rule.firm ? 1 : rule.cut_before ? 2 : 0;
        }
      }
    }
    guard = s.guard.data();
    judge.set_guard(guard);
  }
  model.segmenter.cut(cps, Segmenter::Options{true, guard, &judge}, s.words, s.workspace);
  return true;
}

// Each word's output: the Mandarin of the rule chosen for it, or of its
// dictionary entry when the text writes the word as the dictionary does (or
// simplified), or the word as the simplified view has it.
void render_words(const Model& model, std::string_view text, std::string_view view, Sentence& s) {
  s.parts.clear();
  s.made.clear();
  for (const Segmenter::Word& word : s.words) {
    Part part;
    part.begin = word.begin;
    part.end = word.begin + word.length;
    part.separate = word.length == 1 && Segmenter::is_separate(s.cps[word.begin]);
    const std::string_view as_viewed =
        view.substr(s.view_at[part.begin], s.view_at[part.end] - s.view_at[part.begin]);
    part.text = as_viewed;
    std::size_t index = word.index;
    part.index = index;
    if (word.paired) {
      part.rule = &model.rules[model.rule_word(index).negator - 1];
    } else if (model.is_rule_word(index)) {
      if (word.choice > 0 && word.choice != kMarksOnly)
        part.rule = &model.rules[word.choice - 1];
      else
        index = model.rule_word(index).base;
    }
    if (part.rule != nullptr) {
      part.text = part.rule->mandarin;
      part.changed = true;
    } else if (index != Segmenter::npos && model.is_entry(index)) {
      const Entry& entry = model.entry(index);
      const std::string_view as_written =
          text.substr(s.text_at[part.begin], s.text_at[part.end] - s.text_at[part.begin]);
      if (entry.value != as_viewed && written_as(as_written, entry.written_cantonese, entry.key)) {
        part.text = entry.value;
        part.entry = &entry;
        part.changed = true;
      }
    }
    s.parts.push_back(part);
  }
}

// Rules whose Mandarin holds … take in the word before (with `join`, and
// the word after when the two make a dictionary word), or with `next` the
// word after.
void take_in_neighbours(const Model& model, Sentence& s) {
  for (std::size_t k = 0; k < s.parts.size(); ++k) {
    Part& part = s.parts[k];
    if (part.rule == nullptr || part.rule->negator ||
        part.rule->mandarin.find(kWordBefore) == std::string::npos)
      continue;
    std::string inner;
    if (part.rule->next) {
      if (k + 1 < s.parts.size() && !s.parts[k + 1].separate) {
        Part& after = s.parts[k + 1];
        inner = after.text;
        after.gone = true;
        part.end = after.end;
      }
    } else if (k > 0 && !s.parts[k - 1].separate && !s.parts[k - 1].gone) {
      Part& before = s.parts[k - 1];
      inner = before.text;
      before.gone = true;
      part.begin = before.begin;
      if (part.rule->join && k + 1 < s.parts.size() && !s.parts[k + 1].separate) {
        Part& after = s.parts[k + 1];
        std::u32string together(s.cps.substr(before.begin, before.end - before.begin));
        together += s.cps.substr(after.begin, after.end - after.begin);
        const std::size_t found = model.segmenter.find(std::u32string_view(together));
        if (found != Segmenter::npos && model.is_entry(found)) {
          inner = model.entry(found).value;
          after.gone = true;
          part.end = after.end;
        }
      }
    }
    std::string& made = s.made.emplace_back(part.rule->mandarin);
    made.replace(made.find(kWordBefore), kWordBefore.size(), inner);
    part.text = made;
  }
}

// A-not-A: X and the negator become the first character of what follows,
// then the negator's Mandarin (記唔記得 -> 记不记得).
void join_a_not_a(Sentence& s) {
  for (std::size_t k = s.parts.size(); k-- > 0;) {
    Part& part = s.parts[k];
    if (part.rule == nullptr || !part.rule->negator) continue;
    std::string& made = s.made.emplace_back();
    for (std::size_t next = k + 1; next < s.parts.size(); ++next) {
      if (s.parts[next].gone) continue;
      const std::string_view following = s.parts[next].text;
      if (!following.empty())
        made = following.substr(0, utf8::sequence_size(static_cast<unsigned char>(following[0])));
      break;
    }
    made += part.rule->mandarin;
    part.text = made;
  }
}

// The output: the words in order, but those whose rule has `front` move to
// the start of their clause's verb phrase.
void put_in_order(Sentence& s) {
  s.order.clear();
  std::size_t clause = 0;  // where the current clause starts in s.order
  for (std::size_t k = 0; k < s.parts.size(); ++k) {
    const Part& part = s.parts[k];
    if (part.gone) continue;
    if (part.separate) {
      s.order.push_back(k);
      clause = s.order.size();
      continue;
    }
    std::size_t at = s.order.size();
    if (part.rule != nullptr && !part.rule->front.empty()) {
      at = clause;
      for (std::size_t o = s.order.size(); o-- > clause;) {
        const Part& earlier = s.parts[s.order[o]];
        const std::u32string_view said =
            std::u32string_view(s.cps).substr(earlier.begin, earlier.end - earlier.begin);
        if (std::any_of(part.rule->front.begin(), part.rule->front.end(),
                        [&](const std::u32string& word) { return said.ends_with(word); })) {
          at = o + 1;
          break;
        }
      }
    }
    s.order.insert(s.order.begin() + static_cast<std::ptrdiff_t>(at), k);
  }
  s.out.clear();
  for (std::size_t k : s.order) s.out += s.parts[k].text;
}

// The Mandarin renderings of the lexicon word `index`: its dictionary
// entry's and those of its rules, each once; empty when it has only one.
std::vector<std::string> senses_of(const Model& model, std::size_t index) {
  std::vector<std::string> senses;
  if (!model.is_rule_word(index)) return senses;
  const Model::RuleWord& word = model.rule_word(index);
  const auto add = [&](const std::string& mandarin) {
    if (std::find(senses.begin(), senses.end(), mandarin) == senses.end())
      senses.push_back(mandarin);
  };
  if (word.base != Segmenter::npos && model.is_entry(word.base)) add(model.entry(word.base).value);
  for (const Model::RuleRef& ref : word.rules) add(model.rules[ref.rule].mandarin);
  if (senses.size() < 2) senses.clear();
  return senses;
}

void report_rewrites(const Model& model, std::string_view text, std::int64_t offset,
                     const Sentence& s, std::vector<cantonese::Rewrite>& rewrites) {
  for (const Part& part : s.parts) {
    if (part.gone || !part.changed) continue;
    cantonese::Rewrite rewrite;
    rewrite.offset = offset + static_cast<std::int64_t>(part.begin);
    rewrite.length = static_cast<std::int64_t>(part.end - part.begin);
    rewrite.text = text.substr(s.text_at[part.begin], s.text_at[part.end] - s.text_at[part.begin]);
    rewrite.mandarin = part.text;
    if (part.rule != nullptr) {
      rewrite.line = part.rule->line;
      rewrite.entry_cantonese = part.rule->written_cantonese;
      rewrite.entry_mandarin = part.rule->written_mandarin;
      rewrite.by_rule = true;
      rewrite.rule = part.rule->written_conditions;
      if (!part.rule->negator) rewrite.senses = senses_of(model, part.index);
    } else {
      rewrite.line = part.entry->line;
      rewrite.entry_cantonese = part.entry->written_cantonese;
      rewrite.entry_mandarin = part.entry->written_mandarin;
      rewrite.senses = senses_of(model, part.index);
    }
    rewrites.push_back(std::move(rewrite));
  }
}

}  // namespace

void translate_sentence(const Model& model, std::string_view text, std::string_view view,
                        std::int64_t offset, Sentence& s,
                        std::vector<cantonese::Rewrite>* rewrites) {
  cut_sentence(model, s);
  render_words(model, text, view, s);
  take_in_neighbours(model, s);
  join_a_not_a(s);
  put_in_order(s);
  if (rewrites != nullptr) report_rewrites(model, text, offset, s, *rewrites);
}

}  // namespace kelvra::nlp::common::lang::internal
