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

// Letters and digits that form runs kept whole: everything of the letter
// and number categories below the CJK blocks, and the full-width Latin
// letters and digits.
bool is_alnum(char32_t cp) {
  if (cp < 0x80)
    return (cp >= U'0' && cp <= U'9') || (cp >= U'a' && cp <= U'z') || (cp >= U'A' && cp <= U'Z');
  if ((cp >= 0xFF10 && cp <= 0xFF19) || (cp >= 0xFF21 && cp <= 0xFF3A) ||
      (cp >= 0xFF41 && cp <= 0xFF5A))
    return true;
  if (cp >= 0x2E80) return false;
  switch (utf8proc_category(static_cast<utf8proc_int32_t>(cp))) {
    case UTF8PROC_CATEGORY_LU:
    case UTF8PROC_CATEGORY_LL:
    case UTF8PROC_CATEGORY_LT:
    case UTF8PROC_CATEGORY_LM:
    case UTF8PROC_CATEGORY_LO:
    case UTF8PROC_CATEGORY_ND:
    case UTF8PROC_CATEGORY_NL:
    case UTF8PROC_CATEGORY_NO:
      return true;
    default:
      return false;
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

std::vector<std::string_view> Segmenter::cut_views(std::string_view text) const {
  utf8::require_valid(text, "text");
  std::vector<std::string_view> out;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t begin = pos;
    std::size_t after = pos;
    const bool alnum = is_alnum(utf8::next(text, after));
    // Extend the stretch while the kind stays the same.
    pos = after;
    while (pos < text.size()) {
      std::size_t probe = pos;
      if (is_alnum(utf8::next(text, probe)) != alnum) break;
      pos = probe;
    }
    if (alnum)
      out.push_back(text.substr(begin, pos - begin));
    else
      cut_stretch(text, begin, pos, out);
  }
  return out;
}

// Fewest words by dynamic programming from the end of the stretch: best[i]
// is the least number of words that covers code points i..n. Candidates at
// i are tried longest first and replaced only by a strictly better one, so
// ties go to the longer first word.
void Segmenter::cut_stretch(std::string_view text, std::size_t begin, std::size_t end,
                            std::vector<std::string_view>& out) const {
  thread_local std::vector<char32_t> cps;
  thread_local std::vector<std::size_t> bytes;  // byte offset of each code point, and of the end
  thread_local std::vector<std::uint32_t> best, step;
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
    std::uint32_t best_cost = best[i + 1] + 1;
    std::uint32_t best_step = 1;
    // Lexicon words starting at i, shortest first; remember the lengths.
    std::uint32_t lengths[64];
    std::size_t count = 0;
    std::uint32_t node = 0;
    for (std::size_t j = i; j < n && j - i < max_length_; ++j) {
      node = child(node, cps[j]);
      if (node == 0) break;
      if (terminal_[node] && count < 64) lengths[count++] = static_cast<std::uint32_t>(j - i + 1);
    }
    for (std::size_t k = count; k-- > 0;) {
      const std::uint32_t cost = best[i + lengths[k]] + 1;
      if (cost < best_cost || (cost == best_cost && lengths[k] > best_step)) {
        best_cost = cost;
        best_step = lengths[k];
      }
    }
    best[i] = best_cost;
    step[i] = best_step;
  }
  for (std::size_t i = 0; i < n; i += step[i]) out.push_back(text.substr(bytes[i], bytes[i + step[i]] - bytes[i]));
}

}  // namespace kelvra::nlp::common::lang::cantoseg
