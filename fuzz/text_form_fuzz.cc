// The record text form of any JSON record, and of any UTF-8 string: the
// result is UTF-8 and a quoted string starts and ends with its quote.
// Records of any depth reach the text form, which must refuse those nested
// too deeply with its own failure rather than run out of stack.
#include "fuzz/fuzz_util.h"
#include "kelvra/common/text_form.h"
#include "kelvra/common/utf8.h"

namespace utf8 = kelvra::common::utf8;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = kelvra::fuzz::bytes(data, size);
  if (utf8::is_valid(input)) {
    const std::string quoted = kelvra::common::quote_text(input);
    kelvra::fuzz::require(utf8::is_valid(quoted), "a quoted string is UTF-8");
    kelvra::fuzz::require(quoted.size() >= 2 && (quoted.front() == '\'' || quoted.front() == '"') &&
                              quoted.back() == quoted.front(),
                          "a quoted string is enclosed in its quote");
  }
  if (std::optional<kelvra::Record> record =
          kelvra::fuzz::parse_record(input, /*any_depth=*/true)) {
    kelvra::fuzz::expect_clean([&] {
      kelvra::fuzz::require(utf8::is_valid(kelvra::common::to_text_form(*record)),
                            "a record's text form is UTF-8");
    });
  }
  return 0;
}
