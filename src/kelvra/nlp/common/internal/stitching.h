// Stitching per-segment results back into document positions, for any
// representation of records (see kelvra/common/internal/record_model.h).
// The stitcher instantiates it with the library's records; the Python
// extension with the caller's own objects.
//
//   TaskKind kind = parse_task_kind(type_);   // KvException for anything but "ner" and "relation"
//   merge<M>(kind, [&] { return segments.size(); }, [&](std::size_t i) { return
//   M::view(segments[i]); },
//            [&](const M::Value& result) { merged.push_back(result); });
//
// The rules (stitcher.h has them in full): each segment's "offset" is added
// to every position of its results, where they stand; positions are
// numbers of at least 0 that fit 64 bits, integers stay integers and reals
// stay reals; a failure anywhere leaves every record as it was.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "kelvra/common/exceptions.h"
#include "kelvra/common/internal/record_model.h"
#include "kelvra/common/record.h"
#include "kelvra/nlp/common/internal/task_kind.h"

namespace kelvra::nlp::common::stitcher::internal {

namespace records = kelvra::common::records;
using records::Number;

// 2^63: the first real that no 64-bit position reaches.
inline constexpr double kPositionLimit = 9223372036854775808.0;

// A position as the stitcher reads it: a number, not negative, that fits a
// 64-bit position. Reals are allowed and stay reals.
template <records::RecordModel M>
[[gnu::always_inline]] inline Number checked_position(const typename M::Value& value) {
  const Number number = M::kind(value) == records::ValueKind::kNumber ? M::number(value) : Number{};
  switch (number.kind) {
    case Number::Kind::kNone:
      M::wrong_kind(value, "offset", kelvra::common::Kinds::number);
    case Number::Kind::kInteger:
      if (number.integer < 0)
        records::unusable_number("offset", records::kNonNegative, M::text_form(value));
      return number;
    case Number::Kind::kBeyond:
      records::unusable_number("offset", records::kInt64Range, M::text_form(value));
    case Number::Kind::kReal:
      break;
  }
  const double real = number.real;
  if (!std::isfinite(real))
    records::unusable_number("offset", "a finite number", M::text_form(value));
  if (real < 0) records::unusable_number("offset", records::kNonNegative, M::text_form(value));
  if (real >= kPositionLimit)
    records::unusable_number("offset", records::kInt64Range, M::text_form(value));
  return number;
}

// `position` plus `shift`, both checked positions (`offset` and
// `shift_value` hold them): integers stay integers, a real on either side
// gives a real. A sum beyond the 64-bit range throws.
template <records::RecordModel M>
[[gnu::always_inline]] inline Number shifted(const Number& position, const Number& shift,
                                             const typename M::Value& offset,
                                             const typename M::Value& shift_value) {
  if (position.kind != Number::Kind::kReal && shift.kind != Number::Kind::kReal) {
    std::int64_t sum = 0;
    if (__builtin_add_overflow(position.integer, shift.integer, &sum))
      kelvra::common::add_positions(position.integer, shift.integer,
                                    "offset");  // throws, naming both
    return Number::of(sum);
  }
  const auto real = [](const Number& n) {
    return n.kind == Number::Kind::kReal ? n.real : static_cast<double>(n.integer);
  };
  const double sum = real(position) + real(shift);
  if (sum >= kPositionLimit)
    throw kelvra::common::KvException(kelvra::common::ErrorCodes::INVALID_PARAMETERS,
                                      "`offset`: " + M::text_form(offset) + " + " +
                                          M::text_form(shift_value) +
                                          " lies outside the 64-bit position range");
  return Number::of_real(sum);
}

// The positions changed so far and what they held, so that a failure can
// put every one back (latest first, which also undoes a record that is
// listed twice and so shifted twice).
template <records::RecordModel M>
class Shifts {
 public:
  Shifts() = default;
  Shifts(const Shifts&) = delete;
  Shifts& operator=(const Shifts&) = delete;
  ~Shifts() {
    if (committed_) return;
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      try {
        M::restore(*it);
      } catch (...) {
        // Only a model that runs out of memory can fail here; the failure
        // that is on its way out is the one to report.
      }
    }
  }

  // Adds the shift to the "offset" of `holder` (a map; TypeError naming
  // `parameter` otherwise, KeyError when it has no "offset"). `in_result`:
  // the holder is the result record itself, which the caller keeps.
  void add(const typename M::Value& holder, const typename M::Value& shift_value,
           const Number& shift, std::string_view parameter, bool in_result) {
    add_at(holder, records::at<M>(holder, records::keys::offset, parameter), shift_value, shift,
           in_result);
  }
  // The same for the "offset" of `holder` found already.
  void add_at(const typename M::Value& holder, const typename M::Value& offset,
              const typename M::Value& shift_value, const Number& shift, bool in_result) {
    const Number position = checked_position<M>(offset);
    const Number sum = shifted<M>(position, shift, offset, shift_value);
    saved_.push_back(M::save(holder, records::keys::offset, offset, position, in_result));
    M::set_number(holder, records::keys::offset, sum);
  }
  void reserve(std::size_t count) { saved_.reserve(count); }
  void commit() noexcept { committed_ = true; }

 private:
  std::vector<typename M::Saved> saved_;
  bool committed_ = false;
};

inline constexpr records::Key kContextKey{"context", records::kNoSlot};

// A checked position as a real, for comparing.
inline double real_of(const Number& number) {
  return number.kind == Number::Kind::kReal ? number.real : static_cast<double>(number.integer);
}

// Whether a result of a segment whose first `context` code points repeat
// the segment before is kept: unless it lies wholly inside that context
// (starts before its end and ends at or before it), which the segment
// before saw whole. `pieces` are the result's positioned parts: the entity
// itself, its spans, or a relation's head and tail. Lengths are read only
// for a result that starts inside the context.
template <records::RecordModel M>
bool kept_beside_context(const std::vector<typename M::Value>& pieces, double context) {
  if (pieces.empty()) return true;  // no position: nothing to judge it by
  double start = 0;
  bool first = true;
  for (const typename M::Value& piece : pieces) {
    const double offset =
        real_of(checked_position<M>(records::at<M>(piece, records::keys::offset, "nes")));
    start = first ? offset : std::min(start, offset);
    first = false;
  }
  if (start >= context) return true;
  for (const typename M::Value& piece : pieces) {
    const double offset =
        real_of(checked_position<M>(records::at<M>(piece, records::keys::offset, "nes")));
    const double length = static_cast<double>(
        records::position_of<M>(records::at<M>(piece, records::keys::length, "nes"), "length"));
    if (offset + length > context) return true;
  }
  return false;
}

// The number of results the segments list (for reserving room; the lists
// are read again as they are stitched).
template <records::RecordModel M, class Count, class SegmentAt>
std::size_t result_count(TaskKind kind, Count count, SegmentAt segment_at) {
  const records::Key list_key =
      kind == TaskKind::kNer ? records::keys::nes : records::keys::relations;
  std::size_t total = 0;
  for (std::size_t s = 0; s < count(); ++s) {
    const typename M::Value segment = segment_at(s);
    if (M::kind(segment) != records::ValueKind::kMap) continue;
    const typename M::Value list = M::find(segment, list_key);
    if (list && M::kind(list) == records::ValueKind::kList) total += M::size(list);
  }
  return total;
}

// Shifts the results of every segment in place and hands each result record
// to `collect`, in segment order, right after shifting it: the very records
// the segments hold. A segment with a "context" above 0 hands over only the
// results that do not lie wholly inside its context (kept_beside_context);
// the others are shifted all the same. `segment_at(i)` gives segment i of `count()`, which is
// asked again on every step (a model's lists may be changed by code that
// reading a value runs). When anything fails, every position is put back
// before the failure leaves, and the caller drops what it collected.
template <records::RecordModel M, class Count, class SegmentAt, class Collect>
void merge(TaskKind kind, Count count, SegmentAt segment_at, Collect collect) {
  using Value = typename M::Value;
  const records::Key list_key =
      kind == TaskKind::kNer ? records::keys::nes : records::keys::relations;
  Shifts<M> shifts;
  shifts.reserve(result_count<M>(kind, count, segment_at) * (kind == TaskKind::kRelation ? 2 : 1));
  for (std::size_t s = 0; s < count(); ++s) {
    const Value segment = segment_at(s);
    const Value shift_value = records::at<M>(segment, records::keys::offset, "segments");
    const Number shift = checked_position<M>(shift_value);
    const Value list = records::require<M>(records::at<M>(segment, list_key, "segments"),
                                           kelvra::common::Kinds::list, list_key.name);
    const Value context_value = M::find(segment, kContextKey);
    const std::int64_t context =
        context_value && M::kind(context_value) != records::ValueKind::kNull
            ? records::position_of<M>(context_value, "context")
            : 0;
    std::vector<Value> pieces;
    for (std::size_t i = 0; i < M::size(list); ++i) {
      const Value item = M::item(list, i);
      bool kept = true;
      if (context > 0) {
        pieces.clear();
        if (kind == TaskKind::kRelation) {
          pieces.push_back(records::at<M>(item, records::keys::head, "relations"));
          pieces.push_back(records::at<M>(item, records::keys::tail, "relations"));
        } else if (M::kind(item) == records::ValueKind::kMap &&
                   M::find(item, records::keys::offset)) {
          pieces.push_back(item);
        } else {
          const Value spans = records::require<M>(records::at<M>(item, records::keys::spans, "nes"),
                                                  kelvra::common::Kinds::list, "spans");
          for (std::size_t j = 0; j < M::size(spans); ++j) pieces.push_back(M::item(spans, j));
        }
        kept = kept_beside_context<M>(pieces, static_cast<double>(context));
      }
      if (kind == TaskKind::kRelation) {
        shifts.add(records::at<M>(item, records::keys::head, "relations"), shift_value, shift,
                   "head", false);
        shifts.add(records::at<M>(item, records::keys::tail, "relations"), shift_value, shift,
                   "tail", false);
      } else if (const Value offset = M::kind(item) == records::ValueKind::kMap
                                          ? M::find(item, records::keys::offset)
                                          : Value{}) {
        shifts.add_at(item, offset, shift_value, shift, true);
      } else {
        const Value spans = records::require<M>(records::at<M>(item, records::keys::spans, "nes"),
                                                kelvra::common::Kinds::list, "spans");
        for (std::size_t j = 0; j < M::size(spans); ++j)
          shifts.add(M::item(spans, j), shift_value, shift, "spans", false);
      }
      if (kept) collect(item);
    }
  }
  shifts.commit();
}

}  // namespace kelvra::nlp::common::stitcher::internal
