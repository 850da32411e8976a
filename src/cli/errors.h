// The failures of kelvra-nlp's own layers, and how a failure is told to a
// user. The lowest layer of the tool: the readers, writers and the line
// pipeline throw these, and the subcommands add their own messages.
#pragma once

#include <exception>
#include <stdexcept>
#include <string>

#include "kelvra/common/json_writer.h"

namespace kelvra::cli {

// Bad input: the message names the source, and the line where known.
class InputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Standard output could not be written (a full disk, a closed pipe).
class OutputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A worker's output for one batch outgrew what a worker may hold (the
// limit of its JsonWriter): the batch is worked on again by the thread that
// writes, straight into the output (see run_lines). Never reaches a user.
using OutputOverflow = common::JsonOverflow;

// Failures that say the input was wrong (InputError, TypeError, KeyError,
// KvException with INVALID_PARAMETERS, a record of the wrong shape), as
// opposed to failures of the machine or of the tool (out of memory, an
// output error), which end a run whatever --skip-bad says.
bool is_bad_input(const std::exception& e);

// The message of `e` for a user: the JSON library's own tag left out.
std::string failure_text(const std::exception& e);

}  // namespace kelvra::cli
