#pragma once

#include "server/db/SqlConnection.h"
#include "server/exchange/DatanormReader.h"

#include <QDate>
#include <QString>
#include <QStringList>

#include <map>
#include <vector>

// A supplier's delivery in DATANORM 4 or 5 into the purchase prices of the merchant's pairs of that
// supplier: every file read and checked first, then one transaction writes (or, for a dry run,
// nothing). It never creates articles or pairs; a changed price keeps its history, and one valid from
// a later day waits as the coming price.
namespace kxexchange {

struct DatanormRequest {
    int firma = 1;
    qint64 supplier = 0; // the supplier's number (Lieferant-Nr)
    bool dryRun = false;
    datanorm::Charset charset = datanorm::Charset::Detect;
    QString discountFile; // the merchant's own discount table, empty when none
    QStringList files;
    QDate today = QDate::currentDate();
};

struct PriceRise {
    QString article; // the merchant's article number
    QString catalogNumber;
    qint64 oldCents = 0;
    qint64 newCents = 0;
};

constexpr int kListedLines = 20;

struct DatanormReport {
    bool ok = false;
    QStringList errors;
    QStringList files; // "DATANORM.001: Version 4 vom 01.12.2026, CP850, 1.234 Sätze"
    qint64 raised = 0;
    qint64 lowered = 0;
    qint64 unchanged = 0;
    qint64 unitsChanged = 0; // of those, the price unit ("per") changed
    qint64 coming = 0;       // prices valid from a later day, kept as coming prices
    qint64 dueApplied = 0;   // coming prices of earlier deliveries whose day has come
    qint64 renumbered = 0;
    qint64 numbersLearned = 0; // pairs found by their EAN, which take the catalog's number
    std::vector<PriceRise> largestRises; // the ten largest, in percent
    qint64 unmatched = 0;
    QStringList unmatchedListed; // the first kListedLines
    qint64 withoutDiscount = 0;
    QStringList withoutDiscountListed;
    qint64 deleted = 0;
    QStringList deletedListed;
    qint64 onRequest = 0;
    std::map<QString, qint64> skipped; // by record type
};

DatanormReport ImportDatanorm(const kxserver::ConnectTarget &target, const DatanormRequest &request);
// The same on an open connection (no unit may be open on it).
DatanormReport ImportDatanorm(kxserver::SqlConnection &connection, const DatanormRequest &request);

} // namespace kxexchange
