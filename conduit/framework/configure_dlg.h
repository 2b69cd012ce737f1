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
  // Run at library load: the window toolkit must outlive the conduit library, which HotSync
  // unloads after each call, or its start-up state would be lost with it.
  static void KeepToolkitLoaded();
};

// What the dialog does, without a window: the window shows its state and forwards the
// user's clicks to it, and tests drive it directly.
class TVornConfigureDlgModel {
 public:
  // The four radio buttons, in their tab order.
  enum TChoice { chSynchronise, chDesktop, chHandheld, chDoNothing };
  static constexpr int ChoiceCount = 4;

  // Clears the permanence word and preselects the choice of the sync type word.
  TVornConfigureDlgModel(const std::string& conduitName, TSyncPreference& prefs);

  static const char* ChoiceCaption(TChoice choice);
  static TChoice ChoiceOfSyncType(int32_t syncType);
  static int32_t SyncTypeOfChoice(TChoice choice);

  const std::string& GroupCaption() const { return groupCaption_; }
  TChoice Checked() const { return checked_; }
  void Check(TChoice choice) { checked_ = choice; }
  bool SetAsDefault() const { return setAsDefault_; }
  void SetSetAsDefault(bool value) { setAsDefault_ = value; }

  // The buttons. Ok and Cancel close the dialog; Help does nothing.
  void Ok();
  void Cancel();
  void Help() {}

  bool Closed() const { return closed_; }
  // True once closed with Ok.
  bool Result() const { return result_; }

 private:
  TSyncPreference& prefs_;
  std::string groupCaption_;
  TChoice checked_;
  bool setAsDefault_ = false;
  bool closed_ = false;
  bool result_ = false;
};
