#pragma once
// The per-slot step of the HotSync run.

// Processes session slot 0..31; catches and logs its own failures.
void ProcessSession(int Slot);
