// PostgreSQL as the boundary: what a clerk's own login may do, whoever sends the statements, and
// that the program's steps still work for it. Runs as the logins "korvex-db zugang" makes.

#include "server/db/PasswordHash.h"
#include "server/admin/PgAccess.h"
#include "session/ServerError.h"
#include "PgCluster.h"
#include "server/admin/PgSecurity.h"
#include "server/admin/Schema.h"
#include "ServerFixture.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>

#include <libpq-fe.h>

#include <cstdlib>
#include <iostream>

using namespace kxserver;

namespace {

const QString kClerk = QStringLiteral("h2_anna");

// Hand-written statements name the demo data by their numbers.
const QString kList = QStringLiteral("(SELECT l.id FROM artliste l JOIN upd_run r ON r.id = l.run WHERE r.firma = 1"
                                     " AND r.nr = 3)");
const QString kArticle = QStringLiteral("(SELECT id FROM artikel WHERE firma = 1 AND artnr = '100001')");
// Company 2's list and its article of the same number.
const QString kOtherList = QStringLiteral("(SELECT l.id FROM artliste l JOIN upd_run r ON r.id = l.run"
                                          " WHERE r.firma = 2 AND r.nr = 1)");
const QString kOtherArticle = QStringLiteral("(SELECT id FROM artikel WHERE firma = 2 AND artnr = '100001')");
QString pair(int liefnr) {
    return QStringLiteral("(SELECT al.id FROM artlief al JOIN lieferant f ON f.id = al.lieferant WHERE al.artikel = %1"
                          " AND f.liefnr = %2)")
        .arg(kArticle)
        .arg(liefnr);
}
QString supplier(int liefnr) {
    return QStringLiteral("(SELECT id FROM lieferant WHERE firma = 1 AND liefnr = %1)").arg(liefnr);
}
QString pending(int liefnr, const QString &laktiv, const QString &hlief, const QString &by = QStringLiteral("DEMO")) {
    return QStringLiteral(
               "INSERT INTO liste_aend (liste, artlief, artikel, laktiv, hlief, aendsw, aend_pers, aend_zeit)"
               " VALUES (%1, %2, %3, %4, %5, 1, '%6', 'x')")
        .arg(kList, pair(liefnr), kArticle, laktiv, hlief, by);
}

// The writers' lock, as the program takes it before it writes a list's changes.
QString lock() {
    return QStringLiteral("UPDATE artliste SET version = version + 1 WHERE id = %1").arg(kList);
}

// A plain connection under a login, as psql would have it.
class Plain {
public:
    explicit Plain(const korvextest::PgCluster &pg, const QString &login)
        : m_name(QUuid::createUuid().toString(QUuid::Id128)) {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), m_name);
        db.setHostName(pg.host());
        db.setPort(pg.port());
        db.setDatabaseName(QStringLiteral("korvex"));
        db.setUserName(login);
        m_open = db.open();
    }
    ~Plain() {
        QSqlDatabase::database(m_name, false).close();
        QSqlDatabase::removeDatabase(m_name);
    }
    bool open() const { return m_open; }
    // The first value a query answers, or the error.
    QString value(const QString &sql) {
        QSqlQuery query(QSqlDatabase::database(m_name, false));
        if (!query.exec(sql))
            return query.lastError().nativeErrorCode();
        return query.next() ? query.value(0).toString() : QString();
    }
    // Runs the statements in one transaction; the first error (the commit's included), or empty.
    QString run(const QStringList &statements) {
        QSqlDatabase db = QSqlDatabase::database(m_name, false);
        QSqlQuery query(db);
        for (const QString &statement : QStringList{QStringLiteral("BEGIN")} + statements) {
            if (!query.exec(statement)) {
                const QString error =
                    query.lastError().nativeErrorCode() + QLatin1Char(' ') + query.lastError().databaseText();
                query.exec(QStringLiteral("ROLLBACK"));
                return error;
            }
        }
        if (!query.exec(QStringLiteral("COMMIT"))) // a failed commit has ended the transaction
            return query.lastError().nativeErrorCode() + QLatin1Char(' ') + query.lastError().databaseText();
        return QString();
    }

private:
    QString m_name;
    bool m_open = false;
};

} // namespace

class ClerkTest : public ServerTest {
protected:
    void SetUp() override {
        ServerTest::SetUp();
        if (HasFatalFailure())
            return;
        ASSERT_NO_THROW(SetPgLogin(target(), kClerk, 1, {QStringLiteral("DEMO")}, QStringLiteral("anna-geheim")));
        // The personnel passwords as the login stores them: bcrypt hashes.
        rawSql(QStringLiteral("UPDATE pers_edv SET passwort = '%1' WHERE firma = 1 AND code = 'DEMO';"
                              " UPDATE pers_edv SET passwort = '%2' WHERE firma = 1 AND code = 'KOLLEGE'")
                   .arg(HashPassword(QStringLiteral("demo"), 4), HashPassword(QStringLiteral("kollege"), 4)));
    }

    DbTarget target() const {
        DbTarget t;
        t.backend = Backend::Postgres;
        t.host = cluster().host();
        t.port = cluster().port();
        return t;
    }

    // The program's factory, connected under `login`, with the session of company 1 and `personal`.
    cacheapi::FactoryPtr as(const QString &login, const QString &personal = QStringLiteral("DEMO")) const {
        ::setenv("PGUSER", login.toUtf8().constData(), 1);
        cacheapi::FactoryPtr factory = MakeSqlFactory();
        const bool connected = factory->connectTo(connectString());
        ::setenv("PGUSER", cluster().user().toUtf8().constData(), 1);
        EXPECT_TRUE(connected) << login.toStdString();
        if (connected)
            session(*factory, 1, personal);
        return factory;
    }
};

TEST_P(ClerkTest, ForbiddenActionsAreRefusedByTheDatabase) {
    // The list exists, as once a clerk picked the update.
    listKey(*as(kClerk), QStringLiteral("3"));
    // Written by company 2's clerks: a pending main-supplier change; and in company 1's list a change
    // not yet numbered (aendsw 0) of another article.
    rawSql("INSERT INTO artliste (run, version) SELECT id, 1 FROM upd_run WHERE firma = 2 AND nr = 1;"
           " INSERT INTO liste_aend (liste, artlief, artikel, hlief, aendsw, aend_pers, aend_zeit) SELECT " +
           kOtherList +
           ", al.id, al.artikel, CASE f.liefnr WHEN 80002 THEN 'J' ELSE 'N' END, 1, 'DEMO', 'x'"
           " FROM artlief al JOIN lieferant f ON f.id = al.lieferant WHERE al.artikel = " +
           kOtherArticle +
           ";"
           " INSERT INTO liste_aend (liste, artlief, artikel, aendsw, aend_pers) SELECT " +
           kList +
           ", id, artikel, 0, 'KOLLEGE' FROM artlief WHERE artikel = (SELECT id FROM artikel WHERE firma = 1"
           " AND artnr = '100002') LIMIT 1");
    Plain clerk(cluster(), kClerk);
    ASSERT_TRUE(clerk.open());
    const struct {
        const char *what;
        QStringList statements;
    } cases[] = {
        {"read passwords", {"SELECT passwort FROM pers_edv"}},
        {"read personnel data", {"SELECT code, aktiv FROM pers_edv"}},
        {"read the login mapping", {"SELECT * FROM zugang"}},
        {"read audit columns", {"SELECT aend_pers FROM artlief"}},
        {"read who saved what", {"SELECT gesp_pers FROM speicher_log"}},
        {"read who recorded a price", {"SELECT erf_pers FROM preis_hist"}},
        {"read where a price came from", {"SELECT quelle, erf_zeit FROM preis_hist"}},
        {"read the supplier's article numbers", {"SELECT lief_artnr FROM artlief"}},
        {"write a price's history",
         {"INSERT INTO preis_hist (artlief, ek_neu, pe_neu, gueltig_ab, quelle, erf_zeit, erf_pers) VALUES (" +
          pair(70001) + ", 1, 'Stk', '2000-01-01', 'Hand', 'x', 'DEMO')"}},
        {"rewrite a price's history", {"UPDATE preis_hist SET ek_neu = 1"}},
        {"drop a price's history", {"DELETE FROM preis_hist"}},
        {"announce prices to the lists", {"INSERT INTO liste_preis (liste, artikel, aend_nr) VALUES (" + kList +
                                          ", " + kArticle + ", 1)"}},
        {"create a table", {"CREATE TABLE korvex.x (a int)"}},
        {"create a table in public", {"CREATE TABLE public.x (a int)"}},
        {"create a temporary table", {"CREATE TEMP TABLE x (a int)"}},
        {"create a function", {"CREATE FUNCTION public.f() RETURNS int LANGUAGE sql AS 'SELECT 1'"}},
        {"create a schema", {"CREATE SCHEMA x"}},
        {"create a trigger",
         {"CREATE TRIGGER x BEFORE UPDATE ON artlief FOR EACH ROW EXECUTE FUNCTION korvex.speicher_log_neu()"}},
        {"drop a table", {"DROP TABLE speicher_log"}},
        {"truncate", {"TRUNCATE liste_aend"}},
        {"alter a table", {"ALTER TABLE artikel ADD COLUMN x int"}},
        {"become the owner", {"SET ROLE korvex_owner"}},
        {"grant oneself the owner", {"GRANT korvex_owner TO h2_anna"}},
        {"write personnel data", {"UPDATE pers_edv SET aktiv = 'J'"}},
        {"add a supplier", {"INSERT INTO lieferant (id, firma, liefnr, name) VALUES (999999, 1, 999999, 'x')"}},
        {"change a description", {"UPDATE artikel SET bez = 'x' WHERE id = " + kArticle}},
        {"change a price", {"UPDATE artlief SET ek_cent = 1 WHERE id = " + pair(70001)}},
        {"drop a supplier of an article", {"DELETE FROM artlief WHERE id = " + pair(70006)}},
        {"set a master flag without a saved change",
         {"UPDATE artlief SET aktiv = 'N', aend_pers = 'DEMO', gesp_pers = 'DEMO' WHERE id = " + pair(70012)}},
        {"set the master main supplier without a saved change",
         {"UPDATE artikel SET haupt_lief = " + supplier(70012) + ", aend_pers = 'DEMO' WHERE id = " + kArticle}},
        {"forge the save log",
         {"INSERT INTO speicher_log (liste, artlief, laktiv, hlief, aend_pers, gesp_pers, gesp_zeit) VALUES (" + kList +
          ", " + pair(70012) + ", 'N', NULL, 'DEMO', 'DEMO', 'x')"}},
        {"number a save log's row",
         {lock(), "INSERT INTO speicher_log (id, liste, artlief, gesp_pers, gesp_zeit) VALUES (1, " + kList + ", " +
                      pair(70012) + ", 'DEMO', 'x')"}},
        {"rewrite the save log", {"UPDATE speicher_log SET gesp_pers = 'X'"}},
        {"empty the save log", {"DELETE FROM speicher_log"}},
        {"write under a colleague's code", {lock(), pending(70012, "'N'", "NULL", "KOLLEGE")}},
        {"prepare a list of another company",
         {"INSERT INTO artliste (run, erst_pers, erst_zeit) SELECT id, 'DEMO', 'x' FROM upd_run WHERE firma = 2"}},
        {"save a list under a colleague's code", {"UPDATE artliste SET gesp_pers = 'KOLLEGE' WHERE id = " + kList}},
        {"jump the list's version", {"UPDATE artliste SET version = version + 5 WHERE id = " + kList}},
        {"two main suppliers", {lock(), pending(70012, "NULL", "'J'")}},
        {"an inactive main supplier", {lock(), pending(70001, "'N'", "NULL")}},
        {"no active supplier",
         {lock(), pending(70001, "'N'", "'N'"), pending(70012, "'N'", "'N'"), pending(70015, "'N'", "'N'"),
          "INSERT INTO liste_haupt (liste, artikel, haupt_lief) VALUES (" + kList + ", " + kArticle + ", NULL)"}},
        {"a list's main supplier its entries do not give",
         {"INSERT INTO liste_haupt (liste, artikel, haupt_lief) VALUES (" + kList + ", " + kArticle + ", " +
          supplier(70012) + ")"}},
        {"drop changes without saving them",
         {lock(), pending(70006, "'J'", "NULL"), "DELETE FROM liste_aend WHERE liste = " + kList}},
        {"number a change", {lock(), pending(70006, "'J'", "NULL"), "UPDATE liste_aend SET aend_nr = 0"}},
        {"set another company's main supplier while a change is pending",
         {"UPDATE artikel SET haupt_lief = NULL, aend_pers = 'DEMO', aend_zeit = '1990' WHERE id = " + kOtherArticle}},
        {"apply a pending change without Speichern",
         {lock(), pending(70006, "'J'", "NULL"),
          "UPDATE artlief SET aktiv = 'J', aend_pers = 'DEMO', gesp_pers = 'DEMO' WHERE id = " + pair(70006)}},
        {"forge a thousand log rows and drop the change",
         {lock(), pending(70006, "'J'", "NULL"),
          "INSERT INTO speicher_log (liste, artlief, laktiv, laktiv_alt, aend_pers, gesp_pers, gesp_zeit, aend_nr)"
          " SELECT " +
              kList + ", " + pair(70006) + ", 'J', (SELECT aktiv FROM artlief WHERE id = " + pair(70006) +
              "), 'DEMO', 'DEMO', '01.01.1990', (SELECT version FROM artliste WHERE id = " + kList +
              ") FROM generate_series(1, 1000)",
          "DELETE FROM liste_aend WHERE liste = " + kList}},
        {"drop an unnumbered change without the lock", {"DELETE FROM liste_aend WHERE COALESCE(aendsw, 0) = 0"}},
        {"write another company's list's main supplier",
         {"INSERT INTO liste_haupt (liste, artikel, haupt_lief) VALUES (" + kOtherList + ", " + kOtherArticle +
          ", (SELECT id FROM lieferant WHERE firma = 2 AND liefnr = 80002))"}},
        {"take another company's list's lock", {"UPDATE artliste SET version = version + 1 WHERE id = " + kOtherList}},
        {"take the lock without raising the version",
         {"UPDATE artliste SET version = version WHERE id = " + kList, pending(70006, "'J'", "NULL")}},
        {"stall every list", {"LOCK TABLE liste_aend IN ACCESS EXCLUSIVE MODE"}},
        {"stall the suppliers", {"LOCK TABLE lieferant IN ACCESS SHARE MODE"}},
        {"save another company's list", {"SELECT korvex.speichern(" + kOtherList + ", 'DEMO')"}},
        {"save under a colleague's code", {lock(), "SELECT korvex.speichern(" + kList + ", 'KOLLEGE')"}},
    };
    // Refused for want of a right (42501) or by the rules at commit (KX011), never by a typo here.
    for (const auto &c : cases) {
        const QString error = clerk.run(c.statements);
        EXPECT_TRUE(error.startsWith(QLatin1String("42501 ")) || error.startsWith(QLatin1String("KX011 ")))
            << c.what << ": " << error.toStdString();
    }

    // The supplier list's tooltip reads a pair's prices and days.
    EXPECT_EQ(clerk.run({"SELECT artlief, ek_alt, pe_alt, ek_neu, pe_neu, gueltig_ab, offen FROM preis_hist",
                         "SELECT liste, artikel, aend_nr FROM liste_preis"}),
              QString());

    // Another company's pending changes are not seen at all, nor who wrote them.
    EXPECT_EQ(clerk.value("SELECT count(*) FROM liste_aend WHERE aend_pers IS NOT NULL AND liste = " + kOtherList),
              QStringLiteral("0"));

    // A change written without the writers' lock would carry a number a watching look has seen.
    EXPECT_TRUE(clerk.run({pending(70006, "'J'", "NULL")}).contains("nur unter ihrer Sperre"));

    // Sent by hand the way the program writes, a main-supplier change passes: the rules are checked
    // at the commit, not after each statement.
    EXPECT_EQ(
        clerk.run({lock(),
                   pending(70015, "NULL", "'J'").replace(") VALUES", ", aend_nr) VALUES").replace("'x')", "'x', 0)"),
                   pending(70001, "NULL", "'N'"),
                   "INSERT INTO liste_haupt (liste, artikel, haupt_lief) VALUES (" + kList + ", " + kArticle + ", " +
                       supplier(70015) + ")"}),
        QString());
    EXPECT_EQ(rawSql("SELECT count(*) FROM liste_aend WHERE aend_pers = 'DEMO' AND liste = " + kList),
              QStringLiteral("2"));
    EXPECT_EQ(rawSql("SELECT count(*) FROM liste_aend o JOIN artliste l ON l.id = o.liste WHERE o.aend_nr = l.version"
                     " AND l.id = " +
                     kList),
              QStringLiteral("2"))
        << "a change's number is the list version that wrote it, whatever the clerk sent";
    EXPECT_EQ(rawSql("SELECT count(*) FROM speicher_log"), QStringLiteral("0"));
}

TEST_P(ClerkTest, TheProgramsStepsWorkForAClerksLogin) {
    const auto timed = [](const char *what, auto &&body) {
        QElapsedTimer timer;
        timer.start();
        body();
        std::cout << "[ timing ] " << what << ": " << timer.nsecsElapsed() / 1000 << " us\n";
    };
    for (const QString &login : {cluster().user(), kClerk}) {
        SCOPED_TRACE(login.toStdString());
        ServerTest::SetUp(); // a fresh database for each login
        ASSERT_NO_THROW(SetPgLogin(target(), kClerk, 1, {QStringLiteral("DEMO")}, QStringLiteral("x")));
        cacheapi::FactoryPtr factory = as(login);
        const QString key = listKey(*factory, QStringLiteral("3"));
        std::cout << "[ timing ] as " << login.toStdString() << "\n";
        timed("main-supplier change (4 suppliers), 6 times", [&] {
            for (const int liefnr : {70012, 70001, 70012, 70001, 70012, 70015})
                makeMain(*factory, key, "100001", liefnr);
        });
        const QString entry = entryId(*factory, key, "100001", 70006);
        timed("Aktiv switch", [&] { writeEntry(*factory, entry, {{"laktiv", "J"}, {"aendsw", 1}}); });
        writeEntry(*factory, entry, {{"laktiv", "N"}, {"aendsw", 1}}); // taken back as Rueckgaengig writes it
        {
            cacheapi::ServerObjectPtr list = factory->newInstance(QStringLiteral("UpdateVelka.Hauptlief"));
            QVariantList args{key, QStringLiteral("100002")};
            factory->beginUnit();
            list->call(QStringLiteral("VorschlaegeUebernehmen"), args);
            factory->commitUnit();
        }
        int saved = 0;
        timed("Speichern", [&] { saved = speichern(*factory, key); });
        EXPECT_GT(saved, 4);
        EXPECT_EQ(rawSql("SELECT f.liefnr FROM artikel a JOIN lieferant f ON f.id = a.haupt_lief WHERE a.firma = 1"
                         " AND a.artnr = '100001'"),
                  QStringLiteral("70015"));
        EXPECT_EQ(rawSql("SELECT DISTINCT gesp_pers FROM speicher_log"), QStringLiteral("DEMO"));
        EXPECT_EQ(rawSql("SELECT count(*) FROM liste_aend"), QStringLiteral("0"));
    }
    // The database holds every touched article to the rules, also one that was broken before (the
    // program only refuses what a change breaks): the window gets its refusal, error 1011.
    {
        cacheapi::FactoryPtr factory = as(kClerk);
        const QString key = listKey(*factory, QStringLiteral("3"));
        rawSql("INSERT INTO liste_aend (liste, artlief, artikel, laktiv, aendsw, aend_pers) VALUES (" + kList + ", " +
               pair(70015) + ", " + kArticle + ", 'N', 1, 'DEMO')"); // its main supplier, saved above
        const QString entry = entryId(*factory, key, "100001", 70012);
        ExpectServerError(kRejected, [&] { writeEntry(*factory, entry, {{"laktiv", "N"}, {"aendsw", 1}}); });
        EXPECT_NO_THROW(makeMain(*factory, key, "100001", 70001)) << "a change that mends it passes";
        rawSql("DELETE FROM liste_aend; DELETE FROM liste_haupt");
    }
    // A session under a code the login is not mapped to writes nothing.
    cacheapi::FactoryPtr other = as(kClerk, QStringLiteral("KOLLEGE"));
    const QString key = listKey(*other, QStringLiteral("3"));
    ExpectServerError(kDatabase, [&] { makeMain(*other, key, "100001", 70012); });
    EXPECT_EQ(rawSql("SELECT count(*) FROM liste_aend"), QStringLiteral("0"));
}

// Two saves side by side, each fine alone, together an article whose main supplier is inactive: list 3
// sets supplier 70012 of article 100001 inactive, list 2 makes it the main supplier. The second
// waits for the first's judgement and is refused, whatever isolation or constraint timing it asked.
TEST_P(ClerkTest, SavesSideBySideAreJudgedOneAfterTheOther) {
    const QString list2 = QString(kList).replace("r.nr = 3", "r.nr = 2");
    const QString list3 = kList;
    for (const char *second : {"BEGIN ISOLATION LEVEL REPEATABLE READ", "BEGIN; SET CONSTRAINTS ALL IMMEDIATE"}) {
        SCOPED_TRACE(second);
        ServerTest::SetUp(); // a fresh database each time
        ASSERT_NO_THROW(SetPgLogin(target(), kClerk, 1, {QStringLiteral("DEMO")}, QStringLiteral("x")));
        rawSql("INSERT INTO artliste (run) SELECT id FROM upd_run WHERE firma = 1 AND nr IN (2, 3);"
               " INSERT INTO liste_aend (liste, artlief, artikel, laktiv, aendsw, aend_pers) VALUES (" +
               list3 + ", " + pair(70012) + ", " + kArticle +
               ", 'N', 1, 'DEMO');"
               " INSERT INTO liste_aend (liste, artlief, artikel, hlief, aendsw, aend_pers) VALUES (" +
               list2 + ", " + pair(70012) + ", " + kArticle + ", 'J', 1, 'DEMO'), (" + list2 + ", " + pair(70001) +
               ", " + kArticle + ", 'N', 1, 'DEMO'); INSERT INTO liste_haupt VALUES (" + list2 + ", " + kArticle +
               ", " + supplier(70012) + ")");
        Plain first(cluster(), kClerk);
        Plain admin(cluster(), cluster().user());
        ASSERT_TRUE(first.open() && admin.open());
        const QString connect = QStringLiteral("host=%1 port=%2 dbname=korvex user=%3")
                                    .arg(cluster().host())
                                    .arg(cluster().port())
                                    .arg(kClerk);
        PGconn *other = PQconnectdb(connect.toUtf8().constData());
        ASSERT_EQ(PQstatus(other), CONNECTION_OK) << PQerrorMessage(other);

        ASSERT_EQ(first.value("BEGIN"), QString());
        ASSERT_EQ(first.value("SET CONSTRAINTS ALL IMMEDIATE"), QString());
        ASSERT_EQ(first.value("UPDATE artliste SET version = version + 1 WHERE id = " + list3), QString());
        ASSERT_EQ(first.value("SELECT korvex.speichern(" + list3 + ", 'DEMO')"), QStringLiteral("1"));
        const QString save = QStringLiteral("%1; UPDATE artliste SET version = version + 1 WHERE id = %2;"
                                            " SELECT korvex.speichern(%2, 'DEMO'); COMMIT")
                                 .arg(QLatin1String(second), list2);
        ASSERT_EQ(PQsendQuery(other, save.toUtf8().constData()), 1);
        // The second waits for the first's article lock, or has been refused already.
        const QString waiting =
            QStringLiteral("SELECT count(*) FROM pg_stat_activity WHERE pid = %1 AND wait_event_type = 'Lock'")
                .arg(PQbackendPID(other));
        while (PQconsumeInput(other) == 1 && PQisBusy(other) && admin.value(waiting) != QLatin1String("1")) {
        }
        EXPECT_EQ(first.value("COMMIT"), QString());
        QString refusal;
        while (PGresult *result = PQgetResult(other)) {
            if (PQresultStatus(result) == PGRES_FATAL_ERROR && refusal.isEmpty())
                refusal = QString::fromUtf8(PQresultErrorField(result, PG_DIAG_SQLSTATE)) + QLatin1Char(' ') +
                          QString::fromUtf8(PQresultErrorMessage(result));
            PQclear(result);
        }
        PQclear(PQexec(other, "ROLLBACK"));
        PQfinish(other);
        EXPECT_TRUE(refusal.startsWith(QLatin1String("KX011 ")) || refusal.startsWith(QLatin1String("42501 ")))
            << refusal.toStdString();
        EXPECT_EQ(rawSql("SELECT f.liefnr || al.aktiv FROM artikel a JOIN lieferant f ON f.id = a.haupt_lief"
                         " JOIN artlief al ON al.artikel = a.id AND al.lieferant = a.haupt_lief WHERE a.id = " +
                         kArticle),
                  QStringLiteral("70001J"));
    }
}

TEST_P(ClerkTest, TheLoginIsCheckedInsideTheServer) {
    const auto check = [&](cacheapi::Factory &factory, const QString &code, const QString &password) {
        cacheapi::ServerObjectPtr person = factory.openId(QStringLiteral("KX.ParPersEdv"), "1||" + code);
        QVariantList args{password};
        const QString answer = person->call(QStringLiteral("PasswortPruefen"), args).toString();
        return answer + QLatin1Char('|') + person->property(QStringLiteral("AKTIV")).toString();
    };
    cacheapi::FactoryPtr clerk = as(kClerk);
    EXPECT_EQ(check(*clerk, "DEMO", "demo"), QStringLiteral("1|J"));
    EXPECT_EQ(check(*clerk, "DEMO", "Demo"), QStringLiteral("0|"));       // case matters
    EXPECT_EQ(check(*clerk, "KOLLEGE", "kollege"), QStringLiteral("0|")); // not this login's code
    ExpectServerError(kUnknownId, [&] { clerk->openId(QStringLiteral("KX.ParPersEdv"), "1||NIEMAND"); });
    ExpectServerError(kUnknownMember, [&] {
        clerk->openId(QStringLiteral("KX.ParPersEdv"), "1||DEMO")->property(QStringLiteral("Passwort"));
    });
    // The admin's login is mapped to no code and may check every one.
    cacheapi::FactoryPtr admin = as(cluster().user());
    EXPECT_EQ(check(*admin, "KOLLEGE", "kollege"), QStringLiteral("1|J"));
    // A stored value that is no hash never matches, not even itself.
    rawSql("UPDATE pers_edv SET passwort = 'kollege' WHERE firma = 1 AND code = 'KOLLEGE'");
    EXPECT_EQ(check(*admin, "KOLLEGE", "kollege"), QStringLiteral("0|"));
}

TEST_P(ClerkTest, LoginsAreMadeMappedAndRemoved) {
    const QString verifier = QStringLiteral("SELECT rolpassword FROM pg_authid WHERE rolname = 'h2_anna'");
    const QString limit = QStringLiteral("SELECT rolconnlimit FROM pg_roles WHERE rolname = 'h2_anna'");
    EXPECT_TRUE(rawSql(verifier).startsWith(QStringLiteral("SCRAM-SHA-256$")));
    EXPECT_EQ(rawSql(limit), QString::number(kClerkConnections));
    // Through the tool: the password from standard input, the mapping replaced.
    QProcess tool;
    tool.start(QStringLiteral(KORVEX_DB_TOOL),
               {"zugang", "--pg", QStringLiteral("%1:%2").arg(cluster().host()).arg(cluster().port()), kClerk,
                "--firma", "1", "--personal", "KOLLEGE,DEMO", "--verbindungen", "3"});
    tool.write("neu-geheim\n");
    tool.closeWriteChannel();
    ASSERT_TRUE(tool.waitForFinished(60000));
    EXPECT_EQ(tool.exitCode(), 0) << tool.readAllStandardError().toStdString();
    EXPECT_EQ(rawSql("SELECT string_agg(code, ',' ORDER BY code) FROM zugang WHERE login = 'h2_anna'"),
              QStringLiteral("DEMO,KOLLEGE"));
    EXPECT_FALSE(rawSql(verifier).contains(QStringLiteral("neu-geheim")));
    EXPECT_EQ(rawSql(limit), QStringLiteral("3"));

    // Without a password on standard input nothing changes.
    QProcess empty;
    empty.start(QStringLiteral(KORVEX_DB_TOOL),
                {"zugang", "--pg", QStringLiteral("%1:%2").arg(cluster().host()).arg(cluster().port()), "h2_leer",
                 "--firma", "1", "--personal", "DEMO"});
    empty.closeWriteChannel();
    ASSERT_TRUE(empty.waitForFinished(60000));
    EXPECT_EQ(empty.exitCode(), 1);
    EXPECT_TRUE(empty.readAllStandardError().contains("kein Passwort"));
    EXPECT_EQ(rawSql("SELECT count(*) FROM pg_roles WHERE rolname = 'h2_leer'"), QStringLiteral("0"));

    EXPECT_THROW(SetPgLogin(target(), kClerk, 1, {QStringLiteral("NIEMAND")}, QStringLiteral("x")), cacheapi::ServerError);
    EXPECT_THROW(SetPgLogin(target(), cluster().user(), 1, {QStringLiteral("DEMO")}, QStringLiteral("x")), cacheapi::ServerError);
    EXPECT_THROW(SetPgLogin(target(), QStringLiteral("a b"), 1, {QStringLiteral("DEMO")}, QStringLiteral("x")), cacheapi::ServerError);
    EXPECT_THROW(RemovePgLogin(target(), cluster().user()), cacheapi::ServerError);
    {
        // A clerk makes no large objects (they would fill the disk); default privileges of his own
        // he may set, and a large object he may own from before: neither keeps his login from going.
        Plain clerk(cluster(), kClerk);
        ASSERT_TRUE(clerk.open());
        for (const char *make : {"SELECT lo_from_bytea(0, 'x')", "SELECT lo_creat(-1)", "SELECT lo_create(0)"})
            EXPECT_TRUE(clerk.run({make}).startsWith(QLatin1String("42501 "))) << make;
        EXPECT_EQ(clerk.run({"ALTER DEFAULT PRIVILEGES GRANT SELECT ON TABLES TO PUBLIC"}), QString());
    }
    rawSql("DO $$BEGIN EXECUTE format('ALTER LARGE OBJECT %s OWNER TO h2_anna', lo_from_bytea(0, 'x')); END$$");
    EXPECT_NO_THROW(RemovePgLogin(target(), kClerk));
    EXPECT_EQ(rawSql("SELECT count(*) FROM pg_roles WHERE rolname = 'h2_anna'"), QStringLiteral("0"));
    EXPECT_EQ(rawSql("SELECT count(*) FROM zugang"), QStringLiteral("0"));
    EXPECT_EQ(rawSql("SELECT count(*) FROM pg_largeobject_metadata"), QStringLiteral("0"));
}

TEST_P(ClerkTest, AnOlderDatabaseIsTakenFromItsSharedRole) {
    // As older set-ups made it: one shared role that created the database and owns every table, and
    // a trigger it planted on a table the admin's tools write.
    rawSql("DROP SCHEMA korvex CASCADE; DROP ROLE IF EXISTS h2_alt; CREATE ROLE h2_alt LOGIN CREATEDB;"
           " ALTER DATABASE korvex OWNER TO h2_alt; ALTER DATABASE korvex RESET search_path;"
           " GRANT ALL ON SCHEMA public TO h2_alt");
    {
        Plain old(cluster(), QStringLiteral("h2_alt"));
        ASSERT_TRUE(old.open());
        QStringList statements = SchemaStatements(Backend::Postgres);
        statements << "CREATE FUNCTION public.boese() RETURNS trigger LANGUAGE plpgsql AS"
                      " 'BEGIN ALTER ROLE h2_alt SUPERUSER; RETURN NEW; END'"
                   << "CREATE TRIGGER boese BEFORE UPDATE ON artlief FOR EACH ROW EXECUTE FUNCTION public.boese()";
        ASSERT_EQ(old.run(statements), QString());
    }
    for (int pass = 0; pass < 2; ++pass) {
        const QString name = QUuid::createUuid().toString(QUuid::Id128);
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name);
            db.setHostName(cluster().host());
            db.setPort(cluster().port());
            db.setDatabaseName(QStringLiteral("korvex"));
            ASSERT_TRUE(db.open());
            EXPECT_NO_THROW(SecurePostgres(db)) << pass;
            db.close();
        }
        QSqlDatabase::removeDatabase(name);
    }
    EXPECT_EQ(rawSql("SELECT count(*) FROM pg_tables WHERE schemaname = 'public'"), QStringLiteral("0"));
    EXPECT_EQ(rawSql("SELECT DISTINCT tableowner FROM pg_tables WHERE schemaname = 'korvex'"),
              QStringLiteral("korvex_owner"));
    EXPECT_EQ(rawSql("SELECT pg_get_userbyid(datdba) FROM pg_database WHERE datname = 'korvex'"),
              QStringLiteral("korvex_owner"));
    EXPECT_EQ(rawSql("SELECT count(*) FROM pg_trigger WHERE tgname = 'boese'"), QStringLiteral("0"));
    EXPECT_EQ(rawSql("SELECT count(*) FROM pg_proc WHERE proowner = 'h2_alt'::regrole"), QStringLiteral("0"));
    EXPECT_EQ(rawSql("SELECT has_database_privilege('h2_alt', 'korvex', 'CONNECT')"), QStringLiteral("f"));
    // The program reaches it again, under its own search_path.
    cacheapi::FactoryPtr factory = MakeSqlFactory();
    EXPECT_TRUE(factory->connectTo(connectString()));
    rawSql("DROP OWNED BY h2_alt; DROP ROLE h2_alt");
}

INSTANTIATE_TEST_SUITE_P(Backends, ClerkTest, ::testing::Values(Backend::Postgres),
                         [](const ::testing::TestParamInfo<Backend> &) { return std::string("PostgreSQL"); });
