// Stitching a segment given as one line of JSON text straight into JSON
// text, without a record per result: the command line's `stitch` reads
// millions of entities, and making, shifting and dropping a record for each
// was most of its time.
//
//   std::string carried;
//   if (!stitch_ner_line(line, carry, json, carried, StitchedLayout::kLinePerResult))
//     ... read the line as a record and merge it with Stitcher (which also
//         says what is wrong with it) ...
//
// The text written is exactly what merging the line's record as a "ner"
// segment and writing each merged record gives, carried members included.
// Only lines where that is certain are taken; for any other the function
// returns false having written nothing, and the caller goes the record
// road. Taken: a JSON object with no repeated key whose "offset" and
// "context" (if any) are integers of at least 0, whose "nes" is a list of
// objects each with an integer "offset" of at least 0 (and an integer
// "length" where the context needs one), with no real number anywhere, and
// whose written parts (the results and the carried members) are strings,
// or other values that writing them again would not change (compact, no
// repeated key inside, no string escape that the writer spells otherwise).
// Names with escapes, escaped NULs and lone surrogates are not taken.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "kelvra/common/json_writer.h"

namespace kelvra::nlp::common::stitcher::internal {

// How the merged results are written.
enum class StitchedLayout {
  // Each result a line of its own, the carried members after its own (a
  // result that has a carried member of its own is not taken).
  kLinePerResult,
  // Each result a value of the caller's list; the carried members only go
  // to `carried`.
  kValuePerResult,
};

// Writes the shifted results of the "ner" segment `line` (valid UTF-8: the
// caller has checked it) to `json` and the
// members of the segment named by `carry` (in that order, each once) to
// `carried` as JSON members ("id":"a1"), and returns true; returns false,
// with `json` and `carried` as they were, for a line not taken (see above).
bool stitch_ner_line(std::string_view line, std::span<const std::string> carry,
                     kelvra::common::JsonWriter& json, std::string& carried, StitchedLayout layout);

}  // namespace kelvra::nlp::common::stitcher::internal
