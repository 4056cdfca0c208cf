#pragma once

#include "UndoStack.h"

#include <functional>
#include <vector>

// Writes the flags of supplier entries as the supplier list's accepted changes do, in the order
// given: per entry open it, set the flags it carries (laktiv before aendsw 1 before hlief), sys_Save,
// SYS_Close. Inside the caller's unit; errors of the server pass on to the caller.
void WriteEntries(const std::vector<EntryFlags> &entries);

// Runs `body` in a unit of its own on the server: committed when it returns true, rolled back when
// it returns false or throws (the error then passes on). Returns what `body` returned.
bool InOneUnit(const std::function<bool()> &body);
