#pragma once

#include "app/review/UndoStack.h"

#include <functional>
#include <vector>

// Writes the flags of supplier entries as the supplier list's accepted changes do, in the order
// given: per entry open it, set the flags it carries (laktiv before aendsw before hlief), sys_Save,
// SYS_Close. `aendsw` is the change mark to write (1 for a change; "Rückgängig" writes back the one
// the entry had before). Inside the caller's unit; errors of the server pass on to the caller.
//
// Returns each entry as it was when opened, in the same unit and so under the list's lock that the
// unit's first question took: the flags written (and the change mark) as the server held them right
// before this write. That, and not what the screen showed, is what taking the change back restores.
std::vector<EntryFlags> WriteEntries(const std::vector<EntryFlags> &entries);

// Runs `body` in a unit of its own on the server: committed when it returns true, rolled back when
// it returns false or throws (the error then passes on). Returns what `body` returned.
bool InOneUnit(const std::function<bool()> &body);
