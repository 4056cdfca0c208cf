#pragma once

#include "server/db/SqlConnection.h"

#include <vector>

namespace kxserver::lists {

// Inside a unit that changed the master prices of these articles: every list whose run holds one of
// them takes the writers' lock (its version raised by one), each such article gets a row in
// liste_preis with that version, and the commit tells the watching workstations. A watcher's next
// look then names those articles as saved ones, and its supplier list shows the new prices.
// `articles` in any order, repeats allowed.
void TellPriceNews(SqlConnection &connection, const std::vector<qint64> &articles);

} // namespace kxserver::lists
