// Profile parser over arbitrary file contents: lookups never fail, a value written into any
// file reads back while the other lines stay, and many keys written at once leave the lines
// that writing them one by one leaves.
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/text_file.h"
#include "platform/profile_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> lines = SplitLines(bytes);
  // The first line, if short, doubles as a section and key name.
  std::string name = lines.empty() ? "S" : lines[0].substr(0, 16);
  (void)platform::FindProfileValue(lines, name, name);
  (void)platform::FindProfileValue(lines, "Session01", "DSN");
  int n = 0;
  (void)platform::ParseProfileInt(name, &n);

  const std::vector<std::string> before = lines;
  if (platform::SetProfileValue(lines, "Session01", "DSN", "value")) {
    auto v = platform::FindProfileValue(lines, "session01", "dsn");
    if (!v || *v != "value") __builtin_trap();
    if (lines.size() != before.size() && lines.size() != before.size() + 1 &&
        lines.size() != before.size() + 2)
      __builtin_trap();
  }

  // Several keys in one pass leave the lines that one key after the other leaves.
  const platform::ProfileEntries keys{{"DSN", "a"}, {name, "b"}, {"dsn", "c"}, {"Field1", ""}};
  std::vector<std::string> batch = before, oneByOne = before;
  bool stored = true;
  for (const auto& [key, value] : keys)
    stored = stored && platform::SetProfileValue(oneByOne, name, key, value);
  if (platform::SetProfileValues(batch, name, keys) != stored) __builtin_trap();
  if (stored && batch != oneByOne) __builtin_trap();
  return 0;
}
