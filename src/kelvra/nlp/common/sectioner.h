// Cutting a document into segments of bounded length along sentence
// boundaries, for models with a bounded input size.
//
//   Sectioner sectioner;
//   auto segments = sectioner.split({{"text", document}, {"length", 510}}, "ner");
//   // each: {"text": ..., "offset": start in the document, "length": ...}
//
// Whole sentences (from the phraser) are packed greedily into segments of
// at most `length` code points; a sentence longer than that is cut into
// pieces of exactly `length` (the last shorter) and never merged with the
// text after it. The segments are in document order, the first offset is 0,
// each next offset is the previous offset + length, and the texts joined
// give the document back.
//
// With "relation" the input is {"feature_set": {"text", "nes"}, "length"},
// and each segment also gets "feature_set": {"text", "nes"} holding deep
// copies of the entities that lie wholly inside it (both bounds inclusive),
// in input order, rebased to the segment: a contiguous entity's "offset", or
// each of a multi-piece entity's "spans" offsets. An entity that straddles
// a boundary is in no segment; a zero-length one at a boundary is in both;
// a multi-piece one with no spans is in all. The input is never changed.
// Each entity is placed by its position (binary search over the segments),
// so the work grows with segments + entities, not their product.
//
// Positions and lengths of entities, spans and segments are integers (reals
// truncated) of at least 0 whose sums fit in 64 bits; anything else is
// refused with KvException(INVALID_PARAMETERS) naming the key and the value,
// so that no entity is ever placed by a wrapped sum. Every entity's
// positions are read and checked before any segment is filled.
//
// Overlap (opt-in): an input "overlap" of N > 0 code points makes each
// segment after the first begin with context repeated from right before
// its own span, and every segment gets a "context" member (after "length")
// saying how many of its code points are such context (0 for the first).
// The own spans follow each other without gap and give the document back;
// a segment's "offset" and "length" cover the whole segment, context
// included, and "length" stays at most the limit. The context starts at
// the earliest sentence start that lies between N and ceil(N/2) code points
// before the own span, or else exactly N before it (cut inside a sentence),
// so that it is always at least ceil(N/2) long where the text allows; it
// never reaches before the document's start nor before the previous
// segment's start, so segment starts and ends both ascend. N is clamped to
// length - 1 so that every segment still advances. A sentence that does not
// fit beside the context is cut there, and its last piece ends its segment
// (as a long sentence's does without overlap). Without "overlap" (or with 0) the
// segments are exactly those made without it, with no "context" member.
// "overlap" must be a whole number of at least 0 (TypeError naming
// `overlap` for a non-number, KvException naming it and the value for a
// negative or fractional one).
//
// Measures (opt-in): SectionerOptions::measure sets the unit that
// `length` counts: code points (the default), UTF-8 bytes, UTF-16 code
// units, or any function giving the size of a text (a tokenizer's count,
// say). Every segment's size in that measure is at most `length`, except a
// segment of one code point whose size alone is beyond it; offsets, lengths
// and "context" in the records stay code points, and `overlap` counts code
// points too (a context that would leave no room beside it is halved
// until it does). A function is asked about sentences and candidate
// segments, never character by character nor about a context alone: about
// one call per sentence, one more where a segment closes, and a search of
// a few calls for each cut inside a sentence (each probe placed where the
// sizes measured so far say the budget ends). It need not be additive (the size of a joined text
// may differ from the sum of the sizes), but is taken to grow, or stay, as a text grows. With the
// default measure, segments are exactly those of before.
//
// A Sectioner is immutable after construction; one instance serves any
// number of threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kelvra/common/record.h"
#include "kelvra/common/record_layout.h"
#include "kelvra/nlp/common/phraser.h"

namespace kelvra::nlp::common::sectioner {

// Where one segment of a text lies: bytes [byte_begin, byte_end) of the
// text, `length` code points from code point `offset`.
struct SegmentSpan {
  std::size_t byte_begin;
  std::size_t byte_end;
  std::int64_t offset;
  std::int64_t length;
};

// The members of a segment record, in order, handed to `out.member` (see
// record_layout.h): the one layout of the segments split makes and of
// writers that stream segments as they are found.
template <class Out, class Text>
void segment_members(Out& out, const Text& text, std::int64_t offset, std::int64_t length) {
  out.member("text", text);
  out.member("offset", offset);
  out.member("length", length);
}

// The members of a segment made with overlap: segment_members, then the
// number of code points at its start repeated from the segment before.
template <class Out, class Text>
void overlapping_segment_members(Out& out, const Text& text, std::int64_t offset,
                                 std::int64_t length, std::int64_t context) {
  segment_members(out, text, offset, length);
  out.member("context", context);
}

// The unit a Sectioner's `length` counts.
class Measure {
 public:
  using Size = std::function<std::size_t(std::string_view)>;
  enum class Kind { kCodePoints, kUtf8Bytes, kUtf16Units, kFunction };

  // Code points.
  Measure() = default;
  // Any size function; an empty one throws KvException naming `measure`.
  explicit Measure(Size size);
  // "code-points", "utf-8-bytes" or "utf-16-units"; anything else throws
  // KvException(INVALID_PARAMETERS) naming `measure` and the choices.
  static Measure named(std::string_view name);

  Kind kind() const noexcept { return kind_; }
  // "code-points", "utf-8-bytes", "utf-16-units", or "function".
  std::string_view name() const noexcept;
  // The size function of a Kind::kFunction measure (empty otherwise).
  const Size& function() const noexcept { return size_; }
  // The size of `text` (valid UTF-8) in this measure.
  std::size_t operator()(std::string_view text) const;

 private:
  Kind kind_ = Kind::kCodePoints;
  Size size_;
};

struct SectionerOptions {
  Measure measure;
};

class Sectioner {
 public:
  // `separator`: the sentence enders; absent or empty means the phraser's
  // defaults. The phraser keeps its default length cap of 510. Entries must
  // be valid UTF-8 (TypeError naming `separator`).
  explicit Sectioner(std::optional<std::vector<std::string>> separator = std::nullopt);
  // The same with options (a measure other than code points, above).
  Sectioner(std::optional<std::vector<std::string>> separator, SectionerOptions options);

  const phraser::Phraser phraser;

  // `type_` "ner": _split_text_by_length(input_["text"], input_["length"]);
  // "relation": _split_feature_set(input_["feature_set"], input_["length"]).
  // Throws KvException(INVALID_PARAMETERS, `type_ must in ["ner", "relation"]`)
  // for any other type_; TypeError naming `input_` when it is not a map, or
  // naming a value of the wrong kind; KeyError naming a missing key. The
  // first key is read before "length". `length` may be any number; it is
  // truncated toward zero, and a number beyond the 64-bit range throws
  // KvException(INVALID_PARAMETERS) naming `length` and the value.
  std::vector<Record> split(const Record& input_, std::string_view type_) const;
  // The same for an input the caller no longer needs: its entities are
  // moved into the segments rather than copied.
  std::vector<Record> split(Record&& input_, std::string_view type_) const;
  // The same segments for any `threads`: a long text's sentences are found
  // in pieces on `threads` threads, a short one's, or any with `threads` 1,
  // on the caller's alone (with "overlap", or a measure other than code
  // points, always on the caller's). KvException(INVALID_PARAMETERS) naming
  // `threads` when it is below 1, before anything else is read.
  std::vector<Record> split(const Record& input_, std::string_view type_,
                            std::int64_t threads) const;
  std::vector<Record> split(Record&& input_, std::string_view type_, std::int64_t threads) const;
  // The same on the threads of the caller's `pool`
  // (kelvra/common/thread_pool.h), which may serve other calls, on other
  // threads, at the same time. Not from a task of that pool: the call waits
  // for the tasks it gives it.
  std::vector<Record> split(const Record& input_, std::string_view type_,
                            kelvra::common::ThreadPool& pool) const;
  std::vector<Record> split(Record&& input_, std::string_view type_,
                            kelvra::common::ThreadPool& pool) const;

  // Segments of `text`. A text no longer than `length` is one segment (an
  // empty text too, for any length >= 0). Throws
  // KvException(INVALID_PARAMETERS, ...) naming `length` and its value when
  // `length` is below 1 for a non-empty text or below 0 at all: a document
  // must never silently vanish. TypeError naming `text` for invalid UTF-8.
  std::vector<Record> _split_text_by_length(std::string_view text, std::int64_t length) const;

  // The segments of _split_text_by_length(text, length), in order, handed
  // to `visit` as they are found, without building records: memory stays
  // the same however many there are. Failures as _split_text_by_length's,
  // before any visit.
  void for_each_segment(std::string_view text, std::int64_t length,
                        const std::function<void(const SegmentSpan&)>& visit) const;

  // The same packing over sentences the caller finds (piece by piece on
  // several threads, say): `sentences(emit)` must call `emit` with exactly
  // the spans of phraser.for_each_sentence(text), in order. `text` must be
  // valid UTF-8; it is not checked again, nor counted. With a measure
  // other than code points the segments are those of that measure (and the
  // packing no longer goes on alike after any long sentence).
  using SentenceSource =
      std::function<void(const std::function<void(const phraser::SentenceSpan&)>& emit)>;
  void for_each_segment(std::string_view text, std::int64_t length, const SentenceSource& sentences,
                        const std::function<void(const SegmentSpan&)>& visit) const;

  // The segments of `text` with `overlap` code points of context (see the
  // top of this file), in order, each handed to `visit` with its context:
  // the span covers the whole segment, context included. `overlap` 0 gives
  // the segments of for_each_segment, each with context 0. Failures as
  // for_each_segment's, and KvException naming `overlap` when it is
  // negative; all before any visit.
  void for_each_overlapping_segment(
      std::string_view text, std::int64_t length, std::int64_t overlap,
      const std::function<void(const SegmentSpan&, std::int64_t context)>& visit) const;

  // Segments of feature_set["text"], each with its "feature_set" (above).
  // TypeError naming `feature_set` when it is not a map, or `ne` for an
  // entity that is not a map; KeyError for missing keys ("length" of a
  // contiguous entity, "spans" of one without "offset", "offset" and
  // "length" of every span); KvException for positions as above.
  std::vector<Record> _split_feature_set(const Record& feature_set, std::int64_t length) const;

  // Cuts `sentence` into pieces of `length` code points starting at document
  // position `segment_offset`. Returns the segments and the position just
  // after the last. `length` below 1 throws as in _split_text_by_length;
  // a negative `segment_offset`, or one whose pieces would end beyond the
  // 64-bit range, throws KvException(INVALID_PARAMETERS) naming it.
  std::pair<std::vector<Record>, std::int64_t> _split_extra_long_sentence(
      std::string_view sentence, std::int64_t length, std::int64_t segment_offset) const;

  // True when `ne` lies wholly inside `segment` (its "offset" and "length"):
  // a contiguous entity by its "offset" and "length", a multi-piece one by
  // every span of its "spans" (none at all counts as inside). Reads and
  // checks every position of both, with the failures of _split_feature_set.
  static bool _judge_entity_in_segment(const Record& ne, const Record& segment);

  const Measure& measure() const noexcept { return options_.measure; }

 private:
  // Packing in any measure, with any overlap (already clamped to at most
  // length - 1 and at least 0), over the sentences of `sentences`.
  void pack_measured(std::string_view text, std::int64_t length, std::int64_t overlap,
                     const SentenceSource& sentences,
                     const std::function<void(const SegmentSpan&, std::int64_t)>& visit) const;

  SectionerOptions options_;
};

}  // namespace kelvra::nlp::common::sectioner
