// The Cantonese word segmenter: cuts text into words with a lexicon,
// choosing the segmentation with the fewest words.
//
//   Segmenter segmenter({"佢哋", "而家", "喺", "邊度", "食緊飯"});
//   auto words = segmenter.cut("佢哋而家喺邊度食緊飯？");
//   // {"佢哋", "而家", "喺", "邊度", "食緊飯", "？"}
//
// The text is cut into stretches:
//  - a run of letters and digits outside the CJK blocks (Latin, Greek,
//    Cyrillic, ..., and the full-width Latin letters and digits) is one word;
//  - white space, punctuation, symbols and control characters are one word
//    per code point;
//  - every other run (Chinese characters above all) is cut into lexicon
//    words and single code points so that the number of words is the
//    smallest. Among equally short segmentations, the one that covers more
//    code points with words of more than one code point that stand as
//    Marked wins, then the one that covers fewer code points with words
//    that stand as Ambiguous, then the one with the longer first word, then
//    the longer second word, and so on. Such a run is cut every 65,536 code
//    points first, which bounds the work memory whatever the text.
// Lexicon words are therefore found only inside runs of the third kind:
// words holding letters, digits, blanks or punctuation are never matched.
// The words' concatenation is always exactly the text: nothing is dropped,
// changed or reordered, and no word is empty.
//
// A Segmenter is immutable after construction; one instance serves any
// number of threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kelvra::nlp::common::lang::cantoseg {

// How a lexicon word weighs against others when two segmentations have the
// same number of words (see above). The translator marks words that only
// Cantonese uses, so that they win over Mandarin words that happen to
// overlap them, and rewrites made of characters Mandarin uses too, so that
// Mandarin words win over them.
enum class Standing : std::uint8_t { kPlain, kMarked, kAmbiguous };

// A lexicon word and its standing. The segmenter reads `word` while it is
// built and keeps nothing of it.
struct Lexeme {
  std::string_view word;
  Standing standing = Standing::kPlain;
};

class Segmenter {
 public:
  // A word of a cut, a slice of the text, with the position in the lexicon
  // of the lexicon word it is (the last of equal words), or npos.
  struct Piece {
    std::string_view text;
    std::size_t index;
  };
  static constexpr std::size_t npos = static_cast<std::size_t>(-1);

  // `words`: the lexicon, all Plain, valid UTF-8 each (TypeError naming
  // `words` otherwise); empty strings are ignored, and of equal words the
  // last counts.
  explicit Segmenter(const std::vector<std::string>& words);
  // The same with a standing for each word.
  explicit Segmenter(const std::vector<Lexeme>& lexicon);

  // The words of `text` in order (see above). TypeError naming `text` when
  // it is not valid UTF-8. An empty text gives no words.
  std::vector<std::string> cut(std::string_view text) const;

  // The same words as slices of `text`, which must outlive them.
  std::vector<std::string_view> cut_views(std::string_view text) const;

  // The same words with their lexicon positions; appends to `out`.
  void cut_pieces(std::string_view text, std::vector<Piece>& out) const;

  // The lexicon position of `word`, or npos when it is not a lexicon word
  // (or not valid UTF-8).
  std::size_t find(std::string_view word) const;
  // True when `word` is in the lexicon.
  bool contains(std::string_view word) const { return find(word) != npos; }
  // Number of distinct lexicon words.
  std::size_t size() const noexcept { return size_; }

 private:
  // Room for a lexicon of `words` words of `bytes` bytes in all, and the root.
  void reserve(std::size_t bytes, std::size_t words);
  void add(std::string_view word, std::size_t index, Standing standing);
  // Child of trie node `node` along code point `cp`, or 0 (the root is
  // never a child).
  std::uint32_t child(std::uint32_t node, char32_t cp) const;
  struct Scratch;
  void cut_stretch(std::string_view text, std::size_t begin, std::size_t end, Scratch& scratch,
                   std::vector<Piece>& out) const;

  // Adds the child `next` of `node` along `cp`, which has none yet.
  void add_child(std::uint32_t node, char32_t cp, std::uint32_t next);
  // The slot where a probe for edge key `k` starts, and the first free one
  // from there.
  std::size_t home_slot(std::uint64_t k) const;
  std::size_t free_slot(std::uint64_t k) const;

  // The root's children by code point for the Basic Multilingual Plane,
  // where nearly every walk starts.
  std::vector<std::uint32_t> root_children_;
  // Every other child, in an open-addressing table (linear probing, at most
  // half full) keyed by (node, code point): one allocation for the whole
  // trie, so building and freeing a large lexicon stays cheap.
  std::vector<std::uint64_t> edge_keys_;   // 0: a free slot (no edge has key 0)
  std::vector<std::uint32_t> edge_nodes_;  // the child, beside its key
  std::size_t edge_count_ = 0;
  unsigned edge_shift_ = 64;  // 64 - log2(edge_keys_.size())
  // Per node: the lexicon position of the word it ends, or kNoWord.
  static constexpr std::uint32_t kNoWord = 0xFFFFFFFF;
  std::vector<std::uint32_t> word_index_;
  std::vector<Standing> standing_;  // per node: the standing of that word
  std::size_t word_at(std::uint32_t node) const {
    return word_index_[node] == kNoWord ? npos : word_index_[node];
  }
  std::size_t max_length_ = 0;           // longest word, code points
  std::size_t size_ = 0;
};

}  // namespace kelvra::nlp::common::lang::cantoseg
