#include "kelvra/nlp/common/stitcher.h"

#include <cmath>
#include <utility>

#include "kelvra/common/exceptions.h"
#include "kelvra/common/text_form.h"

namespace kelvra::nlp::common::stitcher {

using kelvra::common::add_positions;
using kelvra::common::at;
using kelvra::common::ErrorCodes;
using kelvra::common::has_key;
using kelvra::common::KvException;
using kelvra::common::require_list;
using kelvra::common::require_position;
using kelvra::common::TypeError;

namespace {

enum class Kind { kNes, kRelations };

Kind kind_of(std::string_view type_) {
  if (type_ == "ner") return Kind::kNes;
  if (type_ == "relation") return Kind::kRelations;
  throw KvException(ErrorCodes::INVALID_PARAMETERS, R"(type_ must in ["ner", "relation"])");
}

// 2^63: the first real that no 64-bit position reaches.
constexpr double kPositionLimit = 9223372036854775808.0;

[[noreturn]] void bad_real(const Record& value, std::string_view why) {
  throw KvException(ErrorCodes::INVALID_PARAMETERS,
                    "`offset` must be " + std::string(why) + ", got " +
                        kelvra::common::to_text_form(value));
}

// Checks a position as the stitcher reads it: a number, not negative, that
// fits a 64-bit position. Reals are allowed and stay reals.
void check_position(const Record& value) {
  if (!value.is_number())
    throw TypeError("offset", "`offset` must be a number to be shifted, got " +
                                  std::string(kelvra::common::kind_name(value)));
  if (!value.is_number_float()) {
    require_position(value, "offset");
    return;
  }
  const double real = value.get<double>();
  if (!std::isfinite(real)) bad_real(value, "a finite number");
  if (real < 0) bad_real(value, "a position or length of at least 0");
  if (real >= kPositionLimit) bad_real(value, "a finite number within the 64-bit integer range");
}

// `shift` plus the position `offset`, computed without writing it: integers
// stay integers, a real on either side gives a real. A sum that leaves the
// 64-bit range throws; nothing wraps.
Record shifted(const Record& offset, const Record& shift) {
  check_position(offset);
  if (!offset.is_number_float() && !shift.is_number_float())
    return add_positions(offset.get<std::int64_t>(), shift.get<std::int64_t>(), "offset");
  const double sum = offset.get<double>() + shift.get<double>();
  if (sum >= kPositionLimit)
    throw KvException(ErrorCodes::INVALID_PARAMETERS,
                      "`offset`: " + kelvra::common::to_text_form(offset) + " + " +
                          kelvra::common::to_text_form(shift) +
                          " lies outside the 64-bit position range");
  return sum;
}

// Every position to change and its new value. All are worked out before any
// is written, so a bad record anywhere leaves every record as it was.
struct Shifts {
  std::vector<Record*> targets;
  std::vector<Record> values;

  void add(Record& holder, const Record& shift, std::string_view parameter) {
    Record& offset = at(holder, "offset", parameter);
    values.push_back(shifted(offset, shift));
    targets.push_back(&offset);
  }
  void apply() {
    for (std::size_t i = 0; i < targets.size(); ++i) *targets[i] = std::move(values[i]);
  }
};

// The records of every segment's list, in order; `move` hands them over
// instead of copying them (the caller gave the segments away).
template <class Segments>
std::vector<Record> merge_segments(Segments& segments, Kind kind, bool move) {
  const char* list_key = kind == Kind::kNes ? "nes" : "relations";
  Shifts shifts;
  std::size_t count = 0;
  for (Record& segment : segments) {
    const Record& shift = at(segment, "offset", "segments");
    check_position(shift);
    Record& list = require_list(at(segment, list_key, "segments"), list_key);
    count += list.size();
    for (Record& item : list) {
      if (kind == Kind::kRelations) {
        shifts.add(at(item, "head", "relations"), shift, "head");
        shifts.add(at(item, "tail", "relations"), shift, "tail");
      } else if (has_key(item, "offset")) {
        shifts.add(item, shift, "nes");
      } else {
        for (Record& span : require_list(at(item, "spans", "nes"), "spans"))
          shifts.add(span, shift, "spans");
      }
    }
  }
  shifts.apply();

  std::vector<Record> merged;
  merged.reserve(count);
  for (Record& segment : segments) {
    for (Record& item : segment[list_key]) {
      if (move) merged.push_back(std::move(item));
      else merged.push_back(item);
    }
  }
  return merged;
}

}  // namespace

std::vector<Record> Stitcher::merge(std::vector<Record>& segments, std::string_view type_) const {
  return merge_segments(segments, kind_of(type_), false);
}

std::vector<Record> Stitcher::merge(std::vector<Record>&& segments, std::string_view type_) const {
  return merge_segments(segments, kind_of(type_), true);
}

std::vector<Record> Stitcher::merge(Record& segments, std::string_view type_) const {
  require_list(segments, "segments");
  return merge_segments(segments, kind_of(type_), false);
}

std::vector<Record> Stitcher::_merge_nes(std::vector<Record>& segments) const {
  return merge_segments(segments, Kind::kNes, false);
}

std::vector<Record> Stitcher::_merge_nes(Record& segments) const {
  return merge_segments(require_list(segments, "segments"), Kind::kNes, false);
}

std::vector<Record> Stitcher::_merge_relations(std::vector<Record>& segments) const {
  return merge_segments(segments, Kind::kRelations, false);
}

std::vector<Record> Stitcher::_merge_relations(Record& segments) const {
  return merge_segments(require_list(segments, "segments"), Kind::kRelations, false);
}

}  // namespace kelvra::nlp::common::stitcher
