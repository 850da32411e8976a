// The feature types a text can be analysed for, and their names as they
// appear in requests to the NLP service and on the command line.
//
//   Types type = types::from_name("NER");          // Types::NER
//   std::string_view name = types::name(Types::POS); // "POS"
//   auto all = types::from_names("WORD,NER");       // {WORD, NER}
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "kelvra/common/record.h"

namespace kelvra::nlp::common::feature::types {

enum class Types {
  WORD,        // word segmentation
  POS,         // part-of-speech tags
  NER,         // named entities
  SENTENCE,    // sentence and clause boundaries
  DEPENDENCY,  // dependency parents and relations
};

// Every member, in declaration order.
inline constexpr std::array<Types, 5> kAllTypes = {Types::WORD, Types::POS, Types::NER,
                                                   Types::SENTENCE, Types::DEPENDENCY};

// The member's name, e.g. "NER".
std::string_view name(Types type);

// The member named exactly `name` (upper case). Throws KvException
// INVALID_PARAMETERS naming the unknown name and listing the known ones.
Types from_name(std::string_view name);

// The members named in a comma-separated list such as "WORD,NER" (blanks
// around names are ignored, repeats kept). Throws as from_name, also for an
// empty name.
std::vector<Types> from_names(std::string_view names);

// The members named by a list record of strings. Throws TypeError naming
// `parameter` when `names` is not a list or holds something other than a
// string, and KvException as from_name for an unknown name.
std::vector<Types> from_record(const Record& names, std::string_view parameter = "types");

// The members' names, in order: what a request carries.
std::vector<std::string> names(const std::vector<Types>& types);

}  // namespace kelvra::nlp::common::feature::types
