#pragma once

#include "server/db/SqlConnection.h"

#include <QDate>
#include <QString>

#include <vector>

// What every import that changes a pair's price shares: who records it, the history row, and the
// coming prices whose day has come.
namespace kxexchange {

// The database login on PostgreSQL, the system user on SQLite (the file has no logins).
QString PriceRecorder(kxserver::SqlConnection &connection);
// Now, as the history records it: "yyyy-MM-ddTHH:mm:ss", local time.
QString RecordedNow();

// One row of the price history, ten values in this order: the pair, its price and unit before (null
// for a coming price: it takes them on its day), after, the day from which the new ones hold (ISO),
// 1 for a coming price (else 0), the source, when, by whom.
extern const char *const kHistoryInsert;

// Inside the caller's unit: every coming price whose day is `today` or before becomes its pair's
// price, in the order of their days; its row keeps the price and unit it replaced. Returns how many
// it applied, and adds their articles to `articles`.
qint64 ApplyDuePrices(kxserver::SqlConnection &connection, const QDate &today, std::vector<qint64> &articles);

} // namespace kxexchange
