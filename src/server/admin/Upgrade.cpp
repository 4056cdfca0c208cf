#include "server/admin/Upgrade.h"

#include "server/db/PlainDb.h"
#include "server/db/PasswordHash.h"
#include "server/admin/PgSecurity.h"
#include "server/admin/ScopedDb.h"
#include "session/ServerErrorCodes.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iterator>
#include <utility>
#include <vector>

namespace kxserver {

namespace {

void setVersion(QSqlDatabase &db, Backend backend, int version) {
    Exec(db, QStringLiteral("UPDATE korvex_meta SET value = '%1' WHERE key = 'version'").arg(version));
    if (backend == Backend::Sqlite)
        Exec(db, QStringLiteral("PRAGMA user_version = %1").arg(version));
}

// Every personnel password that is still plain text becomes a hash of itself. The plain texts
// never leave this function: bound values, and no message names one.
void hashPlainPasswords(QSqlDatabase &db) {
    QSqlQuery read(db);
    read.setForwardOnly(true);
    if (!read.exec(QStringLiteral("SELECT firma, code, passwort FROM pers_edv")))
        throw Error(kDatabase, read.lastError().text());
    std::vector<std::pair<QVariantList, QString>> plain;
    while (read.next())
        if (!IsPasswordHash(read.value(2).toString()))
            plain.push_back({{read.value(0), read.value(1)}, read.value(2).toString()});
    read.finish();
    QSqlQuery write(db);
    if (!write.prepare(QStringLiteral("UPDATE pers_edv SET passwort = ? WHERE firma = ? AND code = ?")))
        throw Error(kDatabase, write.lastError().text());
    for (const auto &[key, password] : plain) {
        write.addBindValue(HashPassword(password));
        write.addBindValue(key.at(0));
        write.addBindValue(key.at(1));
        if (!write.exec())
            throw Error(kDatabase,
                        QStringLiteral("Personal %1: %2").arg(key.at(1).toString(), write.lastError().text()));
    }
}

// Version 1 -> 2: passwords as hashes; the save log keeps the flags before each change (rows
// saved before have none: nobody wrote them down).
void step1(QSqlDatabase &db, Backend) {
    Exec(db, QStringLiteral("ALTER TABLE speicher_log ADD COLUMN laktiv_alt TEXT"));
    Exec(db, QStringLiteral("ALTER TABLE speicher_log ADD COLUMN hlief_alt TEXT"));
    hashPlainPasswords(db);
}

// Version 2 -> 3: every change row and every save-log row carries the list version that wrote it
// (the rows logged before: 0, older than any version a look has seen). The change rows there count
// as written at the list's current version: a workstation of an older version is not running (it
// refuses the new schema), so none has seen anything of them that a later look would miss.
void step2(QSqlDatabase &db, Backend backend) {
    Exec(db, QStringLiteral("ALTER TABLE liste_aend ADD COLUMN aend_nr BIGINT NOT NULL DEFAULT 0"));
    Exec(db, QStringLiteral("UPDATE liste_aend SET aend_nr = (SELECT l.version FROM artliste l WHERE l.id ="
                            " liste_aend.liste)"));
    Exec(db, QStringLiteral("CREATE INDEX liste_aend_nr ON liste_aend (liste, aend_nr)"));
    Exec(db, QStringLiteral("ALTER TABLE speicher_log ADD COLUMN aend_nr BIGINT NOT NULL DEFAULT 0"));
    Exec(db, QStringLiteral("CREATE INDEX speicher_log_nr ON speicher_log (liste, aend_nr)"));
    if (backend == Backend::Sqlite)
        for (const QString &statement : SqliteChangeNumberStatements())
            Exec(db, statement);
}

// Version 3 -> 4: on SQLite a change row that its writer numbered already is not written again
// (the triggers made anew with their condition). PostgreSQL numbers the row before it is written
// and keeps its trigger.
void step3(QSqlDatabase &db, Backend backend) {
    if (backend != Backend::Sqlite)
        return;
    Exec(db, QStringLiteral("DROP TRIGGER liste_aend_nr_neu"));
    Exec(db, QStringLiteral("DROP TRIGGER liste_aend_nr_aend"));
    for (const QString &statement : SqliteChangeNumberStatements())
        Exec(db, statement);
}

// Version 4 -> 5: on PostgreSQL the clerks' rights of version 4 let a determined clerk write what
// only "Speichern" may write; version 5 gives them the door korvex.speichern and takes those rights
// away. The step has nothing of its own to do: the take-over before it and the rights after it
// (RunUpgradeSteps) make the database what version 5 is. A workstation of version 4 refuses the
// new version, so none keeps writing the old way. The SQLite file only counts on.
void step4(QSqlDatabase &, Backend) {}

// Version 5 -> 6: the article's EAN, the pair's number in its supplier's catalog, the price history
// and the lists' price news. Every existing row keeps its values; the new columns are empty and the
// history starts with the next change (what a price was before was never written down).
void step5(QSqlDatabase &db, Backend backend) {
    Exec(db, QStringLiteral("ALTER TABLE artikel ADD COLUMN ean TEXT"));
    Exec(db, SchemaText("ALTER TABLE artlief ADD COLUMN lief_artnr %CODE%", backend));
    for (const QString &statement : PriceHistoryStatements(backend))
        Exec(db, statement);
}

using Step = void (*)(QSqlDatabase &, Backend);
// kSteps[n - 1] takes version n to n + 1.
const Step kSteps[] = {step1, step2, step3, step4, step5};
static_assert(std::size(kSteps) == kSchemaVersion - 1, "every schema version needs its upgrade step");

// The refusal of a database that is no KORVEX database, or one of a newer version.
cacheapi::ServerError currentVersionNote(const QString &where, const std::optional<int> &found) {
    if (!found)
        return Error(kUnusableDatabase, QStringLiteral("%1 ist keine KORVEX-Datenbank.").arg(where));
    return Error(kOtherVersion, SchemaVersionMessage(where, *found, QString()));
}

// The copy is for the file's owner and group only, whatever the file allows (the copy of an old
// version holds the passwords in plain text). The file keeps the rights its administrator gave it:
// the clerks' accounts must still reach it after the upgrade.
void keepRights(const QString &original, const QString &copy) {
    struct stat info {};
    if (::stat(QFile::encodeName(original).constData(), &info) != 0)
        return;
    const mode_t mode = info.st_mode & 0660;
    if (::chown(QFile::encodeName(copy).constData(), static_cast<uid_t>(-1), info.st_gid) != 0)
        ::chmod(QFile::encodeName(copy).constData(), mode & 0600);
    else
        ::chmod(QFile::encodeName(copy).constData(), mode);
}

// Opens the transaction, reads the version again under it (another upgrade may have run since the
// first look) and runs the missing steps. Throws the reason when it refused or failed.
void upgradeInTransaction(QSqlDatabase &db, Backend backend, const QString &where, int *from) {
    bool refused = false;
    try {
        Exec(db, backend == Backend::Sqlite ? QStringLiteral("BEGIN IMMEDIATE") : QStringLiteral("BEGIN"));
        if (backend == Backend::Postgres) {
            const QString meta = KorvexMetaTable(db);
            if (meta.isEmpty())
                throw Error(kDatabase, QStringLiteral("keine lesbare Tabelle korvex_meta"));
            Exec(db, QStringLiteral("LOCK TABLE %1 IN ACCESS EXCLUSIVE MODE").arg(meta));
        }
        const std::optional<int> found = KorvexSchemaVersion(db);
        if (!found || *found > kSchemaVersion) {
            Exec(db, QStringLiteral("ROLLBACK"));
            refused = true;
            throw currentVersionNote(where, found);
        }
        *from = *found;
        RunUpgradeSteps(db, backend, *found);
        Exec(db, QStringLiteral("COMMIT"));
    } catch (const std::exception &e) {
        if (refused)
            throw;
        QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
        throw FailedBecause(QStringLiteral("Das Upgrade von %1 ist gescheitert, nichts wurde geändert: ").arg(where), e);
    }
}

UpgradeResult upgradeSqlite(const DbTarget &target) {
    UpgradeResult result;
    const QString path = QFileInfo(target.path).absoluteFilePath();
    if (!QFileInfo(path).isFile())
        throw Error(kDatabase, QStringLiteral("Die Datei %1 gibt es nicht.").arg(path));
    ScopedDb scoped(QStringLiteral("QSQLITE"), QStringLiteral("korvex-upgrade"));
    QSqlDatabase db = scoped.db();
    // mode=rw: the upgrade never creates a file.
    db.setDatabaseName(QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded) + QStringLiteral("?mode=rw"));
    db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=30000"));
    if (!db.open())
        throw Error(kUnusableDatabase,
                    QStringLiteral("%1 kann nicht geöffnet werden: %2").arg(path, db.lastError().text()));
    const std::optional<int> found = KorvexSchemaVersion(db);
    if (!found || *found > kSchemaVersion)
        throw currentVersionNote(path, found);
    result.from = *found;
    if (*found == kSchemaVersion)
        return result;

    // The copy first, whole and consistent even while the file is in use (VACUUM INTO reads one
    // snapshot); it is the way back should anything of the new version disappoint.
    result.copy = QStringLiteral("%1.v%2-%3")
                      .arg(path)
                      .arg(*found)
                      .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")));
    QString quoted = result.copy;
    quoted.replace(QLatin1Char('\''), QStringLiteral("''"));
    // The copy holds the old version's plain passwords: it is created empty and the owner's alone
    // before VACUUM INTO fills it (which takes an empty file), never with the umask's mode, and
    // never through a file or link planted at its name.
    const int created =
        ::open(QFile::encodeName(result.copy).constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (created < 0)
        throw Error(kDatabase, QStringLiteral("Die Kopie %1 kann nicht angelegt werden, nichts wurde geändert: %2")
                                   .arg(result.copy, errno == EEXIST ? QStringLiteral("sie gibt es schon")
                                                                     : QString::fromLocal8Bit(std::strerror(errno))));
    ::close(created);
    QSqlQuery copy(db);
    if (!copy.exec(QStringLiteral("VACUUM INTO '%1'").arg(quoted))) {
        QFile::remove(result.copy);
        throw Error(kDatabase, QStringLiteral("Die Kopie %1 kann nicht angelegt werden, nichts wurde geändert: %2")
                                   .arg(result.copy, copy.lastError().text()));
    }
    copy.finish();
    keepRights(path, result.copy);
    try {
        upgradeInTransaction(db, Backend::Sqlite, path, &result.from);
    } catch (...) {
        QFile::remove(result.copy); // the file is as it was
        throw;
    }
    return result;
}

UpgradeResult upgradePostgres(const DbTarget &target) {
    UpgradeResult result;
    const QString where = QStringLiteral("korvex auf %1:%2").arg(target.host).arg(target.port);
    ScopedDb scoped(QStringLiteral("QPSQL"), QStringLiteral("korvex-upgrade"));
    QSqlDatabase db = scoped.db();
    if (!OpenAdminSession(db, target, QStringLiteral("korvex")))
        throw Error(kNotConnected,
                    QStringLiteral("Die Datenbank %1 ist nicht erreichbar: %2").arg(where, db.lastError().text()));
    const std::optional<int> found = KorvexSchemaVersion(db);
    if (!found || *found > kSchemaVersion)
        throw currentVersionNote(where, found);
    result.from = *found;
    if (*found == kSchemaVersion)
        return result;
    // A workstation in the middle of a step holds its locks for moments; one that hangs must not
    // keep the upgrade waiting for ever.
    QSqlQuery(db).exec(QStringLiteral("SET lock_timeout = '30s'")); // pg_catalog alone: see PgAdminConnectOptions
    QSqlQuery(db).exec(QStringLiteral("SET client_min_messages = WARNING"));
    upgradeInTransaction(db, Backend::Postgres, where, &result.from);
    return result;
}

} // namespace

void RunUpgradeSteps(QSqlDatabase &db, Backend backend, int from) {
    // On PostgreSQL the owner role takes the tables over first (those of version 1 are in "public",
    // owned by the shared login), so that nothing a former owner planted on them runs in this
    // session's writes; the clerks' rights and checks of this version follow at the end, when the
    // tables have their new columns.
    if (backend == Backend::Postgres && from < kSchemaVersion)
        TakeOverPostgres(db);
    for (int version = from; version < kSchemaVersion; ++version) {
        kSteps[version - 1](db, backend);
        setVersion(db, backend, version + 1);
    }
    if (backend == Backend::Postgres && from < kSchemaVersion)
        SecurePostgres(db);
}

UpgradeResult UpgradeDatabase(const DbTarget &target) {
    return target.backend == Backend::Sqlite ? upgradeSqlite(target) : upgradePostgres(target);
}

} // namespace kxserver
