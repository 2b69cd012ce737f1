#pragma once
// Text and bytes of files read whole, at offsets or a line at a time. Reading accepts CR LF,
// CR and LF line ends; a last line without an end counts, a final line end adds no empty line.
// WriteTextLines ends every line with CR LF. Atomic writes are platform/atomic_file.h's.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Calls line(start, length) for each line of text by the rules above, in order.
template <typename Line>
void ForEachLine(std::string_view text, Line line) {
  size_t start = 0;
  for (size_t i = 0; i < text.size();) {
    const char c = text[i];
    if (c != '\r' && c != '\n') {
      ++i;
      continue;
    }
    line(start, i - start);
    i += (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ? 2 : 1;
    start = i;
  }
  if (start < text.size()) line(start, text.size() - start);
}

// Splits text into lines by the rules above.
std::vector<std::string> SplitLines(const std::string& text);
// Reads a file into lines; raises EInOutError naming the file when it cannot be read.
std::vector<std::string> ReadTextLines(const std::string& path);
// Reads a whole file as bytes; raises EInOutError naming the file when it cannot be read.
std::string ReadFileBytes(const std::string& path);
// Writes each line followed by CR LF, replacing the file; raises EInOutError on failure.
void WriteTextLines(const std::string& path, const std::vector<std::string>& lines);
// A file read at given offsets, without holding it: open while the object lives.
class TReadOnlyFile {
 public:
  // Raises EInOutError "Cannot open file "<path>". <reason>" when it cannot be opened.
  explicit TReadOnlyFile(const std::string& path);
  ~TReadOnlyFile();
  TReadOnlyFile(const TReadOnlyFile&) = delete;
  TReadOnlyFile& operator=(const TReadOnlyFile&) = delete;

  // The size when it was opened.
  uint64_t Size() const { return size_; }
  // Exactly count bytes from offset. Raises EInOutError "Cannot read file "<path>". <reason>",
  // also when the file ends sooner.
  void ReadAt(char* to, size_t count, uint64_t offset) const;
  std::string ReadAt(uint64_t offset, size_t count) const;

 private:
  std::string path_;
  int fd_ = -1;
  uint64_t size_ = 0;
};

// A text file read one line at a time by the rules above, a buffer at a time: memory follows
// the longest line, not the file.
class TTextLineReader {
 public:
  // Raises as TReadOnlyFile does.
  explicit TTextLineReader(const std::string& path, size_t bufferSize = 64 * 1024);

  // The next line, without its end, into line; false after the last one. Raises EInOutError
  // "Cannot read file "<path>". <reason>" when the file can no longer be read.
  bool Next(std::string& line);

 private:
  // The next piece of the file into the buffer; false at its end.
  bool Fill();

  TReadOnlyFile file_;
  size_t bufferSize_;
  uint64_t offset_ = 0;
  std::string buffer_;
  size_t pos_ = 0;
  // The last line ended in CR: an LF right after it belongs to that end.
  bool afterCR_ = false;
};
