#pragma once
// The four 44 x 21 pictures beside the dialog's choices: a handheld on the left and a desktop
// computer on the right, in the 16 colours of a standard palette.

#include <array>
#include <cstdint>

#include "conduit/framework/configure_dlg.h"

struct TConfigurePicture {
  static constexpr int Width = 44;
  static constexpr int Height = 21;
  static constexpr int8_t Transparent = -1;

  // Palette indexes 0-15 row by row, or Transparent where the dialog's face shows through.
  std::array<int8_t, Width * Height> Pixels{};

  int8_t At(int x, int y) const { return Pixels[y * Width + x]; }
};

// 0xRRGGBB of palette index 0-15.
uint32_t ConfigurePaletteColour(int index);

TConfigurePicture ConfigurePicture(TVornConfigureDlgModel::TChoice choice);
