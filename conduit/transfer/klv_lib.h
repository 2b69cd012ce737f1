#pragma once
// Free-standing routines the application's units share. None keeps state.

#include <cstdint>
#include <exception>
#include <string>
#include <vector>

// S cut to W characters, or filled with blanks to W characters; empty when W <= 0.
std::string PadToWidth(const std::string& s, int width);
// As PadToWidth, filled with NUL characters.
std::string PadToWidthNul(const std::string& s, int width);

std::string BoolToText(bool b);
// True for "TRUE", "T", ".T.", "YES", "Y" and "1" in any letter case; nothing is trimmed.
bool TextToBool(const std::string& s);

// "ClassName: message" of a caught error; the text that ends every failure line.
std::string ExceptionText(const std::exception& e);

// P with the path separator appended unless P is empty or already ends in '/' or '\'.
std::string AddTrailingBackslash(const std::string& path);

// A 4-character creator ID as its 32-bit value, first character in the high byte. Raises
// Exception "CreatorIdToDWord: Creator Id must be 4 chars long [<id>]" for any other length.
uint32_t CreatorIdToDWord(const std::string& id);

// Removes the last N lines of a text file and writes the rest back with CR LF line ends
// (also when N <= 0). Raises Exception "<file>: <ExceptionText of the cause>". One of the
// application's routines; the download no longer uses it (TKLVTextOutputFile::Append leaves
// the closing lines out while it copies the file), only the layout tests do.
void RemoveLastLines(const std::string& fileName, int count);

// The full file name of the conduit library itself (of the program in unit tests).
std::string GetModulePath();

// Creates the folder and every missing folder above it. True when it exists afterwards;
// false, never an error, when the path is empty or a folder cannot be created.
bool SafeForceDirectories(const std::string& path);

// "major.minor.release.build" of the file's version block, the last three with at least two
// digits; empty when the file has none.
std::string GetFileVersionText(const std::string& fileName);

// Fills the list with the full paths of the plain, non-hidden files matching the mask (a
// folder and a name that may hold * and ?), in directory order, and returns their number.
// -1, list untouched, when the list is missing or the mask empty.
int ListFiles(const std::string& mask, std::vector<std::string>* list);

// Deletes the files ListFiles finds for the mask; returns how many of them are gone
// afterwards, or -1 when the mask is empty.
int DeleteFiles(const std::string& mask);
