#include "conduit/transfer/process_session.h"

void ProcessSession(int Slot) {
  // The session transfer arrives later; until then a slot has nothing to do.
  (void)Slot;
}
