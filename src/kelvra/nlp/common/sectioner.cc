#include "kelvra/nlp/common/sectioner.h"

#include <algorithm>
#include <deque>
#include <utility>

#include "kelvra/common/exceptions.h"
#include "kelvra/common/internal/json_model.h"
#include "kelvra/common/utf8.h"
#include "kelvra/nlp/common/internal/sectioning.h"

namespace kelvra::nlp::common::sectioner {

using kelvra::common::add_positions;
using kelvra::common::ErrorCodes;
using kelvra::common::KvException;
namespace utf8 = kelvra::common::utf8;
namespace records = kelvra::common::records;

using M = kelvra::common::records::JsonModel;

namespace {

Record make_segment(std::string_view text, std::int64_t offset, std::int64_t length) {
  return kelvra::common::build_record(
      [&](auto& out) { segment_members(out, text, offset, length); });
}

[[noreturn]] void invalid_length(std::int64_t length, std::string_view why) {
  throw KvException(ErrorCodes::INVALID_PARAMETERS,
                    "length must be " + std::string(why) + ", got " + std::to_string(length));
}

std::optional<std::vector<std::string>> checked_separator(
    std::optional<std::vector<std::string>> separator) {
  if (separator)
    for (const auto& ch : *separator) utf8::require_valid(ch, "separator");
  return separator;
}

// The characters of valid UTF-8 `text` beyond U+FFFF (four-byte
// sequences), each two UTF-16 units.
std::size_t beyond_bmp(std::string_view text) noexcept {
  std::size_t count = 0;
  for (const char byte : text) count += static_cast<unsigned char>(byte) >= 0xF0;
  return count;
}

// The byte position `count` code points before `pos` in valid UTF-8.
std::size_t back_code_points(std::string_view text, std::size_t pos, std::int64_t count) {
  for (; count > 0; --count) {
    do --pos;
    while (pos > 0 && (static_cast<unsigned char>(text[pos]) & 0xC0) == 0x80);
  }
  return pos;
}

}  // namespace

Measure::Measure(Size size) : kind_(Kind::kFunction), size_(std::move(size)) {
  if (!size_)
    throw KvException(ErrorCodes::INVALID_PARAMETERS, "measure must be a size function, got none");
}

Measure Measure::named(std::string_view name) {
  Measure measure;
  if (name == "code-points") return measure;
  if (name == "utf-8-bytes") {
    measure.kind_ = Kind::kUtf8Bytes;
  } else if (name == "utf-16-units") {
    measure.kind_ = Kind::kUtf16Units;
  } else {
    throw KvException(ErrorCodes::INVALID_PARAMETERS,
                      "measure must be one of \"code-points\", \"utf-8-bytes\", "
                      "\"utf-16-units\", got \"" +
                          std::string(name) + "\"");
  }
  return measure;
}

std::string_view Measure::name() const noexcept {
  switch (kind_) {
    case Kind::kCodePoints:
      return "code-points";
    case Kind::kUtf8Bytes:
      return "utf-8-bytes";
    case Kind::kUtf16Units:
      return "utf-16-units";
    case Kind::kFunction:
      break;
  }
  return "function";
}

std::size_t Measure::operator()(std::string_view text) const {
  switch (kind_) {
    case Kind::kCodePoints:
      return utf8::length(text);
    case Kind::kUtf8Bytes:
      return text.size();
    case Kind::kUtf16Units:
      return utf8::length(text) + beyond_bmp(text);
    case Kind::kFunction:
      break;
  }
  return size_(text);
}

Sectioner::Sectioner(std::optional<std::vector<std::string>> separator)
    : phraser(checked_separator(std::move(separator))) {}

Sectioner::Sectioner(std::optional<std::vector<std::string>> separator, SectionerOptions options)
    : phraser(checked_separator(std::move(separator))), options_(std::move(options)) {}

std::vector<Record> Sectioner::split(const Record& input_, std::string_view type_) const {
  return internal::split<M>(*this, M::view(input_), type_, false);
}

std::vector<Record> Sectioner::split(Record&& input_, std::string_view type_) const {
  return internal::split<M>(*this, M::view(input_), type_, true);
}

std::vector<Record> Sectioner::split(const Record& input_, std::string_view type_,
                                     std::int64_t threads) const {
  return internal::split<M>(*this, M::view(input_), type_, false, threads);
}

std::vector<Record> Sectioner::split(Record&& input_, std::string_view type_,
                                     std::int64_t threads) const {
  return internal::split<M>(*this, M::view(input_), type_, true, threads);
}

std::vector<Record> Sectioner::split(const Record& input_, std::string_view type_,
                                     kelvra::common::ThreadPool& pool) const {
  return internal::split<M>(*this, M::view(input_), type_, false, pool.threads(), &pool);
}

std::vector<Record> Sectioner::split(Record&& input_, std::string_view type_,
                                     kelvra::common::ThreadPool& pool) const {
  return internal::split<M>(*this, M::view(input_), type_, true, pool.threads(), &pool);
}

std::vector<Record> Sectioner::_split_text_by_length(std::string_view text,
                                                     std::int64_t length) const {
  // The library's records need no string value to cut the texts from.
  return internal::text_segments<M>(*this, nullptr, text, length);
}

void Sectioner::for_each_segment(std::string_view text, std::int64_t length,
                                 const std::function<void(const SegmentSpan&)>& visit) const {
  utf8::require_valid(text, "text");
  if (length < 0) invalid_length(length, "at least 0");
  if (length < 1 && !text.empty()) invalid_length(length, "at least 1 for a non-empty text");
  if (options_.measure.kind() != Measure::Kind::kCodePoints) {
    for_each_overlapping_segment(text, length, 0,
                                 [&](const SegmentSpan& span, std::int64_t) { visit(span); });
    return;
  }

  const auto text_length = static_cast<std::int64_t>(utf8::length(text));
  if (text_length <= length) {
    visit(SegmentSpan{0, text.size(), 0, text_length});
    return;
  }
  for_each_segment(
      text, length, [&](const auto& emit) { phraser.for_each_sentence(text, emit); }, visit);
}

// A text no longer than `length` packs into one segment here too; only an
// empty one, which has no sentences, needs its segment made.
void Sectioner::for_each_segment(std::string_view text, std::int64_t length,
                                 const SentenceSource& sentences,
                                 const std::function<void(const SegmentSpan&)>& visit) const {
  if (length < 0) invalid_length(length, "at least 0");
  if (length < 1 && !text.empty()) invalid_length(length, "at least 1 for a non-empty text");
  if (text.empty()) {
    visit(SegmentSpan{0, 0, 0, 0});
    return;
  }
  if (options_.measure.kind() != Measure::Kind::kCodePoints) {
    pack_measured(text, length, 0, sentences,
                  [&](const SegmentSpan& span, std::int64_t) { visit(span); });
    return;
  }

  // Sentences are contiguous, so the pending text is a byte range of `text`.
  std::size_t pending_begin = 0;
  std::size_t pending_end = 0;
  std::int64_t pending_offset = 0;
  std::int64_t pending_length = 0;
  sentences([&](const phraser::SentenceSpan& sentence) {
    if (pending_length > 0 && pending_length + sentence.length > length) {
      visit(SegmentSpan{pending_begin, pending_end, pending_offset, pending_length});
      pending_offset += pending_length;
      pending_length = 0;
    }
    if (sentence.length > length) {
      // Pieces of exactly `length` code points, the last one shorter.
      for (std::size_t begin = sentence.byte_begin; begin < sentence.byte_end;) {
        const std::size_t end = utf8::advance(text.substr(0, sentence.byte_end), begin,
                                              static_cast<std::size_t>(length));
        const auto piece_length =
            static_cast<std::int64_t>(utf8::length(text.substr(begin, end - begin)));
        visit(SegmentSpan{begin, end, pending_offset, piece_length});
        pending_offset += piece_length;
        begin = end;
      }
      return;
    }
    if (pending_length == 0) pending_begin = sentence.byte_begin;
    pending_end = sentence.byte_end;
    pending_length += sentence.length;
  });
  if (pending_length > 0)
    visit(SegmentSpan{pending_begin, pending_end, pending_offset, pending_length});
}

void Sectioner::for_each_overlapping_segment(
    std::string_view text, std::int64_t length, std::int64_t overlap,
    const std::function<void(const SegmentSpan&, std::int64_t context)>& visit) const {
  utf8::require_valid(text, "text");
  if (length < 0) invalid_length(length, "at least 0");
  if (length < 1 && !text.empty()) invalid_length(length, "at least 1 for a non-empty text");
  if (overlap < 0)
    records::unusable_number("overlap", "a whole number of at least 0", std::to_string(overlap));
  // At most length - 1, so that every segment holds at least one code
  // point of its own.
  const std::int64_t most = std::min(overlap, length > 0 ? length - 1 : 0);
  const bool code_points = options_.measure.kind() == Measure::Kind::kCodePoints;
  if (code_points && most == 0) {
    for_each_segment(text, length, [&](const SegmentSpan& span) { visit(span, 0); });
    return;
  }
  const bool fits = code_points ? static_cast<std::int64_t>(utf8::length(text)) <= length
                                : options_.measure(text) <= static_cast<std::size_t>(length);
  if (text.empty() || fits) {
    visit(SegmentSpan{0, text.size(), 0, static_cast<std::int64_t>(utf8::length(text))}, 0);
    return;
  }
  pack_measured(
      text, length, most, [&](const auto& emit) { phraser.for_each_sentence(text, emit); }, visit);
}

void Sectioner::pack_measured(
    std::string_view text, std::int64_t length, std::int64_t most, const SentenceSource& sentences,
    const std::function<void(const SegmentSpan&, std::int64_t)>& visit) const {
  const Measure& measure = options_.measure;
  const auto budget = static_cast<std::size_t>(length);
  const std::int64_t least = most - most / 2;  // ceil(most / 2)

  struct Point {
    std::size_t byte;
    std::int64_t offset;
  };
  // The size of [from, to) in the measure; the built-in measures are
  // additive and need no text scanned but for UTF-16's four-byte sequences.
  const auto size_of = [&](Point from, Point to) -> std::size_t {
    switch (measure.kind()) {
      case Measure::Kind::kCodePoints:
        return static_cast<std::size_t>(to.offset - from.offset);
      case Measure::Kind::kUtf8Bytes:
        return to.byte - from.byte;
      case Measure::Kind::kUtf16Units:
        return static_cast<std::size_t>(to.offset - from.offset) +
               beyond_bmp(text.substr(from.byte, to.byte - from.byte));
      case Measure::Kind::kFunction:
        break;
    }
    return measure(text.substr(from.byte, to.byte - from.byte));
  };
  const bool additive = measure.kind() != Measure::Kind::kFunction;

  // Sentence starts no further back than `most` before the own span: the
  // places the next context may begin.
  std::deque<Point> starts;
  Point segment_start{0, 0};     // where the current segment begins, context included
  Point own{0, 0};               // where its own span begins
  Point pending_end{0, 0};       // where its own span ends so far
  std::size_t pending_size = 0;  // the size of [segment_start, pending_end) as last worked out
  std::vector<std::size_t> boundaries;  // code point starts of a sentence being cut

  const auto emit = [&](Point end) {
    visit(SegmentSpan{segment_start.byte, end.byte, segment_start.offset,
                      end.offset - segment_start.offset},
          own.offset - segment_start.offset);
  };
  // Halves the context of a segment whose own span begins at `at`.
  const auto shorten_context = [&](Point at) {
    const std::int64_t reach = (at.offset - segment_start.offset) / 2;
    segment_start = Point{back_code_points(text, at.byte, reach), at.offset - reach};
    pending_size = additive ? size_of(segment_start, at) : 0;
  };
  // Starts the next segment with its own span at `at`.
  const auto begin_segment = [&](Point at) {
    own = pending_end = at;
    while (!starts.empty() && starts.front().offset < at.offset - most) starts.pop_front();
    // Neither before the previous segment's start nor before the text's.
    std::int64_t reach = std::min(most, at.offset - segment_start.offset);
    Point from{at.byte, at.offset};
    bool aligned = false;
    for (const Point& start : starts) {
      if (start.offset < at.offset - reach) continue;
      if (start.offset <= at.offset - least) {
        from = start;
        aligned = true;
      }
      break;
    }
    if (!aligned) from = Point{back_code_points(text, at.byte, reach), at.offset - reach};
    segment_start = from;
    // A function is not asked about the context alone: a context that
    // leaves no room is found when the segment is cut (below).
    pending_size = from.offset == at.offset || !additive ? 0 : size_of(segment_start, at);
    // A context that leaves no room beside it is halved until it does.
    while (pending_size >= budget && segment_start.offset < at.offset) shorten_context(at);
  };
  // The size of [segment_start, to), `from` being pending_end.
  const auto candidate_size = [&](Point from, Point to) {
    return additive ? pending_size + size_of(from, to) : size_of(segment_start, to);
  };
  // The furthest point in (from, to) up to which the segment still fits,
  // or `from` when not even one code point does.
  // `full_size`: the size up to `to`, known to be beyond the budget.
  const auto furthest_fit = [&](Point from, Point to, std::size_t full_size) -> Point {
    if (measure.kind() == Measure::Kind::kCodePoints) {
      const auto room = static_cast<std::size_t>(length - (from.offset - segment_start.offset));
      return Point{utf8::advance(text.substr(0, to.byte), from.byte, room),
                   from.offset + static_cast<std::int64_t>(room)};
    }
    if (measure.kind() == Measure::Kind::kUtf8Bytes) {
      // The byte budget ends inside the text: back to a character's start.
      std::size_t end = std::min(to.byte, segment_start.byte + budget);
      while (end > from.byte && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
      return Point{end, from.offset + static_cast<std::int64_t>(
                                          utf8::length(text.substr(from.byte, end - from.byte)))};
    }
    if (additive) {
      Point at = from;
      std::size_t size = pending_size;
      while (at.byte < to.byte) {
        std::size_t next = at.byte;
        size += utf8::next(text, next) >= 0x10000 ? 2u : 1u;
        if (size > budget) break;
        at = Point{next, at.offset + 1};
      }
      return at;
    }
    // Any other measure: a search over the code points of the rest, each
    // probe placed where the sizes measured so far say the budget ends
    // (a bisection when that did not halve the range), so that a measure
    // that grows about evenly is asked a few times per cut.
    boundaries.clear();
    for (std::size_t b = from.byte; b < to.byte; utf8::next(text, b)) boundaries.push_back(b);
    boundaries.push_back(to.byte);
    std::size_t fitting = 0, failing = boundaries.size() - 1;  // counts of code points
    std::size_t fitting_size = pending_size, failing_size = full_size;
    bool bisect = false;
    while (failing - fitting > 1) {
      std::size_t middle = fitting + (failing - fitting) / 2;
      if (!bisect && failing_size > fitting_size && budget >= fitting_size) {
        const double share = static_cast<double>(budget - fitting_size) /
                             static_cast<double>(failing_size - fitting_size);
        middle = fitting + static_cast<std::size_t>(share * static_cast<double>(failing - fitting));
        middle = std::clamp(middle, fitting + 1, failing - 1);
      }
      const std::size_t range = failing - fitting;
      const std::size_t size = size_of(segment_start, Point{boundaries[middle], 0});
      if (size <= budget) {
        fitting = middle;
        fitting_size = size;
      } else {
        failing = middle;
        failing_size = size;
      }
      bisect = 2 * (failing - fitting) > range;
    }
    return Point{boundaries[fitting], from.offset + static_cast<std::int64_t>(fitting)};
  };

  sentences([&](const phraser::SentenceSpan& sentence) {
    if (most > 0) starts.push_back(Point{sentence.byte_begin, sentence.offset});
    Point from{sentence.byte_begin, sentence.offset};
    const Point to{sentence.byte_end, sentence.offset + sentence.length};
    bool cut_inside = false;
    for (;;) {
      const std::size_t size = candidate_size(from, to);
      if (size <= budget) {
        pending_end = to;
        pending_size = size;
        // As without a measure, the last piece of a sentence cut inside is
        // never packed with the text after it.
        if (cut_inside && pending_end.offset > own.offset) {
          emit(pending_end);
          begin_segment(pending_end);
        }
        return;
      }
      if (pending_end.offset > own.offset) {
        emit(pending_end);
        begin_segment(pending_end);
        continue;
      }
      // Too long for the room beside the context: a piece that fills it.
      Point cut = furthest_fit(from, to, size);
      if (cut.offset == from.offset) {
        if (segment_start.offset < own.offset) {  // no room beside the context
          shorten_context(own);
          continue;
        }
        // One code point beyond the budget on its own.
        std::size_t next = from.byte;
        utf8::next(text, next);
        cut = Point{next, from.offset + 1};
      }
      emit(cut);
      begin_segment(cut);
      from = cut;
      cut_inside = true;
    }
  });
  if (pending_end.offset > own.offset) emit(pending_end);
}

std::pair<std::vector<Record>, std::int64_t> Sectioner::_split_extra_long_sentence(
    std::string_view sentence, std::int64_t length, std::int64_t segment_offset) const {
  utf8::require_valid(sentence, "sentence");
  if (length < 1) invalid_length(length, "at least 1 to cut a sentence");
  if (segment_offset < 0)
    records::unusable_number("segment_offset", records::kNonNegative,
                             std::to_string(segment_offset));
  std::vector<Record> pieces;
  for (std::size_t begin = 0; begin < sentence.size();) {
    std::size_t end = utf8::advance(sentence, begin, static_cast<std::size_t>(length));
    std::string_view piece = sentence.substr(begin, end - begin);
    auto piece_length = static_cast<std::int64_t>(utf8::length(piece));
    pieces.push_back(make_segment(piece, segment_offset, piece_length));
    segment_offset = add_positions(segment_offset, piece_length, "segment_offset");
    begin = end;
  }
  return {std::move(pieces), segment_offset};
}

bool Sectioner::_judge_entity_in_segment(const Record& ne, const Record& segment) {
  return internal::judge_entity_in_segment<M>(M::view(ne), M::view(segment));
}

std::vector<Record> Sectioner::_split_feature_set(const Record& feature_set,
                                                  std::int64_t length) const {
  return internal::split_feature_set<M>(*this, M::view(feature_set), length, false);
}

}  // namespace kelvra::nlp::common::sectioner
