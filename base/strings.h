#pragma once
// Text comparison as the original class library offered it, and text made safe to show.

#include <cstddef>
#include <string>
#include <string_view>

// Whether a and b hold the same text when ASCII letters are compared without regard to case;
// every other byte must match exactly, whatever the process's locale.
bool SameText(std::string_view a, std::string_view b);

// The text without the blanks and tabs at either end.
std::string_view TrimBlanks(std::string_view text);

// Copies as much of text as fits, followed by a NUL, into a caller's buffer of `size` bytes;
// copies nothing when there is no buffer or no room at all. Returns how many characters of
// text were copied: text.size() when the whole text fitted.
size_t CopyToBuffer(std::string_view text, char* buffer, size_t size);

// The text with every control character (codes 0 to 31 and 127) not in `keep` written as
// "\xHH", two upper-case hex digits, so that text from outside can neither start a line of
// its own nor steer a terminal.
std::string EscapeControls(std::string_view text, std::string_view keep = {});
