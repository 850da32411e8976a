// Helpers shared by the subcommands of kelvra-nlp: reading the input,
// reporting bad input with its place, checking option values, and the
// options of the subcommands that stream.
//
// Each group of subcommands lives in its own file and adds itself to the
// application through one add_*_commands function, declared here and
// called from a main. A subcommand reports bad input by throwing; run_app
// prints the message on one line of standard error and exits with 1. Bad
// option values are usage errors, thrown as CLI::ValidationError naming
// the option and the value; they exit with 2.
//
// The subcommands that need large libraries (vector arithmetic, HTTP) are
// separate programs beside the main one, so that the others start fast;
// main.cc hands their command lines over (see helper_program).
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>

// The layers every subcommand uses: failures, input, output, threads, the
// line pipeline and the progress line.
#include "cli/errors.h"
#include "cli/input.h"
#include "cli/output.h"
#include "cli/pipeline.h"
#include "cli/progress.h"
#include "cli/thread_pool.h"
#include "kelvra/common/json_writer.h"
#include "kelvra/common/record.h"

namespace kelvra::cli {

// The whole content of `path`, or of standard input when `path` is empty
// or "-". InputError naming the path (and `option`, when given) when it
// cannot be read or is a directory.
std::string read_input(const std::string& path, const std::string& option = "");

// read_input, then require_utf8: the input of every whole-text subcommand.
std::string read_text_input(const std::string& path, const std::string& option = "");

// "stdin" for standard input, the path otherwise; used in messages.
std::string source_name(const std::string& path);

// InputError naming the source, line and byte when `text` is not UTF-8.
void require_utf8(std::string_view text, const std::string& source);

// Runs `work`, a library call that checks `text` is UTF-8 before it does
// anything else, so that a large input is not checked twice; when the call
// refuses the text, the InputError of require_utf8 names the place instead.
void checked_by_library(std::string_view text, const std::string& source,
                        const std::function<void()>& work);

// Parses one JSON value with kelvra::common::read_json_text; InputError
// naming the source and the line (`first_line` is the line number of the
// text's first line) when it is not JSON, holds a NUL byte or is nested
// deeper than kelvra::common::kMaxRecordDepth levels.
Record parse_json(std::string_view text, const std::string& source, std::int64_t first_line = 1);

// The characters of `chars`, one string per code point (for options such as
// --punct); CLI::ValidationError naming `option` when `chars` is not UTF-8.
std::vector<std::string> split_code_points(const std::string& chars, const std::string& option);

// Runs `work`, a library call on input read from `source` (a whole file);
// a failure that says the input was bad becomes an InputError naming the
// source.
void naming_source(const std::string& source, const std::function<void()>& work);

// --- option values ---

// A check for an integer option: at least `least`.
CLI::Validator at_least(std::int64_t least);
// A check for an integer option: from `least` to `most`; `why` says where
// `most` comes from, for the message.
CLI::Validator in_range(std::int64_t least, std::int64_t most, const std::string& why = "");
// A check for a number of seconds: positive and finite.
CLI::Validator positive_seconds();
// A check for an option that takes one of `choices`.
CLI::Validator one_of(std::vector<std::string> choices);

// The options of a subcommand that works on lines or documents: --jobs,
// --progress, --quiet and, with `lines`, --skip-bad.
struct StreamFlags {
  std::int64_t jobs = 0;  // 0: default_jobs(); else 1 to max_jobs()
  bool progress = false;
  bool quiet = false;
  bool skip_bad = false;

  StreamOptions options() const;
};
void add_stream_flags(CLI::App& command, StreamFlags& flags, bool lines = true);

// --- records of --jsonl ---
//
// In a --jsonl mode each input line is one record (a JSON object) whose text
// is a string member, "text" or the one --field names. Records flow down a
// pipe of subcommands, two rules keeping them whole:
//  - a subcommand that adds to a record (normalize, cantonese, match
//    --attach) writes it back with every member as it came, its own members
//    last; an input member named like one of those is replaced;
//  - a subcommand that writes several records for one (a document's
//    sentences, segments or occurrences) writes each with its own members
//    first, then the input's other members. The members "text", "offset"
//    and "length" say where the input's text lies, as in a segment: each
//    output record says that for its piece, so the input's "text" and
//    "length" are not copied, and an input "offset" (the text's place in a
//    larger document) is added to the record's positions, which so stay
//    positions in that document. Any other member named like one of the
//    record's own (a document's "id" beside a sentence's) would make an
//    ambiguous record: the line is bad, rather than a member silently lost.

// The option --field, the member that holds the text (default "text").
void add_field_option(CLI::App& command, std::string& field);
// Refuses (as a usage error) a --field that names one of the members
// `written` that the subcommand adds to each record: the text would be
// replaced by what was made from it.
void refuse_field_written(const std::string& field,
                          std::initializer_list<std::string_view> written);
// The option --drop of a subcommand that writes several records for one:
// input members not to pass through (a list about the whole text, such as
// normalize's "alter_words", would otherwise be repeated in every record).
void add_drop_option(CLI::App& command, std::vector<std::string>& drop);

// The names in their first order, each once (--carry id,id copies "id" once).
std::vector<std::string> without_repeats(const std::vector<std::string>& names);

// One input record: `record` a JSON object, `text` its string `field`.
// InputError naming the source and line when the line is not such a record.
struct Document {
  Record record;
  std::string_view text;  // record[field]
  // Filled by pass_through: the members passed through, as JSON text
  // ("a":1,"b":2), or empty; and the input's "offset", or 0.
  std::string members;
  std::int64_t offset = 0;
};
Document parse_document(std::string_view line, const std::string& source, std::int64_t number,
                        std::string_view field = "text");

// run_lines over the records of a --jsonl mode: blank lines are skipped, and
// each other line is read with parse_document(`field`) and handed to `work`
// with its number.
using RecordWork = std::function<void(Document& doc, std::int64_t number, JsonWriter& json)>;
void run_records(InputFile& input, const StreamOptions& options, std::string_view what,
                 std::string_view field, const RecordWork& work);

// Fills doc.members and doc.offset for a subcommand that writes several
// records for one (the second rule above): `consumed` are the members it
// reads (the field among them), `own` the output record's own members,
// `drop` those --drop names. InputError naming the source, line and member
// for a clash, or for an "offset" that is not a position.
void pass_through(Document& doc, const std::string& source, std::int64_t number,
                  std::initializer_list<std::string_view> consumed,
                  std::initializer_list<std::string_view> own,
                  const std::vector<std::string>& drop = {});

// Writes `record` with `members` (JSON text, as Document::members) after
// its own, and ends the line.
void write_record(JsonWriter& json, const Record& record, std::string_view members);

// Writes `record` back (the first rule above): its members but those named
// in `added` (or in `drop`), then `write_added()`, which writes the added
// ones; then ends the line.
void write_with_added(JsonWriter& json, const Record& record,
                      std::initializer_list<std::string_view> added,
                      const std::function<void()>& write_added,
                      const std::vector<std::string>& drop = {});

// --- running ---

// Parses the command line and runs the chosen subcommand: status 0, 1 for
// bad input or a failure (message on standard error), 2 for usage errors.
int run_app(CLI::App& app, int argc, char** argv);

// Subcommand groups.
void add_segmentation_commands(CLI::App& app);
void add_normalization_commands(CLI::App& app);
void add_annotation_commands(CLI::App& app);
void add_embedding_commands(CLI::App& app);
void add_retrieval_commands(CLI::App& app);

}  // namespace kelvra::cli
