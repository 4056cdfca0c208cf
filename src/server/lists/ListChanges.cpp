// What another workstation changed in a list since this one last looked (the live view).
#include "server/db/rows/SqliteRows.h"
#include "server/lists/UpdateLists.h"

#include <QSet>
#include <QVariantMap>

#include <algorithm>
#include <limits>
#include <utility>
#include <vector>

namespace kxserver::lists {

namespace {

// The articles of the list's change rows written since a version (two parameters: the list, the
// version). On SQLite through the entry: the change-number index holds the entry's key, and the
// entry's own row is found by its number, cheaper than the change row by its two-part key (half
// the look's work with 100,000 changes). PostgreSQL reads the change rows' pages anyway.
QString writtenArticles(Backend backend) {
    return backend == Backend::Sqlite
               ? QStringLiteral("SELECT x.artikel FROM liste_aend o JOIN artlief x ON x.id = o.artlief"
                                " WHERE o.liste = ? AND o.aend_nr > ?")
               : QStringLiteral("SELECT o.artikel FROM liste_aend o WHERE o.liste = ? AND o.aend_nr > ?");
}

// The articles whose entries a save applied since a version (the list, the version), and those whose
// master prices an import changed since a version (the list, the version; TellPriceNews): to a
// watcher both are the same news, rows to read again as the server holds them now.
const char *const kSavedOrPricedArticles =
    "SELECT al.artikel FROM speicher_log s JOIN artlief al ON al.id = s.artlief"
    " WHERE s.liste = ? AND s.aend_nr > ?"
    " UNION SELECT p.artikel FROM liste_preis p WHERE p.liste = ? AND p.aend_nr > ?";

// One statement, one snapshot: the list's version (kind 0, with whether rows written at or before
// the version seen last are still there), the articles of the change rows written since that version
// (kind 1), and the articles whose entries a save applied or whose prices an import changed since
// (kind 2). Every writer of a list raises its version before it writes, and each change row, save-log
// row and price-news row carries the version that wrote it (aend_nr), so a row written after the
// version read here has a higher one. (A save log's id would not do: two lists saved at once take
// their ids in one order and commit in another.)
// Parameters: the version, the list; the list, the version; the list, the version for saves; the
// list, the version for prices.
// PostgreSQL keeps it prepared on the connection, and so that one plan does for every look (the
// server then plans it once instead of at every look, some 80 times a second with 32 watching
// clerks), the articles are found by their keys from the array of the changed ones: whatever the
// number of changes, the plan is the same.
const QString &lookSql(Backend backend) {
    return PerBackend(backend, [](Backend b) {
        const QString articles = b == Backend::Postgres ? QStringLiteral("a.id = ANY (ARRAY(SELECT DISTINCT artikel"
                                                                         " FROM (%1) AS z))")
                                                        : QStringLiteral("a.id IN (%1)");
        return QStringLiteral("SELECT 0, l.version, CASE WHEN EXISTS (SELECT 1 FROM liste_aend o WHERE o.liste = l.id"
                              " AND o.aend_nr <= ?) THEN 1 ELSE 0 END, NULL FROM artliste l WHERE l.id = ?"
                              " UNION ALL SELECT 1, 0, 0, a.artnr FROM artikel a WHERE %1"
                              " UNION ALL SELECT 2, 0, 0, a.artnr FROM artikel a WHERE %2")
            .arg(QString(articles).arg(writtenArticles(b)),
                 QString(articles).arg(QLatin1String(kSavedOrPricedArticles)));
    });
}

// The same look with the rows of the articles written since, as the list shows them: the columns of
// ArticleListSql first, then the kind and the list's version and flag as above (kind 2 with the
// article number only). A watcher shows those rows without asking for them again. An article with
// change rows that its list's run does not hold is not named: the list has no row for it. In no
// order: sorting them here costs more than the program's sort of their numbers.
// SQLite only (see look). Parameters: the version, the list; the list; the list, the version; the
// list, the version for saves; the list, the version for prices.
const QString &lookRowsSql() {
    static const QString text = [] {
        const Backend b = Backend::Sqlite;
        return QStringLiteral(
                   "SELECT NULL, NULL, NULL, NULL, NULL, NULL, 0, l.version, CASE WHEN EXISTS (SELECT 1 FROM"
                   " liste_aend o WHERE o.liste = l.id AND o.aend_nr <= ?) THEN 1 ELSE 0 END FROM artliste l WHERE "
                   "l.id = ?"
                   " UNION ALL SELECT %4, 1, 0, 0"
                   " FROM artliste l CROSS JOIN artikel a JOIN upd_artikel u ON u.run = l.run AND u.artnr = a.artnr"
                   "%1%5 WHERE l.id = ? AND a.id IN (%2)"
                   " UNION ALL SELECT a.artnr, NULL, NULL, NULL, NULL, NULL, 2, 0, 0 FROM artikel a WHERE a.id IN (%3)")
            .arg(MainSupplierJoin(b, QStringLiteral("l.id"), QStringLiteral("a.id"), "o"), writtenArticles(b),
                 QLatin1String(kSavedOrPricedArticles), QLatin1String(kArticleListColumns),
                 QLatin1String(kArticleSupplierJoins));
    }();
    return text;
}

const QString kList = QStringLiteral("list");
const QString kVersion = QStringLiteral("version");
const QString kSeen = QStringLiteral("seen");

} // namespace

namespace {

cacheapi::ChangedArticles look(SqlConnection &connection, const QVariant &listKey, QVariantMap &since,
                               const ArticleColumns *columns) {
    const qint64 list = ListKey(listKey);
    if (list < 0 || !connection.isOpen())
        return {};
    const bool first = since.value(kList).toLongLong() != list;
    // This connection's own gate (a notification, SQLite's commit counter) says whether anything was
    // committed since its last look. A connection that has not looked yet (a reconnect after the
    // idle disconnect or a restart) cannot tell, and asks the list.
    const bool looked = connection.watchedLists.count(list) > 0;
    const bool maybe = connection.mayHaveChanged(list);
    if (!first && looked && !maybe)
        return {};
    connection.watchedLists.insert(list);
    // The first look takes every row's article (what is changed and not saved now) and no save as
    // news; later looks what came since.
    const qint64 versionSeen = first ? -1 : since.value(kVersion).toLongLong();
    // On the first look the saves and price changes are no news, whatever their number.
    const qint64 savedSince = first ? std::numeric_limits<qint64>::max() : versionSeen;
    // Only on SQLite: there the look finds the rows of the articles it names by their keys. On
    // PostgreSQL the rows' own request is the cheaper way for many articles: it joins the numbers,
    // handed over as one array, by hash (20,000 articles: look and request some 250 ms, the look
    // with the rows found key by key 550 ms). A look that joined by hash would read all of the
    // run's articles every time, also for the one article a click changed.
    const bool withRows = columns && !first && connection.backend() == Backend::Sqlite;
    bool found = false;
    qint64 version = 0;
    bool olderRowsLeft = false;
    QStringList written;
    QStringList saved;
    std::vector<std::pair<QString, QVariantList>> rows;
    if (withRows) {
        // Read through SQLite's own interface: the rows' texts as SQLite keeps them, each made into a
        // QString once.
        SqliteRows query(connection, lookRowsSql(),
                         {versionSeen, list, list, list, versionSeen, list, savedSince, list, savedSince});
        while (query.next()) {
            const qint64 kind = query.whole(6).value_or(-1);
            if (kind == 0) {
                found = true;
                version = query.whole(7).value_or(0);
                olderRowsLeft = query.whole(8).value_or(0) != 0;
                continue;
            }
            QString number = query.text(0);
            if (kind == 1)
                rows.emplace_back(number, (*columns)(query));
            (kind == 1 ? written : saved) << std::move(number);
        }
    } else {
        const auto query = connection.runCached(
            lookSql(connection.backend()), {versionSeen, list, list, versionSeen, list, savedSince, list, savedSince});
        while (connection.next(*query)) {
            const int kind = query->value(0).toInt();
            if (kind == 0) {
                found = true;
                version = query->value(1).toLongLong();
                olderRowsLeft = query->value(2).toInt() != 0;
                continue;
            }
            (kind == 1 ? written : saved) << query->value(3).toString();
        }
    }
    if (!found)
        return {};
    // The articles seen with rows: a Speichern removes every row of the list, also those it does not
    // log (entries taken back to their saved state), so once none of the rows seen is left, each of
    // those articles may show something else now.
    QSet<QString> seen = first ? QSet<QString>() : since.value(kSeen).value<QSet<QString>>();
    since.remove(kSeen); // the set is changed below, without a copy
    cacheapi::ChangedArticles result;
    if (!first) {
        result.articles = written + saved;
        if (!olderRowsLeft && !seen.isEmpty()) {
            result.articles += QStringList(seen.cbegin(), seen.cend());
            seen.clear();
        }
        result.articles.removeDuplicates();
        if (withRows) {
            const QSet<QString> read(written.cbegin(), written.cend());
            for (const QString &article : std::as_const(result.articles))
                if (!read.contains(article))
                    result.unread << article;
            std::sort(rows.begin(), rows.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
            result.rows.reserve(qsizetype(rows.size()));
            for (auto &row : rows)
                result.rows << std::move(row.second);
        } else {
            result.unread = result.articles;
        }
    }
    for (const QString &article : std::as_const(written))
        seen.insert(article);
    since = {{kList, list}, {kVersion, version}, {kSeen, QVariant::fromValue(seen)}};
    return result;
}

} // namespace

QStringList TakeChanges(SqlConnection &connection, const QVariant &listKey, QVariantMap &since) {
    return look(connection, listKey, since, nullptr).articles;
}

cacheapi::ChangedArticles TakeChangedArticles(SqlConnection &connection, const QVariant &listKey, QVariantMap &since,
                                              const ArticleColumns &columns) {
    return look(connection, listKey, since, &columns);
}

} // namespace kxserver::lists
