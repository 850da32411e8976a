// Where the data files shipped with the toolkit lie (dictionaries, word
// lists, rules): in share/kelvra-nlp/ under the installation prefix, found
// relative to the installed library that holds this code, and in data/
// beside that library in the build tree. Internal: compiled into the
// libraries that ship data, never installed.
#pragma once

#include <string>
#include <string_view>

namespace kelvra::nlp::common::internal {

// The absolute path of the shipped data file `name`: in the installed place
// when it is there, else in data/ beside the library, and when neither holds
// it, in the installed place (so that a message names where it belongs).
// FileError naming `name` when the library's own folder cannot be found.
std::string shipped_data_file(std::string_view name);

}  // namespace kelvra::nlp::common::internal
