#include "server/exchange/Importer.h"

#include "server/exchange/ImportRun.h"
#include "session/ServerError.h"
#include "server/exchange/PriceHistory.h"
#include "server/lists/PriceNews.h"
#include "server/lists/UpdateLists.h"

#include <QFileInfo>
#include <QSet>

#include <algorithm>

namespace kxexchange {

const std::vector<ImportRun::Kind> &ImportRun::kinds() {
    static const std::vector<Kind> table{
        {QStringLiteral("lieferanten"), &ImportRun::lieferanten, {{"Lieferant-Nr", true}, {"Name", true}}},
        {QStringLiteral("artikel"),
         &ImportRun::artikel,
         {{"Artikel-Nr", true}, {"Bezeichnung", true}, {"Hauptlieferant-Nr", false}, {"EAN", false}}},
        {QStringLiteral("artlief"),
         &ImportRun::artlief,
         {{"Artikel-Nr", true},
          {"Lieferant-Nr", true},
          {"EK-Netto", true},
          {"per", true},
          {"Letzter Einkauf", false},
          {"Aktiv", false},
          {"Lieferanten-Artikel-Nr", false}}},
        {QStringLiteral("personal"),
         &ImportRun::personal,
         {{"Personalcode", true},
          {"Passwort", false},
          {"Aktiv", true},
          {"Name", true},
          {"Abteilung-Nr", false},
          {"Abteilung", false},
          {"DW", false},
          {"Berechtigungsgruppe", false},
          {"Personal-Nr", false},
          {"Fax", false},
          {"E-Mail", false}}},
        {QStringLiteral("update"), &ImportRun::update, {{"Artikel-Nr", true}, {"Vorschlag-Lieferant-Nr", false}}},
    };
    return table;
}

QStringList ImportKinds() {
    QStringList names;
    for (const ImportRun::Kind &kind : ImportRun::kinds())
        names << kind.name;
    return names;
}

QString CheckRequest(const ImportRequest &request) {
    QSet<QString> kinds;
    for (const ImportFile &file : request.files) {
        if (!ImportKinds().contains(file.kind))
            return QStringLiteral("unbekannte Art \"%1\" (erlaubt: %2).")
                .arg(file.kind, ImportKinds().join(QStringLiteral(", ")));
        if (kinds.contains(file.kind))
            return QStringLiteral("%1= ist doppelt angegeben.").arg(file.kind);
        kinds.insert(file.kind);
    }
    if (request.files.empty())
        return QStringLiteral("keine Datei angegeben (ART=DATEI, z. B. lieferanten=lief.csv).");
    const bool runOptions = request.runNr || !request.runBez.isEmpty() || request.runDatum.isValid();
    if (kinds.contains(QStringLiteral("update")) &&
        (!request.runNr || request.runBez.isEmpty() || !request.runDatum.isValid()))
        return QStringLiteral("update= braucht --nr, --bez und --datum.");
    if (!kinds.contains(QStringLiteral("update")) && runOptions)
        return QStringLiteral("--nr, --bez und --datum gehören zu update=.");
    if (request.firma < 1)
        return QStringLiteral("--firma braucht eine ganze Zahl ab 1.");
    return QString();
}

QString FileRows::name() const {
    return QFileInfo(m_path).fileName();
}

QString FileRows::value(const char *column) const {
    const int at = index(column);
    const QStringList &fields = m_reader->fields();
    return at >= 0 && at < fields.size() ? fields.at(at) : QString();
}

void ImportRun::fileError(const QString &where, const QString &what) {
    if (m_report.errors.size() < kMaxListedErrors)
        m_report.errors << ShownText(QStringLiteral("%1: %2").arg(where, what), 1000, true);
    ++m_report.errorCount;
}

void ImportRun::error(const FileRows &file, const char *column, const QString &what) {
    const QString where = column ? QStringLiteral("%1, Zeile %2, Spalte \"%3\"")
                                       .arg(file.name())
                                       .arg(file.line())
                                       .arg(QString::fromLatin1(column))
                                 : QStringLiteral("%1, Zeile %2").arg(file.name()).arg(file.line());
    fileError(where, what);
}

bool ImportRun::openFile(FileRows &file) {
    const auto kind =
        std::find_if(kinds().begin(), kinds().end(), [&](const Kind &k) { return k.name == file.kind(); });
    const std::vector<ColumnDef> &columns = kind->columns;
    QStringList known;
    for (const ColumnDef &column : columns)
        known << NormalizedHeader(QString::fromUtf8(column.name));
    if (!file.reader().open(file.path(), m_request.encoding, known)) {
        fileError(file.name(), file.reader().error());
        return false;
    }
    const QStringList &header = file.reader().header();
    for (int i = 0; i < header.size(); ++i) {
        const int at = int(known.indexOf(NormalizedHeader(header.at(i))));
        if (at < 0) {
            m_report.notes << QStringLiteral("%1: die Spalte \"%2\" wird nicht gelesen.")
                                  .arg(ShownText(file.name()), ShownText(header.at(i)));
            continue;
        }
        const QString name = QString::fromUtf8(columns.at(at).name);
        if (file.m_columns.contains(name)) {
            fileError(QStringLiteral("%1, Zeile 1").arg(file.name()),
                      QStringLiteral("die Spalte \"%1\" steht zweimal in der Kopfzeile").arg(name));
            return false;
        }
        file.m_columns.insert(name, i);
    }
    file.m_indexes.clear();
    bool complete = true;
    for (const ColumnDef &column : columns) {
        if (column.required && !file.m_columns.contains(QString::fromUtf8(column.name))) {
            fileError(QStringLiteral("%1, Zeile 1").arg(file.name()),
                      QStringLiteral("die Spalte \"%1\" fehlt (erwartet in der Kopfzeile: %2)")
                          .arg(QString::fromUtf8(column.name), known.join(QStringLiteral("; "))));
            complete = false;
        }
    }
    return complete;
}

bool ImportRun::nextRow(FileRows &file, qint64 *rows) {
    while (file.reader().next()) {
        ++*rows;
        if (m_request.progress && *rows % 4096 == 0)
            m_request.progress(file.name(), file.reader().bytesRead(), file.reader().size(), *rows);
        if (file.reader().fields().size() > file.reader().header().size()) {
            error(file, nullptr,
                  QStringLiteral("die Zeile hat %1 Felder, die Kopfzeile nur %2 (ein Trennzeichen zu viel, oder ein "
                                 "Feld mit Trennzeichen ohne Anführungszeichen?)")
                      .arg(file.reader().fields().size())
                      .arg(file.reader().header().size()));
            continue;
        }
        return true;
    }
    if (!file.reader().error().isEmpty())
        fileError(file.name(), file.reader().error());
    return false;
}

KindCount &ImportRun::count(const QString &kind) {
    for (KindCount &entry : m_report.counts)
        if (entry.kind == kind)
            return entry;
    m_report.counts.push_back({kind});
    return m_report.counts.back();
}

qint64 ImportRun::nextId(const char *table) {
    QSqlQuery query = m_db.run(QStringLiteral("SELECT COALESCE(MAX(id), 0) FROM %1").arg(QLatin1String(table)));
    const qint64 id = m_db.next(query) ? query.value(0).toLongLong() + 1 : 1;
    m_firstIds.emplace_back(QString::fromLatin1(table), id);
    return id;
}

void ImportRun::loadSuppliers() {
    QSqlQuery query =
        m_db.run(QStringLiteral("SELECT id, liefnr, name FROM lieferant WHERE firma = ?"), {m_request.firma});
    while (m_db.next(query)) {
        Supplier supplier;
        supplier.id = query.value(0).toLongLong();
        supplier.name = query.value(2).toString();
        m_suppliers.insert(query.value(1).toLongLong(), supplier);
        m_supplierNumbers.insert(supplier.id, query.value(1).toLongLong());
    }
}

void ImportRun::loadArticles() {
    // Only an artikel file compares descriptions; without one they would be some 20 MB per
    // 100,000 articles of nothing.
    const bool withBez = std::any_of(m_request.files.begin(), m_request.files.end(),
                                     [](const ImportFile &file) { return file.kind == QLatin1String("artikel"); });
    QSqlQuery query = m_db.run(QStringLiteral("SELECT id, artnr, bez, haupt_lief, ean FROM artikel WHERE firma = ?"),
                               {m_request.firma});
    while (m_db.next(query)) {
        Article article;
        article.id = query.value(0).toLongLong();
        if (withBez) {
            article.bez = query.value(2).toString();
            article.ean = query.value(4).toString();
        }
        article.main = query.value(3).isNull() ? 0 : query.value(3).toLongLong();
        m_articles.insert(query.value(1).toString(), article);
    }
}

QString ImportRun::touchedAt(const QString &articleNumber) const {
    const auto found = m_articles.constFind(articleNumber);
    if (found == m_articles.constEnd() || found->touchedLine == 0)
        return QString();
    return QStringLiteral("%1, Zeile %2").arg(m_fileNames.at(found->touchedFile)).arg(found->touchedLine);
}

qint32 ImportRun::fileIndex(const FileRows &file) {
    const QString name = file.name();
    if (m_fileNames.isEmpty() || m_fileNames.back() != name)
        m_fileNames << name;
    return qint32(m_fileNames.size() - 1);
}

// The rules the main window keeps for every article, on the state after all files of the call:
// its main supplier is one of its active suppliers, and it has at least one active supplier.
void ImportRun::checkArticles() {
    QSqlQuery query =
        m_db.run(QStringLiteral("SELECT a.artnr, a.haupt_lief, SUM(CASE WHEN al.aktiv = 'J' THEN 1 ELSE 0 END),"
                                " SUM(CASE WHEN al.aktiv = 'J' AND al.lieferant = a.haupt_lief THEN 1 ELSE 0 END)"
                                " FROM artikel a LEFT JOIN artlief al ON al.artikel = a.id WHERE a.firma = ?"
                                " GROUP BY a.id, a.artnr, a.haupt_lief ORDER BY a.artnr"),
                 {m_request.firma});
    while (m_db.next(query)) {
        const bool noneActive = query.value(2).toLongLong() == 0;
        if (!noneActive && (query.value(1).isNull() || query.value(3).toLongLong() != 0))
            continue; // both rules hold
        const QString where = touchedAt(query.value(0).toString());
        if (where.isEmpty())
            continue;
        if (noneActive)
            fileError(where, QStringLiteral("der Artikel %1 hätte danach keinen aktiven Lieferanten (erwartet: "
                                            "mindestens ein Lieferant mit Aktiv J)")
                                 .arg(query.value(0).toString()));
        else
            fileError(where, QStringLiteral("der Hauptlieferant %1 des Artikels %2 wäre danach keiner seiner aktiven "
                                            "Lieferanten")
                                 .arg(m_supplierNumbers.value(query.value(1).toLongLong()))
                                 .arg(query.value(0).toString()));
    }
}

// The same rules in every prepared list: an unsaved change there may have made another supplier
// main supplier, or kept one active that the master data now switch off.
void ImportRun::checkLists() {
    QSqlQuery query = m_db.run(
        QStringLiteral("SELECT a.artnr, r.nr, SUM(CASE WHEN COALESCE(o.laktiv, al.aktiv) = 'J' THEN 1 ELSE 0 END),"
                       " SUM(CASE WHEN COALESCE(o.laktiv, al.aktiv) = 'J' AND al.lieferant ="
                       " CASE WHEN h.liste IS NULL THEN a.haupt_lief ELSE h.haupt_lief END THEN 1 ELSE 0 END),"
                       " MAX(CASE WHEN h.liste IS NULL THEN a.haupt_lief ELSE h.haupt_lief END)"
                       " FROM artliste l JOIN upd_run r ON r.id = l.run JOIN upd_artikel u ON u.run = l.run"
                       " JOIN artikel a ON a.id = u.artikel JOIN artlief al ON al.artikel = a.id"
                       "%1%2 WHERE r.firma = ? AND (%3 OR h.liste IS NOT NULL)"
                       " GROUP BY l.id, r.nr, a.id, a.artnr ORDER BY a.artnr, r.nr")
            .arg(kxserver::lists::ChangeJoin(m_db.backend(), QStringLiteral("l.id"), QStringLiteral("al.id")),
                 kxserver::lists::MainSupplierJoin(m_db.backend(), QStringLiteral("l.id"), QStringLiteral("a.id"), "h"),
                 kxserver::lists::ArticleHasChange(m_db.backend(), QStringLiteral("l.id"), QStringLiteral("a.id"))),
        {m_request.firma});
    while (m_db.next(query)) {
        if (query.value(2).toLongLong() != 0 && (query.value(4).isNull() || query.value(3).toLongLong() != 0))
            continue; // both rules hold
        const QString where = touchedAt(query.value(0).toString());
        if (where.isEmpty())
            continue;
        const QString reason = query.value(2).toLongLong() == 0 ? QStringLiteral("keinen aktiven Lieferanten")
                               : !query.value(4).isNull() && query.value(3).toLongLong() == 0
                                   ? QStringLiteral("einen inaktiven Hauptlieferanten")
                                   : QString();
        if (!reason.isEmpty())
            fileError(where, QStringLiteral("der Artikel %1 hätte danach in der Artikelliste des Updates %2 (mit "
                                            "ihren noch nicht gespeicherten Änderungen) %3")
                                 .arg(query.value(0).toString(), query.value(1).toString(), reason));
    }
}

// Two phases: the files are read and every rule checked first, without a transaction and so
// without holding any lock while the files are read; only a clean call then writes, in one short
// unit under the write lock (and the lists' locks), where the rules are checked once more on the
// state as stored, in case a clerk changed a list in between. A dry run ends after the first phase.
ImportReport ImportRun::run() {
    m_report = ImportReport();
    try {
        for (const Kind &kind : kinds()) {
            for (const ImportFile &file : m_request.files) {
                if (file.kind != kind.name)
                    continue;
                if (!m_loaded) {
                    loadSuppliers();
                    loadArticles();
                    m_loaded = true;
                }
                FileRows rows(file.path, kind.name);
                count(kind.name);
                (this->*kind.read)(rows);
            }
        }
        if (clean())
            checkRulesAhead();
        if (clean() && !m_request.dryRun)
            write();
    } catch (const cacheapi::ServerError &failure) {
        m_db.rollbackUnit();
        fileError(QStringLiteral("Datenbank"), failure.description());
    }
    m_report.ok = clean();
    return m_report;
}

void ImportRun::write() {
    m_db.beginUnit();
    lockLists();
    // What came due since the last import or daily run goes first: the files' prices are newer.
    ApplyDuePrices(m_db, QDate::currentDate(), m_pricedArticles);
    // Another import that added rows since the files were read would collide with the ids given here.
    for (const auto &[table, first] : m_firstIds) {
        QSqlQuery query = m_db.run(QStringLiteral("SELECT COALESCE(MAX(id), 0) FROM %1").arg(table));
        if (m_db.next(query) && query.value(0).toLongLong() + 1 != first) {
            fileError(QStringLiteral("Datenbank"), QStringLiteral("während der Prüfung hat ein anderer Import neue "
                                                                  "Stammdaten angelegt; bitte den Import wiederholen"));
            m_db.rollbackUnit();
            return;
        }
    }
    QHash<QString, QSqlQuery> prepared;
    for (const auto &[sql, values] : m_writes) {
        if (sql.isEmpty()) {
            writeNewPairs();
            continue;
        }
        auto found = prepared.find(sql);
        if (found == prepared.end())
            found = prepared.insert(sql, m_db.prepare(sql));
        m_db.execute(*found, values);
    }
    m_writes.clear();
    kxserver::lists::TellPriceNews(m_db, m_pricedArticles);
    checkArticles();
    if (clean())
        checkLists();
    if (clean())
        m_db.commitUnit();
    else
        m_db.rollbackUnit();
}

QString DatabaseName(const kxserver::ConnectTarget &target) {
    return target.backend == kxserver::Backend::Sqlite
               ? target.path
               : QStringLiteral("korvex auf %1:%2").arg(target.host).arg(target.port);
}

QString UnreachableDatabase(const kxserver::ConnectTarget &target) {
    return QStringLiteral("Die Datenbank %1 ist nicht erreichbar oder keine KORVEX-Datenbank.")
        .arg(DatabaseName(target));
}

ImportReport Import(kxserver::SqlConnection &connection, const ImportRequest &request) {
    ImportRun run(connection, request);
    return run.run();
}

ImportReport Import(const kxserver::ConnectTarget &target, const ImportRequest &request) {
    ImportReport refused;
    refused.errorCount = 1;
    std::shared_ptr<kxserver::SqlConnection> connection;
    try {
        connection = kxserver::SqlConnection::open(target);
    } catch (const cacheapi::ServerError &failure) {
        refused.errors << failure.description(); // a damaged or read-only file
        return refused;
    }
    if (!connection) {
        refused.errors << UnreachableDatabase(target);
        return refused;
    }
    return Import(*connection, request);
}

} // namespace kxexchange
