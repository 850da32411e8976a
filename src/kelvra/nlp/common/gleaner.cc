#include "kelvra/nlp/common/gleaner.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>

#include "kelvra/common/exceptions.h"
#include "kelvra/common/utf8.h"

namespace kelvra::nlp::common::gleaner {

using kelvra::common::add_positions;
using kelvra::common::at;
using kelvra::common::has_key;
using kelvra::common::is_empty_value;
using kelvra::common::require_integer;
using kelvra::common::require_list;
using kelvra::common::require_map;
using kelvra::common::require_position;
using kelvra::common::require_string;
namespace utf8 = kelvra::common::utf8;

namespace {

constexpr char32_t kBullet = 0x2022;

// The value under `key` unless it is missing or empty; it must then be a
// string.
const std::string* chosen_text(const Record& doc, const char* key) {
  auto it = doc.find(key);
  if (it == doc.end() || is_empty_value(*it)) return nullptr;
  return &require_string(*it, key);
}

struct Passage {
  std::string_view text;
  std::int64_t offset;  // code points
  std::int64_t end;     // offset + the code points of text
};

// The passages of valid UTF-8 `text`, as the header describes them.
std::vector<Passage> cut_passages(std::string_view text) {
  const std::int64_t size = static_cast<std::int64_t>(utf8::length(text));
  std::vector<Passage> passages;
  // The pending string is always the stretch of text from byte `start`,
  // `pending` code points long, up to and including the current one.
  std::size_t start = 0;
  std::int64_t pending = 0;
  std::size_t pos = 0;
  for (std::int64_t index = 0; index < size; ++index) {
    const std::size_t here = pos;
    const char32_t cp = utf8::next(text, pos);
    if (pending == 0) start = here;
    ++pending;
    // A line feed, blank or bullet that would open a passage is dropped.
    if (pending == 1 && (cp == U'\n' || cp == U' ' || cp == kBullet)) pending = 0;
    if ((cp == U'\n' || index >= size - 1) && pending > 0) {
      // Only the terminating line feed can be stripped: a passage opens on
      // something else.
      std::string_view line = text.substr(start, pos - start);
      std::int64_t length = pending;
      if (cp == U'\n') {
        line.remove_suffix(1);
        --length;
      }
      const std::int64_t offset = index - pending + 1;
      passages.push_back(Passage{line, offset, offset + length});
      pending = 0;
    }
  }
  return passages;
}

// What normalising one entity record does to it, worked out before any
// record is changed, so that a bad record leaves all of them as they were.
struct Normalised {
  bool drop_uuid = false;
  bool rename = false;              // `name`/`category` become `text`/`type`
  std::optional<std::string> text;  // the text without its line feeds, when it had any
  // The positions after normalising, read only for an entity with a
  // non-empty text (the only kind that can be placed).
  bool placeable = false;
  std::int64_t offset = 0;
  std::int64_t length = 0;
};

Normalised plan(const Record& entity) {
  require_map(entity, "ref_entities");
  Normalised result;
  if (auto it = entity.find("uuid"); it != entity.end()) result.drop_uuid = !is_empty_value(*it);
  const Record* surface = nullptr;
  if (auto it = entity.find("name"); it != entity.end() && !is_empty_value(*it)) {
    result.rename = true;
    at(entity, "category", "ref_entities");  // must be there to move
    surface = &*it;
  } else {
    surface = &at(entity, "text", "ref_entities");
  }
  const std::string& text = require_string(*surface, "text");
  auto read = [&entity](const char* key) {
    return require_integer(at(entity, key, "ref_entities"), key);
  };
  if (text.find('\n') != std::string::npos) {
    // Line feeds before the first kept code point move the start on; every
    // line feed removed shortens the entity.
    std::size_t leading = text.find_first_not_of('\n');
    if (leading == std::string::npos) leading = text.size();
    std::string kept;
    kept.reserve(text.size());
    for (char c : text)
      if (c != '\n') kept.push_back(c);
    const auto removed = static_cast<std::int64_t>(text.size() - kept.size());
    result.offset = add_positions(read("offset"), static_cast<std::int64_t>(leading), "offset");
    result.length = add_positions(read("length"), -removed, "length");
    result.placeable = !kept.empty();
    result.text = std::move(kept);
  } else if (!text.empty()) {
    result.offset = read("offset");
    result.length = read("length");
    result.placeable = true;
  }
  // The end is compared with passage ends: it must exist.
  if (result.placeable) add_positions(result.offset, result.length, "length");
  return result;
}

void apply(Record& entity, Normalised& change) {
  if (change.drop_uuid) entity.erase("uuid");
  if (change.rename) {
    Record name = std::move(entity["name"]);
    entity.erase("name");
    Record category = std::move(entity["category"]);
    entity.erase("category");
    entity["text"] = std::move(name);
    entity["type"] = std::move(category);
  }
  if (change.text) {
    entity["text"] = std::move(*change.text);
    entity["offset"] = change.offset;
    entity["length"] = change.length;
  }
}

// Normalises every entity record of the list `entities` in place; returns
// what was done to each. Nothing is changed when any record is bad.
std::vector<Normalised> normalise_all(Record& entities) {
  std::vector<Normalised> changes;
  changes.reserve(entities.size());
  for (const Record& entity : entities) changes.push_back(plan(entity));
  for (std::size_t i = 0; i < changes.size(); ++i) apply(entities[i], changes[i]);
  return changes;
}

// True when the entity lies entirely inside [begin, end). An entity with a
// negative offset or length lies in no passage.
bool lies_inside(const Normalised& entity, std::int64_t begin, std::int64_t end) {
  return entity.placeable && entity.offset >= begin && entity.length >= 0 &&
         entity.offset + entity.length <= end;
}

// extract, for a document whose entity records may be moved into the
// passages (`move`) or must stay and be copied.
std::optional<std::vector<Record>> extract_passages(Record& doc, bool move) {
  if (doc.is_null()) return std::nullopt;
  require_map(doc, "doc");
  const std::string* text = nullptr;
  for (const char* key : {"text", "zh_content", "content_zh"}) {
    if ((text = chosen_text(doc, key)) != nullptr) break;
  }
  if (text == nullptr) return std::nullopt;
  utf8::require_valid(*text, "text");
  const std::vector<Passage> cut = cut_passages(*text);
  if (cut.empty()) return std::nullopt;

  std::vector<Record> passages;
  passages.reserve(cut.size());
  for (const Passage& passage : cut)
    passages.push_back(Record{{"text", std::string(passage.text)}, {"offset", passage.offset}});

  Record no_entities;  // a missing key counts as null
  Record& entities = has_key(doc, "entities") ? doc["entities"] : no_entities;
  if (!entities.is_null()) require_list(entities, "entities");
  std::vector<Record> inside(cut.size(), Record::array());
  if (!entities.is_null() && !entities.empty()) {
    const std::vector<Normalised> changes = normalise_all(entities);
    // Passages neither overlap nor touch (a line feed lies between two), so
    // the only passage that can hold an entity is the last one starting at
    // or before it. Entities are visited in list order, which is the order
    // each passage lists them in.
    for (std::size_t i = 0; i < changes.size(); ++i) {
      const Normalised& entity = changes[i];
      auto after = std::upper_bound(cut.begin(), cut.end(), entity.offset,
                                    [](std::int64_t at, const Passage& p) { return at < p.offset; });
      if (after == cut.begin()) continue;
      const Passage& passage = *(after - 1);
      if (!lies_inside(entity, passage.offset, passage.end)) continue;
      Record& record = entities[i];
      record["offset"] = entity.offset - passage.offset;
      Record& list = inside[static_cast<std::size_t>(after - 1 - cut.begin())];
      if (move) list.push_back(std::move(record));
      else list.push_back(record);
    }
  }
  for (std::size_t p = 0; p < passages.size(); ++p)
    passages[p]["entities"] = inside[p].empty() ? Record(nullptr) : std::move(inside[p]);
  return passages;
}

}  // namespace

std::optional<std::vector<Record>> Gleaner::extract(Record& doc) const {
  return extract_passages(doc, false);
}

std::optional<std::vector<Record>> Gleaner::extract(Record&& doc) const {
  return extract_passages(doc, true);
}

std::optional<std::vector<Record>> Gleaner::_segment(std::string_view text) const {
  utf8::require_valid(text, "text");
  std::vector<Record> passages;
  for (const Passage& passage : cut_passages(text))
    passages.push_back(Record{{"text", std::string(passage.text)}, {"offset", passage.offset}});
  if (passages.empty()) return std::nullopt;
  return passages;
}

std::optional<std::vector<Record>> Gleaner::_related_entities(const Record& seg,
                                                              Record& ref_entities) const {
  if (ref_entities.is_null()) return std::nullopt;
  require_list(ref_entities, "ref_entities");
  if (ref_entities.empty()) return std::nullopt;
  require_map(seg, "seg");
  const std::int64_t seg_offset = require_position(at(seg, "offset", "seg"), "offset");
  const std::int64_t seg_end = add_positions(
      seg_offset,
      static_cast<std::int64_t>(utf8::length(require_string(at(seg, "text", "seg"), "text"))),
      "offset");

  const std::vector<Normalised> changes = normalise_all(ref_entities);
  std::vector<Record> inside;
  for (std::size_t i = 0; i < changes.size(); ++i) {
    if (!lies_inside(changes[i], seg_offset, seg_end)) continue;
    ref_entities[i]["offset"] = changes[i].offset - seg_offset;
    inside.push_back(ref_entities[i]);
  }
  if (inside.empty()) return std::nullopt;
  return inside;
}

}  // namespace kelvra::nlp::common::gleaner
