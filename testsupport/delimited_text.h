#pragma once
// A strict reader of delimited text, written from RFC 4180 and not from our writers, so that
// tests read download files the way other programs do.

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qptest {

using DelimitedRecords = std::vector<std::vector<std::string>>;

// Records end in CR LF (the last may lack it), fields are split at Separator. With Quotes, as
// RFC 4180: a field is bare, holding no double quote, CR or LF, or is enclosed in double quotes
// with every quote inside doubled, and may then hold anything. Without Quotes (tab-separated
// values), a double quote is plain data. An empty text has no record. Anything else throws
// std::runtime_error naming the offset.
inline DelimitedRecords ReadDelimited(std::string_view text, char Separator = ',',
                                      bool Quotes = true) {
  DelimitedRecords records;
  if (text.empty()) return records;
  auto fail = [](const char* what, size_t at) {
    throw std::runtime_error(std::string(what) + " at offset " + std::to_string(at));
  };
  std::vector<std::string> record;
  size_t i = 0;
  for (;;) {
    std::string field;
    if (Quotes && i < text.size() && text[i] == '"') {
      const size_t opened = i++;
      for (;;) {
        if (i >= text.size()) fail("quoted field not closed", opened);
        const char c = text[i++];
        if (c != '"') {
          field += c;
        } else if (i < text.size() && text[i] == '"') {
          field += '"';
          ++i;
        } else {
          break;
        }
      }
    } else {
      while (i < text.size() && text[i] != Separator && text[i] != '\r' && text[i] != '\n') {
        if (Quotes && text[i] == '"') fail("double quote in a bare field", i);
        field += text[i++];
      }
    }
    record.push_back(std::move(field));
    if (i == text.size()) break;
    if (text[i] == Separator) {
      ++i;
      continue;
    }
    if (text.substr(i, 2) != "\r\n") fail("neither separator nor CR LF after a field", i);
    i += 2;
    records.push_back(std::move(record));
    record.clear();
    if (i == text.size()) return records;
  }
  records.push_back(std::move(record));
  return records;
}

}  // namespace qptest
