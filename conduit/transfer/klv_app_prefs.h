#pragma once
// The handheld application's preference record (creator "QP28", ID 0, saved preferences).

#include <array>
#include <cstdint>
#include <string>

class TKLVAppPrefs {
 public:
  static constexpr uint16_t kSize = 117;

  // Asks the sync manager for the record; true when it answered 0. Nothing is logged.
  bool ReadPrefs();
  // The text at bytes 10 to 40: up to the first NUL, or all 31 bytes. Not empty once the
  // application has run on the handheld.
  std::string AppRunText() const;

  std::array<uint8_t, kSize> Buffer{};
};
