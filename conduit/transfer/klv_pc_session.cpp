#include "conduit/transfer/klv_pc_session.h"

#include "base/exception.h"
#include "conduit/transfer/klv_lib.h"
#include "conduit/transfer/klv_services.h"

namespace {

[[noreturn]] void NotOverridden(const char* Op) {
  throw Exception(std::string("TKLVPCSession.") + Op + " not overridden");
}

}  // namespace

TKLVPCSession::TKLVPCSession(TKLVPDASession& PDASession, int32_t Slot, std::string Label)
    : SlotIndex(Slot), SessionLabel(std::move(Label)), PDASession(PDASession) {}

TKLVPCSession::~TKLVPCSession() = default;

void TKLVPCSession::Log(const std::string& What) const {
  LogMessage(SessionLabel + ": " + What);
}

void TKLVPCSession::LogFailure(const std::string& What, const std::exception& E) const {
  Log(What + "\n  " + ExceptionText(E));
}

void TKLVPCSession::WriteOpen() {
  NotOverridden("WriteOpen");
}
void TKLVPCSession::WriteRecord() {
  NotOverridden("WriteRecord");
}
void TKLVPCSession::WriteClose() {
  NotOverridden("WriteClose");
}
bool TKLVPCSession::DataReadOpen() {
  NotOverridden("DataReadOpen");
}
bool TKLVPCSession::DataReadRecords() {
  NotOverridden("DataReadRecords");
}
bool TKLVPCSession::DataReadClose(bool) {
  NotOverridden("DataReadClose");
}
bool TKLVPCSession::HintReadOpen() {
  NotOverridden("HintReadOpen");
}
bool TKLVPCSession::HintReadRecords() {
  NotOverridden("HintReadRecords");
}
bool TKLVPCSession::HintReadClose(bool) {
  NotOverridden("HintReadClose");
}
bool TKLVPCSession::FieldListReadOpen(int) {
  NotOverridden("FieldListReadOpen");
}
bool TKLVPCSession::FieldListReadRecords(int) {
  NotOverridden("FieldListReadRecords");
}
bool TKLVPCSession::FieldListReadClose(int, bool) {
  NotOverridden("FieldListReadClose");
}

bool TKLVPCSession::WritePublish() {
  return !Failed();
}

void TKLVPCSession::WriteSettle(bool, const std::string&) {}

void TKLVPCSession::WriteCommit(bool Keep, const std::string& Why) {
  if (Keep) WritePublish();
  WriteSettle(Keep, Why);
}
