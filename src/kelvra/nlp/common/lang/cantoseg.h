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
//    per code point (is_separate() says which);
//  - every other run (Chinese characters above all) is cut into lexicon
//    words and single code points so that the number of words is the
//    smallest. Among equally short segmentations, the one that covers more
//    code points with words of more than one code point that stand as
//    Marked wins, then the one that covers fewer code points with words
//    that stand as Ambiguous (more, with Options::prefer_ambiguous), then
//    the one with the longer first word, then the longer second word, and
//    so on. Such a run is cut every 65,536 code points first, which bounds
//    the work memory whatever the text.
// Lexicon words are therefore found only inside runs of the third kind:
// words holding letters, digits, blanks or punctuation are never matched.
// The words' concatenation is always exactly the text: nothing is dropped,
// changed or reordered, and no word is empty.
//
// Three kinds of lexicon words take part in the cut only where the caller
// lets them (see cut()):
//  - a conditional word asks the caller's Judge how it stands at each place
//    it could be cut, or whether it may be a word there at all;
//  - a negator of one code point (唔) makes A-not-A questions: a code point,
//    the negator and the same code point again (記唔記得) give the first two
//    as one word, paired with what follows, and a word that starts with the
//    negator cannot start between the two equal code points;
//  - a guarded word (the translator's Mandarin words) never covers a code
//    point that Options::guard marks 1, nor takes in one it marks 2 together
//    with the code point before it.
//
// A Segmenter is immutable after construction; one instance serves any
// number of threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
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
  bool conditional = false;  // asks the Judge where it may stand
  bool negator = false;      // one code point that makes A-not-A questions
  bool guarded = false;      // never covers a code point Options::guard marks
};

// How a conditional word stands at one place: its standing there, and a
// number of the judge's own that the cut hands back with the word.
struct Verdict {
  Standing standing = Standing::kPlain;
  std::uint32_t choice = 0;
};

// Decides for conditional words. Called during cut() only for words added
// as conditional, with the code point range the word would cover in the
// span being cut.
class Judge {
 public:
  virtual ~Judge() = default;
  // How lexicon word `index` stands at [begin, end), or nullopt when it is
  // no word there (a word of one code point then stays a single code point
  // outside the lexicon).
  virtual std::optional<Verdict> judge(std::size_t index, std::size_t begin,
                                       std::size_t end) const = 0;
};

class Segmenter {
  struct Scratch;  // the buffers of one cut

 public:
  // A word of a cut, a slice of the text, with the position in the lexicon
  // of the lexicon word it is (the last of equal words), or npos.
  struct Piece {
    std::string_view text;
    std::size_t index;
  };
  // A word of a cut of code points: where it lies in the span, its lexicon
  // position (or npos), the judge's choice for a conditional word (0
  // otherwise), and whether it is the first half of an A-not-A question
  // (a code point and the negator; `index` is the negator's).
  struct Word {
    std::size_t begin;
    std::size_t length;
    std::size_t index;
    std::uint32_t choice;
    bool paired;
  };
  // How one cut goes.
  struct Options {
    // Among equally short cuts, the one covering more code points with
    // Ambiguous words wins (rather than fewer).
    bool prefer_ambiguous = false;
    // One flag per code point of the span, or null: 1 where guarded words
    // may not reach, 2 where they may only begin.
    const std::uint8_t* guard = nullptr;
    // Decides for conditional words; without one they are plain words.
    const Judge* judge = nullptr;
  };
  static constexpr std::size_t npos = static_cast<std::size_t>(-1);

  // `words`: the lexicon, all Plain, valid UTF-8 each (TypeError naming
  // `words` otherwise); empty strings are ignored, and of equal words the
  // last counts.
  explicit Segmenter(const std::vector<std::string>& words);
  // The same with a standing for each word. TypeError naming `words` also
  // for a negator that is not one code point.
  explicit Segmenter(const std::vector<Lexeme>& lexicon);

  // The words of `text` in order (see above). TypeError naming `text` when
  // it is not valid UTF-8. An empty text gives no words.
  std::vector<std::string> cut(std::string_view text) const;

  // The same words as slices of `text`, which must outlive them.
  std::vector<std::string_view> cut_views(std::string_view text) const;

  // The same words with their lexicon positions; appends to `out`.
  void cut_pieces(std::string_view text, std::vector<Piece>& out) const;

  // Buffers that cut() reuses from call to call, so that cutting many short
  // spans allocates nothing; one per thread.
  class Workspace {
   public:
    Workspace();
    ~Workspace();
    Workspace(Workspace&&) noexcept;
    Workspace& operator=(Workspace&&) noexcept;

   private:
    friend class Segmenter;
    std::unique_ptr<Scratch> scratch_;
  };

  // The words of a span of code points, appended to `out`; positions count
  // from the span's start.
  void cut(std::u32string_view span, const Options& options, std::vector<Word>& out) const;
  void cut(std::u32string_view span, const Options& options, std::vector<Word>& out,
           Workspace& workspace) const;

  // True for code points that are words of their own: white space,
  // punctuation, symbols and control characters.
  static bool is_separate(char32_t cp);

  // The lexicon position of `word`, or npos when it is not a lexicon word
  // (or not valid UTF-8).
  std::size_t find(std::string_view word) const;
  // The same for a word given as code points.
  std::size_t find(std::u32string_view word) const;
  // True when `word` is in the lexicon.
  bool contains(std::string_view word) const { return find(word) != npos; }
  // Number of distinct lexicon words.
  std::size_t size() const noexcept { return size_; }

 private:
  // Room for a lexicon of `words` words of `bytes` bytes in all, and the root.
  void reserve(std::size_t bytes, std::size_t words);
  void add(const Lexeme& lexeme, std::size_t index);
  // The trie node where `word` ends, or 0.
  std::uint32_t node_of(std::u32string_view word) const;
  // Child of trie node `node` along code point `cp`, or 0 (the root is
  // never a child).
  std::uint32_t child(std::uint32_t node, char32_t cp) const;
  void cut_stretch(std::u32string_view span, std::size_t begin, std::size_t end,
                   const Options& options, Scratch& scratch, std::vector<Word>& out) const;

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
  // Per node: kConditional, kNegator and kGuarded of that word.
  static constexpr std::uint8_t kConditional = 1, kNegator = 2, kGuarded = 4;
  std::vector<std::uint8_t> flags_;
  std::size_t word_at(std::uint32_t node) const {
    return word_index_[node] == kNoWord ? npos : word_index_[node];
  }
  std::size_t max_length_ = 0;  // longest word, code points
  std::size_t size_ = 0;
};

}  // namespace kelvra::nlp::common::lang::cantoseg
