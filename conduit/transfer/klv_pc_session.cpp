#include "conduit/transfer/klv_pc_session.h"

#include "base/exception.h"
#include "conduit/transfer/klv_lib.h"
#include "conduit/transfer/klv_services.h"

TKLVPCSession::TKLVPCSession(TKLVPDASession& PDASession, int32_t Slot, std::string Label)
    : SlotIndex(Slot), SessionLabel(std::move(Label)), PDASession(PDASession) {}

TKLVPCSession::~TKLVPCSession() = default;

void TKLVPCSession::Log(const std::string& What) const {
  LogMessage(SessionLabel + ": " + What);
}

void TKLVPCSession::LogFailure(const std::string& What, const std::exception& E) const {
  Log(What + "\n  " + ExceptionText(E));
}

void TKLVPCSession::NotOverridden(const char* Operation) {
  throw Exception(std::string("TKLVPCSession.") + Operation + " not overridden");
}

bool TKLVPCSession::WritePublish() {
  return !Failed();
}

void TKLVPCSession::WriteSettle(bool, const std::string&) {}

void TKLVPCSession::WriteCommit(bool Keep, const std::string& Why) {
  if (Keep) WritePublish();
  WriteSettle(Keep, Why);
}
