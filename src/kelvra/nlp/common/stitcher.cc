#include "kelvra/nlp/common/stitcher.h"

#include "kelvra/common/exceptions.h"

namespace kelvra::nlp::common::stitcher {

using kelvra::common::at;
using kelvra::common::ErrorCodes;
using kelvra::common::has_key;
using kelvra::common::KvException;
using kelvra::common::require_list;
using kelvra::common::TypeError;

namespace {

enum class Kind { kNes, kRelations };

Kind kind_of(std::string_view type_) {
  if (type_ == "ner") return Kind::kNes;
  if (type_ == "relation") return Kind::kRelations;
  throw KvException(ErrorCodes::INVALID_PARAMETERS, R"(type_ must in ["ner", "relation"])");
}

// Adds `shift` to the number under "offset" of `holder`, keeping integers
// integers (a real on either side gives a real, as addition does).
void shift_offset(Record& holder, const Record& shift, std::string_view parameter) {
  Record& offset = at(holder, "offset", parameter);
  for (const Record* value : {static_cast<const Record*>(&offset), &shift}) {
    if (!value->is_number())
      throw TypeError("offset", "`offset` must be a number to be shifted, got " +
                                    std::string(kelvra::common::kind_name(*value)));
  }
  if (offset.is_number_float() || shift.is_number_float())
    offset = offset.get<double>() + shift.get<double>();
  else
    offset = offset.get<std::int64_t>() + shift.get<std::int64_t>();
}

template <class Segments>
std::vector<Record> merge_segments(Segments& segments, Kind kind) {
  std::vector<Record> merged;
  for (Record& segment : segments) {
    const Record& shift = at(segment, "offset", "segments");
    if (kind == Kind::kNes) {
      for (Record& entity : require_list(at(segment, "nes", "segments"), "nes")) {
        if (has_key(entity, "offset")) {
          shift_offset(entity, shift, "nes");
        } else {
          for (Record& span : require_list(at(entity, "spans", "nes"), "spans"))
            shift_offset(span, shift, "spans");
        }
        merged.push_back(entity);
      }
    } else {
      for (Record& relation : require_list(at(segment, "relations", "segments"), "relations")) {
        shift_offset(at(relation, "head", "relations"), shift, "head");
        shift_offset(at(relation, "tail", "relations"), shift, "tail");
        merged.push_back(relation);
      }
    }
  }
  return merged;
}

}  // namespace

std::vector<Record> Stitcher::merge(std::vector<Record>& segments, std::string_view type_) const {
  return merge_segments(segments, kind_of(type_));
}

std::vector<Record> Stitcher::merge(Record& segments, std::string_view type_) const {
  require_list(segments, "segments");
  return merge_segments(segments, kind_of(type_));
}

std::vector<Record> Stitcher::_merge_nes(std::vector<Record>& segments) const {
  return merge_segments(segments, Kind::kNes);
}

std::vector<Record> Stitcher::_merge_nes(Record& segments) const {
  return merge_segments(require_list(segments, "segments"), Kind::kNes);
}

std::vector<Record> Stitcher::_merge_relations(std::vector<Record>& segments) const {
  return merge_segments(segments, Kind::kRelations);
}

std::vector<Record> Stitcher::_merge_relations(Record& segments) const {
  return merge_segments(require_list(segments, "segments"), Kind::kRelations);
}

}  // namespace kelvra::nlp::common::stitcher
