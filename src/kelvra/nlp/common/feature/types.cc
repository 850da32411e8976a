#include "kelvra/nlp/common/feature/types.h"

#include "kelvra/common/exceptions.h"

namespace kelvra::nlp::common::feature::types {

using kelvra::common::ErrorCodes;
using kelvra::common::KvException;

std::string_view name(Types type) {
  switch (type) {
    case Types::WORD:
      return "WORD";
    case Types::POS:
      return "POS";
    case Types::NER:
      return "NER";
    case Types::SENTENCE:
      return "SENTENCE";
    case Types::DEPENDENCY:
      return "DEPENDENCY";
  }
  throw KvException(ErrorCodes::INVALID_PARAMETERS,
                    "not a feature type: " + std::to_string(static_cast<int>(type)));
}

Types from_name(std::string_view type_name) {
  for (Types type : kAllTypes)
    if (name(type) == type_name) return type;
  std::string known;
  for (Types type : kAllTypes) {
    if (!known.empty()) known += ", ";
    known += name(type);
  }
  throw KvException(ErrorCodes::INVALID_PARAMETERS,
                    "unknown feature type `" + std::string(type_name) + "`; known types: " + known);
}

std::vector<Types> from_names(std::string_view list) {
  std::vector<Types> out;
  std::size_t begin = 0;
  while (true) {
    std::size_t comma = list.find(',', begin);
    std::string_view piece =
        list.substr(begin, comma == std::string_view::npos ? list.npos : comma - begin);
    while (!piece.empty() && piece.front() == ' ') piece.remove_prefix(1);
    while (!piece.empty() && piece.back() == ' ') piece.remove_suffix(1);
    out.push_back(from_name(piece));
    if (comma == std::string_view::npos) return out;
    begin = comma + 1;
  }
}

std::vector<Types> from_record(const Record& record, std::string_view parameter) {
  const Record& list = kelvra::common::require_list(record, parameter);
  std::vector<Types> out;
  out.reserve(list.size());
  for (const auto& item : list)
    out.push_back(from_name(kelvra::common::require_string(item, parameter)));
  return out;
}

std::vector<std::string> names(const std::vector<Types>& types) {
  std::vector<std::string> out;
  out.reserve(types.size());
  for (Types type : types) out.emplace_back(name(type));
  return out;
}

}  // namespace kelvra::nlp::common::feature::types
