#include "conduit/framework/configure_dlg_pictures.h"

#include <cstring>
#include <string_view>

namespace {

// The standard 16-colour palette; the letters name its entries in the drawings below.
constexpr uint32_t kPalette[16] = {0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080,
                                   0x008080, 0xC0C0C0, 0x808080, 0xFF0000, 0x00FF00, 0xFFFF00,
                                   0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF};
constexpr char kLetters[] = "kmgonptsdrlybfaw";

constexpr std::string_view kHandheld[] = {
    ".kkkkkkkkkk.",  //
    "kddddddddddk",  //
    "kdkkkkkkkkdk",  //
    "kdkaaaaaakdk",  //
    "kdkattttakdk",  //
    "kdkaaaaaakdk",  //
    "kdkatttaakdk",  //
    "kdkaaaaaakdk",  //
    "kdkattttakdk",  //
    "kdkaaaaaakdk",  //
    "kdkatttaakdk",  //
    "kdkaaaaaakdk",  //
    "kdkkkkkkkkdk",  //
    "kddddddddddk",  //
    "kdwwddddwwdk",  //
    "kddddddddddk",  //
    "kdbbdrrdbbdk",  //
    "kdbbdrrdbbdk",  //
    "kddddddddddk",  //
    ".kkkkkkkkkk.",  //
};

constexpr std::string_view kComputer[] = {
    "..kkkkkkkkkkkkkk..",  //
    "..kssssssssssssk..",  //
    "..kskkkkkkkkkksk..",  //
    "..kskbbbbbbbbksk..",  //
    "..kskbwwbbbbbksk..",  //
    "..kskbwbbbbbbksk..",  //
    "..kskbbbbbbbbksk..",  //
    "..kskbbbbbbbbksk..",  //
    "..kskkkkkkkkkksk..",  //
    "..kssssssssssgsk..",  //
    "..kkkkkkkkkkkkkk..",  //
    "......kddddk......",  //
    "kkkkkkkkkkkkkkkkkk",  //
    "kssssssssssssssssk",  //
    "ksddddddssssssslrk",  //
    "kssssssssssssssssk",  //
    "kkkkkkkkkkkkkkkkkk",  //
    "..................",  //
    ".kkkkkkkkkkkkkkkk.",  //
    ".kwswswswswswswsk.",  //
    ".kkkkkkkkkkkkkkkk.",  //
};

constexpr std::string_view kArrowRight[] = {
    ".......n....",  //
    ".......bn...",  //
    "nnnnnnnbbn..",  //
    "bbbbbbbbbbn.",  //
    "nnnnnnnbbn..",  //
    ".......bn...",  //
    ".......n....",  //
};

constexpr std::string_view kPause[] = {
    "ddd..ddd",  //
    "ddd..ddd",  //
    "ddd..ddd",  //
    "ddd..ddd",  //
    "ddd..ddd",  //
    "ddd..ddd",  //
    "ddd..ddd",  //
};

// A device shown grey: outlines dark grey, every colour a shade of grey.
char Grey(char c) {
  switch (c) {
    case 'd':
      return 's';
    case 'k':
    case 'b':
    case 'n':
    case 't':
    case 'g':
    case 'r':
    case 'm':
    case 'o':
    case 'p':
      return 'd';
    case 'a':
    case 'l':
    case 'y':
    case 'f':
      return 'w';
    default:
      return c;
  }
}

int8_t IndexOf(char c) {
  if (c == '.') return TConfigurePicture::Transparent;
  return static_cast<int8_t>(std::strchr(kLetters, c) - kLetters);
}

template <size_t Rows>
void Draw(TConfigurePicture& picture, const std::string_view (&rows)[Rows], int left, int top,
          bool grey, bool mirrored = false) {
  for (size_t y = 0; y < Rows; ++y) {
    const std::string_view row = rows[y];
    for (size_t x = 0; x < row.size(); ++x) {
      char c = mirrored ? row[row.size() - 1 - x] : row[x];
      if (c == '.') continue;
      if (grey) c = Grey(c);
      picture.Pixels[(top + y) * TConfigurePicture::Width + left + x] = IndexOf(c);
    }
  }
}

constexpr int kHandheldLeft = 0, kHandheldTop = 0;
constexpr int kComputerLeft = 26, kComputerTop = 0;
constexpr int kArrowLeft = 13;

}  // namespace

uint32_t ConfigurePaletteColour(int index) {
  return kPalette[index & 15];
}

TConfigurePicture ConfigurePicture(TVornConfigureDlgModel::TChoice choice) {
  TConfigurePicture picture;
  picture.Pixels.fill(TConfigurePicture::Transparent);
  const bool handheldGrey =
      choice == TVornConfigureDlgModel::chDesktop || choice == TVornConfigureDlgModel::chDoNothing;
  const bool computerGrey =
      choice == TVornConfigureDlgModel::chHandheld || choice == TVornConfigureDlgModel::chDoNothing;
  Draw(picture, kHandheld, kHandheldLeft, kHandheldTop, handheldGrey);
  Draw(picture, kComputer, kComputerLeft, kComputerTop, computerGrey);
  switch (choice) {
    case TVornConfigureDlgModel::chSynchronise:
      Draw(picture, kArrowRight, kArrowLeft, 3, false);
      Draw(picture, kArrowRight, kArrowLeft, 11, false, true);
      break;
    case TVornConfigureDlgModel::chDesktop:
      Draw(picture, kArrowRight, kArrowLeft, 7, false, true);
      break;
    case TVornConfigureDlgModel::chHandheld:
      Draw(picture, kArrowRight, kArrowLeft, 7, false);
      break;
    case TVornConfigureDlgModel::chDoNothing:
      Draw(picture, kPause, kArrowLeft + 2, 7, false);
      break;
  }
  return picture;
}
