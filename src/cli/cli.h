// Helpers shared by the subcommands of kelvra-nlp: reading the input,
// reporting bad input with its place, printing records as JSON Lines.
//
// Each group of subcommands lives in its own file and adds itself to the
// application through one add_*_commands function, declared here and
// called from main.cc. A subcommand reports bad input by throwing; main
// prints the message on one line of standard error and exits with 1
// (usage errors exit with 2).
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

#include <CLI/CLI.hpp>

#include "kelvra/common/record.h"

namespace kelvra::cli {

// Bad input: the message names the source, and the line where known.
class InputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The whole content of `path`, or of standard input when `path` is empty
// or "-". InputError when the file cannot be read.
std::string read_input(const std::string& path);

// read_input, then require_utf8: the input of every text subcommand.
std::string read_text_input(const std::string& path);

// "stdin" for standard input, the path otherwise; used in messages.
std::string source_name(const std::string& path);

// InputError naming the source, line and byte when `text` is not UTF-8.
void require_utf8(std::string_view text, const std::string& source);

// Parses one JSON value; InputError naming the source and the line
// (`first_line` is the line number of the text's first line), also for a
// value nested deeper than kelvra::common::kMaxRecordDepth levels.
Record parse_json(std::string_view text, const std::string& source, std::int64_t first_line = 1);

// Calls `visit(line, number)` for each line of `text` (without its line feed
// or a carriage return before it), numbered from 1.
void for_each_line(std::string_view text,
                   const std::function<void(std::string_view, std::int64_t)>& visit);

// Writes `record` as compact JSON and a line feed to standard output.
void print_json_line(const Record& record);

// The characters of `chars`, one string per code point (for options such as
// --punct); InputError when `chars` is not UTF-8.
std::vector<std::string> split_code_points(const std::string& chars, const std::string& option);

// Subcommand groups.
void add_segmentation_commands(CLI::App& app);
void add_normalization_commands(CLI::App& app);
void add_annotation_commands(CLI::App& app);
void add_embedding_commands(CLI::App& app);
void add_retrieval_commands(CLI::App& app);

}  // namespace kelvra::cli
