#include "server/admin/PgSecurity.h"

#include "server/db/PlainDb.h"
#include "server/admin/PgSecuritySql.h"
#include "server/admin/Schema.h"
#include "session/ServerErrorCodes.h"

#include <QSqlError>
#include <QSqlQuery>

#include <libpq-fe.h>


namespace kxserver {

namespace {

QString quoted(const QString &name) {
    return QLatin1Char('"') + QString(name).replace(QLatin1Char('"'), QStringLiteral("\"\"")) + QLatin1Char('"');
}

bool inTransaction(QSqlDatabase &db) {
    PGconn *connection = PgHandle(db);
    return connection && PQtransactionStatus(connection) == PQTRANS_INTRANS;
}

QString tableList() {
    QStringList names;
    for (const QString &table : SchemaTables())
        names << QLatin1Char('\'') + table + QLatin1Char('\'');
    return names.join(QLatin1Char(','));
}

// Rows of two columns: the statements below never build a name on the server. A session of ours
// searches pg_catalog alone until the take-over is done, and every catalogue name is qualified.
QList<QPair<QString, QString>> pairs(QSqlDatabase &db, const QString &sql) {
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.exec(sql))
        throw Error(kDatabase, QStringLiteral("%1: %2").arg(sql.left(60), query.lastError().text()));
    QList<QPair<QString, QString>> rows;
    while (query.next())
        rows.append({query.value(0).toString(), query.value(1).toString()});
    return rows;
}

const QString kOurTables = QStringLiteral(
    "SELECT c.oid FROM pg_catalog.pg_class c JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace"
    " WHERE n.nspname = 'korvex' AND c.relkind = 'r' AND c.relname IN (%1)");

// Code that somebody attached to our tables runs in the session of whoever writes or analyses them
// (the admin's tools among them): triggers, rules and policies that are not ours go, and so do
// non-constant defaults, generated columns' expressions, CHECK constraints and indexes on
// expressions (ours have none of these).
void removeForeignCode(QSqlDatabase &db) {
    // Each row: the catalogue's question (%1 our tables' oids) for a table and a name, and the
    // statement that removes what it found (%T the table, %N the name, both quoted here).
    const struct {
        const char *find;
        const char *remove;
    } kinds[] = {
        {"SELECT c.relname, t.tgname FROM pg_catalog.pg_trigger t JOIN pg_catalog.pg_class c ON c.oid = t.tgrelid"
         " WHERE t.tgrelid IN (%1) AND NOT t.tgisinternal AND t.tgname NOT IN (%2)",
         "DROP TRIGGER %N ON korvex.%T"},
        {"SELECT c.relname, r.rulename FROM pg_catalog.pg_rewrite r JOIN pg_catalog.pg_class c ON c.oid = r.ev_class"
         " WHERE r.ev_class IN (%1)",
         "DROP RULE %N ON korvex.%T"},
        {"SELECT c.relname, p.polname FROM pg_catalog.pg_policy p JOIN pg_catalog.pg_class c ON c.oid = p.polrelid"
         " WHERE p.polrelid IN (%1)",
         "DROP POLICY %N ON korvex.%T"},
        {"SELECT c.relname, '' FROM pg_catalog.pg_class c WHERE c.oid IN (%1)"
         " AND (c.relrowsecurity OR c.relforcerowsecurity)",
         "ALTER TABLE korvex.%T NO FORCE ROW LEVEL SECURITY, DISABLE ROW LEVEL SECURITY"},
        {"SELECT c.relname, a.attname FROM pg_catalog.pg_attribute a JOIN pg_catalog.pg_class c ON c.oid = a.attrelid"
         " WHERE a.attrelid IN (%1) AND a.attgenerated <> '' AND NOT a.attisdropped",
         "ALTER TABLE korvex.%T ALTER COLUMN %N DROP EXPRESSION"},
        // Our columns' defaults are constants; any other expression was put there.
        {"SELECT c.relname, a.attname FROM pg_catalog.pg_attrdef d JOIN pg_catalog.pg_class c ON c.oid = d.adrelid"
         " JOIN pg_catalog.pg_attribute a ON a.attrelid = d.adrelid AND a.attnum = d.adnum WHERE d.adrelid IN (%1)"
         " AND NOT a.attisdropped AND pg_catalog.pg_get_expr(d.adbin, d.adrelid) !~ '^(''[^'']*''::text|-?[0-9]+)$'",
         "ALTER TABLE korvex.%T ALTER COLUMN %N DROP DEFAULT"},
        {"SELECT c.relname, k.conname FROM pg_catalog.pg_constraint k JOIN pg_catalog.pg_class c ON c.oid = k.conrelid"
         " WHERE k.conrelid IN (%1) AND k.contype NOT IN ('p', 'u', 'f')",
         "ALTER TABLE korvex.%T DROP CONSTRAINT %N"},
        {"SELECT c.relname, '' FROM pg_catalog.pg_index i JOIN pg_catalog.pg_class c ON c.oid = i.indexrelid"
         " WHERE i.indrelid IN (%1) AND (i.indexprs IS NOT NULL OR i.indpred IS NOT NULL)"
         " AND NOT EXISTS (SELECT FROM pg_catalog.pg_constraint k WHERE k.conindid = i.indexrelid)",
         "DROP INDEX korvex.%T"},
    };
    QStringList ourTriggers;
    for (const QString &trigger : PgTriggerNames())
        ourTriggers << QLatin1Char('\'') + trigger + QLatin1Char('\'');
    const QString ours = kOurTables.arg(tableList());
    for (const auto &kind : kinds)
        for (const auto &[table, name] :
             pairs(db, QString::fromLatin1(kind.find)
                           .replace(QLatin1String("%1"), ours)
                           .replace(QLatin1String("%2"), ourTriggers.join(QLatin1Char(',')))))
            Exec(db, QString::fromLatin1(kind.remove)
                         .replace(QLatin1String("%T"), quoted(table))
                         .replace(QLatin1String("%N"), quoted(name)));
}

// Every right on our objects, the schemas and the database that anyone but the owner role holds
// goes (the clerks' rights are granted anew afterwards): grants the former owners made to other
// logins survive a change of owner otherwise, with the new owner named as their grantor.
void revokeForeignGrants(QSqlDatabase &db) {
    const auto grantee = [](const QString &name) { return name.isEmpty() ? QStringLiteral("PUBLIC") : quoted(name); };
    const QString others = QStringLiteral(
        " CROSS JOIN LATERAL pg_catalog.aclexplode(%1) x LEFT JOIN pg_catalog.pg_roles r ON r.oid = x.grantee"
        " WHERE x.grantee <> x.grantor AND COALESCE(r.rolname, '') NOT IN ('korvex_owner', 'pg_database_owner')");
    for (const auto &[relation, role] :
         pairs(db, QStringLiteral("SELECT DISTINCT c.relname, COALESCE(r.rolname, '') FROM pg_catalog.pg_class c"
                                  " JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace%1 AND n.nspname = 'korvex'")
                       .arg(others.arg(QStringLiteral("c.relacl")))))
        Exec(db, QStringLiteral("REVOKE ALL ON korvex.%1 FROM %2 CASCADE").arg(quoted(relation), grantee(role)));
    for (const auto &[function, role] :
         pairs(db, QStringLiteral("SELECT DISTINCT p.oid::pg_catalog.regprocedure::pg_catalog.text,"
                                  " COALESCE(r.rolname, '') FROM pg_catalog.pg_proc p JOIN pg_catalog.pg_namespace n"
                                  " ON n.oid = p.pronamespace%1 AND n.nspname = 'korvex' AND p.prokind IN ('f', 'p')")
                       .arg(others.arg(QStringLiteral("p.proacl")))))
        Exec(db, QStringLiteral("REVOKE ALL ON ROUTINE %1 FROM %2 CASCADE").arg(function, grantee(role)));
    for (const auto &[schema, role] :
         pairs(db, QStringLiteral("SELECT DISTINCT n.nspname, COALESCE(r.rolname, '') FROM pg_catalog.pg_namespace n%1"
                                  " AND n.nspname IN ('korvex', 'public') AND NOT (n.nspname = 'public'"
                                  " AND x.grantee = 0)")
                       .arg(others.arg(QStringLiteral("n.nspacl")))))
        Exec(db, QStringLiteral("REVOKE ALL ON SCHEMA %1 FROM %2 CASCADE").arg(quoted(schema), grantee(role)));
    for (const auto &[database, role] :
         pairs(db, QStringLiteral("SELECT DISTINCT d.datname, COALESCE(r.rolname, '') FROM pg_catalog.pg_database d%1"
                                  " AND d.datname = pg_catalog.current_database()")
                       .arg(others.arg(QStringLiteral("d.datacl")))))
        Exec(db, QStringLiteral("REVOKE ALL ON DATABASE %1 FROM %2 CASCADE").arg(quoted(database), grantee(role)));
}

// The owner role takes the database, the schema and our tables over, and nothing that anybody else
// planted in the database stays. Runs before anything else touches the database's contents: until
// its end the session finds names in pg_catalog alone, and it names every other object with its
// schema.
void takeOver(QSqlDatabase &db) {
    Exec(db, QStringLiteral("SET LOCAL search_path = pg_catalog"));
    Exec(db, QStringLiteral("SET LOCAL client_min_messages = WARNING"));
    for (const char *role : {kPgOwnerRole, kPgClerksRole})
        Exec(db, QStringLiteral("DO $d$ BEGIN IF NOT EXISTS (SELECT FROM pg_catalog.pg_roles WHERE rolname = '%1') THEN"
                                " CREATE ROLE %1 NOLOGIN; END IF; END $d$")
                     .arg(QLatin1String(role)));
    // The admin acts as the owner from now on (his tools create and change the owner's objects).
    Exec(db, QStringLiteral("DO $d$ BEGIN IF NOT pg_catalog.pg_has_role(session_user, 'korvex_owner', 'MEMBER')"
                            " THEN EXECUTE pg_catalog.format('GRANT korvex_owner TO %I', session_user); END IF; END $d$"));

    // Whoever owns anything in this database or the database itself, but the owner role and the
    // admin: the shared role of older set-ups, a login that made schemas, functions, operators,
    // views or large objects of its own. Being a superuser is no reason to be trusted with code in
    // somebody else's database. (The bootstrap superuser's own objects are the system's.)
    QStringList foreign;
    for (const auto &[role, unused] : pairs(
             db, QStringLiteral("SELECT r.rolname, '' FROM pg_catalog.pg_roles r WHERE r.oid <> 10"
                                " AND r.rolname NOT IN ('korvex_owner', session_user) AND (r.oid IN (SELECT s.refobjid"
                                " FROM pg_catalog.pg_shdepend s JOIN pg_catalog.pg_database d ON d.oid = s.dbid"
                                " WHERE d.datname = pg_catalog.current_database() AND s.deptype = 'o'"
                                " AND s.refclassid = 'pg_catalog.pg_authid'::pg_catalog.regclass) OR r.oid = (SELECT"
                                " d.datdba FROM pg_catalog.pg_database d WHERE d.datname = pg_catalog.current_database()))"
                                " ORDER BY 1")))
        foreign << role;

    // Settings of this database, for everyone or for one login, chose what the sessions here find
    // by name before they could choose themselves.
    const QString database =
        quoted(pairs(db, QStringLiteral("SELECT pg_catalog.current_database(), ''")).value(0).first);
    for (const auto &[role, unused] :
         pairs(db, QStringLiteral("SELECT COALESCE(r.rolname, ''), '' FROM pg_catalog.pg_db_role_setting s"
                                  " JOIN pg_catalog.pg_database d ON d.oid = s.setdatabase LEFT JOIN pg_catalog.pg_roles r"
                                  " ON r.oid = s.setrole WHERE d.datname = pg_catalog.current_database()")))
        Exec(db, role.isEmpty() ? QStringLiteral("ALTER DATABASE %1 RESET ALL").arg(database)
                                : QStringLiteral("ALTER ROLE %1 IN DATABASE %2 RESET ALL").arg(quoted(role), database));
    Exec(db, QStringLiteral("ALTER DATABASE %1 OWNER TO korvex_owner").arg(database));
    Exec(db, QStringLiteral("CREATE SCHEMA IF NOT EXISTS korvex AUTHORIZATION korvex_owner"));
    Exec(db, QStringLiteral("ALTER SCHEMA korvex OWNER TO korvex_owner"));
    for (const auto &[table, unused] : pairs(
             db, QStringLiteral("SELECT c.relname, '' FROM pg_catalog.pg_class c JOIN pg_catalog.pg_namespace n"
                                " ON n.oid = c.relnamespace WHERE n.nspname = 'public' AND c.relkind = 'r'"
                                " AND c.relname IN (%1)")
                     .arg(tableList())))
        Exec(db, QStringLiteral("ALTER TABLE public.%1 SET SCHEMA korvex").arg(quoted(table)));
    for (const auto &[table, unused] :
         pairs(db, QStringLiteral("SELECT c.relname, '' FROM pg_catalog.pg_class c WHERE c.oid IN (%1)"
                                  " AND c.relowner <> 'korvex_owner'::pg_catalog.regrole")
                       .arg(kOurTables.arg(tableList()))))
        Exec(db, QStringLiteral("ALTER TABLE korvex.%1 OWNER TO korvex_owner").arg(quoted(table)));
    removeForeignCode(db);
    // What they still own here goes, with whatever depends on it (their default privileges and
    // large objects included), and with it every right granted to them here.
    for (const QString &owner : foreign)
        Exec(db, QStringLiteral("DROP OWNED BY %1 CASCADE").arg(quoted(owner)));
    revokeForeignGrants(db);

    // Nobody but the owner creates anything here; the clerks only connect.
    Exec(db, QStringLiteral("REVOKE ALL ON DATABASE %1 FROM PUBLIC").arg(database));
    Exec(db, QStringLiteral("GRANT CONNECT ON DATABASE %1 TO korvex_clerks").arg(database));
    Exec(db, QStringLiteral("ALTER DATABASE %1 SET search_path = korvex").arg(database));
    Exec(db, QStringLiteral("REVOKE CREATE ON SCHEMA public FROM PUBLIC"));
    Exec(db, QStringLiteral("REVOKE ALL ON SCHEMA korvex FROM PUBLIC"));
    // Large objects are anybody's to make unless taken away: a clerk's would fill the disk and keep
    // his login from being removed. Only a superuser may take it away (PUBLIC keeps it in PUBLIC's
    // own schema, pg_catalog, of each database).
    Exec(db, QStringLiteral("DO $d$ BEGIN IF (SELECT r.rolsuper FROM pg_catalog.pg_roles r WHERE r.rolname ="
                            " session_user) THEN REVOKE EXECUTE ON FUNCTION pg_catalog.lo_creat(integer),"
                            " pg_catalog.lo_create(oid), pg_catalog.lo_from_bytea(oid, bytea),"
                            " pg_catalog.lo_import(text), pg_catalog.lo_import(text, oid) FROM PUBLIC; END IF; END $d$"));
    // From here on our own names mean our tables: nothing in schema korvex is anybody else's now.
    // Not LOCAL: the caller's later statements (after its commit too) find the tables where they
    // are now, and create what they create there.
    Exec(db, QStringLiteral("SET search_path = korvex"));
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

QString PgAdminConnectOptions() {
    // The search path travels in the connection's start-up packet, so it holds from the very first
    // statement (the driver's own questions after connecting included) and outranks whatever the
    // database or a role set for its sessions.
    return QStringLiteral("connect_timeout=5;application_name=korvex-db;options=-csearch_path=pg_catalog");
}

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
        throw Error(kDatabase, QStringLiteral("TakeOverPostgres needs the caller's transaction"));
    takeOver(db);
}

bool IsSecuredPostgres(QSqlDatabase &db) {
    QSqlQuery query(db);
    query.setForwardOnly(true);
    return query.exec(QStringLiteral("SELECT to_regclass('korvex.zugang') IS NOT NULL")) && query.next() &&
           query.value(0).toBool();
}

} // namespace kxserver
