// split, section and stitch: the segmentation road from the command line.
//
// Whole-text modes read the input whole (a sentence may run anywhere in
// it); a long text is walked in pieces on all cores (the library's walk,
// run by run_whole_text below), a short one, or one with --jobs 1, in one
// walk, each sentence or segment written as it is found. --jsonl modes and
// stitch stream their input a line at a time on all cores.
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
#include "kelvra/nlp/common/internal/segment_pieces.h"
#include "kelvra/nlp/common/internal/sentence_pieces.h"
#include "kelvra/nlp/common/internal/stitch_lines.h"
#include "kelvra/nlp/common/internal/task_kind.h"
#include "kelvra/nlp/common/phraser.h"
#include "kelvra/nlp/common/sectioner.h"
#include "kelvra/nlp/common/stitcher.h"

namespace kelvra::cli {

namespace {

using kelvra::common::dispose;
using nlp::common::internal::SegmentsInPieces;
using nlp::common::internal::TextPiece;
using nlp::common::internal::walk_in_pieces;
using nlp::common::internal::walked_in_pieces;
using nlp::common::phraser::Phraser;
using nlp::common::phraser::SentenceSpan;
using nlp::common::phraser::SentenceWalk;
using nlp::common::sectioner::Measure;
using nlp::common::sectioner::Sectioner;
using nlp::common::sectioner::SectionerOptions;
using nlp::common::sectioner::SegmentSpan;
using nlp::common::stitcher::Stitcher;
using nlp::common::stitcher::internal::stitch_ner_line;
using nlp::common::stitcher::internal::StitchedLayout;
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

// --- whole texts ---

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

// How a whole-text subcommand writes the records of a text walked in pieces
// (the library's walk_in_pieces): `after_walk` runs on each piece's worker
// after its walk (may be empty); `resolved` gets each piece in order and
// gives the task that writes its records now final (empty: none);
// `finish`, after the last piece, the task for what is left (may be empty).
struct PieceWriters {
  std::function<void(TextPiece&)> after_walk;
  std::function<OrderedOutput::Task(TextPiece&, bool held, std::int64_t first_id)> resolved;
  std::function<OrderedOutput::Task()> finish;
};

// Writes the records of one walk over the whole text to `json`, telling
// `progress` how far it got.
using OneWalk = std::function<void(std::string_view text, JsonWriter& json, Progress& progress)>;

// split and section over a whole text: reads `file` whole, and walks a long
// text in pieces on all --jobs (writers made by `in_pieces` for the text),
// a short one, or any with --jobs 1, in one walk (`in_one_walk`), each
// record written as it is found. Either way the output is the same.
void run_whole_text(const std::string& what, const std::string& file, const StreamOptions& stream,
                    const Phraser& phraser,
                    const std::function<PieceWriters(std::string_view text)>& in_pieces,
                    const OneWalk& in_one_walk) {
  const double cpu_at_start = thread_cpu_seconds();
  ThreadPool pool(stream.jobs);  // its threads start only when work comes
  InputFile input(file);
  const WholeInput whole(input, stream.jobs > 1 ? &pool : nullptr);
  const std::string_view text = whole.text();
  Output& output = Output::standard();
  Progress progress(what, text.size(), stream.progress);
  if (walked_in_pieces(text.size(), stream.jobs)) {
    require_utf8_in_parts(pool, text, source_name(file));
    const auto in_flight = 2 * static_cast<std::size_t>(stream.jobs);
    OrderedOutput ordered(pool, output, in_flight);
    const PieceWriters writers = in_pieces(text);
    walk_in_pieces(phraser, text, pool, in_flight, writers.after_walk,
                   [&](TextPiece& piece, bool held, std::int64_t first_id) {
                     if (OrderedOutput::Task task = writers.resolved(piece, held, first_id))
                       ordered.submit(std::move(task));
                     progress.update(piece.end);
                   });
    if (writers.finish)
      if (OrderedOutput::Task task = writers.finish()) ordered.submit(std::move(task));
    ordered.finish();
  } else {
    JsonWriter json(output.buffer(), &output);
    checked_by_library(text, source_name(file), [&] { in_one_walk(text, json, progress); });
  }
  output.flush();
  progress.finish(text.size());
  const double worker_seconds = pool.finish();
  report_thread_times(what, thread_cpu_seconds() - cpu_at_start, worker_seconds, text.size());
}

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
    run_whole_text(
        "split", options->file, options->stream.options(), phraser,
        [&phraser](std::string_view text) {
          return PieceWriters{.after_walk = nullptr,
                              .resolved =
                                  [&phraser, text](TextPiece& piece, bool, std::int64_t first_id) {
                                    if (piece.sentences.empty()) return OrderedOutput::Task();
                                    return OrderedOutput::Task(
                                        [&phraser, text, sentences = std::move(piece.sentences),
                                         first_id](std::string& out) {
                                          JsonWriter json(out);
                                          std::int64_t id = first_id;
                                          for (const SentenceSpan& sentence : sentences)
                                            write_sentence(json, phraser, text, sentence, id++, {});
                                        });
                                  },
                              .finish = nullptr};
        },
        [&phraser](std::string_view text, JsonWriter& json, Progress& progress) {
          std::int64_t id = 0;
          phraser.for_each_sentence(text, [&](const SentenceSpan& sentence) {
            write_sentence(json, phraser, text, sentence, id++, {});
            progress.update(sentence.byte_end);
          });
        });
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
    if (relation) {
      InputFile input(options->file);
      const WholeInput whole(input, nullptr);
      const std::string_view content = whole.text();
      Output& output = Output::standard();
      JsonWriter json(output.buffer(), &output);
      const std::string source = source_name(options->file);
      require_utf8(content, source);
      Record document = Record::object();
      document["feature_set"] = parse_json(content, source);
      document["length"] = length;
      if (overlap > 0) document["overlap"] = overlap;
      std::vector<Record> segments;
      naming_source(source, [&] {
        segments =
            sectioner.split(std::move(document), options->type, options->stream.options().jobs);
      });
      write_records(json, segments, {});
      return;
    }
    StreamOptions stream = options->stream.options();
    if (!plain) stream.jobs = 1;  // overlap and measures: one walk
    run_whole_text(
        "section", options->file, stream, sectioner.phraser,
        [&sectioner, length](std::string_view text) {
          // Shared by the writers, which the run keeps until it ends.
          auto packing = std::make_shared<SegmentsInPieces>(sectioner, text, length);
          auto write = [text](std::vector<SegmentSpan> segments) {
            if (segments.empty()) return OrderedOutput::Task();
            return OrderedOutput::Task([text, segments = std::move(segments)](std::string& out) {
              JsonWriter json(out);
              for (const SegmentSpan& segment : segments) write_segment(json, text, segment, {});
            });
          };
          return PieceWriters{
              .after_walk = [packing](TextPiece& piece) { packing->pack_guess(piece); },
              .resolved = [packing, write](
                              TextPiece& piece, bool held,
                              std::int64_t) { return write(packing->resolve(piece, held)); },
              .finish = [packing, write] { return write(packing->finish()); }};
        },
        [&each_segment](std::string_view text, JsonWriter& json, Progress& progress) {
          each_segment(text, [&](const SegmentSpan& segment, auto context) {
            write_segment(json, text, segment, {}, 0, context);
            progress.update(segment.byte_end);
          });
        });
  });
}

// The members `carry` names that `segment` has, as JSON text ("id":"a1"),
// into `text`; their names into `found` when given.
void carried_members(const Record& segment, const std::vector<std::string>& carry,
                     std::string& text, std::vector<std::string_view>* found = nullptr) {
  if (carry.empty() || !segment.is_object()) return;
  JsonWriter members(text);
  for (const std::string& key : carry) {
    auto it = segment.find(key);
    if (it == segment.end()) continue;
    members.key(key);
    members.value(*it);
    if (found != nullptr) found->push_back(key);
  }
}

void add_stitch(CLI::App& app) {
  struct Options {
    std::string type;
    std::vector<std::string> carry;
    std::string attach;
    StreamFlags stream;
    std::string file;
  };
  auto options = std::make_shared<Options>();
  auto* cmd = app.add_subcommand(
      "stitch",
      "Shift per-segment results back into document positions. The input is JSON\n"
      "Lines, one segment record per line with \"offset\" and \"nes\" (ner) or\n"
      "\"relations\" (relation); blank lines are skipped. Prints one merged record\n"
      "per line, as each segment is read, or with --attach one record per document.\n"
      "A segment's \"context\" (section --overlap) leaves out its results that lie\n"
      "wholly inside that context, which the segment before kept: each result is\n"
      "printed once.");
  cmd->add_option("--type", options->type, "ner or relation")
      ->required()
      ->check(one_of({nlp::common::kTaskKindNames.begin(), nlp::common::kTaskKindNames.end()}));
  auto* carry_option =
      cmd->add_option("--carry", options->carry,
                      "Members of each segment to copy into each of its merged records, after\n"
                      "the record's own (a document's \"id\", say, so that the records of many\n"
                      "documents stay apart); a segment without one has none to copy, a merged\n"
                      "record that has one of its own makes the line bad")
          ->delimiter(',')
          ->allow_extra_args(false);
  cmd->add_option("--attach", options->attach,
                  "Write one record per document instead: the --carry members, then the\n"
                  "document's merged records as a list under this member. A document is a\n"
                  "run of consecutive segments with the same --carry members (equal as\n"
                  "JSON text; a segment without them has none). A document without results\n"
                  "gets an empty list; a skipped bad segment (--skip-bad) leaves its\n"
                  "document's record without its results")
      ->needs(carry_option);
  add_stream_flags(*cmd, options->stream);
  cmd->add_option("FILE", options->file, "Input file (default: standard input)");
  cmd->callback([options] {
    // Stitching is a concatenation, so merging segment by segment gives the
    // same list and lets a failure name its line.
    const Stitcher stitcher;
    // A name given twice is copied once.
    const std::vector<std::string> carry = without_repeats(options->carry);
    const std::string& attach = options->attach;
    // Lines in the compact layout are stitched as text, the others (and
    // every bad one, which the record road then describes) as records.
    const bool ner = nlp::common::parse_task_kind(options->type) == nlp::common::TaskKind::kNer;
    if (std::find(carry.begin(), carry.end(), attach) != carry.end())
      throw CLI::ValidationError("--attach", "\"" + attach +
                                                 "\" is also a member --carry copies; name "
                                                 "another member for the list");
    InputFile input(options->file);
    if (!attach.empty()) {
      // The workers merge each segment; the writer joins the segments of a
      // document, whose carried members are the group's key.
      std::string list_key;
      append_json_string(list_key, attach);
      list_key += ":[";
      const Grouping documents{.head =
                                   [&list_key](std::string_view carried, std::string& out) {
                                     out += '{';
                                     out += carried;
                                     if (!carried.empty()) out += ',';
                                     out += list_key;
                                   },
                               .separator = ",",
                               .tail = "]}\n"};
      run_grouped_lines(
          input, options->stream.options(), "stitch", documents,
          [&](std::string_view line, std::int64_t number, JsonWriter& json, LineGroup& document) {
            if (is_blank(line)) return;
            if (ner &&
                stitch_ner_line(line, carry, json, document.key, StitchedLayout::kValuePerResult)) {
              document.joined = true;
              return;
            }
            std::vector<Record> one;
            one.push_back(parse_json(line, input.name(), number));
            // A record that is no object names no document.
            document.joined = one.front().is_object();
            carried_members(one.front(), carry, document.key);
            for (Record& record : stitcher.merge(std::move(one), options->type)) {
              json.value(record);
              dispose(record);
            }
            dispose(one.front());
          });
      return;
    }
    run_lines(
        input, options->stream.options(), "stitch",
        [&](std::string_view line, std::int64_t number, JsonWriter& json) {
          if (is_blank(line)) return;
          std::string carried;
          if (ner && stitch_ner_line(line, carry, json, carried, StitchedLayout::kLinePerResult))
            return;
          std::vector<Record> one;
          one.push_back(parse_json(line, input.name(), number));
          std::vector<std::string_view> carried_keys;
          carried_members(one.front(), carry, carried, &carried_keys);
          std::vector<Record> merged = stitcher.merge(std::move(one), options->type);
          for (const Record& record : merged)
            for (std::string_view key : carried_keys)
              if (record.is_object() && record.contains(key))
                throw InputError(input.name() + ":" + std::to_string(number) +
                                 ": the merged record's own \"" + std::string(key) +
                                 "\" would clash with the one --carry copies");
          for (Record& record : merged) {
            write_record(json, record, carried);
            dispose(record);
          }
          dispose(one.front());
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
