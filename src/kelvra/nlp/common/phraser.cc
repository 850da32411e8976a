#include "kelvra/nlp/common/phraser.h"

#include <algorithm>
#include <future>
#include <memory>
#include <utility>

#include "kelvra/common/exceptions.h"
#include "kelvra/common/thread_pool.h"
#include "kelvra/common/utf8.h"
#include "kelvra/common/utils.h"
#include "kelvra/nlp/common/internal/sentence_pieces.h"

namespace kelvra::nlp::common::phraser {

namespace utf8 = kelvra::common::utf8;

namespace {

enum Flag : std::uint8_t {
  kPunct = 1,
  kClause = 2,
  kStop = 4,
  kLeft = 8,
  kRight = 16,
  kCustom = 32,  // membership in a caller's `chars`
};

// Created once, when the module is first used; nothing writes to it.
const std::shared_ptr<spdlog::logger>& module_logger() {
  static const auto logger = kelvra::common::LogUtil::get_logger("kelvra.nlp.common.phraser");
  return logger;
}

// The code point of a text that is exactly one code point, or -1.
long single_code_point(std::string_view text) {
  if (text.empty() || !utf8::is_valid(text)) return -1;
  std::size_t pos = 0;
  char32_t cp = utf8::next(text, pos);
  return pos == text.size() ? static_cast<long>(cp) : -1;
}

struct Token {
  std::uint8_t flags;
  std::int64_t text_length;  // code points of the token's text
  std::int64_t length;       // the token's own length, used by the look-ahead
  std::size_t byte_end;      // for text tokens: where the token ends
  bool beyond = false;       // only looked at: the walk stops before it
};

// What the cutting routine carries from one token to the next.
struct CutState {
  std::int64_t chunk_length = 0;  // running total instead of re-joining texts
  std::int64_t depth = 0;
  std::int64_t peak_depth = 0;
  bool previous_is_boundary = false;
};

// The cutting routine shared by text and word input. `next(Token&)` yields
// the tokens in order and returns false after the last; a token marked
// `beyond` is only the look-ahead of the one before it, and the walk ends
// there with its chunk left open. `close(end, token)` is called with the
// index one past a chunk's last token (counted in this call) and that token.
// Returns the state after the last token walked.
template <class Next, class Close>
CutState cut_tokens(std::uint8_t boundary, std::int64_t max_len, CutState state, Next&& next,
                    Close&& close) {
  Token current{}, ahead{};
  if (!next(current) || current.beyond) return state;
  bool has_ahead = next(ahead);
  // Kept in locals: `close` calls out, and the loop must not reload them.
  std::int64_t chunk_length = state.chunk_length;
  std::int64_t depth = state.depth;
  std::int64_t peak_depth = state.peak_depth;
  bool previous_is_boundary = state.previous_is_boundary;
  for (std::size_t i = 0;; ++i) {
    chunk_length += current.text_length;
    if (current.flags & kLeft) ++depth;
    if (current.flags & kRight) --depth;
    peak_depth = std::max(peak_depth, depth);
    const bool is_boundary = current.flags & boundary;
    const bool next_is_stop = has_ahead && (ahead.flags & kStop);
    const bool too_long = has_ahead && chunk_length + ahead.length > max_len;
    const bool suspended = depth > 0 && !too_long && has_ahead;
    if (!suspended) {
      // A boundary before the first token of a walk begun afresh is false,
      // so this is the "i >= 1" of a walk over the whole input.
      const bool cut = (is_boundary && !next_is_stop) ||
                       (previous_is_boundary && (current.flags & kStop)) || too_long || !has_ahead;
      if (cut) {
        close(i + 1, current);
        chunk_length = 0;
      }
    }
    previous_is_boundary = is_boundary;
    if (!has_ahead || ahead.beyond) break;
    current = ahead;
    has_ahead = next(ahead);
  }
  return CutState{chunk_length, depth, peak_depth, previous_is_boundary};
}

std::string join_texts(const std::vector<Word>& words, std::size_t begin, std::size_t end) {
  std::string text;
  for (std::size_t i = begin; i < end; ++i) text += words[i].text;
  return text;
}

}  // namespace

Phraser::Phraser(std::optional<std::vector<std::string>> punct_chars, std::int64_t max_len)
    : Phraser(std::move(punct_chars), max_len,
              Marks{{clause_chars.begin(), clause_chars.end()},
                    {stop_chars.begin(), stop_chars.end()},
                    {quote_left_char.begin(), quote_left_char.end()},
                    {quote_right_char.begin(), quote_right_char.end()}}) {}

Phraser::Phraser(std::optional<std::vector<std::string>> punct_chars, std::int64_t max_len,
                 const Marks& marks)
    : max_len_(max_len != 0 ? max_len : kDefaultMaxLen), bmp_flags_(0x10000, 0) {
  module_logger();
  if (punct_chars && !punct_chars->empty()) {
    for (auto& ch : *punct_chars) {
      utf8::require_valid(ch, "punct_chars");
      punct_chars_.insert(std::move(ch));
    }
  } else {
    for (auto ch : default_punct_chars) punct_chars_.emplace(ch);
  }
  // Enders of more than one code point can only match words, which are
  // tested against punct_chars_ itself; so are clause marks, against
  // clause_set_.
  for (const auto& ch : punct_chars_) mark(ch, kPunct);
  const std::pair<const std::vector<std::string>*, const char*> lists[] = {
      {&marks.clause_chars, "clause_chars"},
      {&marks.stop_chars, "stop_chars"},
      {&marks.quote_left_char, "quote_left_char"},
      {&marks.quote_right_char, "quote_right_char"}};
  for (const auto& [list, name] : lists)
    for (const auto& ch : *list) utf8::require_valid(ch, name);
  for (const auto& ch : marks.clause_chars) {
    mark(ch, kClause);
    clause_set_.insert(ch);
  }
  for (const auto& ch : marks.stop_chars) mark(ch, kStop);
  for (const auto& ch : marks.quote_left_char) mark(ch, kLeft);
  for (const auto& ch : marks.quote_right_char) mark(ch, kRight);
  std::sort(astral_flags_.begin(), astral_flags_.end());
}

void Phraser::mark(std::string_view text, std::uint8_t flag) {
  const long cp = single_code_point(text);
  if (cp < 0) {
    // Only the flags read from words matter for longer entries.
    if (!(flag & (kStop | kLeft | kRight)) || text.empty()) return;
    auto it = std::find_if(word_flags_.begin(), word_flags_.end(),
                           [text](const auto& entry) { return entry.first == text; });
    if (it == word_flags_.end())
      word_flags_.emplace_back(std::string(text), flag);
    else
      it->second |= flag;
    return;
  }
  if (cp < 0x10000) {
    bmp_flags_[static_cast<std::size_t>(cp)] |= flag;
    return;
  }
  auto it = std::find_if(astral_flags_.begin(), astral_flags_.end(),
                         [cp](const auto& entry) { return entry.first == char32_t(cp); });
  if (it == astral_flags_.end())
    astral_flags_.emplace_back(char32_t(cp), flag);
  else
    it->second |= flag;
}

std::uint8_t Phraser::flags_of(std::string_view text) const {
  const long cp = single_code_point(text);
  std::uint8_t flags = 0;
  if (cp >= 0) {
    flags = code_point_flags(static_cast<char32_t>(cp));
  } else {
    for (const auto& [entry, entry_flags] : word_flags_)
      if (entry == text) flags = entry_flags;
  }
  return flags & (kStop | kLeft | kRight);
}

std::uint8_t Phraser::code_point_flags(char32_t cp) const {
  if (cp < 0x10000) return bmp_flags_[cp];
  if (astral_flags_.empty()) return 0;
  auto it = std::lower_bound(astral_flags_.begin(), astral_flags_.end(),
                             std::make_pair(cp, std::uint8_t{0}));
  return it != astral_flags_.end() && it->first == cp ? it->second : 0;
}

SentenceWalk Phraser::walk_text(std::string_view text, std::size_t end, std::size_t limit,
                                std::uint8_t boundary, SentenceWalk walk,
                                const std::function<void(const SentenceSpan&)>& visit) const {
  if (walk.byte >= end) return walk;
  const std::uint8_t* bmp = bmp_flags_.data();
  std::size_t pos = walk.byte;
  auto next = [&](Token& token) {
    if (pos >= limit) return false;
    const bool beyond = pos >= end;
    char32_t cp = utf8::next(text, pos);
    const std::uint8_t flags = cp < 0x10000 ? bmp[cp] : code_point_flags(cp);
    token = Token{flags, 1, 1, pos, beyond};
    return true;
  };
  const std::int64_t first_offset = walk.offset;
  std::size_t chunk_byte = walk.open_byte;
  std::int64_t chunk_offset = walk.open_offset;
  const CutState state = cut_tokens(
      boundary, max_len_,
      CutState{walk.offset - walk.open_offset, walk.depth, walk.peak_depth, walk.after_boundary},
      next, [&](std::size_t end_index, const Token& last) {
        const std::int64_t end_offset = first_offset + static_cast<std::int64_t>(end_index);
        visit(SentenceSpan{chunk_byte, last.byte_end, chunk_offset, end_offset - chunk_offset});
        chunk_byte = last.byte_end;
        chunk_offset = end_offset;
      });
  // Every token is one code point, so the open chunk's length gives the
  // position reached.
  return SentenceWalk{end,
                      chunk_offset + state.chunk_length,
                      chunk_byte,
                      chunk_offset,
                      state.depth,
                      state.peak_depth,
                      state.previous_is_boundary};
}

void Phraser::for_each_sentence(std::string_view text,
                                const std::function<void(const SentenceSpan&)>& visit) const {
  utf8::require_valid(text, "input");
  walk_text(text, text.size(), text.size(), kPunct, SentenceWalk{}, visit);
}

SentenceWalk Phraser::walk_sentences(std::string_view text, std::size_t end, SentenceWalk walk,
                                     const std::function<void(const SentenceSpan&)>& visit) const {
  return walk_text(text, end, text.size(), kPunct, walk, visit);
}

std::size_t Phraser::piece_start(std::string_view text, std::size_t from) const {
  std::size_t pos = std::min(from, text.size());
  while (pos < text.size() && (static_cast<unsigned char>(text[pos]) & 0xC0) == 0x80) ++pos;
  bool after_ender = false;
  while (pos < text.size()) {
    const std::size_t at = pos;
    const std::uint8_t flags = code_point_flags(utf8::next(text, pos));
    if (after_ender && !(flags & kStop)) return at;
    after_ender = flags & kPunct;
  }
  return text.size();
}

void Phraser::for_each_clause(std::string_view text, const SentenceSpan& sentence,
                              const std::function<void(const SentenceSpan&)>& visit) const {
  if (sentence.byte_begin > sentence.byte_end || sentence.byte_end > text.size())
    throw kelvra::common::IndexError("sentence span outside the text");
  walk_text(
      text, sentence.byte_end, sentence.byte_end, kClause,
      SentenceWalk{sentence.byte_begin, sentence.offset, sentence.byte_begin, sentence.offset},
      visit);
}

namespace {

// Calls make(run, begin, end) for `runs` consecutive runs of [0, count) on
// `pool`, and waits for them all, before a failure leaves too.
template <class Make>
void on_runs(kelvra::common::ThreadPool& pool, std::size_t runs, std::size_t count, Make make) {
  std::vector<std::future<void>> done;
  for (std::size_t run = 0; run < runs; ++run)
    done.push_back(
        pool.submit([&, run] { make(run, count * run / runs, count * (run + 1) / runs); }));
  for (auto& run : done) run.wait();
  for (auto& run : done) run.get();
}

// The records of sentences [begin, end) of `layout`, a layout of `input`,
// added to `out`.
void add_records(std::string_view input, const Phraser::Layout& layout, std::size_t begin,
                 std::size_t end, std::vector<Sentence>& out) {
  const auto text_of = [&](const SentenceSpan& span) {
    return std::string(input.substr(span.byte_begin, span.byte_end - span.byte_begin));
  };
  out.reserve(out.size() + (end - begin));
  for (std::size_t i = begin; i < end; ++i) {
    const std::size_t first = layout.first_clause[i], last = layout.first_clause[i + 1];
    std::vector<Clause> clauses;
    clauses.reserve(last - first);
    for (std::size_t c = first; c < last; ++c) {
      const SentenceSpan& clause = layout.clauses[c];
      clauses.emplace_back(static_cast<std::int64_t>(c - first), std::string(Phraser::kClauseTense),
                           clause.offset, clause.length, text_of(clause));
    }
    const SentenceSpan& sentence = layout.sentences[i];
    out.emplace_back(static_cast<std::int64_t>(i), sentence.offset, sentence.length,
                     text_of(sentence), std::move(clauses));
  }
}

}  // namespace

std::vector<Sentence> Phraser::split(std::string_view input) const {
  const Layout spans = layout(input);
  std::vector<Sentence> sentences;
  add_records(input, spans, 0, spans.sentences.size(), sentences);
  return sentences;
}

std::vector<Sentence> Phraser::split(std::string_view input, std::int64_t threads) const {
  internal::require_threads(threads);
  if (!internal::walked_in_pieces(input.size(), threads)) return split(input);
  kelvra::common::ThreadPool pool(internal::pool_threads(input.size(), threads));
  return split_on(input, pool, threads);
}

std::vector<Sentence> Phraser::split(std::string_view input,
                                     kelvra::common::ThreadPool& pool) const {
  const std::int64_t threads = pool.threads();
  if (!internal::walked_in_pieces(input.size(), threads)) return split(input);
  return split_on(input, pool, threads);
}

std::vector<Sentence> Phraser::split_on(std::string_view input, kelvra::common::ThreadPool& pool,
                                        std::int64_t threads) const {
  const Layout spans = layout_on(input, pool, threads);
  // The records too are made on the pool, in as many runs of sentences as
  // there are threads, and joined in order.
  const auto runs = static_cast<std::size_t>(internal::pool_threads(input.size(), threads));
  std::vector<std::vector<Sentence>> built(runs);
  on_runs(pool, runs, spans.sentences.size(),
          [&](std::size_t run, std::size_t begin, std::size_t end) {
            add_records(input, spans, begin, end, built[run]);
          });
  std::vector<Sentence> sentences;
  sentences.reserve(spans.sentences.size());
  for (auto& run : built)
    for (Sentence& sentence : run) sentences.push_back(std::move(sentence));
  return sentences;
}

void Phraser::add_clauses(std::string_view input, std::span<const SentenceSpan> sentences,
                          Layout& layout) const {
  for (const SentenceSpan& sentence : sentences) {
    layout.first_clause.push_back(layout.clauses.size());
    for_each_clause(input, sentence,
                    [&](const SentenceSpan& clause) { layout.clauses.push_back(clause); });
  }
}

Phraser::Layout Phraser::layout(std::string_view input, std::int64_t threads) const {
  internal::require_threads(threads);
  if (internal::walked_in_pieces(input.size(), threads)) {
    kelvra::common::ThreadPool pool(internal::pool_threads(input.size(), threads));
    return layout_on(input, pool, threads);
  }
  Layout out;
  for_each_sentence(input,
                    [&](const SentenceSpan& sentence) { out.sentences.push_back(sentence); });
  add_clauses(input, out.sentences, out);
  out.first_clause.push_back(out.clauses.size());
  return out;
}

Phraser::Layout Phraser::layout_on(std::string_view input, kelvra::common::ThreadPool& pool,
                                   std::int64_t threads) const {
  Layout out;
  out.sentences = internal::sentences_in_pieces(*this, input, pool, threads);
  // The clauses on the pool too, in runs of sentences joined in order.
  const auto runs = static_cast<std::size_t>(internal::pool_threads(input.size(), threads));
  std::vector<Layout> parts(runs);
  const std::span<const SentenceSpan> sentences(out.sentences);
  on_runs(pool, runs, sentences.size(), [&](std::size_t run, std::size_t begin, std::size_t end) {
    add_clauses(input, sentences.subspan(begin, end - begin), parts[run]);
  });
  out.first_clause.reserve(out.sentences.size() + 1);
  for (Layout& part : parts) {
    const std::size_t before = out.clauses.size();
    for (std::size_t first : part.first_clause) out.first_clause.push_back(before + first);
    out.clauses.insert(out.clauses.end(), part.clauses.begin(), part.clauses.end());
  }
  out.first_clause.push_back(out.clauses.size());
  return out;
}

std::vector<std::vector<Word>> Phraser::cut_words(
    const std::vector<Word>& words, const std::unordered_set<std::string>* chars) const {
  std::vector<std::vector<Word>> chunks;
  std::size_t index = 0;
  auto next = [&](Token& token) {
    if (index >= words.size()) return false;
    const Word& word = words[index++];
    std::uint8_t flags = flags_of(word.text);
    if (chars && chars->count(word.text)) flags |= kCustom;
    token = Token{flags, static_cast<std::int64_t>(utf8::length(word.text)), word.length, 0};
    return true;
  };
  std::size_t chunk_begin = 0;
  cut_tokens(kCustom, max_len_, CutState{}, next, [&](std::size_t end, const Token&) {
    chunks.emplace_back(words.begin() + static_cast<std::ptrdiff_t>(chunk_begin),
                        words.begin() + static_cast<std::ptrdiff_t>(end));
    chunk_begin = end;
  });
  return chunks;
}

std::vector<std::vector<Word>> Phraser::split_by_char(const std::vector<Word>& words) const {
  return cut_words(words, nullptr);
}

std::vector<std::vector<Word>> Phraser::split_by_char(const std::vector<Word>& words,
                                                      const std::vector<std::string>& chars) const {
  std::unordered_set<std::string> set(chars.begin(), chars.end());
  return cut_words(words, &set);
}

std::vector<std::vector<Word>> Phraser::split_by_char(
    const std::vector<Word>& words, const std::unordered_set<std::string>& chars) const {
  return cut_words(words, &chars);
}

std::vector<Sentence> Phraser::split(const std::vector<Word>& input) const {
  std::vector<Sentence> sentences;
  for (const auto& chunk : cut_words(input, &punct_chars_)) {
    std::vector<Clause> clauses;
    for (const auto& clause : cut_words(chunk, &clause_set_)) {
      clauses.emplace_back(static_cast<std::int64_t>(clauses.size()), std::string(kClauseTense),
                           clause.front().id, static_cast<std::int64_t>(clause.size()),
                           join_texts(clause, 0, clause.size()));
    }
    sentences.emplace_back(static_cast<std::int64_t>(sentences.size()), chunk.front().id,
                           static_cast<std::int64_t>(chunk.size()),
                           join_texts(chunk, 0, chunk.size()), std::move(clauses));
  }
  return sentences;
}

std::vector<Word> Phraser::get_single_words(std::string_view text) {
  utf8::require_valid(text, "text");
  std::vector<Word> words;
  words.reserve(text.size());
  std::int64_t position = 0;
  for (std::size_t pos = 0; pos < text.size();) {
    std::size_t start = pos;
    utf8::next(text, pos);
    words.emplace_back(position, std::string(text.substr(start, pos - start)), position, 1);
    ++position;
  }
  return words;
}

std::vector<Word> Phraser::get_single_words(const std::vector<std::string>& text) {
  std::vector<Word> words;
  words.reserve(text.size());
  std::int64_t position = 0;
  for (const auto& item : text) {
    utf8::require_valid(item, "text");
    auto length = static_cast<std::int64_t>(utf8::length(item));
    words.emplace_back(position, item, position, length);
    position += length;
  }
  return words;
}

}  // namespace kelvra::nlp::common::phraser
