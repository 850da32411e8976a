#include "kelvra/nlp/common/lang/cantoseg.h"

#include <limits>

#include <utf8proc.h>

#include "kelvra/common/exceptions.h"
#include "kelvra/common/utf8.h"

namespace kelvra::nlp::common::lang::cantoseg {

namespace utf8 = kelvra::common::utf8;

namespace {

std::uint64_t key(std::uint32_t node, char32_t cp) {
  return (static_cast<std::uint64_t>(node) << 21) | cp;
}

enum class Kind { kAlnum, kLone, kStretch };

// Letters and digits outside the CJK blocks (and the full-width Latin ones)
// form runs kept whole; white space, punctuation, symbols and controls are
// words of their own; everything else (Chinese characters above all) is cut
// with the lexicon.
Kind kind_of(char32_t cp) {
  if (cp < 0x80) {
    const bool alnum =
        (cp >= U'0' && cp <= U'9') || (cp >= U'a' && cp <= U'z') || (cp >= U'A' && cp <= U'Z');
    return alnum ? Kind::kAlnum : Kind::kLone;
  }
  if ((cp >= 0xFF10 && cp <= 0xFF19) || (cp >= 0xFF21 && cp <= 0xFF3A) ||
      (cp >= 0xFF41 && cp <= 0xFF5A))
    return Kind::kAlnum;
  switch (utf8proc_category(static_cast<utf8proc_int32_t>(cp))) {
    case UTF8PROC_CATEGORY_LU:
    case UTF8PROC_CATEGORY_LL:
    case UTF8PROC_CATEGORY_LT:
    case UTF8PROC_CATEGORY_LM:
    case UTF8PROC_CATEGORY_LO:
    case UTF8PROC_CATEGORY_ND:
    case UTF8PROC_CATEGORY_NL:
    case UTF8PROC_CATEGORY_NO:
      return cp < 0x2E80 ? Kind::kAlnum : Kind::kStretch;
    case UTF8PROC_CATEGORY_MN:
    case UTF8PROC_CATEGORY_MC:
    case UTF8PROC_CATEGORY_ME:
      return Kind::kStretch;
    default:
      return Kind::kLone;
  }
}

}  // namespace

Segmenter::Segmenter(const std::vector<std::string>& words) {
  terminal_.push_back(false);  // the root
  for (const auto& word : words) {
    utf8::require_valid(word, "words");
    if (word.empty()) continue;
    std::uint32_t node = 0;
    std::size_t length = 0;
    for (std::size_t pos = 0; pos < word.size(); ++length) {
      const char32_t cp = utf8::next(word, pos);
      auto [it, fresh] = children_.try_emplace(key(node, cp), static_cast<std::uint32_t>(terminal_.size()));
      if (fresh) terminal_.push_back(false);
      node = it->second;
    }
    if (!terminal_[node]) ++size_;
    terminal_[node] = true;
    if (length > max_length_) max_length_ = length;
  }
}

std::uint32_t Segmenter::child(std::uint32_t node, char32_t cp) const {
  auto it = children_.find(key(node, cp));
  return it == children_.end() ? 0 : it->second;
}

bool Segmenter::contains(std::string_view word) const {
  if (!utf8::is_valid(word) || word.empty()) return false;
  std::uint32_t node = 0;
  for (std::size_t pos = 0; pos < word.size();) {
    node = child(node, utf8::next(word, pos));
    if (node == 0) return false;
  }
  return terminal_[node];
}

std::vector<std::string> Segmenter::cut(std::string_view text) const {
  std::vector<std::string> words;
  for (std::string_view word : cut_views(text)) words.emplace_back(word);
  return words;
}

// Buffers of one cut, reused from stretch to stretch.
struct Segmenter::Scratch {
  std::vector<char32_t> cps;
  std::vector<std::size_t> bytes;  // byte offset of each code point, and of the end
  std::vector<std::uint32_t> best, step;
};

std::vector<std::string_view> Segmenter::cut_views(std::string_view text) const {
  utf8::require_valid(text, "text");
  std::vector<std::string_view> out;
  Scratch scratch;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t begin = pos;
    const Kind kind = kind_of(utf8::next(text, pos));
    if (kind != Kind::kLone) {
      // Extend the run while the kind stays the same.
      while (pos < text.size()) {
        std::size_t probe = pos;
        if (kind_of(utf8::next(text, probe)) != kind) break;
        pos = probe;
      }
    }
    if (kind == Kind::kStretch)
      cut_stretch(text, begin, pos, scratch, out);
    else
      out.push_back(text.substr(begin, pos - begin));
  }
  return out;
}

// Fewest words by dynamic programming from the end of the stretch: best[i]
// is the least number of words that covers code points i..n, and step[i]
// the length of the first word of that cover; ties go to the longer first
// word.
void Segmenter::cut_stretch(std::string_view text, std::size_t begin, std::size_t end,
                            Scratch& scratch, std::vector<std::string_view>& out) const {
  auto& [cps, bytes, best, step] = scratch;
  cps.clear();
  bytes.clear();
  for (std::size_t pos = begin; pos < end;) {
    bytes.push_back(pos);
    cps.push_back(utf8::next(text, pos));
  }
  bytes.push_back(end);
  const std::size_t n = cps.size();
  best.assign(n + 1, 0);
  step.assign(n + 1, 1);
  for (std::size_t i = n; i-- > 0;) {
    std::uint32_t best_cost = best[i + 1] + 1;  // a single code point
    std::uint32_t best_step = 1;
    // Lexicon words starting at i come shortest first, so "<=" lets a longer
    // word win a tie.
    std::uint32_t node = 0;
    for (std::size_t j = i; j < n && j - i < max_length_; ++j) {
      node = child(node, cps[j]);
      if (node == 0) break;
      if (!terminal_[node]) continue;
      const auto length = static_cast<std::uint32_t>(j - i + 1);
      if (best[i + length] + 1 <= best_cost) {
        best_cost = best[i + length] + 1;
        best_step = length;
      }
    }
    best[i] = best_cost;
    step[i] = best_step;
  }
  for (std::size_t i = 0; i < n; i += step[i]) out.push_back(text.substr(bytes[i], bytes[i + step[i]] - bytes[i]));
}

}  // namespace kelvra::nlp::common::lang::cantoseg
