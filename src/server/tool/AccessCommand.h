#pragma once

#include <QStringList>

// "korvex-db zugang --pg HOST:PORT LOGIN (--firma N --personal CODE[,CODE...] | --entfernen)": the
// arguments after the sub-command. The password is the first line of standard input. Returns the
// exit status: 0 done, 1 refused or failed (nothing changed), 2 wrong call.
int RunAccess(const QStringList &arguments);
