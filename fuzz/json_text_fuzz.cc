// Any text through the JSON reader and through the JSON library's own
// parser: the reader reads exactly what the library reads (apart from what
// it refuses on purpose: a NUL byte, which the library takes for the end of
// the text, and nesting past its depth), into the same records down to the
// kind of every number, and its refusals say where they stopped.
#include <cmath>

#include "fuzz/fuzz_util.h"

using kelvra::Record;
using kelvra::common::JsonTextError;

namespace {

bool same_kinds(const Record& a, const Record& b) {
  if (a.type() != b.type()) return false;
  if (a.is_object()) {
    if (a.size() != b.size()) return false;
    for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j)
      if (i.key() != j.key() || !same_kinds(*i, *j)) return false;
    return true;
  }
  if (a.is_array()) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
      if (!same_kinds(a[i], b[i])) return false;
    return true;
  }
  if (a.is_number_float() && std::signbit(a.get<double>()) != std::signbit(b.get<double>()))
    return false;
  return a == b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = kelvra::fuzz::bytes(data, size);
  std::optional<Record> expected;
  try {
    expected = Record::parse(text);
  } catch (const Record::exception&) {
  }
  try {
    const Record read = kelvra::common::read_json_text(text);
    kelvra::fuzz::require(expected.has_value(), "what the reader reads, the library reads");
    kelvra::fuzz::require(same_kinds(read, *expected), "the same records as the library's");
  } catch (const JsonTextError& e) {
    kelvra::fuzz::require(e.byte() <= text.size(), "a refusal stops within the text");
    const bool on_purpose =
        e.kind() == JsonTextError::Kind::kTooDeep || text.find('\0') != std::string_view::npos;
    kelvra::fuzz::require(!expected || on_purpose, "what the library reads, the reader reads");
  }
  return 0;
}
