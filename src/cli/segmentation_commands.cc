// split, section and stitch: the segmentation road from the command line.
//
// Whole-text modes read the input whole (a sentence may run anywhere in
// it); a long text is walked in pieces on all cores (below), a short one,
// or one with --jobs 1, in one walk, each sentence or segment written as it
// is found. --jsonl modes and stitch stream their input a line at a time on
// all cores.
#include <algorithm>
#include <atomic>
#include <deque>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cli/cli.h"
#include "kelvra/common/exceptions.h"
#include "kelvra/common/utf8.h"
#include "kelvra/nlp/common/internal/task_kind.h"
#include "kelvra/nlp/common/phraser.h"
#include "kelvra/nlp/common/sectioner.h"
#include "kelvra/nlp/common/stitcher.h"

namespace kelvra::cli {

namespace {

using nlp::common::phraser::Phraser;
using nlp::common::phraser::SentenceSpan;
using nlp::common::phraser::SentenceWalk;
using nlp::common::sectioner::Measure;
using nlp::common::sectioner::Sectioner;
using nlp::common::sectioner::SectionerOptions;
using nlp::common::sectioner::SegmentSpan;
using nlp::common::stitcher::Stitcher;
namespace feature = nlp::common::feature;

// The --jsonl help of a subcommand whose records are `what`, with `own`
// members.
std::string jsonl_help(const std::string& what, const std::string& own) {
  return "Read JSON Lines: each line one record with its text in \"text\" (or --field);\n"
         "write " +
         what + ", each with its own members first\n(" + own +
         "),\n"
         "then the record's others. An input \"offset\" (the text's place in a larger\n"
         "document, as a segment's) is added to the output's positions; the input's\n"
         "\"text\" and \"length\" are not copied (each output record has its own); another\n"
         "member named like an output member makes the line bad";
}

std::optional<std::vector<std::string>> chars_option(const std::string& chars,
                                                     const std::string& option) {
  if (chars.empty()) return std::nullopt;
  return split_code_points(chars, option);
}

// The text of a sentence, clause or segment.
std::string_view text_of(std::string_view text, std::size_t byte_begin, std::size_t byte_end) {
  return text.substr(byte_begin, byte_end - byte_begin);
}

// A position of the text moved by `shift` (the text's own place in a larger
// document).
std::int64_t shifted(std::int64_t offset, std::int64_t shift) {
  return shift == 0 ? offset : common::add_positions(offset, shift, "offset");
}

// One sentence record with its clauses, laid out by sentence_members, with
// the document's members after its own; offsets moved by `shift`.
void write_sentence(JsonWriter& json, const Phraser& phraser, std::string_view text,
                    const SentenceSpan& sentence, std::int64_t id, std::string_view members,
                    std::int64_t shift = 0) {
  json.begin_object();
  auto write_clauses = [&] {
    json.begin_array();
    std::int64_t clause_id = 0;
    phraser.for_each_clause(text, sentence, [&](const SentenceSpan& clause) {
      json.begin_object();
      feature::clause_members(json, clause_id++, Phraser::kClauseTense,
                              shifted(clause.offset, shift), clause.length,
                              text_of(text, clause.byte_begin, clause.byte_end));
      json.end_object();
    });
    json.end_array();
  };
  feature::sentence_members(json, id, shifted(sentence.offset, shift), sentence.length,
                            text_of(text, sentence.byte_begin, sentence.byte_end), write_clauses);
  json.members(members);
  json.end_object();
  json.end_line();
}

// One segment record, laid out by segment_members, then the document's
// members.
// With overlap, the segment's "context" follows its length.
void write_segment(JsonWriter& json, std::string_view text, const SegmentSpan& segment,
                   std::string_view members, std::int64_t shift = 0,
                   std::optional<std::int64_t> context = std::nullopt) {
  json.begin_object();
  if (context)
    nlp::common::sectioner::overlapping_segment_members(
        json, text_of(text, segment.byte_begin, segment.byte_end), shifted(segment.offset, shift),
        segment.length, *context);
  else
    nlp::common::sectioner::segment_members(json,
                                            text_of(text, segment.byte_begin, segment.byte_end),
                                            shifted(segment.offset, shift), segment.length);
  json.members(members);
  json.end_object();
  json.end_line();
}

// Records made by the library, each "offset" moved by `shift`, then the
// document's members.
void write_records(JsonWriter& json, std::vector<Record>& records, std::string_view members,
                   std::int64_t shift = 0) {
  if (shift != 0) {  // every one first: a failure leaves no record half written
    for (Record& record : records) {
      Record& offset = record["offset"];
      offset = common::add_positions(common::require_integer(offset, "offset"), shift, "offset");
    }
  }
  for (const Record& record : records) write_record(json, record, members);
}

// --- a long text on several threads ---

// Pieces of about this size are walked apart; a text shorter than two is
// walked in one go. Small enough that a piece's output (about four times
// its size for split) stays in a core's own cache while it is written.
constexpr std::size_t kPieceBytes = std::size_t{1} << 18;

bool walked_in_pieces(std::string_view text, int jobs) {
  return jobs > 1 && text.size() >= 2 * kPieceBytes;
}

// InputError naming the source, line and byte when `text` is not UTF-8,
// checked in parts on the pool's threads (a part starts at a character, so
// that valid text passes every part and invalid text fails one).
void require_utf8_in_parts(ThreadPool& pool, std::string_view text, const std::string& source) {
  constexpr std::size_t kPart = std::size_t{8} << 20;
  std::vector<std::future<void>> parts;
  std::atomic<bool> valid{true};
  for (std::size_t begin = 0; begin < text.size();) {
    std::size_t end = std::min(text.size(), begin + kPart);
    auto continues = [&](std::size_t at) {
      return at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80;
    };
    for (int i = 0; i < 3 && continues(end); ++i) ++end;
    parts.push_back(pool.submit([&valid, part = text.substr(begin, end - begin)] {
      if (!common::utf8::is_valid(part)) valid = false;
    }));
    begin = end;
  }
  for (auto& part : parts) part.get();
  if (!valid) require_utf8(text, source);  // finds the first bad byte and throws
}

// A piece of a long text and its sentences, as a worker walked it.
struct TextPiece {
  std::size_t begin = 0, end = 0;
  // Offsets counted from `begin` while the piece is a guess, from the
  // text's start once it is resolved.
  std::vector<SentenceSpan> sentences;
  SentenceWalk walk;                  // where the walk stood at `end`, counted alike
  std::vector<SegmentSpan> segments;  // section: packed by the worker, see add_section
  std::future<void> done;
};

// The sentences of a long text, found on the pool's threads. The text is cut
// into pieces of about kPieceBytes where Phraser::piece_start says a sentence
// most likely begins; a worker walks each piece as if one began there and
// then runs `after_walk` on it. Each guess is checked in order against the
// true walk up to its piece, and a piece whose guess did not hold is walked
// again from there, on this thread. The sentences are therefore exactly
// those of phraser.for_each_sentence(text). `resolved(piece, held,
// first_id)` gets each piece in order, on this thread, its sentences'
// offsets counted from the text's start; `held` says whether the sentences
// are those the worker found, `first_id` is the index of the first among
// all. `text` must be valid UTF-8.
using PieceResolved = std::function<void(TextPiece&, bool held, std::int64_t first_id)>;
void walk_in_pieces(const Phraser& phraser, std::string_view text, ThreadPool& pool,
                    std::size_t in_flight, const std::function<void(TextPiece&)>& after_walk,
                    const PieceResolved& resolved) {
  const std::size_t count = (text.size() + kPieceBytes - 1) / kPieceBytes;
  auto walk_piece = [&phraser, &after_walk, text, count](TextPiece& piece, std::size_t index) {
    auto start = [&](std::size_t i) {
      return i == 0 ? 0 : i == count ? text.size() : phraser.piece_start(text, i * kPieceBytes);
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
    while (next < count && pieces.size() < in_flight) {
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

// The segments of a long text whose sentences are found in pieces (see
// walk_in_pieces). Each worker also packs its piece's sentences into
// segments, as if a segment began with the piece. Then, in order, the
// segment still open at the end of the piece before is packed on with the
// piece's sentences until a segment ends where one of the worker's ends:
// both packings go on alike from there (as they do after any sentence longer
// than `length`). Only the sentences before that point are packed twice.
class SegmentsInPieces {
 public:
  SegmentsInPieces(const Sectioner& sectioner, std::string_view text, std::int64_t length)
      : sectioner_(sectioner), text_(text), length_(length) {}

  // On a worker, after the walk: fills piece.segments, offsets counted from
  // the piece's first sentence.
  void pack_guess(TextPiece& piece) const {
    pack(
        [&](const auto& emit) {
          for (const SentenceSpan& s : piece.sentences) emit(s);
        },
        [&](const SegmentSpan& segment) { piece.segments.push_back(segment); });
  }

  // In order, for each resolved piece (`held`: its sentences are those the
  // worker packed): the segments that are now final, offsets counted from
  // the text's start. The last one may stay open, for the next piece.
  std::vector<SegmentSpan> resolve(TextPiece& piece, bool held) {
    std::vector<SegmentSpan> segments;
    if (piece.sentences.empty()) return segments;  // the open segment goes on
    const std::int64_t base = piece.sentences.front().offset;
    std::size_t agreed = 0;  // the worker's segments from here on hold
    if (!held || open_) {
      const std::int64_t repacked_from = open_ ? open_->offset : base;
      bool synced = false;
      std::size_t guessed = 0;
      pack(
          [&](const auto& emit) {
            // The open segment packs on as one sentence of its length.
            if (open_) emit(SentenceSpan{open_->byte_begin, open_->byte_end, 0, open_->length});
            for (const SentenceSpan& s : piece.sentences) {
              if (synced) return;
              emit(s);
            }
          },
          [&](SegmentSpan segment) {
            if (synced) return;
            segment.offset += repacked_from;
            segments.push_back(segment);
            if (!held) return;
            const auto& worker = piece.segments;
            while (guessed < worker.size() && worker[guessed].byte_end < segment.byte_end)
              ++guessed;
            if (guessed < worker.size() && worker[guessed].byte_end == segment.byte_end) {
              synced = true;
              agreed = guessed + 1;
            }
          });
      if (!synced) agreed = piece.segments.size();
    }
    for (std::size_t i = agreed; i < piece.segments.size(); ++i) {
      SegmentSpan segment = piece.segments[i];
      segment.offset += base;
      segments.push_back(segment);
    }
    // Unless the text ends here or its last sentence was cut into pieces,
    // the last segment may take sentences of the next piece.
    open_.reset();
    const SentenceSpan& last = piece.sentences.back();
    if (last.byte_end < text_.size() && last.length <= length_) {
      open_ = segments.back();
      segments.pop_back();
    }
    return segments;
  }

  // The segment left open, after the last piece.
  std::vector<SegmentSpan> finish() {
    std::vector<SegmentSpan> last;
    if (open_) last.push_back(*open_);
    open_.reset();
    return last;
  }

 private:
  template <class Sentences, class Visit>
  void pack(const Sentences& sentences, const Visit& visit) const {
    sectioner_.for_each_segment(
        text_, length_, [&](const auto& emit) { sentences(emit); }, visit);
  }

  const Sectioner& sectioner_;
  std::string_view text_;
  std::int64_t length_;
  std::optional<SegmentSpan> open_;  // the last segment, while it may still grow
};

void add_split(CLI::App& app) {
  struct Options {
    std::int64_t max_len = Phraser::kDefaultMaxLen;
    std::string punct;
    bool jsonl = false;
    std::string field = "text";
    std::vector<std::string> drop;
    StreamFlags stream;
    std::string file;
  };
  auto options = std::make_shared<Options>();
  auto* cmd =
      app.add_subcommand("split",
                         "Split the whole input (one text) into sentences with their clauses;\n"
                         "prints one sentence record per line.");
  cmd->add_option("--max-len", options->max_len,
                  "Length cap of a sentence, in code points; 0 means the default, 510")
      ->capture_default_str()
      ->check(at_least(0));
  cmd->add_option("--punct", options->punct,
                  "Sentence enders, one per character (default: the built-in list)");
  cmd->add_flag("--jsonl", options->jsonl,
                jsonl_help("its sentences", "id, offset, length, text, clauses"));
  add_field_option(*cmd, options->field);
  add_drop_option(*cmd, options->drop);
  add_stream_flags(*cmd, options->stream);
  cmd->add_option("FILE", options->file, "Input file (default: standard input)");
  cmd->callback([options] {
    const Phraser phraser(chars_option(options->punct, "--punct"), options->max_len);
    if (options->jsonl) {
      InputFile input(options->file);
      const std::string& field = options->field;
      run_records(input, options->stream.options(), "split", field,
                  [&](Document& doc, std::int64_t number, JsonWriter& json) {
                    pass_through(doc, input.name(), number, {field},
                                 {"id", "offset", "length", "text", "clauses"}, options->drop);
                    std::int64_t id = 0;
                    phraser.for_each_sentence(doc.text, [&](const SentenceSpan& sentence) {
                      write_sentence(json, phraser, doc.text, sentence, id++, doc.members,
                                     doc.offset);
                    });
                  });
      return;
    }
    const double cpu_at_start = thread_cpu_seconds();
    const StreamOptions stream = options->stream.options();
    ThreadPool pool(stream.jobs);  // its threads start only when work comes
    InputFile input(options->file);
    const WholeInput whole(input, stream.jobs > 1 ? &pool : nullptr);
    const std::string_view text = whole.text();
    Output& output = Output::standard();
    Progress progress("split", text.size(), stream.progress);
    if (walked_in_pieces(text, stream.jobs)) {
      require_utf8_in_parts(pool, text, source_name(options->file));
      const auto in_flight = 2 * static_cast<std::size_t>(stream.jobs);
      OrderedOutput ordered(pool, output, in_flight);
      walk_in_pieces(
          phraser, text, pool, in_flight, nullptr,
          [&](TextPiece& piece, bool, std::int64_t first_id) {
            if (piece.sentences.empty()) return;
            ordered.submit([&, sentences = std::move(piece.sentences), first_id](std::string& out) {
              JsonWriter json(out);
              std::int64_t id = first_id;
              for (const SentenceSpan& sentence : sentences)
                write_sentence(json, phraser, text, sentence, id++, {});
            });
            progress.update(piece.end);
          });
      ordered.finish();
    } else {
      JsonWriter json(output.buffer(), &output);
      std::int64_t id = 0;
      checked_by_library(text, source_name(options->file), [&] {
        phraser.for_each_sentence(text, [&](const SentenceSpan& sentence) {
          write_sentence(json, phraser, text, sentence, id++, {});
          progress.update(sentence.byte_end);
        });
      });
    }
    output.flush();
    progress.finish(text.size());
    const double worker_seconds = pool.finish();
    report_thread_times("split", thread_cpu_seconds() - cpu_at_start, worker_seconds, text.size());
  });
}

void add_section(CLI::App& app) {
  struct Options {
    std::string type;
    std::int64_t length = 0;
    std::int64_t overlap = 0;
    std::string measure = "code-points";
    std::string separator;
    bool jsonl = false;
    std::string field = "text";
    std::vector<std::string> drop;
    StreamFlags stream;
    std::string file;
  };
  auto options = std::make_shared<Options>();
  auto* cmd = app.add_subcommand(
      "section",
      "Cut a document into segments of at most --length code points along sentences.\n"
      "ner: the whole input is the document text. relation: the input is one JSON\n"
      "feature set {\"text\":...,\"nes\":[...]}. Prints one segment record per line.");
  cmd->add_option("--type", options->type, "ner or relation")
      ->required()
      ->check(one_of({nlp::common::kTaskKindNames.begin(), nlp::common::kTaskKindNames.end()}));
  cmd->add_option("--length", options->length, "Maximum segment length, in code points")
      ->required()
      ->check(at_least(1));
  cmd->add_option("--overlap", options->overlap,
                  "Code points each segment after the first repeats from right before its own\n"
                  "part (at most --length - 1 are used), said by its \"context\" member; stitch\n"
                  "then keeps each result once. 0: none, and no \"context\". Applies to every\n"
                  "record; an input's own \"overlap\" member is carried, not read")
      ->capture_default_str()
      ->check(at_least(0));
  cmd->add_option("--measure", options->measure,
                  "What --length counts; offsets and lengths in the records stay code points")
      ->capture_default_str()
      ->check(one_of({"code-points", "utf-8-bytes", "utf-16-units"}));
  cmd->add_option("--separator", options->separator,
                  "Sentence enders, one per character (default: the built-in list)");
  cmd->add_flag(
      "--jsonl", options->jsonl,
      jsonl_help("its segments", "text, offset, length; with relation also feature_set") +
          ".\nWith relation each record is a feature set {\"text\",\"nes\",...}. To section\n"
          "the output of normalize --jsonl, name its text: --field normalized_text");
  add_field_option(*cmd, options->field);
  add_drop_option(*cmd, options->drop);
  add_stream_flags(*cmd, options->stream);
  cmd->add_option("FILE", options->file, "Input file (default: standard input)");
  cmd->callback([options] {
    const Sectioner sectioner(chars_option(options->separator, "--separator"),
                              SectionerOptions{Measure::named(options->measure)});
    const std::int64_t length = options->length;
    const std::int64_t overlap = options->overlap;
    const bool relation = options->type == "relation";
    // Overlap and measures pack in one walk; the default packing may also
    // go in pieces on several threads.
    const bool plain = overlap == 0 && options->measure == "code-points";
    const auto each_segment = [&](std::string_view text, const auto& write) {
      if (plain) {
        sectioner.for_each_segment(
            text, length, [&](const SegmentSpan& segment) { write(segment, std::nullopt); });
      } else {
        sectioner.for_each_overlapping_segment(
            text, length, overlap, [&](const SegmentSpan& segment, std::int64_t context) {
              write(segment, overlap > 0 ? std::optional<std::int64_t>(context) : std::nullopt);
            });
      }
    };
    if (options->jsonl) {
      InputFile input(options->file);
      const std::string& field = options->field;
      run_records(input, options->stream.options(), "section", field,
                  [&](Document& doc, std::int64_t number, JsonWriter& json) {
                    if (relation) {
                      pass_through(doc, input.name(), number, {field, "nes"},
                                   {"text", "offset", "length", "feature_set"}, options->drop);
                      // Handed over whole, so that its entities are moved, not copied.
                      Record input_record = Record::object();
                      Record& feature_set = input_record["feature_set"] = Record::object();
                      feature_set["text"] = std::move(doc.record[field]);
                      if (auto nes = doc.record.find("nes"); nes != doc.record.end())
                        feature_set["nes"] = std::move(*nes);
                      input_record["length"] = length;
                      if (overlap > 0) input_record["overlap"] = overlap;
                      std::vector<Record> segments =
                          sectioner.split(std::move(input_record), "relation");
                      write_records(json, segments, doc.members, doc.offset);
                      return;
                    }
                    if (overlap > 0)
                      pass_through(doc, input.name(), number, {field},
                                   {"text", "offset", "length", "context"}, options->drop);
                    else
                      pass_through(doc, input.name(), number, {field}, {"text", "offset", "length"},
                                   options->drop);
                    each_segment(doc.text, [&](const SegmentSpan& segment, auto context) {
                      write_segment(json, doc.text, segment, doc.members, doc.offset, context);
                    });
                  });
      return;
    }
    const double cpu_at_start = thread_cpu_seconds();
    const StreamOptions stream = options->stream.options();
    ThreadPool pool(stream.jobs);  // its threads start only when work comes
    InputFile input(options->file);
    const WholeInput whole(input, stream.jobs > 1 && !relation ? &pool : nullptr);
    const std::string_view content = whole.text();
    Output& output = Output::standard();
    JsonWriter json(output.buffer(), &output);
    if (relation) {
      const std::string source = source_name(options->file);
      require_utf8(content, source);
      Record document = Record::object();
      document["feature_set"] = parse_json(content, source);
      document["length"] = length;
      if (overlap > 0) document["overlap"] = overlap;
      std::vector<Record> segments;
      naming_source(source,
                    [&] { segments = sectioner.split(std::move(document), options->type); });
      write_records(json, segments, {});
      return;
    }
    Progress progress("section", content.size(), stream.progress);
    if (plain && walked_in_pieces(content, stream.jobs)) {
      require_utf8_in_parts(pool, content, source_name(options->file));
      const auto in_flight = 2 * static_cast<std::size_t>(stream.jobs);
      OrderedOutput ordered(pool, output, in_flight);
      SegmentsInPieces packing(sectioner, content, length);
      auto hand_over = [&](std::vector<SegmentSpan> segments) {
        if (segments.empty()) return;
        ordered.submit([&, segments = std::move(segments)](std::string& out) {
          JsonWriter piece_json(out);
          for (const SegmentSpan& segment : segments)
            write_segment(piece_json, content, segment, {});
        });
      };
      walk_in_pieces(
          sectioner.phraser, content, pool, in_flight,
          [&](TextPiece& piece) { packing.pack_guess(piece); },
          [&](TextPiece& piece, bool held, std::int64_t) {
            hand_over(packing.resolve(piece, held));
            progress.update(piece.end);
          });
      hand_over(packing.finish());
      ordered.finish();
    } else {
      checked_by_library(content, source_name(options->file), [&] {
        each_segment(content, [&](const SegmentSpan& segment, auto context) {
          write_segment(json, content, segment, {}, 0, context);
          progress.update(segment.byte_end);
        });
      });
    }
    output.flush();
    progress.finish(content.size());
    const double worker_seconds = pool.finish();
    report_thread_times("section", thread_cpu_seconds() - cpu_at_start, worker_seconds,
                        content.size());
  });
}

void add_stitch(CLI::App& app) {
  struct Options {
    std::string type;
    std::vector<std::string> carry;
    StreamFlags stream;
    std::string file;
  };
  auto options = std::make_shared<Options>();
  auto* cmd = app.add_subcommand(
      "stitch",
      "Shift per-segment results back into document positions. The input is JSON\n"
      "Lines, one segment record per line with \"offset\" and \"nes\" (ner) or\n"
      "\"relations\" (relation); blank lines are skipped. Prints one merged record\n"
      "per line, as each segment is read. A segment's \"context\" (section --overlap)\n"
      "leaves out its results that lie wholly inside that context, which the segment\n"
      "before kept: each result is printed once.");
  cmd->add_option("--type", options->type, "ner or relation")
      ->required()
      ->check(one_of({nlp::common::kTaskKindNames.begin(), nlp::common::kTaskKindNames.end()}));
  cmd->add_option("--carry", options->carry,
                  "Members of each segment to copy into each of its merged records, after\n"
                  "the record's own (a document's \"id\", say, so that the records of many\n"
                  "documents stay apart); a segment without one has none to copy, a merged\n"
                  "record that has one of its own makes the line bad")
      ->delimiter(',')
      ->allow_extra_args(false);
  add_stream_flags(*cmd, options->stream);
  cmd->add_option("FILE", options->file, "Input file (default: standard input)");
  cmd->callback([options] {
    // Stitching is a concatenation, so merging segment by segment gives the
    // same list and lets a failure name its line.
    const Stitcher stitcher;
    const std::vector<std::string>& carry = options->carry;
    InputFile input(options->file);
    run_lines(input, options->stream.options(), "stitch",
              [&](std::string_view line, std::int64_t number, JsonWriter& json) {
                if (is_blank(line)) return;
                std::vector<Record> one;
                one.push_back(parse_json(line, input.name(), number));
                std::string carried;
                std::vector<std::string_view> carried_keys;
                if (!carry.empty() && one.front().is_object()) {
                  JsonWriter members(carried);
                  for (const std::string& key : carry) {
                    auto it = one.front().find(key);
                    if (it == one.front().end()) continue;
                    members.key(key);
                    members.value(*it);
                    carried_keys.push_back(key);
                  }
                }
                const std::vector<Record> merged = stitcher.merge(std::move(one), options->type);
                for (const Record& record : merged)
                  for (std::string_view key : carried_keys)
                    if (record.is_object() && record.contains(key))
                      throw InputError(input.name() + ":" + std::to_string(number) +
                                       ": the merged record's own \"" + std::string(key) +
                                       "\" would clash with the one --carry copies");
                for (const Record& record : merged) write_record(json, record, carried);
              });
  });
}

}  // namespace

void add_segmentation_commands(CLI::App& app) {
  add_split(app);
  add_section(app);
  add_stitch(app);
}

}  // namespace kelvra::cli
