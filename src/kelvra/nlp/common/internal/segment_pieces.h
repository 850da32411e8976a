// The segments of a long text whose sentences are found on several
// threads (sentence_pieces.h), exactly those of the walk over the whole text
// on one: what Sectioner::split runs when given more than one thread, and
// the command line's section.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "kelvra/nlp/common/internal/sentence_pieces.h"
#include "kelvra/nlp/common/sectioner.h"

namespace kelvra::nlp::common::internal {

using sectioner::Sectioner;
using sectioner::SegmentSpan;

// The segments of a long text whose sentences are found in pieces. Each
// worker also packs its piece's sentences into segments, as if a segment
// began with the piece (pack_guess). Then, in order, the segment still open
// at the end of the piece before is packed on with the piece's sentences
// until a segment ends where one of the worker's ends: both packings go on
// alike from there (as they do after any sentence longer than `length`).
// Only the sentences before that point are packed twice.
class SegmentsInPieces {
 public:
  SegmentsInPieces(const Sectioner& sectioner, std::string_view text, std::int64_t length)
      : sectioner_(sectioner), text_(text), length_(length) {}

  // On a worker, after the walk: fills piece.segments, offsets counted from
  // the piece's first sentence.
  void pack_guess(TextPiece& piece) const;

  // In order, for each resolved piece (`held`: its sentences are those the
  // worker packed): the segments that are now final, offsets counted from
  // the text's start. The last one may stay open, for the next piece.
  std::vector<SegmentSpan> resolve(TextPiece& piece, bool held);

  // The segment left open, after the last piece.
  std::vector<SegmentSpan> finish();

 private:
  const Sectioner& sectioner_;
  std::string_view text_;
  std::int64_t length_;
  std::optional<SegmentSpan> open_;  // the last segment, while it may still grow
};

// The spans of sectioner.for_each_segment(text, length), with the text's
// sentences found on `threads` threads of `pool` when it is long enough,
// else on this one. Failures as for_each_segment's.
std::vector<SegmentSpan> segments_in_pieces(const Sectioner& sectioner, std::string_view text,
                                            std::int64_t length, ThreadPool& pool,
                                            std::int64_t threads,
                                            std::size_t piece_bytes = kPieceBytes);

}  // namespace kelvra::nlp::common::internal
