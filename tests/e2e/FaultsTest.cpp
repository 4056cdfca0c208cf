// Faults the running program survives: a restarted PostgreSQL server, a database file that goes
// away or is replaced by a foreign one, and a second workstation working on the same update.

#include "E2ETest.h"

#include "PgCluster.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>

using namespace e2e;

namespace {

const QString kRetryBox = QStringLiteral("Anmeldung an Cach\u00e9");
const QString kSettings = QStringLiteral("KORVEX Server");
const QString kFirst = QStringLiteral("100001");
const QString kSecond = QStringLiteral("100002");

// Which entries of article 100001 the update's list holds as changed: "liefnr|laktiv|hlief|by".
const QString kListChanges = QStringLiteral(
    "SELECT f.liefnr, o.laktiv, o.hlief, o.aend_pers FROM liste_aend o JOIN artlief al ON al.id = o.artlief"
    " JOIN lieferant f ON f.id = al.lieferant JOIN artikel a ON a.id = o.artikel WHERE a.artnr = ? ORDER BY f.liefnr");

class Faults : public E2ETest {
protected:
    // A clerk logged in with update 2 loaded, its first article's suppliers on the screen.
    struct Clerk {
        std::unique_ptr<KorvexProgram> program;
        std::unique_ptr<MainWindow> main;
        XDisplay *x = nullptr;
        QElapsedTimer sinceLogin;
    };
    void startClerk(Clerk &clerk, const QString &server, const QString &port, const QString &code,
                    const QString &password);

    // Answers a retry box ("Server nicht erreicht! ...") and leaves the settings dialog it opens
    // with "Zurück"; `between` runs while the dialog is open. The box comes once the program has
    // given up on the server: for a paused one that is the connection check's wait and then each
    // connect attempt's timeout, which under the sanitizers on a busy machine took over 15 s.
    void answerRetry(XDisplay &x, const std::function<void()> &between = {}, int boxWithinMs = 15000);
};

void Faults::startClerk(Clerk &clerk, const QString &server, const QString &port, const QString &code,
                        const QString &password) {
    clerk.x = newDisplay();
    ASSERT_TRUE(clerk.x);
    clerk.program = std::make_unique<KorvexProgram>(*clerk.x, newWorkDir(code));
    clerk.program->writeSettings(server, port, code);
    QString why;
    ASSERT_TRUE(clerk.program->start(&why)) << why.toStdString();
    clerk.sinceLogin.start();
    const WindowId id = clerk.program->login(code.toLower(), password, &why);
    ASSERT_NE(id, 0u) << why.toStdString() << "\n" << clerk.program->output().toStdString();
    clerk.main = std::make_unique<MainWindow>(*clerk.x, id);
    // Update 2, whose first article 100001 has four suppliers.
    ASSERT_TRUE(clerk.main->pickUpdate(
        1,
        [&] {
            return clerk.main->calibrate(4, nullptr) && clerk.main->supplierMarks() == QLatin1String("11 00 10 10");
        },
        90000, &why))
        << why.toStdString() << "; shown: " << clerk.main->supplierMarks().toStdString();
}

void Faults::answerRetry(XDisplay &x, const std::function<void()> &between, int boxWithinMs) {
    QString why;
    ASSERT_TRUE(AnswerBox(x, kRetryBox, QStringLiteral("Return"), boxWithinMs, &why)) << why.toStdString();
    const WindowId settings = x.waitWindow(kSettings, 10000);
    ASSERT_NE(settings, 0u) << "no settings dialog after the retry box; windows: " << x.describeWindows().toStdString();
    if (between)
        between();
    // "Zurück" (BUZurück at 1920, 1320, 1695, 375 twips).
    x.click(x.geometry(settings).topLeft() + QPoint((1920 + 1695 / 2 + 7) / 15, (1320 + 375 / 2 + 7) / 15));
    ASSERT_TRUE(x.waitNoWindow(kSettings, 5000)) << "the settings dialog stays";
}

QByteArray fileHash(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256).toHex();
}

// Another program's SQLite database.
bool writeForeignDatabase(const QString &path) {
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("foreign"));
        db.setDatabaseName(path);
        if (db.open()) {
            QSqlQuery query(db);
            ok = query.exec(QStringLiteral("CREATE TABLE kunden (nr INTEGER PRIMARY KEY, name TEXT)")) &&
                 query.exec(QStringLiteral("INSERT INTO kunden VALUES (1, 'Bauhof Nord')"));
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("foreign"));
    return ok;
}

TEST_F(Faults, PostgresRestartedWhileTheMainWindowIsOpen) {
    korvextest::PgCluster *cluster = freshPostgres();
    ASSERT_TRUE(cluster);
    const Database db = Database::postgres(cluster->port());
    Clerk clerk;
    startClerk(clerk, QStringLiteral("127.0.0.1"), QString::number(cluster->port()), QStringLiteral("DEMO"),
               QStringLiteral("demo"));
    ASSERT_FALSE(HasFatalFailure());
    XDisplay &x = *clerk.x;
    MainWindow &main = *clerk.main;
    QString why;

    const QStringList before = programConnections(*cluster);
    ASSERT_EQ(before.size(), 1);
    ASSERT_TRUE(cluster->stopServer(false)) << cluster->error().toStdString();
    ASSERT_TRUE(cluster->startServer()) << cluster->error().toStdString();
    ASSERT_TRUE(programConnections(*cluster).isEmpty()) << "the restart ended the program's connection";

    // The next action finds the connection dead, opens a new one without asking and goes on.
    x.key(QStringLiteral("Down"));
    ASSERT_TRUE(main.waitSupplierMarks(db.supplierMarks(2, kSecond), 15000, &why))
        << why.toStdString() << "; windows: " << x.describeWindows().toStdString();
    EXPECT_TRUE(x.windows(kRetryBox).isEmpty());
    // (30 seconds after the login the idle disconnect drops any connection; counting makes sense before.)
    const QStringList after = programConnections(*cluster);
    if (clerk.sinceLogin.elapsed() < 28000) {
        ASSERT_EQ(after.size(), 1);
        EXPECT_NE(after.first(), before.first()) << "a new server session";
    }
    // The new session knows the clerk: a change is written in his name.
    main.clickSupplierCell(1, 5);
    ASSERT_TRUE(main.waitSupplierMarks(QStringLiteral("11 00"), 10000, &why)) << why.toStdString();
    EXPECT_EQ(db.rows(kListChanges, {kSecond}), QStringList{QStringLiteral("70012|N||DEMO")});

    // The server stays away: the next action asks, the clerk sees the settings, the server is back
    // meanwhile, and the second attempt goes through.
    ASSERT_TRUE(cluster->stopServer(false)) << cluster->error().toStdString();
    main.clickArticle(0);
    answerRetry(x, [&] { ASSERT_TRUE(cluster->startServer()) << cluster->error().toStdString(); });
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_TRUE(main.waitSupplierMarks(QStringLiteral("11 00 10 10"), 15000, &why))
        << why.toStdString() << "; windows: " << x.describeWindows().toStdString();
    EXPECT_TRUE(x.windows(kRetryBox).isEmpty()) << "one retry box only";
    if (clerk.sinceLogin.elapsed() < 28000) {
        EXPECT_EQ(programConnections(*cluster).size(), 1);
    }

    // The server stops answering (its processes paused, like a hung machine: the connection stays
    // open, nothing answers). The next action gives up on it within seconds and asks as for a
    // server that is gone; meanwhile the server goes on, and the next attempt goes through.
    ASSERT_TRUE(cluster->pauseServer(true)) << cluster->error().toStdString();
    const std::shared_ptr<void> unpause(nullptr, [&](void *) { cluster->pauseServer(false); }); // also on failure
    main.clickArticle(1);
    answerRetry(x, [&] { ASSERT_TRUE(cluster->pauseServer(false)) << cluster->error().toStdString(); }, 60000);
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_TRUE(main.waitSupplierMarks(QStringLiteral("11 00"), 15000, &why))
        << why.toStdString() << "; windows: " << x.describeWindows().toStdString();
    EXPECT_TRUE(x.windows(kRetryBox).isEmpty()) << "one retry box only";

    main.clickAusstieg();
    ASSERT_TRUE(clerk.program->waitEnded(15000));
    EXPECT_EQ(clerk.program->exitCode(), 0);
    EXPECT_TRUE(programConnections(*cluster).isEmpty());
}

TEST_F(Faults, DatabaseFileRemovedOrReplacedByAForeignFile) {
    const QString file = freshSqlite(QStringLiteral("db"));
    ASSERT_FALSE(file.isEmpty());
    const Database db = Database::sqlite(file);
    Clerk clerk;
    startClerk(clerk, file, QStringLiteral("1972"), QStringLiteral("DEMO"), QStringLiteral("demo"));
    ASSERT_FALSE(HasFatalFailure());
    XDisplay &x = *clerk.x;
    MainWindow &main = *clerk.main;
    QString why;
    const QString away = file + QStringLiteral(".away");

    // The file goes away: the next action cannot reach the server and asks; it is back before the
    // third attempt, which goes through.
    ASSERT_TRUE(QFile::rename(file, away));
    x.key(QStringLiteral("Down"));
    answerRetry(x);
    ASSERT_FALSE(HasFatalFailure());
    answerRetry(x, [&] { ASSERT_TRUE(QFile::rename(away, file)); });
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_TRUE(main.waitSupplierMarks(db.supplierMarks(2, kSecond), 15000, &why))
        << why.toStdString() << "; windows: " << x.describeWindows().toStdString();
    EXPECT_TRUE(x.windows(kRetryBox).isEmpty());
    main.clickSupplierCell(1, 5);
    ASSERT_TRUE(main.waitSupplierMarks(QStringLiteral("11 00"), 10000, &why)) << why.toStdString();
    EXPECT_EQ(db.rows(kListChanges, {kSecond}), QStringList{QStringLiteral("70012|N||DEMO")});

    // Another program's database under the same name: four attempts, the last box, the end.
    ASSERT_TRUE(QFile::rename(file, away));
    ASSERT_TRUE(writeForeignDatabase(file));
    const QByteArray foreign = fileHash(file);
    main.clickArticle(0);
    for (int attempt = 0; attempt < 3; ++attempt) {
        answerRetry(x);
        ASSERT_FALSE(HasFatalFailure()) << "attempt " << attempt + 1;
    }
    ASSERT_TRUE(AnswerBox(x, kRetryBox, QStringLiteral("Return"), 15000, &why)) << why.toStdString();
    ASSERT_TRUE(clerk.program->waitEnded(15000)) << "windows: " << x.describeWindows().toStdString();
    EXPECT_EQ(clerk.program->exitCode(), 1) << "an end for want of a server is no success";
    EXPECT_EQ(fileHash(file), foreign) << "a foreign file is only looked at";
    EXPECT_FALSE(QFile::exists(file + QStringLiteral("-wal")));
    // The clerk's change is safe in the real database.
    EXPECT_EQ(Database::sqlite(away).rows(kListChanges, {kSecond}), QStringList{QStringLiteral("70012|N||DEMO")});
}

TEST_F(Faults, TwoClerksOnTheSameUpdate) {
    korvextest::PgCluster *cluster = freshPostgres();
    ASSERT_TRUE(cluster);
    const Database db = Database::postgres(cluster->port());
    const QString port = QString::number(cluster->port());
    Clerk a; // Jürgen Müller, at his own workstation (display)
    Clerk b; // Sabine Weiß, at hers
    startClerk(a, QStringLiteral("127.0.0.1"), port, QStringLiteral("DEMO"), QStringLiteral("demo"));
    ASSERT_FALSE(HasFatalFailure());
    startClerk(b, QStringLiteral("127.0.0.1"), port, QStringLiteral("KOLLEGE"), QStringLiteral("kollege"));
    ASSERT_FALSE(HasFatalFailure());
    QString why;

    // A makes the VELKA supplier main supplier of 100001; his list moves on to 100002.
    a.main->clickSupplierCell(3, 6);
    ASSERT_TRUE(a.main->waitSupplierMarks(QStringLiteral("11 10"), 10000, &why)) << why.toStdString();

    // B's screen shows A's change by itself within a second: the mark is on the new main supplier.
    ASSERT_TRUE(b.main->waitSupplierMarks(QStringLiteral("10 00 10 11"), 10000, &why)) << why.toStdString();

    // B switches 70012 off. Both changes stand side by side: his write changes only the flag he changed.
    b.main->clickSupplierCell(2, 5);
    ASSERT_TRUE(b.main->waitSupplierMarks(QStringLiteral("10 00 00 11"), 10000, &why)) << why.toStdString();
    EXPECT_EQ(db.rows(kListChanges, {kFirst}),
              QStringList({QStringLiteral("70001||N|DEMO"), QStringLiteral("70006||N|DEMO"),
                           QStringLiteral("70012|N|N|KOLLEGE"), QStringLiteral("70015||J|DEMO")}));
    EXPECT_EQ(db.supplierMarks(2, kFirst), QStringLiteral("10 00 00 11"));

    // A goes back to 100001 and sees B's change next to his own.
    a.main->clickArticle(0);
    ASSERT_TRUE(a.main->waitSupplierMarks(QStringLiteral("10 00 00 11"), 10000, &why)) << why.toStdString();

    // B switches 70001 off; A's screen follows by itself, so A's attempt to make it main supplier is
    // answered by the rule's box on the spot; nothing is written and his program goes on.
    b.main->clickSupplierCell(0, 5);
    ASSERT_TRUE(b.main->waitSupplierMarks(QStringLiteral("00 00 00 11"), 10000, &why)) << why.toStdString();
    ASSERT_TRUE(a.main->waitSupplierMarks(QStringLiteral("00 00 00 11"), 5000, &why)) << why.toStdString();
    a.main->clickSupplierCell(0, 6);
    ASSERT_TRUE(AnswerBox(*a.x, QStringLiteral("Korvex Update Hauptlieferant"), QStringLiteral("Return"), 10000, &why))
        << why.toStdString();
    ASSERT_TRUE(a.main->waitSupplierMarks(QStringLiteral("00 00 00 11"), 10000, &why)) << why.toStdString();
    const QStringList merged{QStringLiteral("70001|N|N|KOLLEGE"), QStringLiteral("70006||N|DEMO"),
                             QStringLiteral("70012|N|N|KOLLEGE"), QStringLiteral("70015||J|DEMO")};
    EXPECT_EQ(db.rows(kListChanges, {kFirst}), merged) << "nothing of the refused click is stored";

    // B saves: the server applies both clerks' changes and notes who made each and who saved.
    b.main->clickSpeichern();
    ASSERT_TRUE(WaitUntil(
        [&] {
            return db.value(QStringLiteral("SELECT gesp_pers FROM artliste l JOIN upd_run r ON r.id = l.run"
                                           " WHERE r.firma = 1 AND r.nr = 2")) == QLatin1String("KOLLEGE");
        },
        10000));
    EXPECT_EQ(
        db.rows(QStringLiteral("SELECT f.liefnr, a.aend_pers FROM artikel a JOIN lieferant f ON f.id = a.haupt_lief"
                               " WHERE a.firma = 1 AND a.artnr = ?"),
                {kFirst}),
        QStringList{QStringLiteral("70015|DEMO")});
    EXPECT_EQ(db.rows(QStringLiteral("SELECT f.liefnr, al.aktiv, al.aend_pers, al.gesp_pers FROM artlief al"
                                     " JOIN lieferant f ON f.id = al.lieferant JOIN artikel a ON a.id = al.artikel"
                                     " WHERE a.firma = 1 AND a.artnr = ? ORDER BY f.liefnr"),
                      {kFirst}),
              QStringList({QStringLiteral("70001|N|KOLLEGE|KOLLEGE"), QStringLiteral("70006|N||"),
                           QStringLiteral("70012|N|KOLLEGE|KOLLEGE"), QStringLiteral("70015|J||")}));
    EXPECT_EQ(db.rows(QStringLiteral("SELECT f.liefnr, s.laktiv, s.hlief, s.aend_pers, s.gesp_pers FROM speicher_log s"
                                     " JOIN artlief al ON al.id = s.artlief JOIN lieferant f ON f.id = al.lieferant"
                                     " ORDER BY f.liefnr"),
                      {}),
              QStringList({QStringLiteral("70001|N|N|KOLLEGE|KOLLEGE"), QStringLiteral("70006||N|DEMO|KOLLEGE"),
                           QStringLiteral("70012|N|N|KOLLEGE|KOLLEGE"), QStringLiteral("70015||J|DEMO|KOLLEGE")}));
    EXPECT_EQ(db.value(QStringLiteral("SELECT COUNT(*) FROM liste_aend")), QStringLiteral("0"));

    for (Clerk *clerk : {&a, &b}) {
        clerk->main->clickAusstieg();
        ASSERT_TRUE(clerk->program->waitEnded(15000));
        EXPECT_EQ(clerk->program->exitCode(), 0);
    }
}

} // namespace
