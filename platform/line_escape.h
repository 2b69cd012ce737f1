#pragma once
// Backslash escapes that keep any text on one line of our own text files (the registry file,
// the list of renames pending for the restart). Each file names its special characters: a
// backslash is always written "\\"; a special NUL, LF, CR or tab is written as a backslash and
// a letter ("\0", "\n", "\r", "\t"), any other special character as a backslash and itself.
// Reading decodes only the letters of the file's own special characters; a backslash before
// anything else stands for what follows it.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

std::string EscapeLine(std::string_view text, std::string_view special);

// Decodes text from `from` up to the first unescaped `stop` character, or to the end. When
// `end` is given it receives where decoding stopped (the stop's index, or text.size()).
std::string UnescapeLine(std::string_view text, std::string_view special, size_t from = 0,
                         std::optional<char> stop = std::nullopt, size_t* end = nullptr);

}  // namespace platform
