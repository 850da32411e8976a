// The kind of task whose records the sectioner cuts and the stitcher
// merges, read once from the name callers pass ("ner" or "relation").
//
//   TaskKind kind = parse_task_kind(type_);   // KvException for any other name
//   for (std::string_view name : kTaskKindNames) ...   // the names, for choices
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "kelvra/common/exceptions.h"

namespace kelvra::nlp::common {

// Entities ("nes") or relations between them ("relations").
enum class TaskKind { kNer, kRelation };

// Each kind's name, indexed by the kind.
inline constexpr std::array<std::string_view, 2> kTaskKindNames = {"ner", "relation"};

// The kind named `type_`; KvException(INVALID_PARAMETERS) for any other name.
inline TaskKind parse_task_kind(std::string_view type_) {
  for (std::size_t i = 0; i < kTaskKindNames.size(); ++i)
    if (type_ == kTaskKindNames[i]) return static_cast<TaskKind>(i);
  throw kelvra::common::KvException(kelvra::common::ErrorCodes::INVALID_PARAMETERS,
                                    R"(type_ must in ["ner", "relation"])");
}

}  // namespace kelvra::nlp::common
