#include "server/admin/KorvexDb.h"

#include "server/admin/DemoData.h"
#include "server/admin/PgSecurity.h"
#include "server/admin/ScopedDb.h"
#include "server/db/PlainDb.h"
#include "session/ServerErrorCodes.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryFile>
#include <QUrl>

#include <sys/stat.h>
#include <unistd.h>

namespace kxserver {

namespace {

// One transaction: on PostgreSQL the old tables are only gone when the new ones stand.
void fill(QSqlDatabase &db, Backend backend, const DbContent &content, const QStringList &before = {}) {
    Exec(db, QStringLiteral("BEGIN"));
    // Whatever anybody planted in the database goes before a statement of ours names a table
    // without its schema.
    if (backend == Backend::Postgres)
        TakeOverPostgres(db);
    for (const QString &statement : before)
        Exec(db, statement);
    for (const QString &statement : SchemaStatements(backend))
        Exec(db, statement);
    if (content.demo || content.benchmarkArticles > 0)
        FillDemoData(db, content);
    if (backend == Backend::Postgres)
        SecurePostgres(db); // the owner role takes the new tables over, the clerks get their rights
    Exec(db, QStringLiteral("COMMIT"));
    // Fresh statistics, so the planner takes the indexes from the first query on. Only our own
    // tables: a bare ANALYZE on PostgreSQL walks the catalogue too and warns about every shared
    // table that a login who is no superuser may not analyze.
    Exec(db, backend == Backend::Sqlite ? QStringLiteral("ANALYZE")
                                        : QStringLiteral("ANALYZE ") + SchemaTables().join(QStringLiteral(", ")));
}

// A refusal to overwrite names the way forward when the database there is one of ours of an older
// version: replacing it with --force would lose the merchant's data, the upgrade keeps them.
QString upgradeHint(QSqlDatabase &db, const QString &upgradeTarget) {
    const std::optional<int> found = KorvexSchemaVersion(db);
    if (!found || *found >= kSchemaVersion)
        return QString();
    return QStringLiteral(
               " Sie hat die Version %1; \"korvex-db upgrade %2\" bringt sie mit allen Daten auf Version %3.")
        .arg(*found)
        .arg(upgradeTarget)
        .arg(kSchemaVersion);
}

QString sqliteUpgradeHint(const QString &path) {
    ScopedDb scoped(QStringLiteral("QSQLITE"), QStringLiteral("korvex-db"));
    QSqlDatabase db = scoped.db();
    db.setDatabaseName(QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded) + QStringLiteral("?mode=ro"));
    db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_URI"));
    return db.open() ? upgradeHint(db, path) : QString();
}

void removeSqliteFiles(const QString &path) {
    for (const QString &suffix :
         {QString(), QStringLiteral("-wal"), QStringLiteral("-shm"), QStringLiteral("-journal")})
        QFile::remove(path + suffix);
}

void createSqlite(const DbTarget &target, const DbContent &content, bool force) {
    const QFileInfo info(target.path);
    const QString path = info.absoluteFilePath();
    if (info.exists() && !force)
        throw Error(kDatabase, QStringLiteral("%1 existiert bereits; zum Überschreiben --force angeben.").arg(path) +
                                   sqliteUpgradeHint(path));
    if (info.exists() && !info.isFile())
        throw Error(kDatabase, QStringLiteral("%1 ist keine Datei.").arg(path));
    if (!info.absoluteDir().exists())
        throw Error(kDatabase, QStringLiteral("Das Verzeichnis %1 existiert nicht.").arg(info.absolutePath()));

    // Built under a temporary name and renamed at the end: a failure leaves no half database behind,
    // and a replaced file changes its identity, so connected programs notice and reconnect.
    QString temporary;
    {
        QTemporaryFile file(path + QStringLiteral(".neu-XXXXXX"));
        if (!file.open())
            throw Error(kDatabase, QStringLiteral("In %1 kann keine Datei angelegt werden.").arg(info.absolutePath()));
        temporary = file.fileName();
        file.setAutoRemove(false);
    }
    try {
        {
            ScopedDb scoped(QStringLiteral("QSQLITE"), QStringLiteral("korvex-db"));
            QSqlDatabase db = scoped.db();
            db.setDatabaseName(temporary);
            if (!db.open())
                throw Error(kDatabase, db.lastError().text());
            Exec(db, QStringLiteral("PRAGMA application_id = %1").arg(kSqliteApplicationId));
            Exec(db, QStringLiteral("PRAGMA user_version = %1").arg(kSchemaVersion));
            Exec(db, QStringLiteral("PRAGMA journal_mode = WAL"));
            fill(db, Backend::Sqlite, content);
        }
        // Its rights before it gets its name: nobody ever opens it with wider ones.
        ProtectDatabaseFile(temporary);
        // Stale journal files of the old database must not be applied to the new one.
        if (force)
            removeSqliteFiles(path);
        if (!QFile::rename(temporary, path))
            throw Error(kDatabase, QStringLiteral("%1 kann nicht nach %2 umbenannt werden.").arg(temporary, path));
    } catch (const std::exception &e) {
        removeSqliteFiles(temporary);
        throw FailedBecause(QStringLiteral("Die Datenbank %1 wurde nicht angelegt: ").arg(path), e);
    }
}


void createPostgres(const DbTarget &target, const DbContent &content, bool force) {
    const QString where = QStringLiteral("%1:%2").arg(target.host).arg(target.port);
    {
        // The database itself, when the server does not have it yet (needs the CREATEDB right).
        ScopedDb scoped(QStringLiteral("QPSQL"), QStringLiteral("korvex-db"));
        QSqlDatabase db = scoped.db();
        if (!OpenAdminSession(db, target, QStringLiteral("postgres")))
            throw Error(
                kNotConnected,
                QStringLiteral("Der PostgreSQL-Server %1 ist nicht erreichbar: %2").arg(where, db.lastError().text()));
        QSqlQuery query(db);
        if (!query.exec(QStringLiteral("SELECT 1 FROM pg_database WHERE datname = 'korvex'")))
            throw Error(kDatabase, QStringLiteral("Abfrage auf %1 scheitert: %2").arg(where, query.lastError().text()));
        if (!query.next() && !query.exec(QStringLiteral("CREATE DATABASE korvex ENCODING 'UTF8' TEMPLATE template0")))
            throw Error(kDatabase, QStringLiteral("Die Datenbank korvex kann auf %1 nicht angelegt werden: %2")
                                       .arg(where, query.lastError().text()));
    }
    ScopedDb scoped(QStringLiteral("QPSQL"), QStringLiteral("korvex-db"));
    QSqlDatabase db = scoped.db();
    if (!OpenAdminSession(db, target, QStringLiteral("korvex")))
        throw Error(
            kNotConnected,
            QStringLiteral("Die Datenbank korvex auf %1 ist nicht erreichbar: %2").arg(where, db.lastError().text()));
    QStringList ours;
    {
        // Tables of a secured database are in schema korvex (listed with it), older ones in public.
        QStringList existing = db.tables();
        existing.replaceInStrings(QRegularExpression(QStringLiteral("^korvex\\.")), QString());
        for (const QString &table : SchemaTables())
            if (existing.contains(table))
                ours << table;
    }
    if (!ours.isEmpty() && !force)
        throw Error(kDatabase,
                    QStringLiteral("Die Datenbank korvex auf %1 enthält bereits Tabellen (%2); zum Überschreiben "
                                   "--force angeben.")
                            .arg(where, ours.join(QStringLiteral(", "))) +
                        upgradeHint(db, QStringLiteral("--pg ") + where));
    try {
        Exec(db, QStringLiteral("SET client_min_messages = WARNING")); // no notice per missing table
        QStringList drops;
        for (const QString &table : SchemaTables())
            drops << QStringLiteral("DROP TABLE IF EXISTS public.%1 CASCADE").arg(table)
                  << QStringLiteral("DROP TABLE IF EXISTS korvex.%1 CASCADE").arg(table);
        fill(db, Backend::Postgres, content, drops);
    } catch (const std::exception &e) {
        QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
        throw FailedBecause(QStringLiteral("Die Datenbank korvex auf %1 wurde nicht eingerichtet: ").arg(where), e);
    }
}

} // namespace

void CreateDatabase(const DbTarget &target, const DbContent &content, bool force) {
    if (target.backend == Backend::Sqlite)
        createSqlite(target, content, force);
    else
        createPostgres(target, content, force);
}

void CreateDemoDatabase(const QString &path, int benchmarkArticles) {
    DbTarget target;
    target.path = path;
    DbContent content;
    content.demo = true;
    content.benchmarkArticles = benchmarkArticles;
    CreateDatabase(target, content, true);
}

void ProtectDatabaseFile(const QString &path) {
    const QByteArray name = QFile::encodeName(path);
    struct stat folder {};
    if (::stat(QFile::encodeName(QFileInfo(path).absolutePath()).constData(), &folder) != 0)
        throw Error(kDatabase, QStringLiteral("Der Ordner von %1 ist nicht lesbar.").arg(path));
    // A folder of another group than the creator's own was set up for the clerks: the file joins
    // that group, which may read and write it. Anybody else never reads it: it holds the personnel
    // data with their password hashes.
    mode_t mode = 0600;
    if (folder.st_gid != ::getegid() && ::chown(name.constData(), static_cast<uid_t>(-1), folder.st_gid) == 0)
        mode = 0660;
    if (::chmod(name.constData(), mode) != 0)
        throw Error(kDatabase, QStringLiteral("Die Rechte von %1 können nicht gesetzt werden.").arg(path));
}

QString SqliteConnectString(const QString &path) {
    return QStringLiteral("cn_iptcp:%1[1972]:KORVEX").arg(QFileInfo(path).absoluteFilePath());
}

bool OpenAdminSession(QSqlDatabase &db, const DbTarget &target, const QString &database) {
    db.setHostName(target.host);
    db.setPort(target.port);
    db.setDatabaseName(database);
    db.setConnectOptions(PgAdminConnectOptions());
    return db.open();
}

cacheapi::ServerError FailedBecause(const QString &prefix, const std::exception &e) {
    const auto *server = dynamic_cast<const cacheapi::ServerError *>(&e);
    return Error(server ? ErrorCode(server->number()) : kDatabase,
                 prefix + (server ? server->description() : QString::fromStdString(e.what())));
}

} // namespace kxserver
