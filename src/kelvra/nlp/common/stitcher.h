// Putting per-segment model results back into document positions.
//
//   auto segments = sectioner.split(document, "ner");
//   // ... a model adds "nes" to each segment, positions from the segment's start
//   Stitcher stitcher;
//   std::vector<Record> entities = stitcher.merge(segments, "ner");
//
// Each segment's "offset" is added to every position of its results, in
// place: a contiguous entity's "offset", or, for an entity without one,
// each offset of its "spans"; for relations, the "offset" of "head" and of
// "tail" (their spans are left alone). The results of all segments are
// concatenated in segment order; nothing is sorted or deduplicated.
//
// Segments made with overlap carry "context": their first `context` code
// points repeat the end of the segment before. A result of such a segment
// that lies wholly inside its context (starts before position `context`
// and ends at or before it, in segment positions) is left out of the list:
// the segment before saw it whole in its own span. Everything else is
// kept, one that starts in the context and runs on past it too (the
// segment before could not see it whole). Each result is thus kept by one
// segment only: with a context of at least the longest result, every
// result found whole somewhere is kept exactly once (zero-length results
// exactly at the start of a segment's own span excepted: both neighbours
// keep those, as without overlap). The rule needs nothing but the segment
// itself, so segments can be stitched one at a time. Results left out are
// shifted all the same. Reading them, the "length" of a result (each span,
// a relation's head and tail) that starts inside the context is required
// (KeyError naming it; KvException naming "length" for a negative one);
// "context" absent, null or 0 changes nothing.
//
// The caller's records are changed where they stand, so stitching the same
// segments twice shifts twice. The returned list holds copies equal to the
// shifted records (or the records themselves, moved, when the caller hands
// the segments over). Every position is checked and every sum worked out
// before the first is written: a failure leaves all records as they were.
//
// Positions are numbers of at least 0 that fit in 64 bits: integers stay
// integers and reals stay reals; a sum beyond the 64-bit range is refused,
// never wrapped.
#pragma once

#include <string_view>
#include <vector>

#include "kelvra/common/record.h"

namespace kelvra::nlp::common::stitcher {

class Stitcher {
 public:
  // `type_` "ner" gives _merge_nes, "relation" _merge_relations; anything
  // else throws KvException(INVALID_PARAMETERS, `type_ must in ["ner", "relation"]`)
  // before any record is read. The Record form must be a list (TypeError
  // naming `segments`). A segment without "offset", "nes" or "relations", an
  // entity with neither "offset" nor "spans", or a span, head or tail
  // without "offset" throws KeyError naming the key; a position that is not
  // a number throws TypeError naming "offset"; a segment's or a result's
  // offset that is negative, not finite or beyond 64 bits, or a sum beyond
  // 64 bits, throws KvException(INVALID_PARAMETERS) naming "offset" and the
  // value. Nothing is changed when anything throws.
  std::vector<Record> merge(std::vector<Record>& segments, std::string_view type_) const;
  std::vector<Record> merge(Record& segments, std::string_view type_) const;
  // The same for segments the caller no longer needs: the results are moved
  // out of them rather than copied.
  std::vector<Record> merge(std::vector<Record>&& segments, std::string_view type_) const;

  std::vector<Record> _merge_nes(std::vector<Record>& segments) const;
  std::vector<Record> _merge_nes(Record& segments) const;
  std::vector<Record> _merge_relations(std::vector<Record>& segments) const;
  std::vector<Record> _merge_relations(Record& segments) const;
};

}  // namespace kelvra::nlp::common::stitcher
