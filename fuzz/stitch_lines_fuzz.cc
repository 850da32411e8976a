// A "ner" segment line stitched as text, against the same line read as a
// record and merged: where the text road takes a line, the record road
// must take it too and give the same records (the first byte picks the
// layout and whether "id" is carried; the rest is the line).
#include <string>
#include <vector>

#include "fuzz/fuzz_util.h"
#include "kelvra/common/json_writer.h"
#include "kelvra/common/utf8.h"
#include "kelvra/nlp/common/internal/stitch_lines.h"
#include "kelvra/nlp/common/stitcher.h"

using kelvra::Record;
using kelvra::common::JsonWriter;
using kelvra::fuzz::require;
using kelvra::nlp::common::stitcher::Stitcher;
using kelvra::nlp::common::stitcher::internal::stitch_ner_line;
using kelvra::nlp::common::stitcher::internal::StitchedLayout;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const auto layout =
      data[0] % 2 == 0 ? StitchedLayout::kLinePerResult : StitchedLayout::kValuePerResult;
  const std::vector<std::string> carry =
      data[0] & 2 ? std::vector<std::string>{"id"} : std::vector<std::string>{};
  const std::string_view line = kelvra::fuzz::bytes(data + 1, size - 1);
  if (!kelvra::common::utf8::is_valid(line)) return 0;  // the command line checks first

  std::string out;
  std::string carried;
  JsonWriter json(out);
  if (!stitch_ner_line(line, carry, json, carried, layout)) {
    require(out.empty() && carried.empty(), "a line not taken left output behind");
    return 0;
  }
  std::optional<Record> segment = kelvra::fuzz::parse_record(line);
  require(segment.has_value() && segment->is_object(), "a line taken is no JSON object");
  Record expected_carried = Record::object();
  for (const std::string& key : carry)
    if (segment->contains(key)) expected_carried[key] = (*segment)[key];
  std::vector<Record> merged;
  try {
    std::vector<Record> segments{*segment};
    merged = Stitcher().merge(segments, "ner");
  } catch (const std::exception&) {
    require(false, "a line taken fails as a record");
  }
  std::optional<Record> got_carried = kelvra::fuzz::parse_record("{" + carried + "}");
  require(got_carried && *got_carried == expected_carried, "other carried members");
  std::vector<Record> written;
  if (layout == StitchedLayout::kValuePerResult) {
    std::optional<Record> list = kelvra::fuzz::parse_record("[" + out + "]");
    require(list.has_value(), "the results are no JSON list");
    for (const Record& item : *list) written.push_back(item);
  } else {
    for (std::size_t start = 0; start < out.size();) {
      const std::size_t end = out.find('\n', start);
      require(end != std::string::npos, "a result line without its end");
      std::optional<Record> record = kelvra::fuzz::parse_record(out.substr(start, end - start));
      require(record.has_value(), "a result line is no JSON");
      for (auto it = expected_carried.begin(); it != expected_carried.end(); ++it) {
        require(record->contains(it.key()) && (*record)[it.key()] == it.value(),
                "a result line without its carried member");
        record->erase(it.key());
      }
      written.push_back(std::move(*record));
      start = end + 1;
    }
  }
  require(written == merged, "other results than the record road's");
  return 0;
}
