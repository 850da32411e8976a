// Cutting documents into segments and carrying entities into them
// (sectioner.h has the rules in full), for any representation of records:
// the sectioner instantiates it with the library's records, the Python
// extension with the caller's own objects.
//
//   std::vector<M::Owned> segments = split<M>(sectioner, M::view(input), "relation", false);
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "kelvra/common/exceptions.h"
#include "kelvra/common/internal/record_model.h"
#include "kelvra/common/record.h"
#include "kelvra/common/thread_pool.h"
#include "kelvra/nlp/common/internal/segment_pieces.h"
#include "kelvra/nlp/common/internal/task_kind.h"
#include "kelvra/nlp/common/sectioner.h"

namespace kelvra::nlp::common::sectioner::internal {

namespace records = kelvra::common::records;
namespace pieces = kelvra::nlp::common::internal;
using kelvra::common::Kinds;

inline constexpr records::Key kOverlapKey{"overlap", records::kNoSlot};
inline constexpr records::Key kContextKey{"context", records::kNoSlot};

// The "overlap" of `input_`: 0 when absent or null; otherwise a whole
// number of at least 0 (TypeError for a non-number, KvException naming
// `overlap` and the value for a fractional, negative or huge one).
template <records::RecordModel M>
std::int64_t overlap_of(const typename M::Value& input_) {
  const typename M::Value value = M::find(input_, kOverlapKey);
  if (!value || M::kind(value) == records::ValueKind::kNull) return 0;
  const records::Number number =
      M::number(records::require<M>(value, kelvra::common::Kinds::number, "overlap"));
  if (number.kind != records::Number::Kind::kInteger || number.integer < 0)
    records::unusable_number("overlap", "a whole number of at least 0", M::text_form(value));
  return number.integer;
}

// The segments of `text` (valid UTF-8 or refused; the string `text_value`
// where the model needs it) as records {"text", "offset", "length"}, its
// sentences found on `threads` threads (segment_pieces.h), those of the
// caller's `pool` when given; with `overlap` above 0, "context" after them,
// the segments found in one walk.
template <records::RecordModel M>
std::vector<typename M::Owned> text_segments(const Sectioner& sectioner,
                                             const typename M::Value& text_value,
                                             std::string_view text, std::int64_t length,
                                             std::int64_t threads = 1, std::int64_t overlap = 0,
                                             kelvra::common::ThreadPool* pool = nullptr) {
  std::vector<SegmentSpan> spans;
  std::vector<std::int64_t> contexts;
  {
    [[maybe_unused]] typename M::Unlocked unlocked;
    if (overlap == 0) {
      std::optional<kelvra::common::ThreadPool> own;
      if (pool == nullptr) pool = &own.emplace(pieces::pool_threads(text.size(), threads));
      spans = pieces::segments_in_pieces(sectioner, text, length, *pool, threads);
    } else {
      sectioner.for_each_overlapping_segment(text, length, overlap,
                                             [&](const SegmentSpan& span, std::int64_t context) {
                                               spans.push_back(span);
                                               contexts.push_back(context);
                                             });
    }
  }
  std::vector<typename M::Owned> segments;
  segments.reserve(spans.size());
  for (std::size_t i = 0; i < spans.size(); ++i) {
    const SegmentSpan& span = spans[i];
    typename M::Owned segment = M::make_map();
    const typename M::Value view = M::view(segment);
    M::set(view, records::keys::text,
           M::make_substring(
               text_value, text,
               {span.byte_begin, span.byte_end, span.offset, span.offset + span.length}));
    M::set(view, records::keys::offset, M::make_integer(span.offset));
    M::set(view, records::keys::length, M::make_integer(span.length));
    if (!contexts.empty()) M::set(view, kContextKey, M::make_integer(contexts[i]));
    segments.push_back(std::move(segment));
  }
  return segments;
}

// The start and end of the range under "offset" and "length" of `holder`.
template <records::RecordModel M>
std::pair<std::int64_t, std::int64_t> range_of(const typename M::Value& holder,
                                               std::string_view parameter) {
  const std::int64_t offset =
      records::position_of<M>(records::at<M>(holder, records::keys::offset, parameter), "offset");
  const std::int64_t length =
      records::position_of<M>(records::at<M>(holder, records::keys::length, parameter), "length");
  return {offset, kelvra::common::add_positions(offset, length, "length")};
}

// The smallest range [begin, end] that holds every piece of an entity. A
// multi-piece entity without spans lies in every segment (`anywhere`).
struct Extent {
  std::int64_t begin = 0;
  std::int64_t end = 0;
  bool anywhere = false;
};

// Reads and checks every position of `ne`: KeyError for a missing key,
// TypeError for a value of the wrong kind, KvException for a negative
// position or a range beyond 64 bits.
template <records::RecordModel M>
Extent extent_of(const typename M::Value& ne) {
  records::require<M>(ne, Kinds::map, "ne");
  if (M::find(ne, records::keys::offset)) {
    auto [begin, end] = range_of<M>(ne, "ne");
    return {begin, end, false};
  }
  const typename M::Value spans =
      records::require<M>(records::at<M>(ne, records::keys::spans, "ne"), Kinds::list, "spans");
  if (M::size(spans) == 0) return {0, 0, true};
  Extent extent{INT64_MAX, 0, false};
  for (std::size_t i = 0; i < M::size(spans); ++i) {
    auto [begin, end] = range_of<M>(M::item(spans, i), "span");
    extent.begin = std::min(extent.begin, begin);
    extent.end = std::max(extent.end, end);
  }
  return extent;
}

// Subtracts `shift` from the "offset" of `holder`, checked already and at
// least `shift`.
template <records::RecordModel M>
void rebase(const typename M::Value& holder, std::int64_t shift) {
  const std::int64_t offset =
      records::integer_of<M>(M::find(holder, records::keys::offset), "offset");
  M::set(holder, records::keys::offset, M::make_integer(offset - shift));
}

// The segments of feature_set["text"], each with its "feature_set": the
// text and copies of the entities wholly inside, rebased. `move`: the
// entities may be moved out of the input instead of copied (each into the
// last segment that holds it).
template <records::RecordModel M>
std::vector<typename M::Owned> split_feature_set(const Sectioner& sectioner,
                                                 const typename M::Value& feature_set,
                                                 std::int64_t length, bool move,
                                                 std::int64_t threads = 1, std::int64_t overlap = 0,
                                                 kelvra::common::ThreadPool* pool = nullptr) {
  using Value = typename M::Value;
  records::require<M>(feature_set, Kinds::map, "feature_set");
  const Value text_value = records::at<M>(feature_set, records::keys::text, "feature_set");
  const std::string_view text = records::string_of<M>(text_value, "text");
  std::vector<typename M::Owned> segments =
      text_segments<M>(sectioner, text_value, text, length, threads, overlap, pool);
  const Value nes = records::require<M>(
      records::at<M>(feature_set, records::keys::nes, "feature_set"), Kinds::list, "nes");

  // Segments are in order and their starts and ends both ascend (with
  // overlap too), and the segments that hold a range [begin, end] are one run:
  // from the first that ends at or after `end` to the last that starts at or
  // before `begin`. Each entity is placed by two binary searches instead of
  // being tested against every segment.
  std::vector<std::int64_t> starts, ends;
  starts.reserve(segments.size());
  ends.reserve(segments.size());
  for (typename M::Owned& segment : segments) {
    const Value view = M::view(segment);
    starts.push_back(records::integer_of<M>(M::find(view, records::keys::offset), "offset"));
    ends.push_back(starts.back() +
                   records::integer_of<M>(M::find(view, records::keys::length), "length"));
  }
  // Every entity is read and checked before any segment is filled.
  std::vector<Value> entities;
  std::vector<std::vector<std::size_t>> inside(segments.size());
  std::vector<std::size_t> placements;
  for (std::size_t index = 0; index < M::size(nes); ++index) {
    entities.push_back(M::item(nes, index));
    const Extent extent = extent_of<M>(entities.back());
    std::size_t first = 0, last = segments.size();  // the run [first, last)
    if (!extent.anywhere) {
      first = static_cast<std::size_t>(std::lower_bound(ends.begin(), ends.end(), extent.end) -
                                       ends.begin());
      last = static_cast<std::size_t>(std::upper_bound(starts.begin(), starts.end(), extent.begin) -
                                      starts.begin());
    }
    for (std::size_t s = first; s < last; ++s) inside[s].push_back(index);
    placements.push_back(last > first ? last - first : 0);
  }

  for (std::size_t s = 0; s < segments.size(); ++s) {
    const Value segment = M::view(segments[s]);
    typename M::Owned copies = M::make_list(inside[s].size());
    for (std::size_t index : inside[s]) {
      // An entity moved out goes into the last segment that holds it (rarely
      // more than one: a zero-length entity at a boundary, or one without
      // spans).
      typename M::Owned copy = move && --placements[index] == 0
                                   ? M::move_out(entities[index])
                                   : M::deep_copy(entities[index], "ne");
      const Value view = M::view(copy);
      if (M::find(view, records::keys::offset)) {
        rebase<M>(view, starts[s]);
      } else {
        const Value spans = M::find(view, records::keys::spans);
        for (std::size_t i = 0; i < M::size(spans); ++i) rebase<M>(M::item(spans, i), starts[s]);
      }
      M::append(copies, std::move(copy));
    }
    typename M::Owned segment_features = M::make_map();
    M::set(M::view(segment_features), records::keys::text,
           M::share(M::find(segment, records::keys::text)));
    M::set(M::view(segment_features), records::keys::nes, std::move(copies));
    M::set(segment, records::keys::feature_set, std::move(segment_features));
  }
  return segments;
}

// True when `ne` lies wholly inside `segment` (its "offset" and "length").
// A piece's "length" is read only when its start lies inside the segment:
// an entity that starts before it is out, whatever its length (or none).
// Spans are tested in order, and the first one outside settles it.
template <records::RecordModel M>
bool judge_entity_in_segment(const typename M::Value& ne, const typename M::Value& segment) {
  records::require<M>(ne, Kinds::map, "ne");
  auto [start, end] = range_of<M>(records::require<M>(segment, Kinds::map, "segment"), "segment");
  const auto inside = [&, start = start, end = end](const typename M::Value& piece,
                                                    std::string_view parameter) {
    const std::int64_t offset =
        records::position_of<M>(records::at<M>(piece, records::keys::offset, parameter), "offset");
    if (offset < start) return false;
    const std::int64_t length =
        records::position_of<M>(records::at<M>(piece, records::keys::length, parameter), "length");
    return kelvra::common::add_positions(offset, length, "length") <= end;
  };
  if (M::find(ne, records::keys::offset)) return inside(ne, "ne");
  const typename M::Value spans =
      records::require<M>(records::at<M>(ne, records::keys::spans, "ne"), Kinds::list, "spans");
  for (std::size_t i = 0; i < M::size(spans); ++i)
    if (!inside(M::item(spans, i), "span")) return false;
  return true;
}

// split(input_, type_): the segments of input_["text"] ("ner") or of
// input_["feature_set"] ("relation"), each at most input_["length"] long,
// the text's sentences found on `threads` threads (of the caller's `pool`
// when given), with input_["overlap"] code points of context when it is
// there.
template <records::RecordModel M>
std::vector<typename M::Owned> split(const Sectioner& sectioner, const typename M::Value& input_,
                                     std::string_view type_, bool move, std::int64_t threads = 1,
                                     kelvra::common::ThreadPool* pool = nullptr) {
  pieces::require_threads(threads);
  records::require<M>(input_, Kinds::map, "input_");
  if (parse_task_kind(type_) == TaskKind::kNer) {
    const typename M::Value text_value = records::at<M>(input_, records::keys::text, "input_");
    const std::string_view text = records::string_of<M>(text_value, "text");
    const std::int64_t length =
        records::integer_of<M>(records::at<M>(input_, records::keys::length, "input_"), "length");
    return text_segments<M>(sectioner, text_value, text, length, threads, overlap_of<M>(input_),
                            pool);
  }
  const typename M::Value feature_set =
      records::at<M>(input_, records::keys::feature_set, "input_");
  const std::int64_t length =
      records::integer_of<M>(records::at<M>(input_, records::keys::length, "input_"), "length");
  return split_feature_set<M>(sectioner, feature_set, length, move, threads, overlap_of<M>(input_),
                              pool);
}

}  // namespace kelvra::nlp::common::sectioner::internal
