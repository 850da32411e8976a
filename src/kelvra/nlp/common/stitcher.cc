#include "kelvra/nlp/common/stitcher.h"

#include <utility>

#include "kelvra/common/exceptions.h"
#include "kelvra/common/internal/json_model.h"
#include "kelvra/nlp/common/internal/stitching.h"

namespace kelvra::nlp::common::stitcher {

namespace {

using M = kelvra::common::records::JsonModel;

// The shifted records of `segments` (a vector or a list record), copied,
// or moved out of segments the caller gave up once all are shifted.
template <class Segments>
std::vector<Record> merge_segments(Segments& segments, TaskKind kind, bool move) {
  std::vector<Record*> items;
  internal::merge<M>(
      kind, [&] { return segments.size(); }, [&](std::size_t i) { return M::view(segments[i]); },
      [&](Record* item) { items.push_back(item); });
  std::vector<Record> merged;
  merged.reserve(items.size());
  for (Record* item : items) merged.push_back(move ? std::move(*item) : *item);
  return merged;
}

std::vector<Record> merge_vector(std::vector<Record>& segments, TaskKind kind, bool move) {
  return merge_segments(segments, kind, move);
}

std::vector<Record> merge_list(Record& segments, TaskKind kind) {
  kelvra::common::require_list(segments, "segments");
  return merge_segments(segments, kind, false);
}

}  // namespace

std::vector<Record> Stitcher::merge(std::vector<Record>& segments, std::string_view type_) const {
  return merge_vector(segments, parse_task_kind(type_), false);
}

std::vector<Record> Stitcher::merge(std::vector<Record>&& segments, std::string_view type_) const {
  return merge_vector(segments, parse_task_kind(type_), true);
}

std::vector<Record> Stitcher::merge(Record& segments, std::string_view type_) const {
  kelvra::common::require_list(segments, "segments");
  return merge_list(segments, parse_task_kind(type_));
}

std::vector<Record> Stitcher::_merge_nes(std::vector<Record>& segments) const {
  return merge_vector(segments, TaskKind::kNer, false);
}

std::vector<Record> Stitcher::_merge_nes(Record& segments) const {
  return merge_list(segments, TaskKind::kNer);
}

std::vector<Record> Stitcher::_merge_relations(std::vector<Record>& segments) const {
  return merge_vector(segments, TaskKind::kRelation, false);
}

std::vector<Record> Stitcher::_merge_relations(Record& segments) const {
  return merge_list(segments, TaskKind::kRelation);
}

}  // namespace kelvra::nlp::common::stitcher
