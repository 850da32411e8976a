#include "kelvra/nlp/common/lang/cantoseg.h"

#include <algorithm>
#include <bit>
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
  // The CJK Unified Ideographs, most of what is cut, need no category.
  if (cp >= 0x4E00 && cp <= 0x9FFF) return Kind::kStretch;
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

constexpr std::size_t kRootSpan = 0x10000;  // code points with a direct root entry
// The longest run cut at once; longer runs are cut in windows of this size.
constexpr std::size_t kWindow = 1 << 16;

struct Cost {
  std::uint32_t words = 0;
  std::uint32_t marked = 0;     // code points in Marked words of more than one code point
  std::uint32_t ambiguous = 0;  // code points in Ambiguous words

  Cost plus(Standing standing, std::uint32_t length) const {
    Cost sum = *this;
    ++sum.words;
    if (standing == Standing::kMarked && length > 1) sum.marked += length;
    if (standing == Standing::kAmbiguous) sum.ambiguous += length;
    return sum;
  }
  // True when this cover is better than `other`.
  bool better_than(const Cost& other, bool prefer_ambiguous) const {
    if (words != other.words) return words < other.words;
    if (marked != other.marked) return marked > other.marked;
    return prefer_ambiguous ? ambiguous > other.ambiguous : ambiguous < other.ambiguous;
  }
};

}  // namespace

Segmenter::Segmenter(const std::vector<std::string>& words) : root_children_(kRootSpan, 0) {
  std::size_t bytes = 0;
  for (const auto& word : words) bytes += word.size();
  reserve(bytes, words.size());
  for (std::size_t i = 0; i < words.size(); ++i) add(Lexeme{words[i]}, i);
}

Segmenter::Segmenter(const std::vector<Lexeme>& lexicon) : root_children_(kRootSpan, 0) {
  std::size_t bytes = 0;
  for (const auto& lexeme : lexicon) bytes += lexeme.word.size();
  reserve(bytes, lexicon.size());
  for (std::size_t i = 0; i < lexicon.size(); ++i) add(lexicon[i], i);
}

void Segmenter::reserve(std::size_t bytes, std::size_t words) {
  // Chinese words take three bytes a code point: a lexicon of them has
  // about bytes / 3 nodes, one per word hanging from the root's array.
  if (words >= kNoWord) throw kelvra::common::TypeError("words", "the lexicon is too large");
  const std::size_t nodes = bytes / 3 + 1;
  word_index_.reserve(nodes);
  standing_.reserve(nodes);
  flags_.reserve(nodes);
  word_index_.push_back(kNoWord);  // the root
  standing_.push_back(Standing::kPlain);
  flags_.push_back(0);
  const std::size_t edges = nodes > words ? nodes - words : 0;
  if (edges > 512) {
    edge_keys_.resize(std::bit_ceil(2 * edges));
    edge_nodes_.resize(edge_keys_.size());
    edge_shift_ = 64 - static_cast<unsigned>(std::countr_zero(edge_keys_.size()));
  }
}

void Segmenter::add(const Lexeme& lexeme, std::size_t index) {
  const std::string_view word = lexeme.word;
  utf8::require_valid(word, "words");
  if (word.empty()) return;
  std::uint32_t node = 0;
  std::size_t length = 0;
  for (std::size_t pos = 0; pos < word.size(); ++length) {
    const char32_t cp = utf8::next(word, pos);
    std::uint32_t next = child(node, cp);
    if (next == 0) {
      if (word_index_.size() >= std::numeric_limits<std::uint32_t>::max())
        throw kelvra::common::TypeError("words", "the lexicon is too large");
      next = static_cast<std::uint32_t>(word_index_.size());
      word_index_.push_back(kNoWord);
      standing_.push_back(Standing::kPlain);
      flags_.push_back(0);
      add_child(node, cp, next);
    }
    node = next;
  }
  if (lexeme.negator && length != 1)
    throw kelvra::common::TypeError("words",
                                    "a negator must be one code point: " + std::string(word));
  if (word_index_[node] == kNoWord) ++size_;
  word_index_[node] = static_cast<std::uint32_t>(index);
  standing_[node] = lexeme.standing;
  flags_[node] =
      static_cast<std::uint8_t>((lexeme.conditional ? kConditional : 0) |
                                (lexeme.negator ? kNegator : 0) | (lexeme.guarded ? kGuarded : 0));
  if (length > max_length_) max_length_ = length;
}

void Segmenter::add_child(std::uint32_t node, char32_t cp, std::uint32_t next) {
  if (node == 0 && cp < kRootSpan) {
    root_children_[cp] = next;
    return;
  }
  if (2 * (edge_count_ + 1) > edge_keys_.size()) {
    // Double the table (at least 1,024 slots) and put every edge back.
    std::vector<std::uint64_t> old_keys(std::max<std::size_t>(1024, 2 * edge_keys_.size()));
    std::vector<std::uint32_t> old_nodes(old_keys.size());
    old_keys.swap(edge_keys_);
    old_nodes.swap(edge_nodes_);
    edge_shift_ = 64 - static_cast<unsigned>(std::countr_zero(edge_keys_.size()));
    for (std::size_t i = 0; i < old_keys.size(); ++i)
      if (old_keys[i] != 0) {
        const std::size_t slot = free_slot(old_keys[i]);
        edge_keys_[slot] = old_keys[i];
        edge_nodes_[slot] = old_nodes[i];
      }
  }
  const std::uint64_t k = key(node, cp);
  const std::size_t slot = free_slot(k);
  edge_keys_[slot] = k;
  edge_nodes_[slot] = next;
  ++edge_count_;
}

std::size_t Segmenter::home_slot(std::uint64_t k) const {
  // Fibonacci hashing: the product's top bits spread nearby keys apart.
  return static_cast<std::size_t>((k * 0x9E3779B97F4A7C15ULL) >> edge_shift_);
}

std::size_t Segmenter::free_slot(std::uint64_t k) const {
  const std::size_t mask = edge_keys_.size() - 1;
  std::size_t i = home_slot(k);
  while (edge_keys_[i] != 0) i = (i + 1) & mask;
  return i;
}

std::uint32_t Segmenter::child(std::uint32_t node, char32_t cp) const {
  if (node == 0 && cp < kRootSpan) return root_children_[cp];
  if (edge_keys_.empty()) return 0;
  const std::uint64_t k = key(node, cp);
  const std::size_t mask = edge_keys_.size() - 1;
  // The table is at most half full, so a free slot ends every probe.
  for (std::size_t i = home_slot(k);; i = (i + 1) & mask) {
    if (edge_keys_[i] == k) return edge_nodes_[i];
    if (edge_keys_[i] == 0) return 0;
  }
}

std::size_t Segmenter::find(std::string_view word) const {
  if (word.empty() || !utf8::is_valid(word)) return npos;
  std::uint32_t node = 0;
  for (std::size_t pos = 0, length = 0; pos < word.size(); ++length) {
    if (length == max_length_) return npos;
    node = child(node, utf8::next(word, pos));
    if (node == 0) return npos;
  }
  return word_at(node);
}

std::size_t Segmenter::find(std::u32string_view word) const {
  const std::uint32_t node = node_of(word);
  return node == 0 ? npos : word_at(node);
}

std::uint32_t Segmenter::node_of(std::u32string_view word) const {
  if (word.empty() || word.size() > max_length_) return 0;
  std::uint32_t node = 0;
  for (char32_t cp : word) {
    node = child(node, cp);
    if (node == 0) return 0;
  }
  return node;
}

bool Segmenter::is_separate(char32_t cp) { return kind_of(cp) == Kind::kLone; }

std::vector<std::string> Segmenter::cut(std::string_view text) const {
  std::vector<std::string> words;
  for (std::string_view word : cut_views(text)) words.emplace_back(word);
  return words;
}

std::vector<std::string_view> Segmenter::cut_views(std::string_view text) const {
  std::vector<Piece> pieces;
  cut_pieces(text, pieces);
  std::vector<std::string_view> views;
  views.reserve(pieces.size());
  for (const Piece& piece : pieces) views.push_back(piece.text);
  return views;
}

void Segmenter::cut_pieces(std::string_view text, std::vector<Piece>& out) const {
  utf8::require_valid(text, "text");
  std::u32string span;
  std::vector<std::size_t> bytes;  // byte offset of each code point, and of the end
  for (std::size_t pos = 0; pos < text.size();) {
    bytes.push_back(pos);
    span.push_back(utf8::next(text, pos));
  }
  bytes.push_back(text.size());
  std::vector<Word> words;
  cut(span, Options{}, words);
  for (const Word& word : words)
    out.push_back(
        {text.substr(bytes[word.begin], bytes[word.begin + word.length] - bytes[word.begin]),
         word.index});
}

// Buffers of one cut, reused from stretch to stretch.
struct Segmenter::Scratch {
  std::vector<Cost> best;
  std::vector<std::uint32_t> step;
  std::vector<std::size_t> index;  // lexicon position of the first word of the best cover
  std::vector<std::uint32_t> choice;
  std::vector<std::uint8_t> paired;
  std::vector<std::uint32_t>
      next_guard;  // the first code point from here on that no guarded word may cover
  std::vector<std::uint32_t> next_cut;  // ... that they may not take in with the one before it
};

Segmenter::Workspace::Workspace() : scratch_(std::make_unique<Scratch>()) {}
Segmenter::Workspace::~Workspace() = default;
Segmenter::Workspace::Workspace(Workspace&&) noexcept = default;
Segmenter::Workspace& Segmenter::Workspace::operator=(Workspace&&) noexcept = default;

void Segmenter::cut(std::u32string_view span, const Options& options,
                    std::vector<Word>& out) const {
  Workspace workspace;
  cut(span, options, out, workspace);
}

void Segmenter::cut(std::u32string_view span, const Options& options, std::vector<Word>& out,
                    Workspace& workspace) const {
  Scratch& scratch = *workspace.scratch_;
  std::size_t pos = 0;
  while (pos < span.size()) {
    const std::size_t begin = pos;
    const Kind kind = kind_of(span[pos++]);
    if (kind != Kind::kLone) {
      // Extend the run while the kind stays the same.
      while (pos < span.size() && kind_of(span[pos]) == kind) {
        if (kind == Kind::kStretch && pos - begin == kWindow) break;
        ++pos;
      }
    }
    if (kind == Kind::kStretch) {
      cut_stretch(span, begin, pos, options, scratch, out);
      continue;
    }
    // A run of letters and digits, or a code point of its own: a lexicon
    // word when it is one whole, unless the judge says it is none here.
    const std::uint32_t node = node_of(span.substr(begin, pos - begin));
    std::size_t index = node == 0 ? npos : word_at(node);
    std::uint32_t choice = 0;
    if (index != npos && (flags_[node] & kConditional) && options.judge != nullptr) {
      if (const auto judged = options.judge->judge(index, begin, pos))
        choice = judged->choice;
      else
        index = npos;
    }
    out.push_back({begin, pos - begin, index, choice, false});
  }
}

// Best cover by dynamic programming from the end of the stretch: best[i] is
// the cost of the best cover of code points i..n, step[i] the length of its
// first word and index[i] that word's lexicon position. Lexicon words
// starting at i come shortest first, so taking a candidate that is not worse
// lets a longer word win a tie.
void Segmenter::cut_stretch(std::u32string_view span, std::size_t begin, std::size_t end,
                            const Options& options, Scratch& scratch,
                            std::vector<Word>& out) const {
  auto& [best, step, index, choice, paired, next_guard, next_cut] = scratch;
  const std::u32string_view cps = span.substr(begin, end - begin);
  const std::size_t n = cps.size();
  const bool prefer = options.prefer_ambiguous;
  best.assign(n + 1, Cost{});
  step.assign(n + 1, 1);
  index.assign(n + 1, npos);
  choice.assign(n + 1, 0);
  paired.assign(n + 1, 0);
  if (options.guard != nullptr) {
    next_guard.assign(n + 1, static_cast<std::uint32_t>(n));
    next_cut.assign(n + 1, static_cast<std::uint32_t>(n));
    for (std::size_t i = n; i-- > 0;) {
      next_guard[i] =
          options.guard[begin + i] == 1 ? static_cast<std::uint32_t>(i) : next_guard[i + 1];
      next_cut[i] = options.guard[begin + i] == 2 ? static_cast<std::uint32_t>(i) : next_cut[i + 1];
    }
  }
  // How the word ending at trie node `node` stands over [i, i + length), or
  // nullopt when the judge says it is no word there.
  const auto verdict = [&](std::uint32_t node, std::size_t i,
                           std::size_t length) -> std::optional<Verdict> {
    if (!(flags_[node] & kConditional) || options.judge == nullptr)
      return Verdict{standing_[node], 0};
    return options.judge->judge(word_at(node), begin + i, begin + i + length);
  };
  for (std::size_t i = n; i-- > 0;) {
    // A single code point, a lexicon word or not (the root ends no word).
    std::uint32_t node = child(0, cps[i]);
    Verdict single{standing_[node], 0};
    std::size_t single_index = word_at(node);
    if (node != 0) {
      if (auto judged = verdict(node, i, 1)) {
        single = *judged;
      } else {
        single = Verdict{};
        single_index = npos;
      }
    }
    Cost best_cost = best[i + 1].plus(single.standing, 1);
    std::uint32_t best_step = 1;
    std::size_t best_index = single_index;
    std::uint32_t best_choice = single.choice;
    bool best_paired = false;
    // X and the negator before X again: one word, paired with what follows.
    if (i + 2 < n && cps[i + 2] == cps[i] && cps[i + 1] != cps[i]) {
      const std::uint32_t negator = child(0, cps[i + 1]);
      if (negator != 0 && (flags_[negator] & kNegator)) {
        const Cost cost = best[i + 2].plus(Standing::kMarked, 2);
        if (!best_cost.better_than(cost, prefer)) {
          best_cost = cost;
          best_step = 2;
          best_index = word_at(negator);
          best_choice = 0;
          best_paired = true;
        }
      }
    }
    // The negator between two equal code points starts no longer word.
    const bool between_equals =
        (flags_[node] & kNegator) && i > 0 && i + 1 < n && cps[i - 1] == cps[i + 1];
    for (std::size_t j = i + 1; node != 0 && !between_equals && j < n && j - i < max_length_; ++j) {
      node = child(node, cps[j]);
      if (node == 0) break;
      if (word_index_[node] == kNoWord) continue;
      const auto length = static_cast<std::uint32_t>(j - i + 1);
      if ((flags_[node] & kGuarded) && options.guard != nullptr &&
          (next_guard[i] < i + length || next_cut[i + 1] < i + length))
        continue;
      const auto judged = verdict(node, i, length);
      if (!judged) continue;
      const Cost cost = best[i + length].plus(judged->standing, length);
      if (!best_cost.better_than(cost, prefer)) {
        best_cost = cost;
        best_step = length;
        best_index = word_at(node);
        best_choice = judged->choice;
        best_paired = false;
      }
    }
    best[i] = best_cost;
    step[i] = best_step;
    index[i] = best_index;
    choice[i] = best_choice;
    paired[i] = best_paired;
  }
  for (std::size_t i = 0; i < n; i += step[i])
    out.push_back({begin + i, step[i], index[i], choice[i], paired[i] != 0});
}

}  // namespace kelvra::nlp::common::lang::cantoseg
