#include "UpdateLists.h"

#include "ServerErrorCodes.h"

#include <QMetaType>
#include <QRegularExpression>
#include <QSet>

#include <map>

namespace kxserver::lists {

namespace {

QVariant nullText() {
    return QVariant(QMetaType::fromType<QString>());
}
QVariant nullNumber() {
    return QVariant(QMetaType::fromType<qlonglong>());
}

template <typename T> QVariant orNull(const std::optional<T> &value) {
    if (!value)
        return std::is_same_v<T, QString> ? nullText() : nullNumber();
    return QVariant::fromValue(*value);
}

// A whole number written as text or passed as a number; empty for anything else. A plus sign is
// allowed, because the session passes a company the clerk gave as "+1" on as a whole number.
std::optional<qint64> wholeNumber(const QVariant &value) {
    static const QRegularExpression digits(QStringLiteral("^\\+?[0-9]{1,15}$"));
    const QString text = value.toString().trimmed();
    if (!digits.match(text).hasMatch())
        return std::nullopt;
    return text.toLongLong();
}

QString personal(const SqlConnection &connection) {
    if (!connection.sessionPersonal || connection.sessionPersonal->isEmpty() || !connection.sessionFirma)
        throw Error(kNoSession, QStringLiteral("Ohne angemeldeten Benutzer (Firma und Personalcode der Sitzung) "
                                               "wird nichts gespeichert."));
    return *connection.sessionPersonal;
}

// Takes the list's row lock once per transaction: every writer of a list queues here, so the rules
// below see the list as the writers before them left it, and "Speichern" never drops a change that
// was written while it ran.
void lockList(SqlConnection &connection, qint64 list) {
    if (connection.lockedLists.count(list))
        return;
    const auto query =
        connection.runCached(QStringLiteral("UPDATE artliste SET version = version + 1 WHERE id = ?"), {list});
    if (query->numRowsAffected() != 1)
        throw Error(kUnknownList, QStringLiteral("Die Artikelliste %1 existiert nicht.").arg(list));
    connection.lockedLists.insert(list);
}

SupplierRules readRules(SqlConnection &connection, qint64 list, qint64 article) {
    const auto query = connection.runCached(
        QStringLiteral("SELECT al.lieferant, COALESCE(o.laktiv, al.aktiv),"
                       " COALESCE(o.hlief, CASE WHEN a.haupt_lief = al.lieferant THEN 'J' ELSE 'N' END),"
                       " CASE WHEN o.hlief IS NULL THEN 0 ELSE 1 END"
                       " FROM artlief al JOIN artikel a ON a.id = al.artikel"
                       " LEFT JOIN liste_aend o ON o.liste = ? AND o.artlief = al.id"
                       " WHERE al.artikel = ?"),
        {list, article});
    SupplierRules rules;
    int entries = 0;
    int active = 0;
    int mains = 0;
    while (connection.next(*query)) {
        ++entries;
        const bool isActive = query->value(1).toString() == QLatin1String("J");
        const bool isMain = query->value(2).toString() == QLatin1String("J");
        active += isActive ? 1 : 0;
        if (isMain) {
            ++mains;
            rules.mainSupplier = query->value(0).toLongLong();
            if (!isActive)
                rules.inactiveMain = true;
        }
        if (query->value(3).toInt() != 0)
            rules.touchesMain = true;
    }
    rules.severalMains = mains > 1;
    rules.noneActive = entries > 0 && active == 0;
    if (mains != 1)
        rules.mainSupplier = 0;
    return rules;
}

QString articleNumber(SqlConnection &connection, qint64 article) {
    QSqlQuery query = connection.run(QStringLiteral("SELECT artnr FROM artikel WHERE id = ?"), {article});
    return connection.next(query) ? query.value(0).toString() : QString::number(article);
}

// The entries picked by `pick` (joining artlief al, with one parameter), with their values as the
// list shows them: the list's own change where it has one, the master data otherwise.
QString entryQuery(const char *pick) {
    return QStringLiteral("SELECT al.id, al.artikel, COALESCE(o.laktiv, al.aktiv),"
                          " COALESCE(o.hlief, CASE WHEN a.haupt_lief = al.lieferant THEN 'J' ELSE 'N' END),"
                          " COALESCE(o.aendsw, 0)"
                          " FROM artliste l %1 JOIN artikel a ON a.id = al.artikel"
                          " JOIN upd_artikel u ON u.run = l.run AND u.artnr = a.artnr"
                          " LEFT JOIN liste_aend o ON o.liste = l.id AND o.artlief = al.id"
                          " WHERE l.id = ?")
        .arg(QLatin1String(pick));
}

SqlConnection::CachedEntry entryValues(const QSqlQuery &row) {
    return {row.value(1).toLongLong(), row.value(2).toString(), row.value(3).toString(), row.value(4).toInt()};
}

Entry makeEntry(qint64 list, qint64 pair, const SqlConnection::CachedEntry &values) {
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
    auto cached = connection.entryCache.find({list, pair});
    if (cached == connection.entryCache.end()) {
        static const QString sql = entryQuery("JOIN artlief x ON x.id = ? JOIN artlief al ON al.artikel = x.artikel");
        const auto query = connection.runCached(sql, {pair, list});
        while (connection.next(*query))
            connection.entryCache[{list, query->value(0).toLongLong()}] = entryValues(*query);
        query->finish();
        cached = connection.entryCache.find({list, pair});
        if (cached == connection.entryCache.end())
            return std::nullopt;
    }
    return makeEntry(list, pair, cached->second);
}

} // namespace

qint64 ListKey(const QVariant &value) {
    const std::optional<qint64> number = wholeNumber(value);
    return number && *number > 0 ? *number : -1;
}

QString ArtListe(SqlConnection &connection, const QVariant &firma, const QVariant &update) {
    connection.ensureOpen();
    // The combo box may hand over its whole row (columns joined by line feeds): the number is the
    // first column.
    const std::optional<qint64> company = wholeNumber(firma);
    const std::optional<qint64> number = wholeNumber(update.toString().section(QLatin1Char('\n'), 0, 0));
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
                           {runId, connection.sessionPersonal ? QVariant(*connection.sessionPersonal) : nullText(),
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

int Speichern(SqlConnection &connection, const QVariant &firma, const QVariant &listKey) {
    connection.ensureOpen();
    const QString saver = personal(connection);
    const qint64 list = ListKey(listKey);
    const std::optional<qint64> company = wholeNumber(firma);
    const auto unknown = [&] {
        return Error(kUnknownList, QStringLiteral("Die Artikelliste \"%1\" der Firma \"%2\" existiert nicht.")
                                       .arg(listKey.toString(), firma.toString()));
    };
    if (list < 0 || !company)
        throw unknown();

    return connection.write([&] {
        connection.entryCache.clear(); // the save changes every entry of the list
        QSqlQuery owner = connection.run(
            QStringLiteral("SELECT r.firma FROM artliste l JOIN upd_run r ON r.id = l.run WHERE l.id = ?"), {list});
        if (!connection.next(owner) || owner.value(0).toLongLong() != *company)
            throw unknown();
        lockList(connection, list);
        const QString when = SqlConnection::now();

        QSqlQuery changed =
            connection.run(QStringLiteral("SELECT artlief, artikel, laktiv, hlief, aend_pers FROM liste_aend"
                                          " WHERE liste = ? AND COALESCE(aendsw, 0) <> 0 ORDER BY artlief"),
                           {list});
        struct Change {
            qint64 pair;
            qint64 article;
            QVariant laktiv;
            QVariant hlief;
            QString by;
        };
        std::vector<Change> changes;
        while (connection.next(changed))
            changes.push_back({changed.value(0).toLongLong(), changed.value(1).toLongLong(), changed.value(2),
                               changed.value(3), changed.value(4).toString()});
        changed.finish();

        QSqlQuery setActive = connection.prepare(
            QStringLiteral("UPDATE artlief SET aktiv = ?, aend_pers = ?, aend_zeit = ?, gesp_pers = ? WHERE id = ?"));
        std::map<qint64, QString> mainChanges; // article -> who changed its main supplier
        for (const Change &change : changes) {
            const QString by = change.by.isEmpty() ? saver : change.by;
            if (!change.laktiv.isNull())
                connection.execute(setActive, {change.laktiv.toString(), by, when, saver, change.pair});
            if (!change.hlief.isNull())
                mainChanges[change.article] = by;
        }

        // The main supplier lives once per article in the master data: the entry the saved changes
        // mark with "J" (unchanged entries keep what the master data say).
        QSqlQuery mains = connection.prepare(
            QStringLiteral("SELECT al.lieferant, CASE WHEN o.hlief IS NOT NULL AND COALESCE(o.aendsw, 0) <> 0"
                           " THEN o.hlief WHEN a.haupt_lief = al.lieferant THEN 'J' ELSE 'N' END"
                           " FROM artlief al JOIN artikel a ON a.id = al.artikel"
                           " LEFT JOIN liste_aend o ON o.liste = ? AND o.artlief = al.id"
                           " WHERE al.artikel = ? ORDER BY al.lieferant"));
        QSqlQuery setMain = connection.prepare(
            QStringLiteral("UPDATE artikel SET haupt_lief = ?, aend_pers = ?, aend_zeit = ? WHERE id = ?"));
        for (const auto &[article, by] : mainChanges) {
            connection.execute(mains, {list, article});
            QVariant main = nullNumber();
            while (connection.next(mains)) {
                if (mains.value(1).toString() == QLatin1String("J")) {
                    main = mains.value(0).toLongLong();
                    break;
                }
            }
            mains.finish();
            connection.execute(setMain, {main, by, when, article});
        }

        connection.run(QStringLiteral("INSERT INTO speicher_log (liste, artlief, laktiv, hlief, aend_pers, gesp_pers,"
                                      " gesp_zeit) SELECT liste, artlief, laktiv, hlief, aend_pers, ?, ?"
                                      " FROM liste_aend WHERE liste = ? AND COALESCE(aendsw, 0) <> 0"),
                       {saver, when, list});
        connection.run(QStringLiteral("DELETE FROM liste_aend WHERE liste = ?"), {list});
        connection.run(QStringLiteral("DELETE FROM liste_haupt WHERE liste = ?"), {list});
        if (!changes.empty()) // a save that found nothing to apply is no save of this list
            connection.run(QStringLiteral("UPDATE artliste SET gesp_pers = ?, gesp_zeit = ? WHERE id = ?"),
                           {saver, when, list});
        return static_cast<int>(changes.size());
    });
}

std::optional<Entry> OpenEntry(SqlConnection &connection, const QString &id) {
    connection.ensureOpen();
    const int split = id.indexOf(QStringLiteral("||"));
    if (split < 0)
        return std::nullopt;
    const qint64 list = ListKey(id.left(split));
    const std::optional<qint64> pair = wholeNumber(id.mid(split + 2));
    if (list < 0 || !pair)
        return std::nullopt;
    if (connection.lockedLists.count(list))
        return openLockedEntry(connection, list, *pair);
    static const QString sql = entryQuery("JOIN artlief al ON al.id = ?");
    const auto query = connection.runCached(sql, {*pair, list});
    if (!connection.next(*query))
        return std::nullopt;
    return makeEntry(list, *pair, entryValues(*query));
}

void SaveEntry(SqlConnection &connection, const Entry &entry, const std::optional<QString> &laktiv,
               const std::optional<QString> &hlief, const std::optional<int> &aendsw) {
    const QString by = personal(connection);
    connection.write([&] {
        lockList(connection, entry.list);
        const auto key = std::make_pair(entry.list, entry.article);
        if (!connection.touchedArticles.count(key))
            connection.touchedArticles[key] = readRules(connection, entry.list, entry.article);
        // Only the members changed in memory are written, so a flag another workstation set in the
        // meantime is not overwritten with the value this object read when it was opened.
        connection.runCached(
            QStringLiteral("INSERT INTO liste_aend (liste, artlief, artikel, laktiv, hlief, aendsw, aend_pers,"
                           " aend_zeit) VALUES (?, ?, ?, ?, ?, ?, ?, ?) ON CONFLICT (liste, artlief) DO UPDATE SET"
                           " laktiv = COALESCE(excluded.laktiv, liste_aend.laktiv),"
                           " hlief = COALESCE(excluded.hlief, liste_aend.hlief),"
                           " aendsw = COALESCE(excluded.aendsw, liste_aend.aendsw),"
                           " aend_pers = excluded.aend_pers, aend_zeit = excluded.aend_zeit"),
            {entry.list, entry.pair, entry.article, orNull(laktiv), orNull(hlief),
             aendsw ? QVariant(qlonglong(*aendsw)) : nullNumber(), by, SqlConnection::now()});
        connection.entryCache.erase({entry.list, entry.pair});
    });
}

} // namespace kxserver::lists

namespace kxserver {

void CheckTouchedArticles(SqlConnection &connection) {
    for (const auto &[key, before] : connection.touchedArticles) {
        const auto [list, article] = key;
        const SupplierRules after = lists::readRules(connection, list, article);
        QString reason;
        if (after.severalMains && !before.severalMains)
            reason = QStringLiteral("mehr als einen Hauptlieferanten");
        else if (after.inactiveMain && !before.inactiveMain)
            reason = QStringLiteral("einen inaktiven Hauptlieferanten");
        else if (after.noneActive && !before.noneActive)
            reason = QStringLiteral("keinen aktiven Lieferanten");
        if (!reason.isEmpty())
            throw Error(kRejected,
                        QStringLiteral("Die Änderung wurde abgelehnt: Artikel %1 hätte danach %2. Vermutlich wurde "
                                       "er inzwischen an einem anderen Arbeitsplatz geändert. Nichts davon wurde "
                                       "gespeichert; nach dem nächsten Start zeigt das Update den aktuellen Stand.")
                            .arg(lists::articleNumber(connection, article), reason));
        if (after.touchesMain)
            connection.runCached(
                QStringLiteral("INSERT INTO liste_haupt (liste, artikel, haupt_lief) VALUES (?, ?, ?)"
                               " ON CONFLICT (liste, artikel) DO UPDATE SET haupt_lief = excluded.haupt_lief"),
                {list, article, after.mainSupplier ? QVariant(after.mainSupplier) : lists::nullNumber()});
    }
}

} // namespace kxserver
