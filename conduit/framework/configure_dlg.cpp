#include "conduit/framework/configure_dlg.h"

#include <cstdio>

TVornConfigureDlgModel::TVornConfigureDlgModel(const std::string& conduitName,
                                               TSyncPreference& prefs)
    : prefs_(prefs),
      groupCaption_(" HotSync Action for " + conduitName + " "),
      checked_(ChoiceOfSyncType(prefs.syncType)) {
  prefs_.permanence = 0;
}

const char* TVornConfigureDlgModel::ChoiceCaption(TChoice choice) {
  switch (choice) {
    case chDesktop:
      return "&Desktop overwrites handheld";
    case chHandheld:
      return "&Handheld overwrites desktop";
    case chDoNothing:
      return "Do &nothing";
    case chSynchronise:
      break;
  }
  return "&Synchronise the files";
}

TVornConfigureDlgModel::TChoice TVornConfigureDlgModel::ChoiceOfSyncType(int32_t syncType) {
  switch (syncType) {
    case QP_SYNC_PC_TO_HH:
      return chDesktop;
    case QP_SYNC_HH_TO_PC:
      return chHandheld;
    case QP_SYNC_DO_NOTHING:
      return chDoNothing;
    default:
      return chSynchronise;
  }
}

int32_t TVornConfigureDlgModel::SyncTypeOfChoice(TChoice choice) {
  switch (choice) {
    case chDesktop:
      return QP_SYNC_PC_TO_HH;
    case chHandheld:
      return QP_SYNC_HH_TO_PC;
    case chDoNothing:
      return QP_SYNC_DO_NOTHING;
    case chSynchronise:
      break;
  }
  return QP_SYNC_FAST;
}

void TVornConfigureDlgModel::Ok() {
  if (closed_) return;
  prefs_.syncType = SyncTypeOfChoice(checked_);
  prefs_.permanence = setAsDefault_ ? 1 : 2;
  closed_ = true;
  result_ = true;
}

void TVornConfigureDlgModel::Cancel() {
  closed_ = true;
}

#if !defined(QP_WITH_GUI)
bool TVornConfigureDlg::ShowDialog(const std::string& conduitName, TSyncPreference& prefs) {
  TVornConfigureDlgModel model(conduitName, prefs);
  std::fputs("Change HotSync Action: this build has no windows\n", stderr);
  return false;
}

void TVornConfigureDlg::KeepToolkitLoaded() {}
#endif
