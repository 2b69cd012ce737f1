#pragma once
// The "Change HotSync Action" dialog.

#include <string>

#include "sdk/conduit.h"

class TVornConfigureDlg {
 public:
  // Shows the dialog modally for the conduit; on OK writes the sync type and permanence
  // words of prefs and returns true. On Cancel writes permanence 0 and returns false.
  // Without a display it cannot show: it writes the reason to standard error and returns
  // false, leaving prefs as on Cancel.
  static bool ShowDialog(const std::string& conduitName, TSyncPreference& prefs);
};
