#pragma once

#include <QString>
#include <QStringList>

class QSqlDatabase;

// PostgreSQL as the line the clerks cannot cross. The program's own logic runs on every
// workstation, so whatever a clerk's login may do with psql is what the database allows it:
//
// - role korvex_owner (no login) owns the database, schema "korvex" and every object in it;
//   nothing of ours stays in "public";
// - role korvex_clerks (no login) is the group of the clerks' logins: it reads what the program
//   reads (no personnel data: the login is checked by functions running with the owner's rights)
//   and writes the columns the program's steps write; triggers make sure they are written only the
//   way those steps write them, under a personnel code and company the login is mapped to
//   (table korvex.zugang), and a deferred check at commit keeps every touched article with one
//   active main supplier at most and an active supplier;
// - the admin's login (the one running korvex-db) becomes a member of korvex_owner; a login that
//   owned the tables before (the shared role of older set-ups) owns nothing afterwards and keeps
//   no right in the database.
//
// The program's sessions set their own search_path (pg_catalog first); the admin's sessions start
// with pg_catalog alone and take korvex in only once nothing in it is anybody else's.
namespace kxserver {

inline const char *const kPgSchema = "korvex";
inline const char *const kPgOwnerRole = "korvex_owner";
inline const char *const kPgClerksRole = "korvex_clerks";

// The connection options of every session of the admin's tool: until a session has made sure that
// the database holds nothing of anybody else's, it finds names in pg_catalog alone.
QString PgAdminConnectOptions();

// Brings database `db` (tables in "public" owned by their creator, or already secured) to the state
// above. Idempotent; runs inside the caller's transaction when one is open, otherwise in one of its
// own. Needs a superuser, or (for a fresh database, whose tables it made) a login with CREATEDB and
// CREATEROLE.
// Throws ServerError kDatabase with the database's message.
void SecurePostgres(QSqlDatabase &db);

// Only the first part of SecurePostgres, inside the caller's transaction: the owner role takes the
// database, schema and tables over, and whatever a former owner planted on them goes. For an
// upgrade, before it writes a row: the clerks' rights and our triggers follow once the tables have
// their new shape (SecurePostgres at the end).
void TakeOverPostgres(QSqlDatabase &db);
// True when `db` has been through SecurePostgres (schema and mapping table exist).
bool IsSecuredPostgres(QSqlDatabase &db);

} // namespace kxserver
