#include "EntryWrites.h"

#include "CacheApi.h"
#include "MainConstants.h"

using namespace cacheapi;

void WriteEntries(const std::vector<EntryFlags> &entries) {
    const auto flag = [](bool on) { return on ? QStringLiteral("J") : QStringLiteral("N"); };
    ServerBusy busy;
    for (const EntryFlags &flags : entries) {
        ServerObjectPtr entry = gFactory->openId(kClass, flags.id);
        if (flags.active)
            entry->setProperty(QStringLiteral("laktiv"), flag(*flags.active));
        entry->setProperty(QStringLiteral("aendsw"), 1);
        if (flags.main)
            entry->setProperty(QStringLiteral("hlief"), flag(*flags.main));
        entry->call(QStringLiteral("sys_Save"));
        CloseObject(entry);
    }
}

bool InOneUnit(const std::function<bool()> &body) {
    gFactory->beginUnit();
    try {
        const bool keep = body();
        if (keep)
            gFactory->commitUnit();
        else
            gFactory->rollbackUnit();
        return keep;
    } catch (...) {
        try {
            gFactory->rollbackUnit();
        } catch (...) {
            // The unit is gone with the connection; the server keeps what it had.
        }
        throw;
    }
}
