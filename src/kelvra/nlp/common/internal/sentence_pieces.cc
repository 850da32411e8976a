#include "kelvra/nlp/common/internal/sentence_pieces.h"

#include <algorithm>
#include <deque>
#include <memory>
#include <string>
#include <utility>

#include "kelvra/common/exceptions.h"
#include "kelvra/common/utf8.h"

namespace kelvra::nlp::common::internal {

void require_threads(std::int64_t threads) {
  if (threads < 1)
    throw kelvra::common::KvException(
        kelvra::common::ErrorCodes::INVALID_PARAMETERS,
        kelvra::common::must_be_message("threads", "at least 1", std::to_string(threads)));
}

bool walked_in_pieces(std::size_t bytes, std::int64_t threads, std::size_t piece_bytes) noexcept {
  return threads > 1 && bytes / 2 >= piece_bytes;
}

int pool_threads(std::size_t bytes, std::int64_t threads, std::size_t piece_bytes) noexcept {
  const std::size_t pieces = bytes / piece_bytes + 1;
  return static_cast<int>(std::clamp<std::int64_t>(
      threads, 1, static_cast<std::int64_t>(std::min<std::size_t>(pieces, 1024))));
}

void walk_in_pieces(const Phraser& phraser, std::string_view text, ThreadPool& pool,
                    std::size_t in_flight, const std::function<void(TextPiece&)>& after_walk,
                    const PieceResolved& resolved, std::size_t piece_bytes) {
  const std::size_t count = text.size() / piece_bytes + (text.size() % piece_bytes != 0);
  auto walk_piece = [&phraser, &after_walk, text, count, piece_bytes](TextPiece& piece,
                                                                      std::size_t index) {
    auto start = [&](std::size_t i) {
      return i == 0 ? 0 : i == count ? text.size() : phraser.piece_start(text, i * piece_bytes);
    };
    piece.begin = start(index);
    piece.end = start(index + 1);
    if (piece.begin >= piece.end) return;
    // Room for short sentences (ten characters) from the start, rather than
    // growing and moving the list many times; pages left unused cost nothing.
    piece.sentences.reserve((piece.end - piece.begin) / 30 + 16);
    SentenceWalk guess;  // the text's start, or a sentence's at depth 0
    if (index > 0)
      guess = SentenceWalk{.byte = piece.begin, .open_byte = piece.begin, .after_boundary = true};
    piece.walk = phraser.walk_sentences(text, piece.end, guess, [&](const SentenceSpan& sentence) {
      piece.sentences.push_back(sentence);
    });
    if (after_walk) after_walk(piece);
  };

  std::deque<std::unique_ptr<TextPiece>> pieces;
  // Leaving early (the output failed), the walks still running must end
  // before their pieces go.
  struct WaitForWalks {
    std::deque<std::unique_ptr<TextPiece>>& pieces;
    ~WaitForWalks() {
      for (auto& piece : pieces)
        if (piece->done.valid()) piece->done.wait();
    }
  } wait_for_walks{pieces};
  std::size_t next = 0;
  SentenceWalk truth;  // the true walk at the end of the pieces resolved so far
  std::int64_t next_id = 0;
  for (std::size_t index = 0; index < count; ++index) {
    while (next < count && pieces.size() < std::max<std::size_t>(in_flight, 1)) {
      auto piece = std::make_unique<TextPiece>();
      TextPiece* p = piece.get();
      p->done = pool.submit([p, n = next, &walk_piece] { walk_piece(*p, n); });
      pieces.push_back(std::move(piece));
      ++next;
    }
    TextPiece& piece = *pieces.front();
    piece.done.get();
    if (piece.begin < piece.end) {
      // A guess holds when the true walk closed a sentence where the piece
      // begins, and no bracket test in the piece can come out otherwise.
      const bool brackets_agree =
          truth.depth == 0 || (truth.depth < 0 && piece.walk.peak_depth <= 0);
      const bool held = index == 0 || (truth.open_byte == piece.begin && brackets_agree);
      if (held && index > 0) {
        for (SentenceSpan& sentence : piece.sentences) sentence.offset += truth.offset;
        const SentenceWalk& w = piece.walk;
        truth = SentenceWalk{w.byte,
                             w.offset + truth.offset,
                             w.open_byte,
                             w.open_offset + truth.offset,
                             w.depth + truth.depth,
                             std::max(truth.peak_depth, w.peak_depth + truth.depth),
                             w.after_boundary};
      } else if (held) {
        truth = piece.walk;
      } else {
        piece.sentences.clear();
        truth = phraser.walk_sentences(text, piece.end, truth, [&](const SentenceSpan& sentence) {
          piece.sentences.push_back(sentence);
        });
      }
      const auto found = static_cast<std::int64_t>(piece.sentences.size());
      resolved(piece, held, next_id);
      next_id += found;
    }
    pieces.pop_front();
  }
}

void require_valid_on(std::string_view text, ThreadPool& pool, std::int64_t threads,
                      std::string_view parameter, std::size_t piece_bytes) {
  namespace utf8 = kelvra::common::utf8;
  // No more parts than the walk has pieces, however many threads are asked.
  const auto parts = static_cast<std::size_t>(pool_threads(text.size(), threads, piece_bytes));
  // A cut moved past continuation bytes lies at a code point start wherever
  // the text before it is sound, so each part is checked as the whole
  // check would see it, up to the first bad byte.
  std::vector<std::size_t> cuts(parts + 1, text.size());
  cuts[0] = 0;
  for (std::size_t i = 1; i < parts; ++i) {
    std::size_t cut = std::max(cuts[i - 1], text.size() / parts * i);
    while (cut < text.size() && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) ++cut;
    cuts[i] = cut;
  }
  std::vector<std::size_t> bad(parts, utf8::npos);
  std::vector<std::future<void>> checked;
  for (std::size_t i = 1; i < parts; ++i)
    checked.push_back(pool.submit([&, i] {
      const std::size_t at = utf8::find_invalid(text.substr(cuts[i], cuts[i + 1] - cuts[i]));
      if (at != utf8::npos) bad[i] = cuts[i] + at;
    }));
  bad[0] = utf8::find_invalid(text.substr(0, cuts[1]));
  for (auto& done : checked) done.get();
  for (std::size_t at : bad)
    if (at != utf8::npos) utf8::throw_invalid(at, parameter);
}

std::vector<SentenceSpan> sentences_in_pieces(const Phraser& phraser, std::string_view text,
                                              ThreadPool& pool, std::int64_t threads,
                                              std::size_t piece_bytes) {
  std::vector<SentenceSpan> sentences;
  auto keep = [&sentences](const SentenceSpan& sentence) { sentences.push_back(sentence); };
  if (!walked_in_pieces(text.size(), threads, piece_bytes)) {
    phraser.for_each_sentence(text, keep);
    return sentences;
  }
  require_valid_on(text, pool, threads, "input", piece_bytes);
  walk_in_pieces(
      phraser, text, pool, 2 * static_cast<std::size_t>(threads), nullptr,
      [&sentences](TextPiece& piece, bool, std::int64_t) {
        sentences.insert(sentences.end(), piece.sentences.begin(), piece.sentences.end());
      },
      piece_bytes);
  return sentences;
}

}  // namespace kelvra::nlp::common::internal
