// Entity material from an annotated document: its text cut into line
// passages, each with the named entities that lie entirely inside it.
//
//   Record doc = Record::parse(R"({"text": "ab\ncd", "entities": [{"text": "c", "offset": 3,
//   "length": 1}]})"); auto passages = Gleaner().extract(doc);
//   // [{"text":"ab","offset":0,"entities":null},
//   {"text":"cd","offset":3,"entities":[{"text":"c","offset":0,"length":1}]}]
//
// A passage is one line of the text: a run of line feeds, spaces and
// bullets (U+2022) that opens a line is dropped, the terminating line feed
// is removed, and everything else (inner and trailing spaces, carriage
// returns, tabs) stays. Its `offset` is the document position of its first
// code point. Positions and lengths count code points.
//
// The document's entity records are changed where they stand: a `uuid`
// that holds a value is removed, a `name` that holds a value and its
// `category` become `text` and `type`, line feeds are taken out of `text`
// (each one removed from the front moves `offset` on by one; each one
// removed anywhere shortens `length` by one; a `length` smaller than the
// number of line feeds is refused), and an entity placed in a
// passage has its `offset` rebased to that passage. "Holds a value" means
// anything but null, false, 0, "", [] and {} (so a `uuid` of "" stays).
// Each entity lands in at most one passage, the one that holds it entirely;
// the others keep document positions. Positions are numbers of at least 0
// (reals truncated): a negative `offset` or `length` is refused with
// KvException(INVALID_PARAMETERS) naming the key and the value. The
// passages hold copies
// equal to the changed records (or the records themselves when the caller
// hands the document over). Every entity is checked before any is changed:
// a failure leaves all of them as they were.
//
// Entities are normalised once and each is placed by its position (a
// binary search over the passages), so the work grows with lines +
// entities, not their product. Positions whose sums (offset plus leading
// line feeds, offset plus length) leave the 64-bit range are refused with
// KvException(INVALID_PARAMETERS) naming the key and the value.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "kelvra/common/record.h"

namespace kelvra::nlp::common::gleaner {

class Gleaner {
 public:
  // The passages of `doc`, each {"text","offset","entities"} with
  // `entities` null when no entity lies inside it; absent when `doc` is
  // null, has no non-empty `text`, `zh_content` or `content_zh` (tried in
  // that order), or its text has no passage.
  // A text key whose value is empty (as above) is passed over.
  // Failures: TypeError naming `doc` when it is neither null nor a map,
  // naming the text key when its value is neither empty nor a string (or not
  // UTF-8), naming `entities` when that is neither null nor a list; the
  // entity failures of _related_entities.
  std::optional<std::vector<Record>> extract(Record& doc) const;
  // The same for a document the caller no longer needs: the entity records
  // are moved into the passages rather than copied.
  std::optional<std::vector<Record>> extract(Record&& doc) const;

  // The passages of `text` with "text" and "offset" only, in order; absent
  // when there is none. TypeError naming `text` when it is not UTF-8.
  std::optional<std::vector<Record>> _segment(std::string_view text) const;

  // Normalises every entity record of `ref_entities` in place (see above),
  // then returns copies of those with a non-empty `text` that lie entirely
  // inside the passage `seg` ({"text","offset"}), their `offset` rebased to
  // it in place first; absent when `ref_entities` is null or empty or none
  // lies inside.
  // Failures: TypeError naming `ref_entities` (not null or a list of maps)
  // or `seg` (not a map); KeyError for an entity with a `name` that holds a
  // value but no `category`, with neither `name` nor `text`, or with line
  // feeds or a non-empty `text` but no `offset` or `length`; TypeError
  // naming the field whose value has the wrong kind; KvException
  // (INVALID_PARAMETERS) for a negative `offset` of `seg` or of an entity,
  // a negative `length`, or a sum beyond 64 bits.
  std::optional<std::vector<Record>> _related_entities(const Record& seg,
                                                       Record& ref_entities) const;
};

}  // namespace kelvra::nlp::common::gleaner
