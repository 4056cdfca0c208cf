#include "server/admin/PgAccess.h"

#include "server/admin/PgSecurity.h"
#include "server/admin/ScopedDb.h"
#include "server/db/PlainDb.h"
#include "session/ServerErrorCodes.h"

#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

#include <libpq-fe.h>

#include <functional>

namespace kxserver {

namespace {

QString quotedName(const QString &name) {
    return QLatin1Char('"') + QString(name).replace(QLatin1Char('"'), QStringLiteral("\"\"")) + QLatin1Char('"');
}

// A login name as libpq and psql take it without quoting trouble; the roles of the system and
// our own two are not clerks.
void checkLoginName(const QString &login) {
    static const QRegularExpression pattern(QStringLiteral("^[A-Za-z0-9_][A-Za-z0-9_.@-]{0,62}$"));
    if (!pattern.match(login).hasMatch())
        throw Error(kBadValue,
                    QStringLiteral("\"%1\" ist kein zulässiger Login-Name (1 bis 63 Zeichen: Buchstaben ohne Umlaute, "
                                   "Ziffern, _ . @ -).")
                        .arg(login));
    if (login.startsWith(QLatin1String("pg_")) || login == QLatin1String(kPgOwnerRole) ||
        login == QLatin1String(kPgClerksRole))
        throw Error(kBadValue,
                    QStringLiteral("\"%1\" ist eine Rolle der Datenbank, kein Login für Sachbearbeiter.").arg(login));
}

// One admin session on database korvex, finding names in pg_catalog alone (every statement here
// names its tables with their schema); `body` runs in one transaction, which a refusal or failure
// it throws rolls back.
void inTransaction(const DbTarget &target, const std::function<void(QSqlDatabase &)> &body) {
    const QString where = QStringLiteral("%1:%2").arg(target.host).arg(target.port);
    ScopedDb scoped(QStringLiteral("QPSQL"), QStringLiteral("korvex-zugang"));
    QSqlDatabase db = scoped.db();
    if (!OpenAdminSession(db, target, QStringLiteral("korvex")))
        throw Error(
            kNotConnected,
            QStringLiteral("Die Datenbank korvex auf %1 ist nicht erreichbar: %2").arg(where, db.lastError().text()));
    if (!IsSecuredPostgres(db))
        throw Error(kOtherVersion,
                    QStringLiteral("Die Datenbank korvex auf %1 hat noch keine Rollen für Sachbearbeiter; "
                                   "zuerst korvex-db --pg %1 (neue Datenbank) oder korvex-db upgrade --pg "
                                   "%1 aufrufen.")
                        .arg(where));
    Exec(db, QStringLiteral("BEGIN"));
    try {
        body(db);
        Exec(db, QStringLiteral("COMMIT"));
    } catch (...) {
        QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
        throw;
    }
}

struct RoleState {
    bool exists = false;
    bool clerk = false;    // member of korvex_clerks
    bool mightier = false; // superuser, CREATEROLE or member of the owner: never a clerk's login
};

RoleState roleState(QSqlDatabase &db, const QString &login) {
    QSqlQuery query(db);
    query.prepare(QStringLiteral("SELECT pg_has_role(oid, 'korvex_clerks', 'MEMBER'), rolsuper OR rolcreaterole OR"
                                 " pg_has_role(oid, 'korvex_owner', 'MEMBER') FROM pg_roles WHERE rolname = ?"));
    query.addBindValue(login);
    if (!query.exec())
        throw Error(kDatabase, query.lastError().text());
    RoleState state;
    if (query.next()) {
        state.exists = true;
        state.clerk = query.value(0).toBool();
        state.mightier = query.value(1).toBool();
    }
    return state;
}

QString verifier(QSqlDatabase &db, const QString &login, const QString &password) {
    PGconn *connection = PgHandle(db);
    char *text = connection ? PQencryptPasswordConn(connection, password.toUtf8().constData(),
                                                    login.toUtf8().constData(), "scram-sha-256")
                            : nullptr;
    if (!text)
        throw Error(kDatabase, QStringLiteral("Das Passwort kann nicht verschlüsselt werden: %1")
                                   .arg(connection ? QString::fromUtf8(PQerrorMessage(connection))
                                                   : QStringLiteral("keine Verbindung")));
    const QString result = QString::fromUtf8(text);
    PQfreemem(text);
    return result;
}

} // namespace

void SetPgLogin(const DbTarget &target, const QString &login, int firma, const QStringList &codes,
                const QString &password, bool *created, int connections) {
    checkLoginName(login);
    if (firma < 1)
        throw Error(kBadValue, QStringLiteral("Die Firma muss eine ganze Zahl ab 1 sein."));
    if (codes.isEmpty())
        throw Error(kBadValue, QStringLiteral("Mindestens einen Personalcode angeben."));
    if (password.isEmpty())
        throw Error(kBadValue, QStringLiteral("Das Passwort ist leer."));
    if (connections < 1 || connections > 1000)
        throw Error(kBadValue, QStringLiteral("Die Zahl der Verbindungen muss zwischen 1 und 1000 liegen."));
    inTransaction(target, [&](QSqlDatabase &db) {
        for (const QString &code : codes) {
            QSqlQuery query(db);
            query.prepare(QStringLiteral("SELECT 1 FROM korvex.pers_edv WHERE firma = ? AND code = ?"));
            query.addBindValue(firma);
            query.addBindValue(code);
            if (!query.exec())
                throw Error(kDatabase, query.lastError().text());
            if (!query.next())
                throw Error(kBadValue,
                            QStringLiteral("Den Personalcode \"%1\" gibt es in Firma %2 nicht.").arg(code).arg(firma));
        }
        const RoleState state = roleState(db, login);
        if (state.mightier)
            throw Error(
                kBadValue,
                QStringLiteral("Der Login %1 hat mehr Rechte als ein Sachbearbeiter (Superuser, CREATEROLE oder "
                               "Eigentümer der Datenbank) und wird nicht zum Login eines Sachbearbeiters.")
                    .arg(login));
        // Only the verifier reaches the server (and so its log), never the password.
        const QString secret = verifier(db, login, password);
        if (state.exists)
            Exec(db, QStringLiteral("ALTER ROLE %1 LOGIN NOCREATEDB CONNECTION LIMIT %3 PASSWORD '%2'")
                         .arg(quotedName(login), secret)
                         .arg(connections));
        else
            Exec(db, QStringLiteral("CREATE ROLE %1 LOGIN CONNECTION LIMIT %3 PASSWORD '%2'")
                         .arg(quotedName(login), secret)
                         .arg(connections));
        if (!state.clerk)
            Exec(db, QStringLiteral("GRANT korvex_clerks TO %1").arg(quotedName(login)));
        QSqlQuery drop(db);
        drop.prepare(QStringLiteral("DELETE FROM korvex.zugang WHERE login = ?"));
        drop.addBindValue(login);
        if (!drop.exec())
            throw Error(kDatabase, drop.lastError().text());
        for (const QString &code : codes) {
            QSqlQuery insert(db);
            insert.prepare(QStringLiteral("INSERT INTO korvex.zugang (login, firma, code) VALUES (?, ?, ?)"
                                          " ON CONFLICT DO NOTHING"));
            insert.addBindValue(login);
            insert.addBindValue(firma);
            insert.addBindValue(code);
            if (!insert.exec())
                throw Error(kDatabase, insert.lastError().text());
        }
        if (created)
            *created = !state.exists;
    });
}

void RemovePgLogin(const DbTarget &target, const QString &login) {
    checkLoginName(login);
    inTransaction(target, [&](QSqlDatabase &db) {
        const RoleState state = roleState(db, login);
        if (!state.exists)
            throw Error(kBadValue, QStringLiteral("Den Login %1 gibt es nicht.").arg(login));
        if (!state.clerk || state.mightier)
            throw Error(kBadValue,
                        QStringLiteral("Der Login %1 ist kein Login eines Sachbearbeiters und wird nicht entfernt.")
                            .arg(login));
        QSqlQuery drop(db);
        drop.prepare(QStringLiteral("DELETE FROM korvex.zugang WHERE login = ?"));
        drop.addBindValue(login);
        if (!drop.exec())
            throw Error(kDatabase, drop.lastError().text());
        // What the login made here goes with it: its large objects and default privileges would
        // keep the role from being dropped. Dropping them needs the login's rights, which an admin
        // who is no superuser takes by membership (gone with the role).
        Exec(db, QStringLiteral("DO $d$ BEGIN IF NOT pg_catalog.pg_has_role(session_user, %1, 'USAGE') THEN"
                                " EXECUTE pg_catalog.format('GRANT %I TO %I', %1, session_user); END IF; END $d$")
                     .arg(QLatin1Char('\'') + login + QLatin1Char('\'')));
        Exec(db, QStringLiteral("DROP OWNED BY %1").arg(quotedName(login)));
        Exec(db, QStringLiteral("DROP ROLE %1").arg(quotedName(login)));
    });
}

} // namespace kxserver
