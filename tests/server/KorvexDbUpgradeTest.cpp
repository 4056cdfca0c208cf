// korvex-db upgrade: the older versions' databases brought to this one, and what it refuses.

#include "server/db/PasswordHash.h"
#include "PgCluster.h"
#include "ServerFixture.h"
#include "TestEnv.h"
#include "ToolRun.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

#include <sys/stat.h>
#include <unistd.h>

using namespace kxserver;

namespace {

// Every row of every table as text, sorted, leaving out what an upgrade changes on purpose: the
// passwords (compared on their own) and the columns that came with the new version.
QStringList everyRow(QSqlDatabase db) {
    QStringList all;
    for (const QString &table : SchemaTables()) {
        // korvex_meta holds the version; the price history and the lists' price news came with
        // version 6 and are empty after the upgrade of an older one.
        if (table == QLatin1String("korvex_meta") || table == QLatin1String("preis_hist") ||
            table == QLatin1String("liste_preis"))
            continue;
        QSqlQuery query(db);
        EXPECT_TRUE(query.exec(QStringLiteral("SELECT * FROM %1").arg(table))) << table.toStdString();
        QStringList rows;
        while (query.next()) {
            QStringList values;
            const QSqlRecord record = query.record();
            for (int i = 0; i < record.count(); ++i) {
                const QString name = record.fieldName(i);
                // What an upgrade adds: the flags before a saved change, the number of a change row,
                // the article's EAN and the supplier's article number.
                if (name != QLatin1String("passwort") && !name.endsWith(QLatin1String("_alt")) &&
                    name != QLatin1String("aend_nr") && name != QLatin1String("ean") &&
                    name != QLatin1String("lief_artnr"))
                    values << name + QLatin1Char('=') +
                                  (query.isNull(i) ? QStringLiteral("NULL") : query.value(i).toString());
            }
            rows << table + QLatin1Char(' ') + values.join(QLatin1Char(' '));
        }
        EXPECT_FALSE(rows.isEmpty()) << table.toStdString() << " is empty in the fixture";
        all << rows;
    }
    all.sort();
    return all;
}

QHash<QString, QString> passwords(QSqlDatabase db) {
    QHash<QString, QString> found;
    QSqlQuery query(db);
    EXPECT_TRUE(query.exec(QStringLiteral("SELECT firma, code, passwort FROM pers_edv")));
    while (query.next())
        found.insert(query.value(0).toString() + QLatin1Char('|') + query.value(1).toString(),
                     query.value(2).toString());
    return found;
}

} // namespace

// The fixtures of every older version (tests/fixtures/make-fixtures.sh): refused with the
// upgrade named, upgraded with every row intact (version 1's passwords hashed, the change rows
// numbered with their list's version), and then the program's steps work on it.
TEST_P(ServerTest, OlderFixturesUpgradeWithEveryRowIntact) {
    for (const int from : {1, 2, 3, 4, 5}) {
        SCOPED_TRACE(from);
        const QString fixtures = qEnvironmentVariable("KORVEX_SOURCE_DIR") + QStringLiteral("/tests/fixtures/");
        const QString fixture = QStringLiteral("v%1").arg(from);
        const QString server = QStringLiteral("%1:%2").arg(cluster().host()).arg(cluster().port());
        QStringList target;
        QSqlDatabase db;
        const QString name = QStringLiteral("upgrade-%1-%2").arg(sqlite() ? "sqlite" : "pg", fixture);
        if (sqlite()) {
            QFile::remove(m_file);
            ASSERT_TRUE(QFile::copy(fixtures + fixture + ".db", m_file));
            QFile::setPermissions(m_file, QFile::ReadOwner | QFile::WriteOwner);
            target << m_file;
            db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
            db.setDatabaseName(m_file);
        } else {
            // Version 1: made by and owned by the shared login, tables in public. Version 2: the owner
            // role's schema korvex (its roles are the cluster's, made by the set-up before).
            for (const char *sql : {"DO $$BEGIN CREATE ROLE korvex LOGIN CREATEDB; EXCEPTION WHEN duplicate_object THEN"
                                    " NULL; END$$",
                                    "DROP DATABASE IF EXISTS korvex WITH (FORCE)",
                                    "CREATE DATABASE korvex OWNER korvex ENCODING 'UTF8' TEMPLATE template0"})
                ASSERT_TRUE(cluster().psql(QString::fromLatin1(sql), QStringLiteral("postgres")))
                    << cluster().error().toStdString();
            QProcess psql;
            psql.start(cluster().binDir() + "/psql",
                       {"-X", "-q", "-v", "ON_ERROR_STOP=1", "-h", cluster().host(), "-p",
                        QString::number(cluster().port()), "-d", "korvex", "-f", fixtures + fixture + ".sql"});
            ASSERT_TRUE(psql.waitForFinished(120000));
            ASSERT_EQ(psql.exitCode(), 0) << psql.readAllStandardError().toStdString();
            // The database's own setting, which a dump of its contents does not carry.
            if (from > 1) {
                ASSERT_TRUE(
                    cluster().psql("ALTER DATABASE korvex SET search_path = korvex", QStringLiteral("postgres")))
                    << cluster().error().toStdString();
            }
            target << "--pg" << server;
            db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name);
            db.setHostName(cluster().host());
            db.setPort(cluster().port());
            db.setDatabaseName(QStringLiteral("korvex"));
        }
        ASSERT_TRUE(db.open());
        const QStringList rowsBefore = everyRow(db);
        const QHash<QString, QString> plain = passwords(db);
        ASSERT_EQ(from == 1 ? plain.value("1|IMPORT") : QString("Lager-7x"), "Lager-7x") << "the imported user";
        if (!sqlite() && from == 1) {
            // What the shared login of version 1 could plant for the admin's sessions (the tool's and
            // the program's), each a way to have its code run with the admin's rights: a schema named
            // like the admin's login (first in the default search path) with a view of the marker, a
            // search path for the database with a function the driver calls, a schema korvex made in
            // advance with an operator the take-over's names would meet; and rights for another login.
            ASSERT_TRUE(cluster().psql(
                "DO $$BEGIN CREATE ROLE mueller LOGIN; EXCEPTION WHEN duplicate_object THEN NULL; END$$;"
                " SET ROLE korvex;"
                " CREATE FUNCTION public.boese() RETURNS boolean LANGUAGE plpgsql AS"
                " $f$BEGIN EXECUTE 'ALTER ROLE korvex SUPERUSER'; RETURN true; END$f$;"
                " CREATE SCHEMA postgres; CREATE VIEW postgres.korvex_meta AS SELECT key, value"
                " FROM public.korvex_meta WHERE public.boese();"
                " CREATE SCHEMA evil; CREATE FUNCTION evil.version() RETURNS text LANGUAGE plpgsql AS"
                " $f$BEGIN PERFORM public.boese(); RETURN pg_catalog.version(); END$f$;"
                " ALTER DATABASE korvex SET search_path = evil, pg_catalog, public;"
                " CREATE SCHEMA korvex; CREATE FUNCTION korvex.kette(name, name) RETURNS text LANGUAGE plpgsql AS"
                " $f$BEGIN PERFORM public.boese(); RETURN $1::text OPERATOR(pg_catalog.||) $2::text; END$f$;"
                " CREATE OPERATOR korvex.|| (LEFTARG = name, RIGHTARG = name, FUNCTION = korvex.kette);"
                " GRANT ALL ON public.pers_edv TO mueller; GRANT CREATE, TEMP ON DATABASE korvex TO mueller;"
                " GRANT ALL ON SCHEMA korvex TO mueller; ALTER DEFAULT PRIVILEGES GRANT SELECT ON TABLES TO mueller;"
                " SELECT lo_from_bytea(0, 'x')",
                QStringLiteral("korvex")))
                << cluster().error().toStdString();
        }

        // The program and the tool name the version and the call that upgrades it.
        const QString upgradeCall = "korvex-db upgrade " + target.join(' ');
        const QString refused = ExpectServerError(kOtherVersion, [&] { MakeSqlFactory()->connectTo(connectString()); });
        EXPECT_TRUE(refused.contains(QStringLiteral("Version %1 ").arg(from)) && refused.contains(upgradeCall))
            << refused.toStdString();
        for (const QStringList &call : {QStringList{"export"} + target + QStringList{"protokoll"},
                                        QStringList{"--demo"} + target}) { // the refusal to overwrite, too
            const ToolRun run = runTool(call);
            EXPECT_EQ(run.exitCode, 1);
            EXPECT_TRUE(run.err.contains(upgradeCall)) << run.err.toStdString();
        }

        db.close(); // reopened on the new schema: Qt's SQLite driver does not survive a change under it
        const ToolRun upgrade = runTool(QStringList{"upgrade"} + target);
        ASSERT_EQ(upgrade.exitCode, 0) << upgrade.err.toStdString();
        ASSERT_TRUE(db.open());
        EXPECT_TRUE(upgrade.out.contains(QStringLiteral("Version %1 (vorher %2)").arg(kSchemaVersion).arg(from)))
            << upgrade.out.toStdString();
        if (!sqlite()) { // the clerks' rights of this version: "Speichern" only through its door
            EXPECT_EQ(rawSql("SELECT has_column_privilege('korvex_clerks', 'korvex.artikel', 'haupt_lief', 'UPDATE')"
                             "::text || (SELECT count(*) FROM pg_proc WHERE proname = 'speichern')"),
                      "false1");
        }
        if (!sqlite() && from == 1) {
            // None of it ran, and none of it is left: the old login owns nothing here and holds no
            // right, nor does the login it granted rights to; the database's own search path is ours.
            EXPECT_EQ(rawSql("SELECT rolsuper FROM pg_roles WHERE rolname = 'korvex'"), "f");
            EXPECT_EQ(rawSql("SELECT count(*) FROM pg_shdepend s JOIN pg_database d ON d.oid = s.dbid"
                             " WHERE d.datname = 'korvex' AND s.refobjid = 'korvex'::regrole"),
                      "0");
            EXPECT_EQ(rawSql("SELECT has_table_privilege('mueller', 'korvex.pers_edv', 'SELECT')::text"
                             " || has_database_privilege('mueller', 'korvex', 'CREATE')::text"
                             " || has_database_privilege('mueller', 'korvex', 'TEMP')::text"
                             " || has_schema_privilege('mueller', 'korvex', 'USAGE')::text"),
                      "falsefalsefalsefalse");
            EXPECT_EQ(rawSql("SELECT count(*) FROM pg_namespace WHERE nspname IN ('postgres', 'evil')"), "0");
            EXPECT_EQ(rawSql("SELECT count(*) FROM pg_operator WHERE oprnamespace = 'korvex'::regnamespace"), "0");
            EXPECT_EQ(rawSql("SELECT count(*) FROM pg_largeobject_metadata"), "0");
            EXPECT_EQ(rawSql("SELECT count(*) FROM pg_default_acl"), "0");
            EXPECT_EQ(rawSql("SELECT array_to_string(setconfig, ',') FROM pg_db_role_setting s JOIN pg_database d"
                             " ON d.oid = s.setdatabase WHERE d.datname = 'korvex'"),
                      "search_path=korvex");
        }
        EXPECT_EQ(everyRow(db), rowsBefore);
        const QHash<QString, QString> hashed = passwords(db);
        ASSERT_EQ(hashed.keys().size(), plain.keys().size());
        for (auto it = plain.cbegin(); it != plain.cend(); ++it) {
            EXPECT_TRUE(IsPasswordHash(hashed.value(it.key()))) << it.key().toStdString();
            if (from == 1)
                EXPECT_TRUE(VerifyPassword(it.value(), hashed.value(it.key()))) << it.key().toStdString();
            else
                EXPECT_EQ(hashed.value(it.key()), it.value()) << "a hash stays as it is";
        }
        // The unsaved change rows count as written at their list's current version.
        QSqlQuery numbers(db);
        ASSERT_TRUE(
            numbers.exec(QStringLiteral("SELECT COUNT(*), SUM(CASE WHEN o.aend_nr = l.version THEN 1 ELSE 0 END)"
                                        " FROM liste_aend o JOIN artliste l ON l.id = o.liste")) &&
            numbers.next());
        EXPECT_GT(numbers.value(0).toInt(), 0);
        EXPECT_EQ(numbers.value(1).toInt(), numbers.value(0).toInt());
        numbers.finish();
        if (sqlite()) {
            // A number its writer sends is put right when it is not the list's version.
            ASSERT_TRUE(db.transaction());
            QSqlQuery stale(db);
            EXPECT_TRUE(stale.exec("INSERT INTO liste_aend (liste, artlief, artikel, laktiv, aend_nr)"
                                   " VALUES (1, 116, 26, 'N', 99)"));
            EXPECT_TRUE(stale.exec("UPDATE liste_aend SET hlief = 'J', aend_nr = 99 WHERE liste = 1 AND artlief = 8"));
            EXPECT_TRUE(stale.exec("SELECT COUNT(*) FROM liste_aend o JOIN artliste l ON l.id = o.liste"
                                   " WHERE o.liste = 1 AND o.artlief IN (116, 8) AND o.aend_nr = l.version") &&
                        stale.next());
            EXPECT_EQ(stale.value(0).toInt(), 2);
            stale.finish();
            ASSERT_TRUE(db.rollback());
        }
        if (sqlite()) {
            const QString copy = upgrade.out.section("Die Datei wie vorher: ", 1).trimmed();
            ASSERT_TRUE(copy.startsWith(m_file + "." + fixture + "-")) << upgrade.out.toStdString();
            EXPECT_EQ(statOf(copy).st_mode & 0007, 0u) << "the copy holds the plain passwords";
            QSqlDatabase old = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name + "-copy");
            old.setDatabaseName(copy);
            ASSERT_TRUE(old.open());
            EXPECT_EQ(KorvexSchemaVersion(old), from);
            EXPECT_EQ(everyRow(old), rowsBefore);
        }
        const ToolRun again = runTool(QStringList{"upgrade"} + target);
        EXPECT_EQ(again.exitCode, 0);
        EXPECT_TRUE(again.out.contains(QStringLiteral("schon Version %1").arg(kSchemaVersion)))
            << again.out.toStdString();

        // The imported and the demo users' passwords check on the server; the pending changes are
        // still in the list, and their save logs the flags before them beside the old rows.
        cacheapi::FactoryPtr factory = clerk();
        for (const auto &[id, password] :
             {std::pair{"1||IMPORT", "Lager-7x"}, {"1||DEMO", "demo"}, {"2||DEMO", "demo2"}}) {
            QVariantList typed{QString::fromLatin1(password)};
            EXPECT_EQ(factory->openId("KX.ParPersEdv", id)->call("PasswortPruefen", typed).toString(), "1") << id;
        }
        const QString key = listKey(*factory, "1");
        EXPECT_TRUE(article(*factory, key, "100003").value(3).toString().startsWith("70005 ")) << "the unsaved main";
        EXPECT_EQ(speichern(*factory, key), 3);
        const ToolRun log = runTool(QStringList{"export"} + target + QStringList{"protokoll"});
        ASSERT_EQ(log.exitCode, 0) << log.err.toStdString();
        for (const char *line :
             {"Aktiv alt;Aktiv neu;Hauptlieferant alt;Hauptlieferant neu",
              "KOLLEGE;KOLLEGE;2;100001;Portlandzement CEM I 42,5 R 25 kg Sack;70006;Ölmann Bauchemie GmbH;",
              from == 1 ? "GmbH;;J;;" : "GmbH;N;J;;", ";DEMO;DEMO;1;100003;", ";J;J;J;N\r\n", ";J;J;N;J\r\n",
              ";J;N;;\r\n"})
            EXPECT_TRUE(log.out.contains(QString::fromUtf8(line))) << line << "\n" << log.out.toStdString();

        if (!sqlite() && from == 1) {
            // The version-1 owner keeps at most a clerk's rights; an admin's own login that is no
            // superuser (CREATEDB, CREATEROLE, member of the owner role) creates anew and is warned of nothing.
            db.close();
            factory.reset();
            ASSERT_TRUE(cluster().psql("DO $$BEGIN CREATE ROLE kx_admin LOGIN CREATEDB CREATEROLE; EXCEPTION WHEN "
                                       "duplicate_object THEN NULL; END$$; GRANT korvex_owner TO kx_admin;"))
                << cluster().error().toStdString();
            QString owned;
            ASSERT_TRUE(cluster().psql("SELECT count(*) FROM pg_tables WHERE tableowner = 'korvex'",
                                       QStringLiteral("korvex"), &owned));
            EXPECT_EQ(owned.trimmed(), "0") << "the old shared login owns no table any more";
            const ToolRun create = runTool({"--demo", "--force", "--pg", server}, QStringLiteral("kx_admin"));
            EXPECT_EQ(create.exitCode, 0) << create.err.toStdString();
            EXPECT_FALSE(create.err.contains("superuser")) << create.err.toStdString();
        }
        db.close();
    }
}

// A step that fails half way leaves the database as it was, and no copy behind.
TEST(KorvexDbTool, AFailedUpgradeChangesNothing) {
    const QString dir = korvextest::TempDir() + QStringLiteral("/failed-upgrade");
    QDir(dir).removeRecursively();
    QDir().mkpath(dir);
    const QString file = dir + QStringLiteral("/korvex.db");
    ASSERT_TRUE(QFile::copy(qEnvironmentVariable("KORVEX_SOURCE_DIR") + "/tests/fixtures/v1.db", file));
    QFile::setPermissions(file, QFile::ReadOwner | QFile::WriteOwner);
    QStringList before;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("failed-upgrade"));
        db.setDatabaseName(file);
        ASSERT_TRUE(db.open());
        // The step's second column is there already: the step fails after its first change.
        ASSERT_TRUE(QSqlQuery(db).exec(QStringLiteral("ALTER TABLE speicher_log ADD COLUMN hlief_alt TEXT")));
        before = everyRow(db);
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("failed-upgrade"));
    // A link planted at the copy's name (which names the second it is made in: one link for each
    // second of the next minutes) is refused, and the file it points to never comes to be.
    const QString victim = dir + QStringLiteral("/victim");
    QStringList planted;
    const QDateTime now = QDateTime::currentDateTime();
    for (int second = -5; second < 600; ++second) {
        planted << file + QStringLiteral(".v1-") + now.addSecs(second).toString(QStringLiteral("yyyyMMdd-HHmmss"));
        ASSERT_TRUE(QFile::link(victim, planted.last()));
    }
    const mode_t oldMask = ::umask(022);
    const ToolRun linked = runTool({"upgrade", file});
    ::umask(oldMask);
    EXPECT_EQ(linked.exitCode, 1);
    EXPECT_TRUE(linked.err.contains("sie gibt es schon")) << linked.err.toStdString();
    EXPECT_FALSE(QFileInfo::exists(victim));
    for (const QString &link : planted)
        QFile::remove(link);
    const ToolRun run = runTool({"upgrade", file});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.err.contains("nichts wurde geändert")) << run.err.toStdString();
    EXPECT_EQ(QDir(dir).entryList(QDir::Files), QStringList{"korvex.db"}) << "no copy of an unchanged file";
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("failed-upgrade"));
    db.setDatabaseName(file);
    ASSERT_TRUE(db.open());
    EXPECT_EQ(KorvexSchemaVersion(db), 1);
    EXPECT_EQ(everyRow(db), before);
    QSqlQuery columns(db);
    ASSERT_TRUE(columns.exec(QStringLiteral("SELECT laktiv_alt FROM speicher_log")) == false);
    QSqlQuery plain(db);
    ASSERT_TRUE(plain.exec(QStringLiteral("SELECT passwort FROM pers_edv WHERE code = 'IMPORT'")) && plain.next());
    EXPECT_EQ(plain.value(0).toString(), "Lager-7x");
    db.close();
}
