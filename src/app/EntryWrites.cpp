#include "app/EntryWrites.h"

#include "session/CacheApi.h"
#include "app/review/MainConstants.h"

using namespace cacheapi;

std::vector<EntryFlags> WriteEntries(const std::vector<EntryFlags> &entries) {
    const auto flag = [](bool on) { return on ? QStringLiteral("J") : QStringLiteral("N"); };
    const auto isOn = [](const QVariant &value) { return value.toString() == QLatin1String("J"); };
    ServerBusy busy;
    std::vector<EntryFlags> before;
    before.reserve(entries.size());
    for (const EntryFlags &flags : entries) {
        ServerObjectPtr entry = gFactory->openId(kClass, flags.id);
        EntryFlags was{flags.id, std::nullopt, std::nullopt, entry->property(QStringLiteral("aendsw")).toInt()};
        if (flags.active) {
            was.active = isOn(entry->property(QStringLiteral("laktiv")));
            entry->setProperty(QStringLiteral("laktiv"), flag(*flags.active));
        }
        entry->setProperty(QStringLiteral("aendsw"), flags.mark);
        if (flags.main) {
            was.main = isOn(entry->property(QStringLiteral("hlief")));
            entry->setProperty(QStringLiteral("hlief"), flag(*flags.main));
        }
        entry->call(QStringLiteral("sys_Save"));
        CloseObject(entry);
        before.push_back(std::move(was));
    }
    return before;
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
