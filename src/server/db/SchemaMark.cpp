#include "server/db/SchemaMark.h"

#include <QSqlDatabase>
#include <QSqlQuery>

namespace kxserver {

namespace {

// Where a PostgreSQL database keeps its marker, asked of the catalogue alone: schema korvex, or
// public in databases of version 1. Only a plain table whose two columns are plain text counts:
// reading a view, a table under row security or a column of a type of somebody's making would run
// code that whoever made it chose, in the session of whoever asks (the admin's, in an upgrade).
QString postgresMarkerTable(QSqlDatabase &db) {
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral(
            "SELECT n.nspname FROM pg_catalog.pg_class c JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace"
            " WHERE c.relname = 'korvex_meta' AND n.nspname IN ('korvex', 'public') AND c.relkind = 'r'"
            " AND NOT c.relrowsecurity AND NOT c.relhasrules AND (SELECT pg_catalog.count(*) FROM pg_catalog.pg_attribute a"
            " WHERE a.attrelid = c.oid AND a.attnum > 0 AND NOT a.attisdropped AND a.atttypid = 'pg_catalog.text'::pg_catalog.regtype"
            " AND a.attname IN ('key', 'value') AND a.attgenerated = '') = 2"
            " ORDER BY n.nspname = 'korvex' DESC LIMIT 1")) ||
        !query.next())
        return QString();
    return query.value(0).toString() + QStringLiteral(".korvex_meta");
}

} // namespace

QString KorvexMetaTable(QSqlDatabase &db) {
    if (db.driverName() == QLatin1String("QPSQL"))
        return postgresMarkerTable(db);
    const QStringList tables = db.tables();
    return tables.contains(QStringLiteral("korvex_meta")) ? QStringLiteral("korvex_meta") : QString();
}

std::optional<int> KorvexSchemaVersion(QSqlDatabase &db) {
    // The catalogue first: on PostgreSQL a failing statement would spoil nothing here, but asking
    // the catalogue keeps the server log free of errors for every foreign database we look at. The
    // table is named with its schema: the admin's sessions search pg_catalog alone until the
    // database has been made safe, and whatever else a search path would find may be anybody's.
    const QString table = KorvexMetaTable(db);
    if (table.isEmpty())
        return std::nullopt;
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT key, value FROM %1 WHERE key IN ('schema', 'version')").arg(table)))
        return std::nullopt;
    bool marker = false;
    std::optional<int> version;
    while (query.next()) {
        const QString key = query.value(0).toString();
        const QString value = query.value(1).toString();
        bool ok = false;
        if (key == QLatin1String("schema"))
            marker = value == QLatin1String(kSchemaMarker);
        else if (key == QLatin1String("version") && value.toInt(&ok) >= 1 && ok)
            version = value.toInt();
    }
    return marker ? version : std::nullopt;
}

bool IsKorvexDatabase(QSqlDatabase &db) {
    return KorvexSchemaVersion(db) == kSchemaVersion;
}

QString SchemaVersionMessage(const QString &where, int found, const QString &upgradeTarget) {
    if (found < kSchemaVersion)
        return QStringLiteral("Die Datenbank %1 hat die Version %2 des KORVEX-Datenbankschemas; dieses Programm "
                              "braucht Version %3. Der Administrator bringt sie mit \"korvex-db upgrade %4\" auf "
                              "den neuen Stand.")
            .arg(where)
            .arg(found)
            .arg(kSchemaVersion)
            .arg(upgradeTarget);
    return QStringLiteral("Die Datenbank %1 hat die Version %2 des KORVEX-Datenbankschemas; dieses Programm kennt "
                          "nur Version %3 und ist zu alt für sie. Bitte eine neuere Version des Programms verwenden.")
        .arg(where)
        .arg(found)
        .arg(kSchemaVersion);
}

} // namespace kxserver
