#include "kelvra/nlp/common/gleaner.h"

#include <cstdint>
#include <string>

#include "kelvra/common/exceptions.h"
#include "kelvra/common/utf8.h"

namespace kelvra::nlp::common::gleaner {

using kelvra::common::at;
using kelvra::common::has_key;
using kelvra::common::require_integer;
using kelvra::common::require_list;
using kelvra::common::require_map;
using kelvra::common::require_string;
using kelvra::common::TypeError;
namespace utf8 = kelvra::common::utf8;

namespace {

constexpr char32_t kBullet = 0x2022;

// A value that counts as "no value": missing, null, empty, zero or false.
bool is_empty_value(const Record& value) {
  if (value.is_null()) return true;
  if (value.is_boolean()) return !value.get<bool>();
  if (value.is_number_integer()) return value.get<std::int64_t>() == 0;
  if (value.is_number_float()) return value.get<double>() == 0.0;
  if (value.is_string() || value.is_array() || value.is_object()) return value.empty();
  return false;
}

// The value under `key` when it is a non-empty string; nullptr when it is
// missing, null or empty.
const std::string* nonempty_text(const Record& doc, const char* key) {
  auto it = doc.find(key);
  if (it == doc.end() || it->is_null()) return nullptr;
  const std::string& text = require_string(*it, key);
  return text.empty() ? nullptr : &text;
}

// Renames keys and takes line feeds out of `text`, as the header states.
void normalise(Record& entity) {
  if (auto it = entity.find("uuid"); it != entity.end() && !is_empty_value(*it)) entity.erase(it);
  if (auto it = entity.find("name"); it != entity.end() && !is_empty_value(*it)) {
    Record name = std::move(*it);
    entity.erase("name");
    Record category = std::move(at(entity, "category", "ref_entities"));
    entity.erase("category");
    entity["text"] = std::move(name);
    entity["type"] = std::move(category);
  }
  const std::string& text = require_string(at(entity, "text", "ref_entities"), "text");
  if (text.find('\n') == std::string::npos) return;
  // Line feeds before the first kept code point move the start on; every
  // line feed removed shortens the entity.
  std::int64_t leading = static_cast<std::int64_t>(text.find_first_not_of('\n'));
  if (leading < 0) leading = static_cast<std::int64_t>(text.size());
  std::string kept;
  kept.reserve(text.size());
  std::int64_t removed = 0;
  for (char c : text) {
    if (c == '\n') ++removed;
    else kept.push_back(c);
  }
  std::int64_t offset = require_integer(at(entity, "offset", "ref_entities"), "offset");
  std::int64_t length = require_integer(at(entity, "length", "ref_entities"), "length");
  entity["text"] = std::move(kept);
  entity["offset"] = offset + leading;
  entity["length"] = length - removed;
}

}  // namespace

std::optional<std::vector<Record>> Gleaner::extract(Record& doc) const {
  if (doc.is_null()) return std::nullopt;
  require_map(doc, "doc");
  const std::string* text = nullptr;
  for (const char* key : {"text", "zh_content", "content_zh"}) {
    if ((text = nonempty_text(doc, key)) != nullptr) break;
  }
  if (text == nullptr) return std::nullopt;
  auto passages = _segment(*text);
  if (!passages) return std::nullopt;
  Record no_entities;  // a missing key counts as null
  Record& entities = has_key(doc, "entities") ? doc["entities"] : no_entities;
  if (!entities.is_null()) require_list(entities, "entities");
  for (Record& passage : *passages) {
    auto inside = _related_entities(passage, entities);
    passage["entities"] = inside ? Record(std::move(*inside)) : Record(nullptr);
  }
  return passages;
}

std::optional<std::vector<Record>> Gleaner::_segment(std::string_view text) const {
  utf8::require_valid(text, "text");
  const std::int64_t size = static_cast<std::int64_t>(utf8::length(text));
  std::vector<Record> passages;
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
      std::string_view line = text.substr(start, pos - start);
      const auto first = line.find_first_not_of('\n');
      line = first == std::string_view::npos ? std::string_view() : line.substr(first);
      line = line.substr(0, line.find_last_not_of('\n') + 1);
      passages.push_back(Record{{"text", std::string(line)}, {"offset", index - pending + 1}});
      pending = 0;
    }
  }
  if (passages.empty()) return std::nullopt;
  return passages;
}

std::optional<std::vector<Record>> Gleaner::_related_entities(const Record& seg,
                                                              Record& ref_entities) const {
  if (ref_entities.is_null()) return std::nullopt;
  require_list(ref_entities, "ref_entities");
  if (ref_entities.empty()) return std::nullopt;
  require_map(seg, "seg");
  const std::int64_t seg_offset = require_integer(at(seg, "offset", "seg"), "offset");
  const std::int64_t seg_end =
      seg_offset + static_cast<std::int64_t>(utf8::length(require_string(at(seg, "text", "seg"), "text")));

  for (Record& entity : ref_entities) normalise(require_map(entity, "ref_entities"));

  std::vector<Record> inside;
  for (Record& entity : ref_entities) {
    const Record& text = entity["text"];
    if (!text.is_string() || text.get_ref<const std::string&>().empty()) continue;
    const std::int64_t offset = require_integer(at(entity, "offset", "ref_entities"), "offset");
    const std::int64_t length = require_integer(at(entity, "length", "ref_entities"), "length");
    if (offset < seg_offset || offset + length > seg_end) continue;
    entity["offset"] = offset - seg_offset;
    inside.push_back(entity);
  }
  if (inside.empty()) return std::nullopt;
  return inside;
}

}  // namespace kelvra::nlp::common::gleaner
