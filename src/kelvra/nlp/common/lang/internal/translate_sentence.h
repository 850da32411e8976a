// The translation of one sentence, in phases: decide whether it is
// Cantonese and cut it into words, render each word, let rules take in
// their neighbours, join A-not-A questions, put the words in output order,
// and report the rewrites. Internal to the cantonese module.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "kelvra/nlp/common/lang/cantonese.h"
#include "kelvra/nlp/common/lang/cantoseg.h"
#include "kelvra/nlp/common/lang/internal/model.h"

namespace kelvra::nlp::common::lang::internal {

// A word of a sentence on its way out: what it becomes, and what made it.
struct Part {
  std::string_view text;  // its output
  std::size_t begin = 0;  // code points of the sentence it covers
  std::size_t end = 0;
  const Entry* entry = nullptr;  // the entry or rule that changed it
  const Rule* rule = nullptr;
  std::size_t index = cantoseg::Segmenter::npos;  // its lexicon position
  bool separate = false;                          // punctuation, white space and the like
  bool gone = false;                              // taken into a neighbour
  bool changed = false;
};

// One sentence and the buffers of its translation, reused from sentence to
// sentence of a translate call.
struct Sentence {
  // Filled by the caller: the sentence in simplified characters and as the
  // text writes it, and the byte offset of each code point (and of the end)
  // in the simplified view of the text and in the text.
  std::u32string cps;
  std::u32string written;
  std::vector<std::size_t> view_at;
  std::vector<std::size_t> text_at;

  // The phases' work.
  std::vector<std::uint8_t> guard;
  std::vector<cantoseg::Segmenter::Word> words;
  std::vector<Part> parts;
  std::vector<std::size_t> order;  // parts in output order
  std::deque<std::string> made;    // Mandarin put together for this sentence
  std::string out;                 // the translation
  cantoseg::Segmenter::Workspace workspace;
};

// Translates the sentence that `s` holds, which starts `offset` code points
// into `text` (`view`: the text's simplified view): its output into s.out,
// its rewrites appended to `rewrites` when given.
void translate_sentence(const Model& model, std::string_view text, std::string_view view,
                        std::int64_t offset, Sentence& s,
                        std::vector<cantonese::Rewrite>* rewrites);

}  // namespace kelvra::nlp::common::lang::internal
