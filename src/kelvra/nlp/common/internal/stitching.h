// Stitching per-segment results back into document positions, for any
// representation of records (see kelvra/common/internal/record_model.h).
// The stitcher instantiates it with the library's records; the Python
// extension with the caller's own objects.
//
//   Kind kind = kind_of(type_);   // KvException for anything but "ner" and "relation"
//   std::vector<M::Value> merged = merge<M>(kind, count, [&](std::size_t i) { return segment(i); });
//
// The rules (stitcher.h has them in full): each segment's "offset" is added
// to every position of its results, where they stand; positions are
// numbers of at least 0 that fit 64 bits, integers stay integers and reals
// stay reals; a failure anywhere leaves every record as it was.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "kelvra/common/exceptions.h"
#include "kelvra/common/internal/record_model.h"
#include "kelvra/common/record.h"

namespace kelvra::nlp::common::stitcher::internal {

namespace records = kelvra::common::records;
using records::Number;

enum class Kind { kNes, kRelations };

// "ner" or "relation"; KvException(INVALID_PARAMETERS) for anything else.
Kind kind_of(std::string_view type_);

// 2^63: the first real that no 64-bit position reaches.
inline constexpr double kPositionLimit = 9223372036854775808.0;

// A position as the stitcher reads it: a number, not negative, that fits a
// 64-bit position. Reals are allowed and stay reals.
template <records::RecordModel M>
Number checked_position(const typename M::Value& value) {
  std::optional<Number> number;
  if (M::kind(value) == records::ValueKind::kNumber) number = M::number(value);
  if (!number) M::wrong_kind(value, "offset", kelvra::common::Kinds::number);
  if (number->kind != Number::Kind::kReal) {
    records::position_of<M>(value, "offset");
    return *number;
  }
  const double real = number->real;
  if (!std::isfinite(real)) records::unusable_number("offset", "a finite number", M::text_form(value));
  if (real < 0) records::unusable_number("offset", records::kNonNegative, M::text_form(value));
  if (real >= kPositionLimit) records::unusable_number("offset", records::kInt64Range, M::text_form(value));
  return *number;
}

// `offset` plus `shift`, both checked positions: integers stay integers, a
// real on either side gives a real. A sum beyond the 64-bit range throws.
template <records::RecordModel M>
typename M::Owned shifted(const typename M::Value& offset, const typename M::Value& shift_value,
                          const Number& shift) {
  const Number position = checked_position<M>(offset);
  if (position.kind != Number::Kind::kReal && shift.kind != Number::Kind::kReal)
    return M::make_integer(kelvra::common::add_positions(position.integer, shift.integer, "offset"));
  const auto real = [](const Number& n) {
    return n.kind == Number::Kind::kReal ? n.real : static_cast<double>(n.integer);
  };
  const double sum = real(position) + real(shift);
  if (sum >= kPositionLimit)
    throw kelvra::common::KvException(kelvra::common::ErrorCodes::INVALID_PARAMETERS,
                                      "`offset`: " + M::text_form(offset) + " + " +
                                          M::text_form(shift_value) +
                                          " lies outside the 64-bit position range");
  return M::make_real(sum);
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
    for (auto it = changed_.rbegin(); it != changed_.rend(); ++it) {
      try {
        M::set(it->first, records::keys::offset, std::move(it->second));
      } catch (...) {
        // Only a model that runs out of memory can fail here; the failure
        // that is on its way out is the one to report.
      }
    }
  }

  // Adds the shift to the "offset" of `holder` (a map; TypeError naming
  // `parameter` otherwise, KeyError when it has no "offset").
  void add(const typename M::Value& holder, const typename M::Value& shift_value,
           const Number& shift, std::string_view parameter) {
    const typename M::Value offset = records::at<M>(holder, records::keys::offset, parameter);
    typename M::Owned sum = shifted<M>(offset, shift_value, shift);
    changed_.emplace_back(holder, M::share(offset));
    M::set(holder, records::keys::offset, std::move(sum));
  }
  void commit() noexcept { committed_ = true; }

 private:
  std::vector<std::pair<typename M::Value, typename M::Owned>> changed_;
  bool committed_ = false;
};

// The results of every segment, shifted in place, in segment order: the
// very records the segments hold. `segment_at(i)` gives segment i of
// `count()`, which is asked again on every step (a model's lists may be
// changed by code that reading a value runs).
template <records::RecordModel M, class Count, class SegmentAt>
std::vector<typename M::Value> merge(Kind kind, Count count, SegmentAt segment_at) {
  using Value = typename M::Value;
  const records::Key list_key = kind == Kind::kNes ? records::keys::nes : records::keys::relations;
  Shifts<M> shifts;
  std::vector<Value> merged;
  for (std::size_t s = 0; s < count(); ++s) {
    const Value segment = segment_at(s);
    const Value shift_value = records::at<M>(segment, records::keys::offset, "segments");
    const Number shift = checked_position<M>(shift_value);
    const Value list = records::require<M>(records::at<M>(segment, list_key, "segments"),
                                           kelvra::common::Kinds::list, list_key.name);
    for (std::size_t i = 0; i < M::size(list); ++i) {
      Value item = M::item(list, i);
      if (kind == Kind::kRelations) {
        shifts.add(records::at<M>(item, records::keys::head, "relations"), shift_value, shift, "head");
        shifts.add(records::at<M>(item, records::keys::tail, "relations"), shift_value, shift, "tail");
      } else if (records::has_key<M>(item, records::keys::offset)) {
        shifts.add(item, shift_value, shift, "nes");
      } else {
        const Value spans = records::require<M>(records::at<M>(item, records::keys::spans, "nes"),
                                                kelvra::common::Kinds::list, "spans");
        for (std::size_t j = 0; j < M::size(spans); ++j)
          shifts.add(M::item(spans, j), shift_value, shift, "spans");
      }
      merged.push_back(std::move(item));
    }
  }
  shifts.commit();
  return merged;
}

}  // namespace kelvra::nlp::common::stitcher::internal
