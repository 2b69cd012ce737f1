#include "conduit/transfer/process_session.h"

#include <memory>

#include "base/exception.h"
#include "conduit/transfer/klv_lib.h"
#include "conduit/transfer/klv_pc_session_odbc.h"
#include "conduit/transfer/klv_pc_session_text.h"
#include "conduit/transfer/klv_pda_session.h"
#include "conduit/transfer/klv_services.h"

namespace {

void LogFailure(const std::exception& E) {
  LogMessage("Failure during HotSync: \n  " + ExceptionText(E));
}

}  // namespace

void ProcessSession(int Slot) {
  std::unique_ptr<TKLVPDASession> pda;
  std::unique_ptr<TKLVPCSessionText> text;
  std::unique_ptr<TKLVPCSessionODBC> odbc;
  Attempt(
      [&] {
        pda = std::make_unique<TKLVPDASession>(Slot);
        if (pda->LoadSessionInfo()) {
          // The text session writes first, so the ODBC session finds the record's bitmap files
          // saved; it is the only reader, so uploads come from the text files alone.
          text = std::make_unique<TKLVPCSessionText>(*pda);
          pda->AddWriter(text.get());
          pda->AddReader(text.get());
          odbc = std::make_unique<TKLVPCSessionODBC>(*pda);
          pda->AddWriter(odbc.get());
          pda->LoadBitmaps();
          pda->RunPreSessionHook();
          pda->DownloadSession();
          pda->UploadSession();
          pda->RunPostSessionHook();
        }
      },
      LogFailure);
  // The last database the slot used is closed here rather than in the destructor, which
  // could not report a failure; a failed close may mean its changes never reached the
  // handheld.
  if (pda) Attempt([&] { pda->CloseDb(); }, LogFailure);
  // The handheld session only lists the PC sessions; it goes first.
  pda.reset();
  text.reset();
  odbc.reset();
}
