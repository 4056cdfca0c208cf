#include "server/lists/Proposals.h"

#include "server/lists/GroupSortedRows.h"
#include "server/lists/ListsDetail.h"
#include "session/ServerErrorCodes.h"
#include "server/db/rows/QtRows.h"
#include "server/db/rows/SqliteRows.h"
#include "server/lists/UpdateLists.h"

#include <QAnyStringView>
#include <QHash>
#include <QStringList>

#include <algorithm>

namespace kxserver::lists {

namespace {

// The statement of ProposalRows; one parameter, the list. In article-number order; each article's
// entries in supplier-number order too unless `grouped` (a GroupSortedRows puts them in order then:
// on SQLite the database's sort of them cost as much again as the whole read).
QString proposalRowsStatement(Backend backend, bool grouped) {
    // The main supplier as the list shows it: the list's own where its changes give one.
    return QStringLiteral("SELECT u.artnr, al.id, COALESCE(o.laktiv, al.aktiv),"
                          " COALESCE(o.hlief, CASE WHEN a.haupt_lief = al.lieferant THEN 'J' ELSE 'N' END),"
                          " CASE WHEN al.lieferant = u.velka_lief THEN 1 ELSE 0 END, COALESCE(o.aendsw, 0),"
                          " u.artikel, u.velka_lief, al.lieferant, f.liefnr"
                          " FROM artliste l JOIN upd_artikel u ON u.run = l.run JOIN artikel a ON a.id = u.artikel"
                          "%1"
                          " LEFT JOIN artlief al ON al.artikel = u.artikel"
                          " LEFT JOIN lieferant f ON f.id = al.lieferant"
                          "%2"
                          " WHERE l.id = ? AND u.velka_lief IS NOT NULL"
                          " AND COALESCE(CASE WHEN h.liste IS NULL THEN a.haupt_lief ELSE h.haupt_lief END, -1)"
                          " <> u.velka_lief"
                          " ORDER BY u.artnr%3")
        .arg(MainSupplierJoin(backend, QStringLiteral("l.id"), QStringLiteral("u.artikel"), "h"),
             ChangeJoin(backend, QStringLiteral("l.id"), QStringLiteral("al.id")),
             grouped ? QString() : QStringLiteral(", f.liefnr"));
}

const QString &proposalRowsSql(Backend backend) {
    return PerBackend(backend, [](Backend b) { return proposalRowsStatement(b, false); });
}

const QString &groupedProposalRowsSql(Backend backend) {
    return PerBackend(backend, [](Backend b) { return proposalRowsStatement(b, true); });
}

// The columns of ProposalRows, and the one that orders an article's entries.
constexpr int kProposalColumns = 10;
constexpr int kSupplierNumber = 9;

// The statement of ProposalArticleRows; one parameter, the list.
const QString &proposalArticleRowsSql(Backend backend) {
    return PerBackend(backend, [](Backend b) {
        // An article has at most one entry of its proposed supplier, and that at most one change.
        return QStringLiteral("SELECT u.artnr, CASE WHEN COALESCE(o.laktiv, p.aktiv) = 'J' THEN 'J' ELSE 'N' END"
                              " FROM artliste l JOIN upd_artikel u ON u.run = l.run JOIN artikel a ON a.id = u.artikel"
                              "%1"
                              " LEFT JOIN artlief p ON p.artikel = u.artikel AND p.lieferant = u.velka_lief"
                              "%2"
                              " WHERE l.id = ? AND u.velka_lief IS NOT NULL"
                              " AND COALESCE(CASE WHEN h.liste IS NULL THEN a.haupt_lief ELSE h.haupt_lief END, -1)"
                              " <> u.velka_lief"
                              " ORDER BY u.artnr")
            .arg(MainSupplierJoin(b, QStringLiteral("l.id"), QStringLiteral("u.artikel"), "h"),
                 ChangeJoin(b, QStringLiteral("l.id"), QStringLiteral("p.id")));
    });
}

// Asked inside a unit, the rows are read under the list's lock: they are then what the unit's
// writes change, and what taking them back restores.
void lockInUnit(SqlConnection &connection, qint64 list) {
    if (connection.inUnit())
        LockList(connection, list);
}

// On SQLite through its own interface; on PostgreSQL Qt's driver reads them as well as libpq would.
std::unique_ptr<DirectRows> locked(SqlConnection &connection, qint64 list, const QString &sql) {
    lockInUnit(connection, list);
    if (connection.backend() == Backend::Sqlite)
        return std::make_unique<SqliteRows>(connection, sql, QVariantList{list});
    return std::make_unique<QtRows>(connection, connection.run(sql, {list}));
}

} // namespace

std::unique_ptr<DirectRows> ProposalRows(SqlConnection &connection, qint64 list) {
    if (connection.backend() != Backend::Sqlite)
        return locked(connection, list, proposalRowsSql(connection.backend()));
    return std::make_unique<GroupSortedRows>(locked(connection, list, groupedProposalRowsSql(connection.backend())),
                                             kProposalColumns, 0, kSupplierNumber);
}

std::unique_ptr<DirectRows> ProposalArticleRows(SqlConnection &connection, qint64 list) {
    return locked(connection, list, proposalArticleRowsSql(connection.backend()));
}

void ProposalRecorder::add(const DirectRows &row) {
    // An article's further rows reuse its number's text.
    const std::optional<QByteArrayView> number = row.textBytes(0);
    const bool same = m_article && number && QAnyStringView::equal(QUtf8StringView(*number), m_number);
    add(same ? m_number : row.text(0), row.whole(6).value_or(0), row.whole(7).value_or(0), row.whole(1),
        row.whole(8).value_or(0), FlagText(row, 2));
}

void ProposalRecorder::add(const QString &number, qint64 article, qint64 proposal, std::optional<qint64> pair,
                           qint64 supplier, const QString &laktiv) {
    if (!m_article || number != m_number) {
        m_number = number;
        m_article = &m_read[m_number];
        m_article->id = article;
        m_article->proposal = proposal;
    }
    if (!pair)
        return; // an article without suppliers
    UnitBook::RuleEntry entry;
    entry.pair = *pair;
    entry.supplier = supplier;
    entry.laktiv = laktiv;
    m_article->entries.push_back(std::move(entry)); // the rows come in supplier-number order
}

namespace {

// One article named for taking its proposal, with its entries under the list's lock (in the
// supplier list's order, so that the stamp comes out as the list's query makes it).
using TakenArticle = UnitBook::ProposalArticle;

// The named articles as the unit's read of the proposals under the lock found them, taken out of
// it; empty unless it holds every one of them.
QHash<QString, TakenArticle> takenFromRead(UnitBook &book, qint64 list, const QStringList &numbers) {
    UnitBook::ProposalArticles *read = book.proposalsRead(list);
    if (!read || !std::all_of(numbers.begin(), numbers.end(), [read](const QString &n) { return read->contains(n); }))
        return {};
    QHash<QString, TakenArticle> taken;
    taken.reserve(numbers.size());
    for (const QString &number : numbers)
        taken.emplace(number, read->take(number)); // moved: insert() would copy the entries
    return taken;
}

// The named articles of the list with their entries and their proposal, in one statement.
QHash<QString, TakenArticle> readTaken(SqlConnection &connection, qint64 list, const QStringList &numbers) {
    // Unsorted: each article's few entries are put in order here, which costs less than the
    // database's sort of 100,000 rows.
    QSqlQuery query = connection.run(
        QStringLiteral("SELECT u.artnr, u.artikel, u.velka_lief, al.id, al.lieferant, COALESCE(o.laktiv, al.aktiv),"
                       " f.liefnr"
                       " FROM artliste l JOIN upd_artikel u ON u.run = l.run"
                       " LEFT JOIN artlief al ON al.artikel = u.artikel"
                       " LEFT JOIN lieferant f ON f.id = al.lieferant"
                       "%1 WHERE l.id = ? AND %2")
            .arg(ChangeJoin(connection.backend(), QStringLiteral("l.id"), QStringLiteral("al.id")),
                 SomeArticles(connection)),
        {list, ArticleNumbersValue(connection, numbers)});
    QHash<QString, TakenArticle> taken;
    taken.reserve(numbers.size());
    // Each article's entries beside their supplier numbers, until they are put in order.
    QHash<QString, std::vector<std::pair<qint64, UnitBook::RuleEntry>>> read;
    read.reserve(numbers.size());
    std::vector<std::pair<qint64, UnitBook::RuleEntry>> *entries = nullptr;
    TakenArticle *article = nullptr;
    QString number;
    while (connection.next(query)) {
        if (!article || query.value(0).toString() != number) {
            number = query.value(0).toString();
            article = &taken[number];
            entries = &read[number];
            article->id = query.value(1).toLongLong();
            article->proposal = query.value(2).toLongLong();
        }
        if (query.value(3).isNull())
            continue; // an article without suppliers
        UnitBook::RuleEntry entry;
        entry.pair = query.value(3).toLongLong();
        entry.supplier = query.value(4).toLongLong();
        entry.laktiv = query.value(5).toString();
        entries->emplace_back(query.value(6).toLongLong(), std::move(entry));
    }
    for (auto it = read.begin(); it != read.end(); ++it) {
        std::stable_sort(it->begin(), it->end(), [](const auto &a, const auto &b) { return a.first < b.first; });
        std::vector<UnitBook::RuleEntry> &sorted = taken[it.key()].entries;
        sorted.reserve(it->size());
        for (auto &[supplierNumber, entry] : *it)
            sorted.push_back(std::move(entry));
    }
    return taken;
}

} // namespace

int TakeProposals(SqlConnection &connection, const QVariant &listKey, const QVariant &articleNumbers) {
    connection.ensureOpen();
    const QString by = SessionPersonal(connection);
    const qint64 list = ListKey(listKey);
    if (list < 0)
        throw Error(kUnknownList, QStringLiteral("Die Artikelliste \"%1\" existiert nicht.").arg(listKey.toString()));
    QStringList numbers = articleNumbers.toString().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    numbers.removeDuplicates();

    return connection.write([&] {
        LockList(connection, list);
        Unit(connection).book.forgetEntries(); // every entry of these articles changes
        if (numbers.isEmpty())
            return 0;
        Unit(connection).book.noteChanged(list); // watchers at other workstations learn of it with the commit
        // Read under the lock, so what is written is what the rules allow now, whatever another
        // workstation changed since the clerk's list was read. The state after the writes follows
        // from it: the proposed supplier becomes the only main supplier, nothing else changes.
        QHash<QString, TakenArticle> taken = takenFromRead(Unit(connection).book, list, numbers);
        if (taken.isEmpty())
            taken = readTaken(connection, list, numbers);
        std::vector<std::pair<TakenArticle *, SupplierRules>> after;
        after.reserve(size_t(numbers.size()));
        for (const QString &number : numbers) {
            const auto found = taken.find(number);
            if (found == taken.end())
                throw Error(
                    kUnknownList,
                    QStringLiteral("Die Artikelliste %1 enthält den Artikel \"%2\" nicht.").arg(list).arg(number));
            TakenArticle &article = found.value();
            bool proposalActive = false;
            for (UnitBook::RuleEntry &entry : article.entries) {
                const bool proposed = article.proposal != 0 && entry.supplier == article.proposal;
                if (proposed && entry.laktiv == QLatin1String("J"))
                    proposalActive = true;
                entry.hlief = proposed ? QStringLiteral("J") : QStringLiteral("N");
                entry.listMain = true;
            }
            if (!proposalActive)
                throw Error(kRejected,
                            QStringLiteral("Die Änderung wurde abgelehnt: Der vorgeschlagene Lieferant des "
                                           "Artikels %1 ist kein aktiver Lieferant des Artikels. Vermutlich "
                                           "wurde er inzwischen an einem anderen Arbeitsplatz geändert. Nichts "
                                           "davon wurde gespeichert.")
                                .arg(number));
            // The supplier rules over what is written, as the commit checks them for single entries:
            // exactly one main supplier, and that one active.
            SupplierRules rules = RulesOf(article.entries, number);
            if (rules.severalMains || rules.inactiveMain || rules.mainSupplier == 0)
                throw Error(kRejected, QStringLiteral("Die Änderung wurde abgelehnt: Artikel %1 hätte danach nicht "
                                                      "genau einen aktiven Hauptlieferanten. Nichts davon wurde "
                                                      "gespeichert.")
                                           .arg(number));
            after.emplace_back(&article, std::move(rules));
        }

        const QString when = SqlConnection::now();
        const QVariant picked = ArticleNumbersValue(connection, numbers);
        // On SQLite the rows carry the list's version as they are written, which spares each one the
        // trigger's second write; PostgreSQL's trigger sets it before the write.
        const bool numbered = connection.backend() == Backend::Sqlite;
        connection.runScript(
            {{QStringLiteral("INSERT INTO liste_aend (liste, artlief, artikel, laktiv, hlief, aendsw, aend_pers,"
                             " aend_zeit%2) SELECT l.id, al.id, al.artikel, NULL,"
                             " CASE WHEN al.lieferant = u.velka_lief THEN 'J' ELSE 'N' END, 1, ?, ?%3"
                             " FROM artliste l JOIN upd_artikel u ON u.run = l.run"
                             " JOIN artlief al ON al.artikel = u.artikel WHERE l.id = ? AND %1"
                             " ON CONFLICT (liste, artlief) DO UPDATE SET hlief = excluded.hlief,"
                             " aendsw = excluded.aendsw, aend_pers = excluded.aend_pers,"
                             " aend_zeit = excluded.aend_zeit%4")
                  .arg(SomeArticles(connection), numbered ? QStringLiteral(", aend_nr") : QString(),
                       numbered ? QStringLiteral(", l.version") : QString(),
                       numbered ? QStringLiteral(", aend_nr = excluded.aend_nr") : QString()),
              {by, when, list, picked}},
             {QStringLiteral("INSERT INTO liste_haupt (liste, artikel, haupt_lief)"
                             " SELECT l.id, u.artikel, u.velka_lief FROM artliste l"
                             " JOIN upd_artikel u ON u.run = l.run WHERE l.id = ? AND %1"
                             " ON CONFLICT (liste, artikel) DO UPDATE SET haupt_lief = excluded.haupt_lief")
                  .arg(SomeArticles(connection)),
              {list, picked}}});

        // What the commit knows of the written articles, as a read under the lock would find them now:
        // their entries for later writes in the unit, and their stamps for "Rückgängig". A later open
        // of one of their entries reads the article again (the entries a take-all wrote are 100,000,
        // and its unit ends with the take).
        for (auto &[article, rules] : after) {
            Unit(connection).book.noteRulesRead(list, article->id, std::move(article->entries), rules);
            Unit(connection).book.noteChecked(list, article->id, std::move(rules));
        }
        return static_cast<int>(numbers.size());
    });
}

} // namespace kxserver::lists
