// Entity material from an annotated document (gleaner.h has the rules in
// full), for any representation of records: the gleaner instantiates it
// with the library's records, the Python extension with the caller's own
// objects, so that passages hold the very entity records of the document.
//
//   auto passages = extract<M>(M::view(doc), /*move=*/false);
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kelvra/common/exceptions.h"
#include "kelvra/common/internal/record_model.h"
#include "kelvra/common/record.h"
#include "kelvra/common/utf8.h"

namespace kelvra::nlp::common::gleaner::internal {

namespace records = kelvra::common::records;
using kelvra::common::Kinds;

// One line passage of a text.
struct Passage {
  std::string_view text;  // a view into the document text
  std::int64_t offset;    // code points
  std::int64_t end;       // offset + the code points of text
};

// The passages of valid UTF-8 `text`, in order.
std::vector<Passage> cut_passages(std::string_view text);

// Where `passage` lies in `text`, whose view it is.
inline records::Slice slice_of(std::string_view text, const Passage& passage) {
  const auto begin = static_cast<std::size_t>(passage.text.data() - text.data());
  return {begin, begin + passage.text.size(), passage.offset, passage.end};
}

// What normalising one entity record does to it, worked out before any
// record is changed, so that a bad record leaves all of them as they were.
template <records::RecordModel M>
struct Normalised {
  typename M::Value entity;
  bool drop_uuid = false;
  bool rename = false;              // `name`/`category` become `text`/`type`
  std::optional<std::string> text;  // the text without its line feeds, when it had any
  // The positions after normalising, read only for an entity with a
  // non-empty text (the only kind that can be placed).
  bool placeable = false;
  std::int64_t offset = 0;
  std::int64_t length = 0;
};

template <records::RecordModel M>
Normalised<M> plan(typename M::Value entity) {
  using records::keys::category;
  using records::keys::name;
  using records::keys::uuid;
  records::require<M>(entity, Kinds::map, "ref_entities");
  Normalised<M> result;
  if (auto value = M::find(entity, uuid)) result.drop_uuid = !records::is_empty_value<M>(value);
  typename M::Value surface = M::find(entity, name);
  if (surface && !records::is_empty_value<M>(surface)) {
    result.rename = true;
    records::at<M>(entity, category, "ref_entities");  // must be there to move
  } else {
    surface = records::at<M>(entity, records::keys::text, "ref_entities");
  }
  const std::string_view text = records::string_of<M>(surface, "text");
  const auto read = [&entity](records::Key key) {
    return records::position_of<M>(records::at<M>(entity, key, "ref_entities"), key.name);
  };
  if (text.find('\n') != std::string_view::npos) {
    // Line feeds before the first kept code point move the start on; every
    // line feed removed shortens the entity.
    std::size_t leading = text.find_first_not_of('\n');
    if (leading == std::string_view::npos) leading = text.size();
    std::string kept;
    kept.reserve(text.size());
    for (char c : text)
      if (c != '\n') kept.push_back(c);
    const auto removed = static_cast<std::int64_t>(text.size() - kept.size());
    result.offset = kelvra::common::add_positions(read(records::keys::offset),
                                                  static_cast<std::int64_t>(leading), "offset");
    const std::int64_t length = read(records::keys::length);
    // A length that does not even count the line feeds would turn negative.
    if (length < removed)
      throw kelvra::common::KvException(kelvra::common::ErrorCodes::INVALID_PARAMETERS,
                                        "`length` must count the " + std::to_string(removed) +
                                            " line feed(s) of `text`, got " +
                                            std::to_string(length));
    result.length = length - removed;
    result.placeable = !kept.empty();
    result.text = std::move(kept);
  } else if (!text.empty()) {
    result.offset = read(records::keys::offset);
    result.length = read(records::keys::length);
    result.placeable = true;
  }
  // The end is compared with passage ends: it must exist.
  if (result.placeable) kelvra::common::add_positions(result.offset, result.length, "length");
  result.entity = std::move(entity);
  return result;
}

template <records::RecordModel M>
void apply(Normalised<M>& change) {
  using namespace records::keys;
  const typename M::Value& entity = change.entity;
  if (change.drop_uuid) M::take(entity, uuid);
  if (change.rename) {
    typename M::Owned surface = M::take(entity, name);
    typename M::Owned category_value = M::take(entity, category);
    M::set(entity, text, std::move(surface));
    M::set(entity, type, std::move(category_value));
  }
  if (change.text) {
    M::set(entity, text, M::make_string(*change.text));
    M::set(entity, offset, M::make_integer(change.offset));
    M::set(entity, length, M::make_integer(change.length));
  }
}

// Normalises every entity record of the list `entities` in place and
// returns what was done to each. Nothing is changed when any record is bad.
template <records::RecordModel M>
std::vector<Normalised<M>> normalise_all(const typename M::Value& entities) {
  std::vector<Normalised<M>> changes;
  changes.reserve(M::size(entities));
  for (std::size_t i = 0; i < M::size(entities); ++i)
    changes.push_back(plan<M>(M::item(entities, i)));
  for (Normalised<M>& change : changes) apply<M>(change);
  return changes;
}

// True when the entity lies entirely inside [begin, end).
template <records::RecordModel M>
bool lies_inside(const Normalised<M>& entity, std::int64_t begin, std::int64_t end) {
  return entity.placeable && entity.offset >= begin && entity.length >= 0 &&
         entity.offset + entity.length <= end;
}

// A passage record: {"text", "offset", "entities"}.
template <records::RecordModel M>
typename M::Owned passage_record(const typename M::Value& text_value, std::string_view text,
                                 const Passage& passage, typename M::Owned entities) {
  typename M::Owned record = M::make_map();
  const typename M::Value view = M::view(record);
  M::set(view, records::keys::text, M::make_substring(text_value, text, slice_of(text, passage)));
  M::set(view, records::keys::offset, M::make_integer(passage.offset));
  M::set(view, records::keys::entities, std::move(entities));
  return record;
}

// The passages of the document `doc` with the entities inside each, or
// absent (gleaner.h). `move`: the document's entity records may be moved
// into the passages rather than shared.
template <records::RecordModel M>
std::optional<std::vector<typename M::Owned>> extract(const typename M::Value& doc, bool move) {
  using Value = typename M::Value;
  if (M::kind(doc) == records::ValueKind::kNull) return std::nullopt;
  records::require<M>(doc, Kinds::map, "doc");
  // The first text key whose value is not empty; it must then be a string.
  Value text_value;
  std::string_view text;
  for (records::Key key :
       {records::keys::text, records::keys::zh_content, records::keys::content_zh}) {
    text_value = M::find(doc, key);
    if (!text_value || records::is_empty_value<M>(text_value)) continue;
    text = records::string_of<M>(text_value, key.name);
    break;
  }
  if (text.empty()) return std::nullopt;
  std::vector<Passage> cut;
  {
    [[maybe_unused]] typename M::Unlocked unlocked;
    cut = cut_passages(text);
  }
  if (cut.empty()) return std::nullopt;

  Value entities = M::find(doc, records::keys::entities);  // a missing key counts as null
  if (entities && M::kind(entities) == records::ValueKind::kNull) entities = Value{};
  if (entities) records::require<M>(entities, Kinds::list, "entities");
  std::vector<std::vector<Value>> inside(cut.size());
  if (entities && M::size(entities) > 0) {
    const std::vector<Normalised<M>> changes = normalise_all<M>(entities);
    // Passages neither overlap nor touch (a line feed lies between two), so
    // the only passage that can hold an entity is the last one starting at
    // or before it. Entities are visited in list order, which is the order
    // each passage lists them in.
    for (const Normalised<M>& entity : changes) {
      auto after =
          std::upper_bound(cut.begin(), cut.end(), entity.offset,
                           [](std::int64_t at, const Passage& p) { return at < p.offset; });
      if (after == cut.begin()) continue;
      const Passage& passage = *(after - 1);
      if (!lies_inside(entity, passage.offset, passage.end)) continue;
      M::set(entity.entity, records::keys::offset, M::make_integer(entity.offset - passage.offset));
      inside[static_cast<std::size_t>(after - 1 - cut.begin())].push_back(entity.entity);
    }
  }
  std::vector<typename M::Owned> passages;
  passages.reserve(cut.size());
  for (std::size_t p = 0; p < cut.size(); ++p) {
    typename M::Owned list = M::make_null();
    if (!inside[p].empty()) {
      list = M::make_list(inside[p].size());
      for (const Value& entity : inside[p])
        M::append(list, move ? M::move_out(entity) : M::share(entity));
    }
    passages.push_back(passage_record<M>(text_value, text, cut[p], std::move(list)));
  }
  return passages;
}

// The passages of `text` (valid UTF-8, the string `text_value` where the
// model needs it), with "text" and "offset" only; absent when there is none.
template <records::RecordModel M>
std::optional<std::vector<typename M::Owned>> segment(const typename M::Value& text_value,
                                                      std::string_view text) {
  std::vector<typename M::Owned> passages;
  for (const Passage& passage : cut_passages(text)) {
    typename M::Owned record = M::make_map();
    M::set(M::view(record), records::keys::text,
           M::make_substring(text_value, text, slice_of(text, passage)));
    M::set(M::view(record), records::keys::offset, M::make_integer(passage.offset));
    passages.push_back(std::move(record));
  }
  if (passages.empty()) return std::nullopt;
  return passages;
}

// Normalises every entity record of `ref_entities` in place, then gives
// those that lie inside the passage `seg` ({"text","offset"}), rebased to
// it; absent when none does (gleaner.h).
template <records::RecordModel M>
std::optional<std::vector<typename M::Owned>> related_entities(
    const typename M::Value& seg, const typename M::Value& ref_entities) {
  if (M::kind(ref_entities) == records::ValueKind::kNull) return std::nullopt;
  records::require<M>(ref_entities, Kinds::list, "ref_entities");
  if (M::size(ref_entities) == 0) return std::nullopt;
  const std::int64_t seg_offset =
      records::position_of<M>(records::at<M>(seg, records::keys::offset, "seg"), "offset");
  const std::string_view seg_text =
      records::string_of<M>(records::at<M>(seg, records::keys::text, "seg"), "text");
  const std::int64_t seg_end = kelvra::common::add_positions(
      seg_offset, static_cast<std::int64_t>(kelvra::common::utf8::length(seg_text)), "offset");

  std::vector<Normalised<M>> changes = normalise_all<M>(ref_entities);
  std::vector<typename M::Owned> inside;
  for (Normalised<M>& change : changes) {
    if (!lies_inside(change, seg_offset, seg_end)) continue;
    M::set(change.entity, records::keys::offset, M::make_integer(change.offset - seg_offset));
    inside.push_back(M::share(change.entity));
  }
  if (inside.empty()) return std::nullopt;
  return inside;
}

}  // namespace kelvra::nlp::common::gleaner::internal
