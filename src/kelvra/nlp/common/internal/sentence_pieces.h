// The sentences of a long text found on several threads, and exactly those
// of the walk over the whole text on one (segment_pieces.h packs them into
// segments).
//
//   ThreadPool pool(threads);
//   std::vector<SentenceSpan> sentences = sentences_in_pieces(phraser, text, pool, threads);
//
// The text is cut into pieces of about `piece_bytes` where
// Phraser::piece_start says a sentence most likely begins; a worker walks
// each piece as if one began there. Each guess is checked in order against
// the true walk up to its piece, and a piece whose guess did not hold (a
// bracket or quotation mark still open at its start, say) is walked again
// from there, on the calling thread. Phraser::walk_sentences has the rules
// a guess must meet.
//
// Phraser::split runs this when given more than one thread; the command
// line's split and section run walk_in_pieces itself, writing each piece's
// records as it is resolved.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <future>
#include <optional>
#include <string_view>
#include <vector>

#include "kelvra/common/thread_pool.h"
#include "kelvra/nlp/common/phraser.h"
#include "kelvra/nlp/common/sectioner.h"

namespace kelvra::nlp::common::internal {

using kelvra::common::ThreadPool;
using phraser::Phraser;
using phraser::SentenceSpan;
using phraser::SentenceWalk;

// Pieces of about this size are walked apart; a text shorter than two is
// walked in one go. Small enough that a piece's output (about four times
// its size for the command line's split) stays in a core's own cache while
// it is written.
inline constexpr std::size_t kPieceBytes = std::size_t{1} << 18;

// KvException(INVALID_PARAMETERS) naming `threads` when it is below 1.
void require_threads(std::int64_t threads);

// True when a text of `bytes` is walked in pieces on `threads` threads.
bool walked_in_pieces(std::size_t bytes, std::int64_t threads,
                      std::size_t piece_bytes = kPieceBytes) noexcept;

// The threads worth starting for a text of `bytes` walked on `threads`:
// no more than its pieces (so that any `threads` fits a ThreadPool).
int pool_threads(std::size_t bytes, std::int64_t threads,
                 std::size_t piece_bytes = kPieceBytes) noexcept;

// A piece of a long text and its sentences, as a worker walked it.
struct TextPiece {
  std::size_t begin = 0, end = 0;
  // Offsets counted from `begin` while the piece is a guess, from the
  // text's start once it is resolved.
  std::vector<SentenceSpan> sentences;
  SentenceWalk walk;                             // where the walk stood at `end`, counted alike
  std::vector<sectioner::SegmentSpan> segments;  // packed by the worker (segment_pieces.h)
  std::future<void> done;
};

// `resolved(piece, held, first_id)` gets each piece in order, on the
// calling thread, its sentences' offsets counted from the text's start;
// `held` says whether the sentences are those the worker found, `first_id`
// is the index of the first among all.
using PieceResolved = std::function<void(TextPiece&, bool held, std::int64_t first_id)>;

// The walk described above, with `after_walk` (when set) run on each piece
// by its worker after its walk, and at most `in_flight` pieces walked or
// waiting at once. The sentences handed to `resolved` are exactly those of
// phraser.for_each_sentence(text). `text` must be valid UTF-8 (not checked
// here); `piece_bytes` must be at least 1.
void walk_in_pieces(const Phraser& phraser, std::string_view text, ThreadPool& pool,
                    std::size_t in_flight, const std::function<void(TextPiece&)>& after_walk,
                    const PieceResolved& resolved, std::size_t piece_bytes = kPieceBytes);

// utf8::require_valid(text, parameter) on `threads` threads of `pool` (no
// more than pool_threads gives): the text is checked in parts cut at code
// point starts, and the first bad byte in text order is the one reported,
// as one check from the start would.
void require_valid_on(std::string_view text, ThreadPool& pool, std::int64_t threads,
                      std::string_view parameter, std::size_t piece_bytes = kPieceBytes);

// The spans of phraser.for_each_sentence(text), found on `threads` threads
// of `pool` when the text is long enough (walked_in_pieces), else on this
// one. TypeError naming `input` when `text` is not valid UTF-8.
std::vector<SentenceSpan> sentences_in_pieces(const Phraser& phraser, std::string_view text,
                                              ThreadPool& pool, std::int64_t threads,
                                              std::size_t piece_bytes = kPieceBytes);

}  // namespace kelvra::nlp::common::internal
