#include "PgSecurity.h"

#include "DemoData.h"
#include "PgSecuritySql.h"
#include "Schema.h"

#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>

#include <libpq-fe.h>

#include <stdexcept>

namespace kxserver {

namespace {

QStringList column(QSqlDatabase &db, const QString &sql) {
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.exec(sql))
        throw std::runtime_error(QStringLiteral("%1: %2").arg(sql.left(60), query.lastError().text()).toStdString());
    QStringList values;
    while (query.next())
        values << query.value(0).toString();
    return values;
}

QString quoted(const QString &name) {
    return QLatin1Char('"') + QString(name).replace(QLatin1Char('"'), QStringLiteral("\"\"")) + QLatin1Char('"');
}

bool inTransaction(QSqlDatabase &db) {
    const QVariant handle = db.driver() ? db.driver()->handle() : QVariant();
    if (!handle.isValid() ||
        (qstrcmp(handle.typeName(), "pg_conn*") != 0 && qstrcmp(handle.typeName(), "PGconn*") != 0))
        return false;
    PGconn *connection = *static_cast<PGconn *const *>(handle.constData());
    return PQtransactionStatus(connection) == PQTRANS_INTRANS;
}

QString tableList() {
    QStringList names;
    for (const QString &table : SchemaTables())
        names << QLatin1Char('\'') + table + QLatin1Char('\'');
    return names.join(QLatin1Char(','));
}

// Everything a login other than the owner may have planted on our tables runs in the admin's
// session when the admin's tools write them (an upgrade, an import): triggers, rules and policies
// that are not ours go, and so does whatever the former owners still own here.
void removeForeignCode(QSqlDatabase &db, const QStringList &formerOwners) {
    const QStringList ours = PgTriggerNames();
    for (const QString &row : column(db, QStringLiteral("SELECT c.relname || '|' || t.tgname FROM pg_trigger t"
                                                        " JOIN pg_class c ON c.oid = t.tgrelid JOIN pg_namespace n"
                                                        " ON n.oid = c.relnamespace WHERE n.nspname = 'korvex'"
                                                        " AND NOT t.tgisinternal"))) {
        const QString table = row.section(QLatin1Char('|'), 0, 0);
        const QString trigger = row.section(QLatin1Char('|'), 1);
        if (!ours.contains(trigger))
            Exec(db, QStringLiteral("DROP TRIGGER %1 ON korvex.%2").arg(quoted(trigger), quoted(table)));
    }
    for (const QString &row : column(db, QStringLiteral("SELECT tablename || '|' || rulename FROM pg_rules"
                                                        " WHERE schemaname = 'korvex'")))
        Exec(db, QStringLiteral("DROP RULE %1 ON korvex.%2")
                     .arg(quoted(row.section(QLatin1Char('|'), 1)), quoted(row.section(QLatin1Char('|'), 0, 0))));
    for (const QString &row : column(db, QStringLiteral("SELECT tablename || '|' || policyname FROM pg_policies"
                                                        " WHERE schemaname = 'korvex'")))
        Exec(db, QStringLiteral("DROP POLICY %1 ON korvex.%2")
                     .arg(quoted(row.section(QLatin1Char('|'), 1)), quoted(row.section(QLatin1Char('|'), 0, 0))));
    for (const QString &table : column(db, QStringLiteral("SELECT tablename FROM pg_tables WHERE schemaname ="
                                                          " 'korvex' AND rowsecurity")))
        Exec(db, QStringLiteral("ALTER TABLE korvex.%1 DISABLE ROW LEVEL SECURITY").arg(quoted(table)));
    // Our columns' defaults are constants or identities; any other expression was put there.
    for (const QString &row :
         column(db, QStringLiteral("SELECT c.relname || '|' || a.attname FROM pg_attrdef d JOIN pg_class c ON c.oid ="
                                   " d.adrelid JOIN pg_namespace n ON n.oid = c.relnamespace JOIN pg_attribute a ON"
                                   " a.attrelid = d.adrelid AND a.attnum = d.adnum WHERE n.nspname = 'korvex'"
                                   " AND c.relname IN (%1) AND pg_get_expr(d.adbin, d.adrelid) !~ '^(''[^'']*''::text|"
                                   "-?[0-9]+)$'")
                        .arg(tableList())))
        Exec(db, QStringLiteral("ALTER TABLE korvex.%1 ALTER COLUMN %2 DROP DEFAULT")
                     .arg(quoted(row.section(QLatin1Char('|'), 0, 0)), quoted(row.section(QLatin1Char('|'), 1))));
    for (const QString &owner : formerOwners)
        Exec(db, QStringLiteral("DROP OWNED BY %1").arg(quoted(owner)));
}

// The owner role takes the database, the schema and our tables over, and nothing a former owner
// planted on them stays.
void takeOver(QSqlDatabase &db) {
    // pg_catalog is searched first all the same; what is created unqualified goes into korvex. Not
    // LOCAL: the caller's later statements (after its commit too) find the tables where they are now.
    Exec(db, QStringLiteral("SET search_path = korvex"));
    Exec(db, QStringLiteral("SET LOCAL client_min_messages = WARNING"));
    for (const char *role : {kPgOwnerRole, kPgClerksRole})
        Exec(db, QStringLiteral("DO $d$ BEGIN IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = '%1') THEN"
                                " CREATE ROLE %1 NOLOGIN; END IF; END $d$")
                     .arg(QLatin1String(role)));
    // The admin acts as the owner from now on (his tools create and change the owner's objects).
    Exec(db, QStringLiteral("DO $d$ BEGIN IF NOT pg_has_role(session_user, 'korvex_owner', 'MEMBER') THEN"
                            " EXECUTE format('GRANT korvex_owner TO %I', session_user); END IF; END $d$"));

    // Who owned our tables or the database before: the shared role of older set-ups.
    const QStringList formerOwners = column(
        db, QStringLiteral("SELECT DISTINCT r.rolname FROM pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace"
                           " JOIN pg_roles r ON r.oid = c.relowner WHERE n.nspname IN ('public', 'korvex')"
                           " AND c.relname IN (%1) AND r.rolname NOT IN ('korvex_owner', session_user)"
                           " AND NOT r.rolsuper"
                           " UNION SELECT r.rolname FROM pg_database d JOIN pg_roles r ON r.oid = d.datdba"
                           " WHERE d.datname = current_database() AND r.rolname NOT IN ('korvex_owner',"
                           " session_user) AND NOT r.rolsuper")
                .arg(tableList()));

    Exec(db, QStringLiteral("DO $d$ BEGIN EXECUTE format('ALTER DATABASE %I OWNER TO korvex_owner',"
                            " current_database()); END $d$"));
    Exec(db, QStringLiteral("CREATE SCHEMA IF NOT EXISTS korvex AUTHORIZATION korvex_owner"));
    Exec(db, QStringLiteral("ALTER SCHEMA korvex OWNER TO korvex_owner"));
    for (const QString &table : column(db, QStringLiteral("SELECT tablename FROM pg_tables WHERE schemaname ="
                                                          " 'public' AND tablename IN (%1)")
                                               .arg(tableList())))
        Exec(db, QStringLiteral("ALTER TABLE public.%1 SET SCHEMA korvex").arg(quoted(table)));
    for (const QString &table : column(db, QStringLiteral("SELECT tablename FROM pg_tables WHERE schemaname ="
                                                          " 'korvex' AND tableowner <> 'korvex_owner'")))
        Exec(db, QStringLiteral("ALTER TABLE korvex.%1 OWNER TO korvex_owner").arg(quoted(table)));
    removeForeignCode(db, formerOwners);

    // Nobody but the owner creates anything here; the clerks only connect.
    Exec(db, QStringLiteral("DO $d$ BEGIN EXECUTE format('REVOKE ALL ON DATABASE %I FROM PUBLIC',"
                            " current_database()); EXECUTE format('GRANT CONNECT ON DATABASE %I TO korvex_clerks',"
                            " current_database()); EXECUTE format('ALTER DATABASE %I SET search_path = korvex',"
                            " current_database()); END $d$"));
    Exec(db, QStringLiteral("REVOKE CREATE ON SCHEMA public FROM PUBLIC"));
    Exec(db, QStringLiteral("REVOKE ALL ON SCHEMA korvex FROM PUBLIC"));
}

void secure(QSqlDatabase &db) {
    takeOver(db);
    Exec(db, QStringLiteral("SET LOCAL ROLE korvex_owner"));
    Exec(db, QStringLiteral("CREATE EXTENSION IF NOT EXISTS pgcrypto WITH SCHEMA korvex"));
    for (const QString &statement : PgSecurityStatements())
        Exec(db, statement);
    Exec(db, QStringLiteral("RESET ROLE"));
}

} // namespace

void SecurePostgres(QSqlDatabase &db) {
    if (inTransaction(db)) {
        secure(db);
        return;
    }
    Exec(db, QStringLiteral("BEGIN"));
    try {
        secure(db);
        Exec(db, QStringLiteral("COMMIT"));
    } catch (...) {
        QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
        throw;
    }
}

void TakeOverPostgres(QSqlDatabase &db) {
    if (!inTransaction(db))
        throw std::runtime_error("TakeOverPostgres needs the caller's transaction");
    takeOver(db);
}

bool IsSecuredPostgres(QSqlDatabase &db) {
    QSqlQuery query(db);
    query.setForwardOnly(true);
    return query.exec(QStringLiteral("SELECT to_regclass('korvex.zugang') IS NOT NULL")) && query.next() &&
           query.value(0).toBool();
}

} // namespace kxserver
