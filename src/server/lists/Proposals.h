#pragma once

#include "server/db/rows/DirectRows.h"
#include "server/db/SqlConnection.h"
#include "server/lists/UnitBook.h"

#include <QVariant>

#include <memory>
#include <optional>

// The purchasing association's proposals of a prepared article list, taken all at once.
namespace kxserver::lists {

// Query "Vorschlaege"(list key): one row per supplier entry of every article whose proposed main
// supplier is given and differs from the main supplier the list shows, ordered by article number
// and supplier number: article number, entry pair id, laktiv, hlief (as the list shows them), and
// whether the entry's supplier is the proposed one (1 or 0), its change mark (aendsw). An article
// without suppliers gives one row with a null pair id. Inside a unit it takes the list's lock first.
// Columns 6 to 8 (beyond the query's): artikel id, proposed lieferant id, the entry's lieferant id.
// On SQLite read through its own interface, on PostgreSQL through Qt's driver.
std::unique_ptr<DirectRows> ProposalRows(SqlConnection &connection, qint64 list);

// Query "VorschlagsArtikel"(list key): one row per article of "Vorschlaege", ordered by article
// number: article number, and whether its proposed supplier is an active supplier of it ("J" or
// "N"), as the list shows them. Inside a unit it takes the list's lock first.
std::unique_ptr<DirectRows> ProposalArticleRows(SqlConnection &connection, qint64 list);

// Collects, row by row, what ProposalRows reads of each article for taking its proposal, so that a
// unit that read them under the list's lock takes them without reading them again.
class ProposalRecorder {
public:
    void add(const DirectRows &row);
    UnitBook::ProposalArticles take() { return std::move(m_read); }

private:
    void add(const QString &number, qint64 article, qint64 proposal, std::optional<qint64> pair, qint64 supplier,
             const QString &laktiv);

    UnitBook::ProposalArticles m_read;
    UnitBook::ProposalArticle *m_article = nullptr;
    QString m_number;
};

// "VorschlaegeUebernehmen"(list key, article numbers joined by line feeds): makes the proposed
// supplier the main supplier of each named article, writing every entry of the article as a
// main-supplier change in the supplier list does (hlief "J" for the proposed supplier, "N" for the
// others, aendsw 1). Inside an open unit it is part of it. Refuses the whole call (kRejected) when
// a named article's proposed supplier is not, or no longer, an active supplier of it, and
// (kUnknownList) for a list or article the list does not hold. Returns the number of articles.
int TakeProposals(SqlConnection &connection, const QVariant &listKey, const QVariant &articleNumbers);

} // namespace kxserver::lists
