#include "server/classes/ServerQueries.h"

#include "server/classes/ClassTable.h"
#include "server/db/Digits.h"
#include "server/db/rows/PgRows.h"
#include "server/db/rows/QtRows.h"
#include "server/db/rows/SqliteRows.h"
#include "server/lists/ArticleStamp.h"
#include "server/lists/Proposals.h"
#include "server/lists/UpdateLists.h"

#include <QHash>
#include <QStringBuilder>

#include <algorithm>
#include <iterator>
#include <optional>

// The class queries of "UpdateVelka.Hauptlief": each one's statement and the reading of its rows,
// once. The long reads go through the database's own interface (SqliteRows, PgRows); the others,
// and those a backend reads better through Qt's driver (a statement kept prepared), through QtRows.
namespace kxserver {

namespace {

// "70012 Baustoffe M}ller GmbH" for supplier `key` named `name` (the database's UTF-8 bytes,
// compared unconverted). A list of 100,000 articles names a few hundred suppliers: each one's text
// is made once per thread (a pure function of number and name, so nothing can go stale) and then
// shared.
QString sharedSupplierText(qint64 key, QByteArrayView name) {
    struct Known {
        QByteArray name;
        QString text;
    };
    constexpr qsizetype kMostSuppliers = 4096;
    thread_local QHash<qint64, Known> known;
    if (const auto found = known.constFind(key); found != known.constEnd() && found->name == name)
        return found->text;
    // The number as toString writes it.
    const QString result = QString::number(key) % QLatin1Char(' ') % QString::fromUtf8(name.data(), name.size());
    if (known.size() < kMostSuppliers || known.contains(key))
        known.insert(key, Known{name.toByteArray(), result});
    return result;
}

// The supplier number leads, so the program can match it.
QString supplierText(const DirectRows &row, int numberColumn, int nameColumn) {
    if (row.isNull(numberColumn))
        return QString();
    const std::optional<qint64> key = row.whole(numberColumn);
    const std::optional<QByteArrayView> name = row.textBytes(nameColumn);
    if (!key || !name)
        return row.text(numberColumn) % QLatin1Char(' ') % row.text(nameColumn);
    return sharedSupplierText(*key, *name);
}

// An ISO date as the program shows it; "00:00:00" when there was no purchase.
QString purchaseDate(const QString &text) {
    if (text.size() != 10)
        return QStringLiteral("00:00:00");
    const QStringView date(text);
    return date.sliced(8, 2) % QLatin1Char('.') % date.sliced(5, 2) % QLatin1Char('.') % date.first(4);
}

// A whole-number column as the driver's value gives it by toInt() and toLongLong().
qint64 wholeOf(const DirectRows &row, int column) {
    if (const std::optional<qint64> number = row.whole(column))
        return *number;
    return row.text(column).toLongLong();
}

int intOf(const DirectRows &row, int column) {
    if (const std::optional<qint64> number = row.whole(column))
        return int(*number);
    return row.text(column).toInt();
}

// A supplier entry's id, "list||pair", from the pair's column; empty when it is null. A whole
// number is written straight into the id: the proposals' read makes 100,000 of them.
QString pairId(const DirectRows &row, int column, const QString &list) {
    if (const std::optional<qint64> pair = row.whole(column))
        return list % QLatin1String("||") % Digits(*pair).latin1();
    return row.isNull(column) ? QString() : QString(list % QLatin1String("||") % row.text(column));
}

// A column of the article list's rows (ArticleListSql); each is a text.
QString articleText(const DirectRows &row, int column, const QString &context) {
    switch (column) {
    case 1:
        return context % QLatin1String("||") % row.text(0);
    case 2:
        return row.text(0);
    case 3:
        return row.text(1);
    case 4:
        return supplierText(row, 2, 3);
    default:
        return supplierText(row, 4, 5);
    }
}

// The supplier rows of one article of a list (its number, then the list key), up to the list's own
// changes, which each backend joins its way, and the pair's price history as far as the price cell
// tells it (kHistorySqlite, kHistoryPostgres): the latest change applied since the last purchase
// (any, without one), as its price and unit before and its day, and the earliest coming price, as
// its price, unit and day. Each is one step along the history's index (pair, day), a lookup that
// finds nothing for the many pairs without a history.
const char *const kSupplierRowsFrom =
    "SELECT al.id, f.liefnr, f.name, al.ek_cent, al.pe, al.le_einkauf, COALESCE(o.laktiv, al.aktiv),"
    " COALESCE(o.hlief, CASE WHEN a.haupt_lief = al.lieferant THEN 'J' ELSE 'N' END),"
    " hv.ek_alt, hv.pe_alt, hv.gueltig_ab, hk.ek_neu, hk.pe_neu, hk.gueltig_ab"
    " FROM artliste l JOIN upd_artikel u ON u.run = l.run AND u.artnr = ?"
    " JOIN artikel a ON a.id = u.artikel"
    " JOIN artlief al ON al.artikel = u.artikel"
    " JOIN lieferant f ON f.id = al.lieferant";

// The two history rows of a pair (hv, hk): SQLite finds each one's id and the row by it; PostgreSQL
// reads each as a lateral row, one index scan instead of a scan and a lookup.
const char *const kHistorySqlite =
    " LEFT JOIN preis_hist hv ON hv.id = (SELECT h.id FROM preis_hist h WHERE h.artlief = al.id AND h.offen = 0"
    " AND h.gueltig_ab > COALESCE(al.le_einkauf, '') ORDER BY h.gueltig_ab DESC, h.id DESC LIMIT 1)"
    " LEFT JOIN preis_hist hk ON hk.id = (SELECT h.id FROM preis_hist h WHERE h.artlief = al.id AND h.offen = 1"
    " ORDER BY h.gueltig_ab, h.id LIMIT 1)";
const char *const kHistoryPostgres =
    " LEFT JOIN LATERAL (SELECT h.ek_alt, h.pe_alt, h.gueltig_ab FROM preis_hist h WHERE h.artlief = al.id"
    " AND h.offen = 0 AND h.gueltig_ab > COALESCE(al.le_einkauf, '') ORDER BY h.gueltig_ab DESC, h.id DESC"
    " LIMIT 1) hv ON true"
    " LEFT JOIN LATERAL (SELECT h.ek_neu, h.pe_neu, h.gueltig_ab FROM preis_hist h WHERE h.artlief = al.id"
    " AND h.offen = 1 ORDER BY h.gueltig_ab, h.id LIMIT 1) hk ON true";

// Up to this many articles, "ArtikelZeilen" finds them by key with the statement kept prepared.
constexpr qsizetype kFewArticles = 100;

// The rows of a whole article list (lists::ArticleListSql) through the database's own interface.
std::unique_ptr<DirectRows> directRows(SqlConnection &connection, const QString &sql, const QVariantList &values) {
    if (connection.backend() == Backend::Sqlite)
        return std::make_unique<SqliteRows>(connection, sql, values);
    return std::make_unique<PgRows>(connection, sql, values);
}

const QueryDef kQueries[] = {
    {.name = "Updates",
     .parameters = 0,
     .columns = 4,
     .run = [](SqlConnection &connection, const QVariantList &, QString &) -> std::unique_ptr<DirectRows> {
         // A session that named its company sees that company's runs only.
         if (connection.sessionFirma)
             return std::make_unique<QtRows>(
                 connection,
                 connection.run(QStringLiteral("SELECT firma, nr, bez, datum FROM upd_run WHERE firma = ? ORDER BY nr"),
                                {*connection.sessionFirma}));
         return std::make_unique<QtRows>(
             connection,
             connection.run(QStringLiteral("SELECT firma, nr, bez, datum FROM upd_run ORDER BY firma, nr")));
     },
     .value = [](const DirectRows &row, int column, const QString &) -> QVariant {
         switch (column) {
         case 1:
             return row.text(0) + QStringLiteral("||") + row.text(1);
         case 2:
             return intOf(row, 1);
         case 3:
             return row.text(2);
         default:
             return intOf(row, 3);
         }
     }},
    {.name = "Artikel",
     .parameters = 1,
     .columns = 5,
     .run = [](SqlConnection &connection, const QVariantList &params, QString &context) {
         const qint64 list = lists::ListKey(params.at(0));
         context = QString::number(list);
         // Once per list: preparing it costs nothing beside its rows, and a plan made once for any
         // list would not know how large this one is.
         return directRows(connection, lists::ArticleListSql(connection.backend()), {list});
     },
     .text = articleText},
    // The rows of "Artikel" for some articles of the list only (their numbers joined by line
    // feeds), in one request however many: what a screen needs to show the rows that changed.
    {.name = "ArtikelZeilen",
     .parameters = 2,
     .columns = 5,
     .run = [](SqlConnection &connection, const QVariantList &params, QString &context) -> std::unique_ptr<DirectRows> {
         const qint64 list = lists::ListKey(params.at(0));
         context = QString::number(list);
         const QString sql = lists::ArticleListSql(connection.backend(), lists::SomeArticles(connection));
         if (connection.backend() == Backend::Sqlite)
             return std::make_unique<SqliteRows>(
                 connection, sql, QVariantList{list, lists::ArticleNumbersValue(connection, params.at(1))});
         // A few articles (what a look of the live view brings, some 80 times a second with 32
         // watching clerks) go through the statement kept prepared, whose one plan finds them by
         // key and is made once per connection. Many go as they stand: PostgreSQL's planner must
         // see the array's length (see SomeArticles) to join 20,000 by hash.
         const QStringList numbers = params.at(1).toString().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
         const QVariantList values{list, lists::ArticleNumbersValue(connection, numbers)};
         if (numbers.size() <= kFewArticles)
             return std::make_unique<QtRows>(connection, connection.runCached(sql, values));
         return std::make_unique<QtRows>(connection, connection.run(sql, values));
     },
     .text = articleText},
    // Column 7, the entry's main-supplier flag, is this server's own: with it a refreshed screen
    // learns the article's main supplier from the same read as its suppliers. So are columns 8 to 13,
    // the pair's price history for the price cell's tooltip: the price before the latest change since
    // the last purchase (a number in euros, or null), its unit and the change's day ("dd.MM.yyyy"),
    // then the earliest coming price (or null), its unit and its day. The stamp leaves them out: it
    // says what a clerk's writes depend on, and a price is not among that.
    {.name = "ArtikelLief",
     .parameters = 2,
     .columns = 13,
     .run = [](SqlConnection &connection, const QVariantList &params, QString &context) -> std::unique_ptr<DirectRows> {
         const qint64 list = lists::ListKey(params.at(0));
         context = QString::number(list);
         const QString article = params.at(1).toString();
         if (connection.backend() == Backend::Sqlite) {
             static const QString sql =
                 QStringLiteral("%1%2%3 WHERE l.id = ? ORDER BY f.liefnr")
                     .arg(QLatin1String(kSupplierRowsFrom), QLatin1String(kHistorySqlite),
                          lists::ChangeJoin(Backend::Sqlite, QStringLiteral("l.id"), QStringLiteral("al.id")));
             return std::make_unique<QtRows>(connection, connection.runCached(sql, {article, list}));
         }
         // On PostgreSQL the list's changes of the article's entries are read once, into an array
         // joined by entry, instead of once per entry: a table of few pages (no one has unsaved
         // changes, or a handful) is scanned rather than looked up, and a scan per entry cost
         // more than all the rest of the statement. Many pages make it a lookup by entry, as the
         // per-entry join was (the list compared as an expression, for the reason ChangeJoin gives).
         static const QString sql =
             QStringLiteral("%1%2 LEFT JOIN unnest((SELECT array_agg(x) FROM liste_aend x"
                            " WHERE x.liste + 0 = ? AND x.artlief = ANY (ARRAY(SELECT z.id FROM artliste lz"
                            " JOIN upd_artikel uz ON uz.run = lz.run AND uz.artnr = ?"
                            " JOIN artlief z ON z.artikel = uz.artikel WHERE lz.id = ?)))) o ON o.artlief = al.id"
                            " WHERE l.id = ? ORDER BY f.liefnr")
                 .arg(QLatin1String(kSupplierRowsFrom), QLatin1String(kHistoryPostgres));
         return std::make_unique<QtRows>(connection, connection.runCached(sql, {article, list, article, list, list}));
     },
     .value = [](const DirectRows &row, int column, const QString &context) -> QVariant {
         switch (column) {
         case 1:
             return QString(context % QLatin1String("||") % row.text(0));
         case 2:
             return supplierText(row, 1, 2);
         case 3:
             return wholeOf(row, 3) / 100.0;
         case 4:
             return row.text(4);
         case 5:
             return purchaseDate(row.text(5));
         case 6:
             return row.text(6);
         case 7:
             return row.text(7);
         case 8:
         case 11:
             return row.isNull(column) ? QVariant() : QVariant(wholeOf(row, column) / 100.0);
         case 9:
         case 12:
             return row.isNull(column) ? QVariant() : QVariant(row.text(column));
         default:
             return row.isNull(column) ? QVariant() : QVariant(purchaseDate(row.text(column)));
         }
     },
     .stampPart = [](ArticleStamp &stamp, const DirectRows &row) { stamp.add(row.text(0), row.text(6), row.text(7)); }},
    {.name = "Vorschlaege",
     .parameters = 1,
     .columns = 6,
     .run = [](SqlConnection &connection, const QVariantList &params, QString &context) {
         const qint64 list = lists::ListKey(params.at(0));
         context = QString::number(list);
         return lists::ProposalRows(connection, list);
     },
     .value = [](const DirectRows &row, int column, const QString &context) -> QVariant {
         switch (column) {
         case 1:
             return row.text(0);
         case 2:
             return pairId(row, 1, context);
         case 3:
             return FlagText(row, 2);
         case 4:
             return FlagText(row, 3);
         case 5:
             return wholeOf(row, 4) ? QStringLiteral("J") : QStringLiteral("N");
         default:
             return intOf(row, 5);
         }
     },
     .recordsProposals = true},
    {.name = "VorschlagsArtikel",
     .parameters = 1,
     .columns = 2,
     .run = [](SqlConnection &connection, const QVariantList &params, QString &) {
         return lists::ProposalArticleRows(connection, lists::ListKey(params.at(0)));
     },
     .text = [](const DirectRows &row, int column, const QString &) {
         return column == 2 ? FlagText(row, 1) : row.text(column - 1);
     }},
};

} // namespace

std::span<const QueryDef> HauptliefQueries() {
    return kQueries;
}

QString StampOfArticle(SqlConnection &connection, const QString &listKey, const QString &articleNumber) {
    // The supplier list's own query, so that both stamps are made from exactly the same rows.
    const QueryDef &def = *std::find_if(std::begin(kQueries), std::end(kQueries),
                                        [](const QueryDef &query) { return qstrcmp(query.name, "ArtikelLief") == 0; });
    QString context;
    const std::unique_ptr<DirectRows> rows = def.run(connection, {listKey, articleNumber}, context);
    ArticleStamp stamp;
    while (rows->next())
        def.stampPart(stamp, *rows);
    return stamp.result();
}

QVariantList ArticleListColumns(const DirectRows &row, const QString &listKey) {
    QVariantList columns;
    columns.reserve(5);
    for (int column = 1; column <= 5; ++column)
        columns << articleText(row, column, listKey);
    return columns;
}

} // namespace kxserver
