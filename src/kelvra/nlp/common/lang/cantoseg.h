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
//    smallest; among equally short segmentations the one with the longer
//    first word wins, then the longer second word, and so on.
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
#include <unordered_map>
#include <vector>

namespace kelvra::nlp::common::lang::cantoseg {

class Segmenter {
 public:
  // `words`: the lexicon, valid UTF-8 each (TypeError naming `words`
  // otherwise); empty strings and repeats are ignored.
  explicit Segmenter(const std::vector<std::string>& words);

  // The words of `text` in order (see above). TypeError naming `text` when
  // it is not valid UTF-8. An empty text gives no words.
  std::vector<std::string> cut(std::string_view text) const;

  // The same words as slices of `text`, which must outlive them.
  std::vector<std::string_view> cut_views(std::string_view text) const;

  // True when `word` is in the lexicon.
  bool contains(std::string_view word) const;
  // Number of distinct lexicon words.
  std::size_t size() const noexcept { return size_; }

 private:
  // Child of trie node `node` along code point `cp`, or 0 (the root is
  // never a child).
  std::uint32_t child(std::uint32_t node, char32_t cp) const;
  struct Scratch;
  void cut_stretch(std::string_view text, std::size_t begin, std::size_t end, Scratch& scratch,
                   std::vector<std::string_view>& out) const;

  std::unordered_map<std::uint64_t, std::uint32_t> children_;  // (node, cp) -> node
  std::vector<bool> terminal_;                                 // node ends a word
  std::size_t max_length_ = 0;                                 // longest word, code points
  std::size_t size_ = 0;
};

}  // namespace kelvra::nlp::common::lang::cantoseg
