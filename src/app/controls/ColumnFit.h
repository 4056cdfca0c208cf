#pragma once

#include <QList>

// Widths of a list's columns in `available` room: in the shares of their design widths, except
// that a column whose share is narrower than it needs (its heading, its longest text) gets what it
// needs and the others share the rest. When the needs together exceed the room, the plain shares.
// A share of 0 or less counts as an ordinary one (100); the widths always add up to `available`.
QList<double> FitColumns(const QList<int> &designWidths, const QList<double> &needs, double available);
