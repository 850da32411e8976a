// One --jsonl input line into the command line's document reader, as split
// reads it. A line it takes must be JSON the library reads to the same
// record (so nothing after a NUL or other trailing bytes was dropped), and
// the members it passes through must be exactly the record's others but
// the place of its text ("offset", "length"), its "offset" read as a
// position.
#include <cstring>

#include "cli/cli.h"
#include "fuzz/fuzz_util.h"

using kelvra::Record;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line = kelvra::fuzz::bytes(data, size);
  std::optional<kelvra::cli::Document> doc;
  try {
    doc = kelvra::cli::parse_document(line, "fuzz", 1);
    kelvra::cli::pass_through(*doc, "fuzz", 1, {"text"},
                              {"id", "offset", "length", "text", "clauses"});
  } catch (const kelvra::cli::InputError&) {
    return 0;
  }
  kelvra::fuzz::require(std::memchr(line.data(), '\0', line.size()) == nullptr,
                        "a line with a NUL is refused");
  const Record expected = Record::parse(line);
  kelvra::fuzz::require(doc->record == expected,
                        "the document is the library's reading of the line");
  kelvra::fuzz::require(doc->text == expected["text"].get_ref<const std::string&>(),
                        "text is the record's");
  Record others = expected;
  others.erase("text");
  others.erase("length");
  if (others.contains("offset")) {
    kelvra::fuzz::require(expected["offset"].is_number() && doc->offset >= 0,
                          "the offset is a position");
    others.erase("offset");
  }
  kelvra::fuzz::require(Record::parse("{" + doc->members + "}") == others,
                        "the members passed through are the record's others");
  return 0;
}
