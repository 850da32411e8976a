#include "kelvra/nlp/common/sectioner.h"

#include <algorithm>

#include "kelvra/common/exceptions.h"
#include "kelvra/common/utf8.h"

namespace kelvra::nlp::common::sectioner {

using kelvra::common::add_positions;
using kelvra::common::at;
using kelvra::common::ErrorCodes;
using kelvra::common::has_key;
using kelvra::common::KvException;
using kelvra::common::require_integer;
using kelvra::common::require_list;
using kelvra::common::require_map;
using kelvra::common::require_position;
using kelvra::common::require_string;
namespace utf8 = kelvra::common::utf8;

namespace {

Record make_segment(std::string_view text, std::int64_t offset, std::int64_t length) {
  Record segment = Record::object();
  segment["text"] = std::string(text);
  segment["offset"] = offset;
  segment["length"] = length;
  return segment;
}

[[noreturn]] void invalid_length(std::int64_t length, std::string_view why) {
  throw KvException(ErrorCodes::INVALID_PARAMETERS,
                    "length must be " + std::string(why) + ", got " + std::to_string(length));
}

// Subtracts `shift` from the position under "offset" of `holder` (checked
// already, and at least `shift`).
void rebase(Record& holder, std::int64_t shift) {
  Record& offset = holder["offset"];
  offset = require_integer(offset, "offset") - shift;
}

// The smallest range [begin, end] that holds every piece of an entity. A
// multi-piece entity without spans lies in every segment (`anywhere`).
struct Extent {
  std::int64_t begin = 0;
  std::int64_t end = 0;
  bool anywhere = false;
};

// The start and end of a range under "offset" and "length" of `holder`.
std::pair<std::int64_t, std::int64_t> range_of(const Record& holder, std::string_view parameter) {
  const std::int64_t offset = require_position(at(holder, "offset", parameter), "offset");
  const std::int64_t length = require_position(at(holder, "length", parameter), "length");
  return {offset, add_positions(offset, length, "length")};
}

// Reads and checks every position of `ne`: KeyError for a missing key,
// TypeError for a value of the wrong kind, KvException for a negative
// position or a range beyond 64 bits.
Extent extent_of(const Record& ne) {
  require_map(ne, "ne");
  if (has_key(ne, "offset")) {
    auto [begin, end] = range_of(ne, "ne");
    return {begin, end, false};
  }
  const Record& spans = require_list(at(ne, "spans", "ne"), "spans");
  if (spans.empty()) return {0, 0, true};
  Extent extent{INT64_MAX, 0, false};
  for (const Record& span : spans) {
    auto [begin, end] = range_of(span, "span");
    extent.begin = std::min(extent.begin, begin);
    extent.end = std::max(extent.end, end);
  }
  return extent;
}

std::optional<std::vector<std::string>> checked_separator(
    std::optional<std::vector<std::string>> separator) {
  if (separator)
    for (const auto& ch : *separator) utf8::require_valid(ch, "separator");
  return separator;
}

}  // namespace

Sectioner::Sectioner(std::optional<std::vector<std::string>> separator)
    : phraser(checked_separator(std::move(separator))) {}

std::vector<Record> Sectioner::split(const Record& input_, std::string_view type_) const {
  return split_input(input_, type_, nullptr);
}

std::vector<Record> Sectioner::split(Record&& input_, std::string_view type_) const {
  return split_input(input_, type_, &input_);
}

std::vector<Record> Sectioner::split_input(const Record& input_, std::string_view type_,
                                           Record* owned_input) const {
  require_map(input_, "input_");
  if (type_ == "ner") {
    const std::string& text = require_string(at(input_, "text", "input_"), "text");
    return _split_text_by_length(text, require_integer(at(input_, "length", "input_"), "length"));
  }
  if (type_ == "relation") {
    const Record& feature_set = at(input_, "feature_set", "input_");
    const std::int64_t length = require_integer(at(input_, "length", "input_"), "length");
    // The entities of a handed-over input may be moved into the segments.
    Record* owned_nes = nullptr;
    if (owned_input != nullptr) {
      Record& owned_features = (*owned_input)["feature_set"];
      if (owned_features.is_object())
        if (auto it = owned_features.find("nes"); it != owned_features.end()) owned_nes = &*it;
    }
    return split_feature_set(feature_set, length, owned_nes);
  }
  throw KvException(ErrorCodes::INVALID_PARAMETERS, R"(type_ must in ["ner", "relation"])");
}

std::vector<Record> Sectioner::_split_text_by_length(std::string_view text,
                                                     std::int64_t length) const {
  std::vector<Record> segments;
  for_each_segment(text, length, [&](const SegmentSpan& span) {
    segments.push_back(make_segment(text.substr(span.byte_begin, span.byte_end - span.byte_begin),
                                    span.offset, span.length));
  });
  return segments;
}

void Sectioner::for_each_segment(std::string_view text, std::int64_t length,
                                 const std::function<void(const SegmentSpan&)>& visit) const {
  utf8::require_valid(text, "text");
  if (length < 0) invalid_length(length, "at least 0");
  if (length < 1 && !text.empty()) invalid_length(length, "at least 1 for a non-empty text");

  const auto text_length = static_cast<std::int64_t>(utf8::length(text));
  if (text_length <= length) {
    visit(SegmentSpan{0, text.size(), 0, text_length});
    return;
  }
  for_each_segment(text, length, [&](const auto& emit) { phraser.for_each_sentence(text, emit); },
                   visit);
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
        const auto piece_length = static_cast<std::int64_t>(utf8::length(text.substr(begin, end - begin)));
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
  if (pending_length > 0) visit(SegmentSpan{pending_begin, pending_end, pending_offset, pending_length});
}

std::pair<std::vector<Record>, std::int64_t> Sectioner::_split_extra_long_sentence(
    std::string_view sentence, std::int64_t length, std::int64_t segment_offset) const {
  utf8::require_valid(sentence, "sentence");
  if (length < 1) invalid_length(length, "at least 1 to cut a sentence");
  if (segment_offset < 0)
    throw KvException(ErrorCodes::INVALID_PARAMETERS,
                      "`segment_offset` must be a position or length of at least 0, got " +
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
  require_map(ne, "ne");
  auto [start, end] = range_of(require_map(segment, "segment"), "segment");
  const Extent extent = extent_of(ne);
  return extent.anywhere || (extent.begin >= start && extent.end <= end);
}

std::vector<Record> Sectioner::_split_feature_set(const Record& feature_set,
                                                  std::int64_t length) const {
  return split_feature_set(feature_set, length, nullptr);
}

std::vector<Record> Sectioner::split_feature_set(const Record& feature_set, std::int64_t length,
                                                 Record* owned_nes) const {
  require_map(feature_set, "feature_set");
  const std::string& text = require_string(at(feature_set, "text", "feature_set"), "text");
  std::vector<Record> segments = _split_text_by_length(text, length);
  const Record& nes = require_list(at(feature_set, "nes", "feature_set"), "nes");

  // Segments are contiguous and in order, so both their starts and their
  // ends ascend, and the segments that hold a range [begin, end] are one run:
  // from the first that ends at or after `end` to the last that starts at or
  // before `begin`. Each entity is placed by two binary searches instead of
  // being tested against every segment.
  std::vector<std::int64_t> starts, ends;
  starts.reserve(segments.size());
  ends.reserve(segments.size());
  for (const Record& segment : segments) {
    starts.push_back(segment["offset"].get<std::int64_t>());
    ends.push_back(starts.back() + segment["length"].get<std::int64_t>());
  }
  // Every entity is read and checked before any segment is filled.
  std::vector<std::vector<std::size_t>> inside(segments.size());
  std::vector<std::size_t> placements(nes.size(), 0);
  for (std::size_t index = 0; index < nes.size(); ++index) {
    const Extent extent = extent_of(nes[index]);
    std::size_t first = 0, last = segments.size();  // the run [first, last)
    if (!extent.anywhere) {
      first = static_cast<std::size_t>(std::lower_bound(ends.begin(), ends.end(), extent.end) - ends.begin());
      last = static_cast<std::size_t>(std::upper_bound(starts.begin(), starts.end(), extent.begin) - starts.begin());
    }
    for (std::size_t s = first; s < last; ++s) inside[s].push_back(index);
    placements[index] = last > first ? last - first : 0;
  }

  for (std::size_t s = 0; s < segments.size(); ++s) {
    Record& segment = segments[s];
    const std::int64_t shift = starts[s];
    Record copies = Record::array();
    copies.get_ref<Record::array_t&>().reserve(inside[s].size());
    for (std::size_t index : inside[s]) {
      // An entity the caller handed over is moved into the last segment
      // that holds it (rarely more than one: a zero-length entity at a
      // boundary, or one without spans).
      Record copy = owned_nes != nullptr && --placements[index] == 0 ? std::move((*owned_nes)[index])
                                                                     : Record(nes[index]);
      if (has_key(copy, "offset")) {
        rebase(copy, shift);
      } else {
        for (Record& span : copy["spans"]) rebase(span, shift);
      }
      copies.push_back(std::move(copy));
    }
    Record segment_features = Record::object();
    segment_features["text"] = segment["text"];
    segment_features["nes"] = std::move(copies);
    segment["feature_set"] = std::move(segment_features);
  }
  return segments;
}

}  // namespace kelvra::nlp::common::sectioner
