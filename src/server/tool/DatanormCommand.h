#pragma once

#include <QStringList>

// "korvex-db datanorm ..." (a supplier's catalog into the prices of its pairs) and "korvex-db
// preise-faellig ..." (the coming prices whose day has come): the arguments after the sub-command;
// the exit status: 0 done, 1 refused or failed (nothing changed), 2 wrong call.
int RunDatanorm(const QStringList &arguments);
int RunDuePrices(const QStringList &arguments);
