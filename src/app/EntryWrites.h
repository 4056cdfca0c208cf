#pragma once

#include "UndoStack.h"

#include <vector>

// Writes flags of supplier entries as the supplier list's accepted changes do (the flag, aendsw 1,
// sys_Save, SYS_Close per entry), all of them in one unit: every entry or none. Errors of the
// server pass on to the caller's handler.
void WriteEntryFlags(const std::vector<EntryFlags> &entries);
