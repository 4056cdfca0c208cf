#pragma once

#include <QStringList>

// "korvex-db import ..." and "korvex-db export ...": the arguments after the sub-command. Both
// return the exit status: 0 done, 1 refused or failed (nothing changed), 2 wrong call.
int RunImport(const QStringList &arguments);
int RunExport(const QStringList &arguments);
