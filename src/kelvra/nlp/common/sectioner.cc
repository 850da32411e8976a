#include "kelvra/nlp/common/sectioner.h"

#include "kelvra/common/exceptions.h"
#include "kelvra/common/utf8.h"

namespace kelvra::nlp::common::sectioner {

using kelvra::common::at;
using kelvra::common::ErrorCodes;
using kelvra::common::has_key;
using kelvra::common::KvException;
using kelvra::common::require_integer;
using kelvra::common::require_list;
using kelvra::common::require_map;
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

// Subtracts `shift` from the integer under "offset" of `holder`.
void rebase(Record& holder, std::int64_t shift) {
  Record& offset = at(holder, "offset");
  offset = require_integer(offset, "offset") - shift;
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
  require_map(input_, "input_");
  if (type_ == "ner") {
    const std::string& text = require_string(at(input_, "text", "input_"), "text");
    return _split_text_by_length(text, require_integer(at(input_, "length", "input_"), "length"));
  }
  if (type_ == "relation") {
    const Record& feature_set = at(input_, "feature_set", "input_");
    return _split_feature_set(feature_set,
                              require_integer(at(input_, "length", "input_"), "length"));
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

  // Sentences are contiguous, so the pending text is a byte range of `text`.
  std::size_t pending_begin = 0;
  std::size_t pending_end = 0;
  std::int64_t pending_offset = 0;
  std::int64_t pending_length = 0;
  phraser.for_each_sentence(text, [&](const phraser::SentenceSpan& sentence) {
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
  std::vector<Record> pieces;
  for (std::size_t begin = 0; begin < sentence.size();) {
    std::size_t end = utf8::advance(sentence, begin, static_cast<std::size_t>(length));
    std::string_view piece = sentence.substr(begin, end - begin);
    auto piece_length = static_cast<std::int64_t>(utf8::length(piece));
    pieces.push_back(make_segment(piece, segment_offset, piece_length));
    segment_offset += piece_length;
    begin = end;
  }
  return {std::move(pieces), segment_offset};
}

bool Sectioner::_judge_entity_in_segment(const Record& ne, const Record& segment) {
  require_map(ne, "ne");
  require_map(segment, "segment");
  const std::int64_t start = require_integer(at(segment, "offset", "segment"), "offset");
  const std::int64_t end = start + require_integer(at(segment, "length", "segment"), "length");
  if (has_key(ne, "offset")) {
    const std::int64_t offset = require_integer(at(ne, "offset", "ne"), "offset");
    if (offset < start) return false;
    return offset + require_integer(at(ne, "length", "ne"), "length") <= end;
  }
  for (const Record& span : require_list(at(ne, "spans", "ne"), "spans")) {
    const std::int64_t offset = require_integer(at(span, "offset", "span"), "offset");
    if (offset < start) return false;
    if (offset + require_integer(at(span, "length", "span"), "length") > end) return false;
  }
  return true;
}

std::vector<Record> Sectioner::_split_feature_set(const Record& feature_set,
                                                  std::int64_t length) const {
  require_map(feature_set, "feature_set");
  const std::string& text = require_string(at(feature_set, "text", "feature_set"), "text");
  std::vector<Record> segments = _split_text_by_length(text, length);
  const Record& nes = require_list(at(feature_set, "nes", "feature_set"), "nes");
  for (Record& segment : segments) {
    const std::int64_t shift = segment["offset"].get<std::int64_t>();
    Record inside = Record::array();
    for (const Record& ne : nes) {
      if (!_judge_entity_in_segment(ne, segment)) continue;
      Record copy = ne;  // a deep copy: the caller's entity keeps its positions
      if (has_key(copy, "offset")) {
        rebase(copy, shift);
      } else {
        for (Record& span : at(copy, "spans", "ne")) rebase(span, shift);
      }
      inside.push_back(std::move(copy));
    }
    Record segment_features = Record::object();
    segment_features["text"] = segment["text"];
    segment_features["nes"] = std::move(inside);
    segment["feature_set"] = std::move(segment_features);
  }
  return segments;
}

}  // namespace kelvra::nlp::common::sectioner
