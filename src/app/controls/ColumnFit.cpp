#include "app/controls/ColumnFit.h"

#include <numeric>

QList<double> FitColumns(const QList<int> &designWidths, const QList<double> &needs, double available) {
    const qsizetype columns = needs.size();
    QList<double> shares(columns);
    for (qsizetype c = 0; c < columns; ++c)
        shares[c] = c < designWidths.size() && designWidths[c] > 0 ? designWidths[c] : 100;
    QList<double> widths(columns, 0.0);
    if (columns == 0)
        return widths;

    QList<bool> atNeed(columns, false);
    const bool fits = std::accumulate(needs.begin(), needs.end(), 0.0) <= available;
    // Each round gives the columns not yet at their need the room left, by their shares; those that
    // fall short are set to their need. At most one round per column.
    for (bool changed = true; changed;) {
        changed = false;
        double room = available;
        double shareSum = 0;
        for (qsizetype c = 0; c < columns; ++c) {
            if (atNeed[c])
                room -= needs[c];
            else
                shareSum += shares[c];
        }
        for (qsizetype c = 0; c < columns; ++c) {
            if (atNeed[c]) {
                widths[c] = needs[c];
                continue;
            }
            widths[c] = room * shares[c] / shareSum;
            if (fits && widths[c] < needs[c]) {
                atNeed[c] = true;
                changed = true;
            }
        }
        if (shareSum == 0)
            break;
    }
    // Every column at its need: what is left over goes to the last.
    widths[columns - 1] += available - std::accumulate(widths.begin(), widths.end(), 0.0);
    return widths;
}
