// An HTTP answer, as the service's connection would bring it, through the
// client's answer reader: its head line by line and its body in pieces, as
// libcurl hands them over. Whatever the bytes, the reader returns an answer
// within its caps or refuses with an ExchangeError; and how the body is cut
// into pieces changes nothing: the same answer, or the same refusal.
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/fuzz_util.h"
#include "kvc/sdk/internal/http_exchange.h"

using kvc::sdk::internal::AnswerReader;
using kvc::sdk::internal::ExchangeError;
using kvc::sdk::internal::HttpAnswer;

namespace {

constexpr std::size_t kCap = 1 << 12;

struct Outcome {
  std::optional<HttpAnswer> answer;
  std::string refusal;
};

// Reads `raw` with the body cut into pieces of `piece` bytes (0: whole).
Outcome read(std::string_view raw, std::size_t piece) {
  AnswerReader reader(kCap);
  Outcome outcome;
  try {
    bool more = true;
    // A head only when the answer starts like one; libcurl hands anything
    // else over as a body without a head.
    if (raw.starts_with("HTTP/")) {
      while (more && !raw.empty() && reader.in_head()) {
        const std::size_t end = raw.find('\n');
        const std::size_t size = end == std::string_view::npos ? raw.size() : end + 1;
        more = reader.take_header_line(raw.substr(0, size));
        raw.remove_prefix(size);
      }
    }
    while (more && !raw.empty()) {
      const std::size_t size = piece == 0 ? raw.size() : std::min(piece, raw.size());
      more = reader.take_body(raw.substr(0, size));
      raw.remove_prefix(size);
    }
    outcome.answer = reader.finish();
  } catch (const ExchangeError& e) {
    outcome.refusal = e.what();
  }
  return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t piece = 1 + data[0] % 7;
  const std::string_view raw = kelvra::fuzz::bytes(data + 1, size - 1);
  const Outcome whole = read(raw, 0);
  const Outcome pieces = read(raw, piece);
  kelvra::fuzz::require(whole.refusal == pieces.refusal, "the same refusal, however cut");
  kelvra::fuzz::require(whole.answer.has_value() == pieces.answer.has_value(),
                        "an answer, however cut");
  if (whole.answer) {
    kelvra::fuzz::require(
        whole.answer->status == pieces.answer->status && whole.answer->body == pieces.answer->body,
        "the same answer, however cut");
    const bool success = whole.answer->status >= 200 && whole.answer->status <= 299;
    kelvra::fuzz::require(
        whole.answer->body.size() <= (success ? kCap : kvc::sdk::internal::kErrorBodyBytes),
        "a body within its cap");
  }
  return 0;
}
