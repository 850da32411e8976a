#include "kelvra/nlp/common/internal/folding.h"

#include <algorithm>
#include <memory>
#include <mutex>

#include "kelvra/nlp/common/common.h"
#include "kelvra/nlp/common/internal/converter.h"
#include "kelvra/nlp/common/matcher.h"
#include "utf8proc.h"

namespace kelvra::nlp::common::internal {

namespace {

using matcher::kFoldCase;
using matcher::kFoldScript;
using matcher::kFoldWidth;

// Traditional to simplified, code point by code point, sorted: what script
// folding looks up. Loaded once, by the first folder that needs it.
const std::vector<std::pair<char32_t, char32_t>>& script_pairs() {
  static const std::vector<std::pair<char32_t, char32_t>> pairs =
      Converter("t2s").single_conversions();
  return pairs;
}

char32_t fold_script(const std::vector<std::pair<char32_t, char32_t>>& pairs,
                     char32_t cp) noexcept {
  const auto it =
      std::lower_bound(pairs.begin(), pairs.end(), std::pair<char32_t, char32_t>(cp, 0));
  return it != pairs.end() && it->first == cp ? it->second : cp;
}

}  // namespace

const Folder& Folder::of(std::uint8_t folds) {
  // One folder per set of foldings, made by the first caller that asks.
  static std::once_flag made[matcher::kAllFolds + 1];
  static std::unique_ptr<Folder> folders[matcher::kAllFolds + 1];
  folds &= matcher::kAllFolds;
  std::call_once(made[folds], [folds] { folders[folds].reset(new Folder(folds)); });
  return *folders[folds];
}

Folder::Folder(std::uint8_t folds) : folds_(folds), basic_(kBasicPlane) {
  if (folds_ & kFoldScript) script_pairs();  // loads OpenCC now, not in a search
  char32_t units[kMaxUnits];
  for (char32_t cp = 0; cp < kBasicPlane; ++cp) {
    const std::size_t size = fold_slowly(cp, units);
    if (size == 1) {
      basic_[cp] = units[0];
      continue;
    }
    Expansion expansion{};
    std::copy(units, units + size, expansion.units.begin());
    expansion.size = size;
    basic_[cp] = kExpansion | static_cast<char32_t>(expansions_.size());
    expansions_.push_back(expansion);
  }
}

std::size_t Folder::fold_slowly(char32_t cp, char32_t* out) const noexcept {
  if (folds_ & kFoldWidth) cp = q2b(cp);
  std::size_t size = 1;
  out[0] = cp;
  // Surrogates are no characters: utf8proc refuses them, and no text
  // holds them.
  if ((folds_ & kFoldCase) && !(cp >= 0xD800 && cp < 0xE000)) {
    utf8proc_int32_t folded[4];
    int boundclass = 0;
    const utf8proc_ssize_t n = utf8proc_decompose_char(static_cast<utf8proc_int32_t>(cp), folded, 4,
                                                       UTF8PROC_CASEFOLD, &boundclass);
    if (n >= 1 && static_cast<std::size_t>(n) <= kMaxUnits) {
      size = static_cast<std::size_t>(n);
      for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<char32_t>(folded[i]);
    }
  }
  if (folds_ & kFoldScript)
    for (std::size_t i = 0; i < size; ++i) out[i] = fold_script(script_pairs(), out[i]);
  return size;
}

}  // namespace kelvra::nlp::common::internal
