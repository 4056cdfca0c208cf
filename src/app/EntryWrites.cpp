#include "EntryWrites.h"

#include "CacheApi.h"

using namespace cacheapi;

void WriteEntryFlags(const std::vector<EntryFlags> &entries) {
    static const QString kClass = QStringLiteral("UpdateVelka.Hauptlief");
    const auto flag = [](bool on) { return on ? QStringLiteral("J") : QStringLiteral("N"); };
    ServerBusy busy;
    gFactory->beginUnit();
    try {
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
        gFactory->commitUnit();
    } catch (...) {
        try {
            gFactory->rollbackUnit();
        } catch (...) {
            // The unit is gone with the connection; the server keeps what it had.
        }
        throw;
    }
}
