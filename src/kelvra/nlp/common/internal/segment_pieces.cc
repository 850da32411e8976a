#include "kelvra/nlp/common/internal/segment_pieces.h"

#include <utility>

#include "kelvra/common/utf8.h"

namespace kelvra::nlp::common::internal {

namespace {

// Packs the sentences `sentences(emit)` gives into segments of `text`.
template <class Sentences, class Visit>
void pack(const Sectioner& sectioner, std::string_view text, std::int64_t length,
          const Sentences& sentences, const Visit& visit) {
  sectioner.for_each_segment(
      text, length, [&](const auto& emit) { sentences(emit); }, visit);
}

}  // namespace

void SegmentsInPieces::pack_guess(TextPiece& piece) const {
  pack(
      sectioner_, text_, length_,
      [&](const auto& emit) {
        for (const SentenceSpan& s : piece.sentences) emit(s);
      },
      [&](const SegmentSpan& segment) { piece.segments.push_back(segment); });
}

std::vector<SegmentSpan> SegmentsInPieces::resolve(TextPiece& piece, bool held) {
  std::vector<SegmentSpan> segments;
  if (piece.sentences.empty()) return segments;  // the open segment goes on
  const std::int64_t base = piece.sentences.front().offset;
  std::size_t agreed = 0;  // the worker's segments from here on hold
  if (!held || open_) {
    const std::int64_t repacked_from = open_ ? open_->offset : base;
    bool synced = false;
    std::size_t guessed = 0;
    pack(
        sectioner_, text_, length_,
        [&](const auto& emit) {
          // The open segment packs on as one sentence of its length.
          if (open_) emit(SentenceSpan{open_->byte_begin, open_->byte_end, 0, open_->length});
          for (const SentenceSpan& s : piece.sentences) {
            if (synced) return;
            emit(s);
          }
        },
        [&](SegmentSpan segment) {
          if (synced) return;
          segment.offset += repacked_from;
          segments.push_back(segment);
          if (!held) return;
          const auto& worker = piece.segments;
          while (guessed < worker.size() && worker[guessed].byte_end < segment.byte_end) ++guessed;
          if (guessed < worker.size() && worker[guessed].byte_end == segment.byte_end) {
            synced = true;
            agreed = guessed + 1;
          }
        });
    if (!synced) agreed = piece.segments.size();
  }
  for (std::size_t i = agreed; i < piece.segments.size(); ++i) {
    SegmentSpan segment = piece.segments[i];
    segment.offset += base;
    segments.push_back(segment);
  }
  // Unless the text ends here or its last sentence was cut into pieces,
  // the last segment may take sentences of the next piece.
  open_.reset();
  const SentenceSpan& last = piece.sentences.back();
  if (last.byte_end < text_.size() && last.length <= length_) {
    open_ = segments.back();
    segments.pop_back();
  }
  return segments;
}

std::vector<SegmentSpan> SegmentsInPieces::finish() {
  std::vector<SegmentSpan> last;
  if (open_) last.push_back(*open_);
  open_.reset();
  return last;
}

std::vector<SegmentSpan> segments_in_pieces(const Sectioner& sectioner, std::string_view text,
                                            std::int64_t length, ThreadPool& pool,
                                            std::int64_t threads, std::size_t piece_bytes) {
  std::vector<SegmentSpan> segments;
  auto keep = [&segments](const SegmentSpan& segment) { segments.push_back(segment); };
  // Packing in another measure than code points does not resume alike
  // after a piece: one walk.
  if (!walked_in_pieces(text.size(), threads, piece_bytes) ||
      sectioner.measure().kind() != sectioner::Measure::Kind::kCodePoints) {
    sectioner.for_each_segment(text, length, keep);
    return segments;
  }
  // The checks of for_each_segment, before any walk: an empty text is
  // never walked in pieces, so only a length below 1 is wrong here.
  require_valid_on(text, pool, threads, "text", piece_bytes);
  if (length < 1) {
    sectioner.for_each_segment(text, length, keep);  // throws, naming `length`
    return segments;
  }
  SegmentsInPieces packing(sectioner, text, length);
  auto take = [&segments](std::vector<SegmentSpan> found) {
    segments.insert(segments.end(), found.begin(), found.end());
  };
  walk_in_pieces(
      sectioner.phraser, text, pool, 2 * static_cast<std::size_t>(threads),
      [&packing](TextPiece& piece) { packing.pack_guess(piece); },
      [&](TextPiece& piece, bool held, std::int64_t) { take(packing.resolve(piece, held)); },
      piece_bytes);
  take(packing.finish());
  return segments;
}

}  // namespace kelvra::nlp::common::internal
