#include "server/lists/UpdateLists.h"
#include "server/lists/ListsDetail.h"

#include "server/db/TypedNulls.h"

#include "server/lists/ArticleStamp.h"
#include "server/db/JsonRows.h"
#include "session/ServerErrorCodes.h"

#include <QHash>
#include <QMetaType>
#include <QSet>

#include <algorithm>
#include <iterator>
#include <map>
#include <set>

namespace kxserver::lists {

// Read by hand: every entry a click opens passes through here.
std::optional<qint64> WholeNumber(const QVariant &value) {
    const QString text = value.toString().trimmed();
    QStringView digits(text);
    if (digits.startsWith(QLatin1Char('+')))
        digits = digits.mid(1);
    if (digits.isEmpty() || digits.size() > 15)
        return std::nullopt;
    for (const QChar c : digits)
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return std::nullopt;
    return digits.toLongLong();
}

SupplierRules RulesOf(const std::vector<UnitBook::RuleEntry> &entries, const QString &articleNumber) {
    SupplierRules rules;
    rules.articleNumber = articleNumber;
    ArticleStamp stamp;
    int active = 0;
    int mains = 0;
    for (const UnitBook::RuleEntry &entry : entries) {
        const bool isActive = entry.laktiv == QLatin1String("J");
        const bool isMain = entry.hlief == QLatin1String("J");
        active += isActive ? 1 : 0;
        if (isMain) {
            ++mains;
            rules.mainSupplier = entry.supplier;
            if (!isActive)
                rules.inactiveMain = true;
        }
        if (entry.listMain)
            rules.touchesMain = true;
        stamp.add(entry.pair, entry.laktiv, entry.hlief);
    }
    rules.stamp = stamp.result();
    rules.severalMains = mains > 1;
    rules.noneActive = !entries.empty() && active == 0;
    if (mains != 1)
        rules.mainSupplier = 0;
    return rules;
}

namespace {

// Every writer of a list takes this row lock (once per transaction) and queues behind the others.
const QString kLockSql = QStringLiteral("UPDATE artliste SET version = version + 1 WHERE id = ?");

// An article's entries as the list shows them, picked by `pick` (parameters after the list key), with
// the supplier number that gives the supplier list's order. Unsorted: takeRules puts each article's
// few entries in order, which costs less than the database's sort of 100,000 rows.
QString rulesQuery(Backend backend, const QString &pick) {
    return QStringLiteral("SELECT al.lieferant, COALESCE(o.laktiv, al.aktiv),"
                          " COALESCE(o.hlief, CASE WHEN a.haupt_lief = al.lieferant THEN 'J' ELSE 'N' END),"
                          " CASE WHEN o.hlief IS NULL THEN 0 ELSE 1 END, al.id, a.artnr, a.id, COALESCE(o.aendsw, 0),"
                          " f.liefnr"
                          " FROM artlief al JOIN artikel a ON a.id = al.artikel"
                          " JOIN lieferant f ON f.id = al.lieferant"
                          "%1 WHERE %2")
        .arg(ChangeJoin(backend, QStringLiteral("?"), QStringLiteral("al.id")), pick);
}

// One article's rules' state, with the article's id.
using ArticleRules = std::pair<qint64, SupplierRules>;

// Reads the rows of rulesQuery as the state before this transaction's writes, article by article;
// entries not yet opened go into the entry cache. Articles without rows are not in the result.
std::vector<ArticleRules> takeRules(SqlConnection &connection, qint64 list, const SqlConnection::Rows &rows) {
    struct Read {
        qint64 supplierNumber;
        int aendsw;
        UnitBook::RuleEntry entry;
    };
    struct Article {
        QString number;
        std::vector<Read> reads;
    };
    std::map<qint64, Article> articles; // by id; an article's rows mostly come one after another
    Article *current = nullptr;
    qint64 currentId = 0;
    for (const QVariantList &row : rows) {
        if (const qint64 id = row.value(6).toLongLong(); !current || id != currentId) {
            currentId = id;
            current = &articles[id];
            if (current->number.isEmpty())
                current->number = row.value(5).toString();
        }
        UnitBook::RuleEntry entry;
        entry.supplier = row.value(0).toLongLong();
        entry.laktiv = row.value(1).toString();
        entry.hlief = row.value(2).toString();
        entry.listMain = row.value(3).toInt() != 0;
        entry.pair = row.value(4).toLongLong();
        current->reads.push_back({row.value(8).toLongLong(), row.value(7).toInt(), std::move(entry)});
    }
    std::vector<ArticleRules> result;
    result.reserve(articles.size());
    UnitBook &book = Unit(connection).book;
    for (auto &[article, read] : articles) {
        // The supplier list's order, in which the stamp is made.
        std::stable_sort(read.reads.begin(), read.reads.end(),
                         [](const Read &a, const Read &b) { return a.supplierNumber < b.supplierNumber; });
        std::vector<UnitBook::RuleEntry> entries;
        entries.reserve(read.reads.size());
        for (Read &r : read.reads) {
            book.cacheEntry(list, r.entry.pair, UnitBook::CachedEntry{article, r.entry.laktiv, r.entry.hlief, r.aendsw});
            entries.push_back(std::move(r.entry));
        }
        SupplierRules rules = RulesOf(entries, read.number);
        book.noteRulesRead(list, article, std::move(entries), rules);
        result.emplace_back(article, std::move(rules));
    }
    return result;
}

void readRules(SqlConnection &connection, qint64 list, qint64 article) {
    const QString &sql =
        PerBackend(connection.backend(), [](Backend b) { return rulesQuery(b, QStringLiteral("al.artikel = ?")); });
    takeRules(connection, list, connection.runScript({{sql, {list, article}}}));
}

// The named articles of a list, read under the list's lock, which the first request takes when the
// transaction does not hold it yet: the lock and the read go out together, so the state read is the
// one the unit's writes are checked against, and no other workstation can change it in between. One
// request however many articles.
std::vector<ArticleRules> readLocked(SqlConnection &connection, qint64 list, const QStringList &numbers) {
    std::vector<SqlConnection::Statement> script;
    if (!Unit(connection).book.holdsLock(list))
        script.push_back({kLockSql, {list}});
    script.push_back(
        {rulesQuery(connection.backend(), QStringLiteral("a.id IN (SELECT u.artikel FROM artliste l JOIN upd_artikel u"
                                                         " ON u.run = l.run AND %1 WHERE l.id = ?)")
                                              .arg(SomeArticles(connection))),
         {list, ArticleNumbersValue(connection, numbers), list}});
    std::vector<ArticleRules> result = takeRules(connection, list, connection.runScript(script));
    if (!result.empty())
        Unit(connection).book.noteLock(list); // rows came, so the list exists and its row is locked
    return result;
}

// The entries picked by `pick` (joining artlief al, with one parameter), with their values as the
// list shows them: the list's own change where it has one, the master data otherwise.
QString entryQuery(Backend backend, const char *pick) {
    return QStringLiteral("SELECT al.id, al.artikel, COALESCE(o.laktiv, al.aktiv),"
                          " COALESCE(o.hlief, CASE WHEN a.haupt_lief = al.lieferant THEN 'J' ELSE 'N' END),"
                          " COALESCE(o.aendsw, 0)"
                          " FROM artliste l %1 JOIN artikel a ON a.id = al.artikel"
                          " JOIN upd_artikel u ON u.run = l.run AND u.artnr = a.artnr"
                          "%2 WHERE l.id = ?")
        .arg(QLatin1String(pick), ChangeJoin(backend, QStringLiteral("l.id"), QStringLiteral("al.id")));
}

UnitBook::CachedEntry entryValues(const QSqlQuery &row) {
    return {row.value(1).toLongLong(), row.value(2).toString(), row.value(3).toString(), row.value(4).toInt()};
}

Entry makeEntry(qint64 list, qint64 pair, const UnitBook::CachedEntry &values) {
    Entry entry;
    entry.list = list;
    entry.pair = pair;
    entry.article = values.article;
    entry.laktiv = values.laktiv;
    entry.hlief = values.hlief;
    entry.aendsw = values.aendsw;
    return entry;
}

// An entry of a list whose lock this transaction holds: from the entries read under the lock, or
// read now together with every other entry of its article.
std::optional<Entry> openLockedEntry(SqlConnection &connection, qint64 list, qint64 pair) {
    const UnitBook::CachedEntry *cached = Unit(connection).book.cachedEntry(list, pair);
    if (!cached) {
        const QString &sql = PerBackend(connection.backend(), [](Backend b) {
            return entryQuery(b, "JOIN artlief x ON x.id = ? JOIN artlief al ON al.artikel = x.artikel");
        });
        const auto query = connection.runCached(sql, {pair, list});
        while (connection.next(*query))
            Unit(connection).book.cacheEntry(list, query->value(0).toLongLong(), entryValues(*query));
        query->finish();
        cached = Unit(connection).book.cachedEntry(list, pair);
        if (!cached)
            return std::nullopt;
    }
    return makeEntry(list, pair, *cached);
}

} // namespace

// The lock makes the rules below see the list as the writers before them left it, and "Speichern"
// never drops a change that was written while it ran.
void LockList(SqlConnection &connection, qint64 list) {
    if (Unit(connection).book.holdsLock(list))
        return;
    const auto query = connection.runCached(kLockSql, {list});
    if (query->numRowsAffected() != 1)
        throw Error(kUnknownList, QStringLiteral("Die Artikelliste %1 existiert nicht.").arg(list));
    Unit(connection).book.noteLock(list);
}

QString SessionPersonal(const SqlConnection &connection) {
    if (!connection.sessionPersonal || connection.sessionPersonal->isEmpty() || !connection.sessionFirma)
        throw Error(kNoSession, QStringLiteral("Ohne angemeldeten Benutzer (Firma und Personalcode der Sitzung) "
                                               "wird nichts gespeichert."));
    return *connection.sessionPersonal;
}

QString ArticleListSql(Backend backend, const QString &filter) {
    // The whole list reads every one of the list's main suppliers: on PostgreSQL joined by hash (one
    // scan of the list's rows by its key, whatever the statistics say), where a lookup per article
    // cost the server half as much again as the master data alone. A few articles keep the lookup.
    const QString mainSupplier =
        backend == Backend::Postgres && filter.isEmpty()
            ? QStringLiteral(" LEFT JOIN liste_haupt o ON o.liste = l.id AND o.artikel = u.artikel")
            : MainSupplierJoin(backend, QStringLiteral("l.id"), QStringLiteral("u.artikel"), "o");
    return QStringLiteral("SELECT %3 FROM artliste l JOIN upd_artikel u ON u.run = l.run"
                          " JOIN artikel a ON a.id = u.artikel%2%4 WHERE l.id = ?%1 ORDER BY u.artnr")
        .arg(filter.isEmpty() ? QString() : QStringLiteral(" AND ") + filter, mainSupplier,
             QLatin1String(kArticleListColumns), QLatin1String(kArticleSupplierJoins));
}

const char *const kArticleListColumns = "u.artnr, a.bez, h.liefnr, h.name, v.liefnr, v.name";
const char *const kArticleSupplierJoins =
    " LEFT JOIN lieferant h ON h.id = CASE WHEN o.liste IS NULL THEN a.haupt_lief ELSE o.haupt_lief END"
    " LEFT JOIN lieferant v ON v.id = u.velka_lief";

QString ChangeJoin(Backend backend, const QString &list, const QString &entry, const char *alias, bool outer) {
    const QString o = QLatin1String(alias);
    if (backend == Backend::Sqlite)
        return KeyLookupJoin(backend, "liste_aend", o,
                           QStringLiteral("%1.liste = %2 AND %1.artlief = %3").arg(o, list, entry), outer);
    // On PostgreSQL the change is found through its entry. With the list's rows counted as none, the
    // indexes that begin with the list (by article, by change number) look as good as the key, and
    // one of them made each lookup walk the list's every change. An entry has changes in few lists,
    // and the list, compared as an expression, cannot draw the planner to those indexes.
    return KeyLookupJoin(backend, "liste_aend", o,
                       QStringLiteral("%1.artlief = %3 AND %1.liste + 0 = %2").arg(o, list, entry), outer);
}

QString ArticleHasChange(Backend backend, const QString &list, const QString &article) {
    if (backend == Backend::Sqlite)
        return QStringLiteral("EXISTS (SELECT 1 FROM liste_aend x WHERE x.liste = %1 AND x.artikel = %2)")
            .arg(list, article);
    // OFFSET 0 keeps it a question per row (an EXISTS without one becomes a join).
    return QStringLiteral("EXISTS (SELECT 1 FROM liste_aend x WHERE x.artikel = %2 AND x.liste + 0 = %1 OFFSET 0)")
        .arg(list, article);
}

QString MainSupplierJoin(Backend backend, const QString &list, const QString &article, const char *alias) {
    const QString h = QLatin1String(alias);
    return KeyLookupJoin(backend, "liste_haupt", h,
                       QStringLiteral("%1.liste = %2 AND %1.artikel = %3").arg(h, list, article), true);
}

QString SomeArticles(const SqlConnection &connection) {
    return InTextList(connection.backend(), QStringLiteral("u.artnr"));
}

QVariant ArticleNumbersValue(const SqlConnection &connection, const QVariant &numbers) {
    return TextLinesValue(connection.backend(), numbers.toString());
}

QVariant ArticleNumbersValue(const SqlConnection &connection, const QStringList &numbers) {
    return TextListValue(connection.backend(), numbers);
}

qint64 ListKey(const QVariant &value) {
    const std::optional<qint64> number = WholeNumber(value);
    return number && *number > 0 ? *number : -1;
}

QString ArtListe(SqlConnection &connection, const QVariant &firma, const QVariant &update) {
    connection.ensureOpen();
    // The combo box may hand over its whole row (columns joined by line feeds): the number is the
    // first column.
    const std::optional<qint64> company = WholeNumber(firma);
    const std::optional<qint64> number = WholeNumber(update.toString().section(QLatin1Char('\n'), 0, 0));
    const auto unknown = [&] {
        return Error(kUnknownUpdate, QStringLiteral("Das Update \"%1\" der Firma \"%2\" existiert nicht.")
                                         .arg(update.toString(), firma.toString()));
    };
    if (!company || !number)
        throw unknown();
    QSqlQuery run =
        connection.run(QStringLiteral("SELECT id FROM upd_run WHERE firma = ? AND nr = ?"), {*company, *number});
    if (!connection.next(run))
        throw unknown();
    const qint64 runId = run.value(0).toLongLong();

    const auto findList = [&]() -> qint64 {
        QSqlQuery list = connection.run(QStringLiteral("SELECT id FROM artliste WHERE run = ?"), {runId});
        return connection.next(list) ? list.value(0).toLongLong() : 0;
    };
    qint64 list = findList();
    if (list == 0) {
        // Two workstations may prepare the same list at once: the unique run decides, both get the one list.
        connection.write([&] {
            connection.run(QStringLiteral("INSERT INTO artliste (run, erst_pers, erst_zeit) VALUES (?, ?, ?)"
                                          " ON CONFLICT (run) DO NOTHING"),
                           {runId, connection.sessionPersonal ? QVariant(*connection.sessionPersonal) : NullText(),
                            SqlConnection::now()});
        });
        list = findList();
        if (list == 0)
            throw Error(kDatabase,
                        QStringLiteral("Die Artikelliste des Updates %1 wurde nicht angelegt.").arg(*number));
    }
    QSqlQuery articles = connection.run(QStringLiteral("SELECT COUNT(*) FROM upd_artikel WHERE run = ?"), {runId});
    const qint64 articleCount = connection.next(articles) ? articles.value(0).toLongLong() : 0;
    QSqlQuery pending = connection.run(
        QStringLiteral("SELECT COUNT(*) FROM liste_aend WHERE liste = ? AND COALESCE(aendsw, 0) <> 0"), {list});
    const qint64 pendingCount = connection.next(pending) ? pending.value(0).toLongLong() : 0;
    return QStringLiteral("%1|%2|%3").arg(list).arg(articleCount).arg(pendingCount);
}

std::optional<Entry> OpenEntry(SqlConnection &connection, const QString &id) {
    connection.ensureOpen();
    const int split = id.indexOf(QStringLiteral("||"));
    if (split < 0)
        return std::nullopt;
    const qint64 list = ListKey(id.left(split));
    const std::optional<qint64> pair = WholeNumber(id.mid(split + 2));
    if (list < 0 || !pair)
        return std::nullopt;
    if (Unit(connection).book.holdsLock(list))
        return openLockedEntry(connection, list, *pair);
    const QString &sql =
        PerBackend(connection.backend(), [](Backend b) { return entryQuery(b, "JOIN artlief al ON al.id = ?"); });
    const auto query = connection.runCached(sql, {*pair, list});
    if (!connection.next(*query))
        return std::nullopt;
    return makeEntry(list, *pair, entryValues(*query));
}

QStringList LockedArticleStamps(SqlConnection &connection, const QVariant &listKey, const QStringList &articleNumbers) {
    QHash<QString, QString> found;
    for (const auto &[article, rules] : readLocked(connection, ListKey(listKey), articleNumbers))
        found.insert(rules.articleNumber, rules.stamp);
    const QString none = ArticleStamp().result(); // an article the list does not hold has no entries
    QStringList stamps;
    for (const QString &number : articleNumbers)
        stamps << found.value(number, none);
    return stamps;
}

void SaveEntry(SqlConnection &connection, const Entry &entry, const std::optional<QString> &laktiv,
               const std::optional<QString> &hlief, const std::optional<int> &aendsw) {
    const QString by = SessionPersonal(connection);
    connection.write([&] {
        LockList(connection, entry.list);
        UnitBook &book = Unit(connection).book;
        if (!book.rulesRead(entry.list, entry.article))
            readRules(connection, entry.list, entry.article);
        // Only the members changed in memory are written, so a flag another workstation set in the
        // meantime is not overwritten with the value this object read when it was opened. The write
        // waits for the commit; two writes of one entry become one.
        UnitBook::PendingWrite *pending = &book.pendingWrite(entry.list, entry.pair, entry.article);
        book.noteChanged(entry.list);
        if (laktiv)
            pending->laktiv = laktiv;
        if (hlief)
            pending->hlief = hlief;
        if (aendsw)
            pending->aendsw = aendsw;
        pending->by = by;
        pending->when = SqlConnection::now();
        // What a later open of the entry in this transaction reads.
        UnitBook::CachedEntry &cached = book.entryWritten(
            entry.list, entry.pair, UnitBook::CachedEntry{entry.article, entry.laktiv, entry.hlief, entry.aendsw});
        if (laktiv)
            cached.laktiv = *laktiv;
        if (hlief)
            cached.hlief = *hlief;
        if (aendsw)
            cached.aendsw = *aendsw;
    });
}

} // namespace kxserver::lists
