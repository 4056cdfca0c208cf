// The whole program as a clerk uses it: log in, pick an update, move through the articles, have a
// click refused, move a main-supplier mark, switch a supplier off, save, print, look at the About
// box and leave; then check what the server holds and what was printed.

#include "E2ETest.h"

#include "PgCluster.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QUrl>

#include <cstdlib>
#include <iostream>

using namespace e2e;

namespace {

const QString kMainCaption = QStringLiteral(
    "KORVEX Update Hauptlieferanten              Firma: 1     Filiale: 0     Benutzer: J\u00fcrgen M\u00fcller");
const QString kEditBox = QStringLiteral("Korvex Update Hauptlieferant");
const QString kAbout = QStringLiteral("Info zu KORVEX Update Hauptlieferanten");
const QString kRetryBox = QStringLiteral("Anmeldung an Cach\u00e9");

// Update 2 starts with these articles; 100004's suppliers come from the generated demo data.
const QString kFirst = QStringLiteral("100001");
const QString kSecond = QStringLiteral("100002");
const QString kThird = QStringLiteral("100004");

class WholeProgram : public E2ETest {
protected:
    // The clerk's session from the login to "Ausstieg". With a cluster, the idle disconnect 30
    // seconds after the login and the reconnect on the next action are watched on the way.
    void clerkSession(KorvexProgram &program, const Database &db, const QString &backend,
                      korvextest::PgCluster *cluster);
    // The review aids with the keyboard: only the differing articles, all proposals at once, undo, save.
    void reviewPass(XDisplay &x, MainWindow &main, const Database &db);
};

// Articles of update 2 whose proposal is given and differs from their main supplier, the list's
// unsaved changes included (`pending`) or the master data alone.
QString DifferingArticles(const Database &db, bool pending) {
    const QString current =
        pending ? QStringLiteral("COALESCE((SELECT al.lieferant FROM liste_aend o JOIN artlief al ON al.id = o.artlief"
                                 " JOIN artliste l ON l.id = o.liste WHERE l.run = r.id AND o.artikel = a.id"
                                 " AND o.hlief = 'J'), a.haupt_lief)")
                : QStringLiteral("a.haupt_lief");
    return db.value(QStringLiteral("SELECT COUNT(*) FROM upd_artikel u JOIN upd_run r ON r.id = u.run"
                                   " JOIN artikel a ON a.id = u.artikel WHERE r.firma = 1 AND r.nr = 2"
                                   " AND u.velka_lief IS NOT NULL AND u.velka_lief IS NOT %1")
                        .arg(current));
}

void WholeProgram::reviewPass(XDisplay &x, MainWindow &main, const Database &db) {
    QString why;
    const int before = DifferingArticles(db, true).toInt();
    ASSERT_GT(before, 1) << "the demo run has differing proposals";
    EXPECT_EQ(DifferingArticles(db, false).toInt(), before) << "nothing pending after Speichern";

    // Ctrl+D hides the articles that do not differ: the article list changes on the screen.
    x.focus(main.id());
    const QImage all = x.grabWindow(main.id());
    ASSERT_TRUE(WaitUntil(
        [&] {
            x.key(QStringLiteral("ctrl+d"));
            return WaitUntil([&] { return x.grabWindow(main.id()) != all; }, 3000, 200);
        },
        15000, 0))
        << "Ctrl+D changed nothing on the screen";

    // "Bearbeiten" -> "Alle Vorschläge übernehmen …" with the keys; the question's default is "Ja".
    // Its progress window has the boxes' title too: the report is the box that came after the commit.
    int skipped = -1;
    const auto takeAll = [&] {
        ASSERT_TRUE(WaitUntil(
            [&] {
                x.focus(main.id());
                const qsizetype shown = x.visibleWindows().size();
                x.key(QStringLiteral("alt+b"));
                if (!WaitUntil([&] { return x.visibleWindows().size() > shown; }, 2000))
                    return false; // the menu did not open: try again
                x.key(QStringLiteral("a"));
                return x.waitWindow(kEditBox, 3000) != 0u;
            },
            20000, 0))
            << "no question; windows: " << x.describeWindows().toStdString();
        ASSERT_TRUE(AnswerBox(x, kEditBox, QStringLiteral("Return"), 5000, &why)) << why.toStdString();
        QList<WindowId> seen;
        int now = before;
        ASSERT_TRUE(WaitUntil(
            [&] {
                // A window listed before a look that finds nothing taken came before the commit.
                const QList<WindowId> listed = x.windows(kEditBox);
                now = DifferingArticles(db, true).toInt();
                if (now < before && (skipped < 0 || now == skipped))
                    return true;
                seen += listed;
                return false;
            },
            60000))
            << "the run's list holds no taken proposal: " << now << " differ";
        skipped = now;
        WindowId report = 0;
        ASSERT_TRUE(WaitUntil(
            [&] {
                for (const WindowId id : x.windows(kEditBox))
                    report = seen.contains(id) ? report : id;
                return report != 0u;
            },
            10000))
            << "no report; windows: " << x.describeWindows().toStdString();
        ASSERT_TRUE(WaitUntil(
            [&] {
                x.focus(report);
                x.key(QStringLiteral("Return"));
                return WaitUntil([&] { return !x.windows(kEditBox).contains(report); }, 2000);
            },
            10000, 0))
            << "the report stays open";
    };
    takeAll();
    if (HasFatalFailure())
        return;
    EXPECT_GT(db.value(QStringLiteral("SELECT COUNT(*) FROM liste_aend WHERE hlief = 'J'")).toInt(), 0);
    EXPECT_EQ(DifferingArticles(db, false).toInt(), before) << "the master data change only with Speichern";

    // Ctrl+Z takes the whole step back: every taken article differs from its state again.
    x.focus(main.id());
    ASSERT_TRUE(WaitUntil(
        [&] {
            x.key(QStringLiteral("ctrl+z"));
            return WaitUntil([&] { return DifferingArticles(db, true).toInt() == before; }, 3000);
        },
        15000, 0))
        << "undo did not take the proposals back: " << DifferingArticles(db, true).toStdString();

    // Taken again and saved: the master data hold the proposed main suppliers, nothing is pending.
    takeAll();
    if (HasFatalFailure())
        return;
    main.clickSpeichern();
    ASSERT_TRUE(WaitUntil([&] { return DifferingArticles(db, false).toInt() == skipped; }, 15000))
        << "not saved: " << DifferingArticles(db, false).toStdString() << " differ";
    EXPECT_EQ(db.value(QStringLiteral("SELECT COUNT(*) FROM liste_aend")), QStringLiteral("0"));
    EXPECT_TRUE(x.windows(kEditBox).isEmpty()) << x.describeWindows().toStdString();
}

void WholeProgram::clerkSession(KorvexProgram &program, const Database &db, const QString &backend,
                                korvextest::PgCluster *cluster) {
    XDisplay &x = program.display();
    QString why;

    // Log in through the dialog: the stored settings name the server, the clerk types the rest
    // (the personnel code in small letters: the dialog makes it upper case).
    QElapsedTimer sinceLogin;
    sinceLogin.start();
    const WindowId mainId = program.login(QStringLiteral("demo"), QStringLiteral("demo"), &why);
    ASSERT_NE(mainId, 0u) << why.toStdString() << "\n" << program.output().toStdString();
    EXPECT_EQ(x.title(mainId), kMainCaption);
    MainWindow main(x, mainId);

    // Pick update 2; the article list loads and the first article's suppliers show.
    // Picked when the server holds the list of update 2 and the screen shows its first article.
    const QString firstMarks = db.supplierMarks(2, kFirst);
    EXPECT_EQ(firstMarks, QStringLiteral("11 00 10 10"));
    ASSERT_TRUE(main.pickUpdate(
        1,
        [&] {
            return main.calibrate(4, nullptr) && main.supplierMarks() == firstMarks &&
                   db.value(QStringLiteral("SELECT COUNT(*) FROM artliste l JOIN upd_run r ON r.id = l.run"
                                           " WHERE r.firma = 1 AND r.nr = 2")) == QLatin1String("1");
        },
        90000, &why))
        << why.toStdString() << "; shown: " << main.supplierMarks().toStdString();

    if (cluster) {
        ASSERT_EQ(programConnections(*cluster).size(), 1) << "the program holds one connection after the login";
        // Nothing happens for 30 seconds after the login: the connection is dropped.
        ASSERT_TRUE(WaitUntil([&] { return programConnections(*cluster).isEmpty(); }, 45000, 250))
            << "the connection is still open " << sinceLogin.elapsed() / 1000 << " s after the login";
        EXPECT_GE(sinceLogin.elapsed(), 29000) << "dropped too early";
        EXPECT_LE(sinceLogin.elapsed(), 40000) << "dropped too late";
    }

    // Move through the articles with the keyboard: each one's suppliers show, then back to the first.
    x.key(QStringLiteral("Down"));
    ASSERT_TRUE(main.waitSupplierMarks(db.supplierMarks(2, kSecond), 10000, &why)) << why.toStdString();
    if (cluster) {
        // The move needed the server: it connected again, and the connection now stays.
        EXPECT_EQ(programConnections(*cluster).size(), 1);
        EXPECT_TRUE(x.windows(kRetryBox).isEmpty()) << "a reconnect on a running server asks nothing";
    }
    x.key(QStringLiteral("Down"));
    ASSERT_TRUE(main.waitSupplierMarks(db.supplierMarks(2, kThird), 10000, &why)) << why.toStdString();
    x.key(QStringLiteral("Up"));
    x.key(QStringLiteral("Up"));
    ASSERT_TRUE(main.waitSupplierMarks(QStringLiteral("11 00 10 10"), 10000, &why)) << why.toStdString();

    // The main supplier cannot be switched inactive: the box says so, the tick comes back, nothing is written.
    main.clickSupplierCell(0, 5);
    ASSERT_TRUE(AnswerBox(x, kEditBox, QStringLiteral("Return"), 10000, &why)) << why.toStdString();
    ASSERT_TRUE(main.waitSupplierMarks(QStringLiteral("11 00 10 10"), 5000, &why)) << why.toStdString();
    EXPECT_EQ(db.value(QStringLiteral("SELECT COUNT(*) FROM liste_aend")), QStringLiteral("0"));

    // The VELKA supplier becomes the main supplier: every entry of the article is marked changed,
    // and the list moves on to the next article.
    main.clickSupplierCell(3, 6);
    ASSERT_TRUE(main.waitSupplierMarks(QStringLiteral("11 10"), 10000, &why)) << why.toStdString();
    EXPECT_EQ(db.rows(QStringLiteral("SELECT f.liefnr, o.hlief, o.aendsw, o.aend_pers, o.laktiv FROM liste_aend o"
                                     " JOIN artlief al ON al.id = o.artlief JOIN lieferant f ON f.id = al.lieferant"
                                     " JOIN artikel a ON a.id = o.artikel WHERE a.artnr = ? ORDER BY f.liefnr"),
                      {kFirst}),
              QStringList({QStringLiteral("70001|N|1|DEMO|"), QStringLiteral("70006|N|1|DEMO|"),
                           QStringLiteral("70012|N|1|DEMO|"), QStringLiteral("70015|J|1|DEMO|")}));

    // On the next article the second supplier is switched off.
    main.clickSupplierCell(1, 5);
    ASSERT_TRUE(main.waitSupplierMarks(QStringLiteral("11 00"), 10000, &why)) << why.toStdString();
    EXPECT_EQ(db.rows(QStringLiteral("SELECT f.liefnr, o.laktiv, o.hlief, o.aendsw FROM liste_aend o"
                                     " JOIN artlief al ON al.id = o.artlief JOIN lieferant f ON f.id = al.lieferant"
                                     " JOIN artikel a ON a.id = o.artikel WHERE a.artnr = ?"),
                      {kSecond}),
              QStringList({QStringLiteral("70012|N||1")}));
    EXPECT_EQ(db.value(QStringLiteral("SELECT haupt_lief FROM artikel WHERE firma = 1 AND artnr = ?"), {kFirst}),
              QStringLiteral("1"))
        << "master data change only with Speichern";

    // "Speichern": the server applies the changes to the master data and notes who saved them.
    main.clickSpeichern();
    ASSERT_TRUE(WaitUntil(
        [&] {
            return db.value(QStringLiteral("SELECT gesp_pers FROM artliste l JOIN upd_run r ON r.id = l.run"
                                           " WHERE r.firma = 1 AND r.nr = 2")) == QLatin1String("DEMO");
        },
        10000))
        << "the run was not saved";
    EXPECT_EQ(
        db.rows(QStringLiteral("SELECT f.liefnr, a.aend_pers FROM artikel a JOIN lieferant f ON f.id = a.haupt_lief"
                               " WHERE a.firma = 1 AND a.artnr = ?"),
                {kFirst}),
        QStringList({QStringLiteral("70015|DEMO")}));
    EXPECT_EQ(db.rows(QStringLiteral("SELECT f.liefnr, al.aktiv, al.aend_pers, al.gesp_pers FROM artlief al"
                                     " JOIN lieferant f ON f.id = al.lieferant JOIN artikel a ON a.id = al.artikel"
                                     " WHERE a.firma = 1 AND a.artnr = ? ORDER BY f.liefnr"),
                      {kSecond}),
              QStringList({QStringLiteral("70002|J||"), QStringLiteral("70012|N|DEMO|DEMO")}));
    EXPECT_EQ(db.value(QStringLiteral("SELECT COUNT(*) FROM artikel WHERE aend_pers IS NOT NULL")),
              QStringLiteral("1"));
    EXPECT_EQ(db.value(QStringLiteral("SELECT COUNT(*) FROM artlief WHERE gesp_pers IS NOT NULL")),
              QStringLiteral("1"));
    EXPECT_EQ(db.value(QStringLiteral("SELECT COUNT(*) FROM liste_aend")), QStringLiteral("0"));
    EXPECT_EQ(
        db.value(QStringLiteral("SELECT COUNT(*) FROM speicher_log WHERE gesp_pers = 'DEMO' AND aend_pers = 'DEMO'")),
        QStringLiteral("5"));
    // The screen still shows the state the clerk made.
    EXPECT_EQ(main.supplierMarks(), QStringLiteral("11 00"));

    // "Drucken": no printer here, so the article list goes into a PDF in the documents folder,
    // which is handed to the desktop's viewer.
    const QDateTime clicked = QDateTime::currentDateTime();
    main.clickDrucken();
    QString pdf;
    ASSERT_TRUE(WaitUntil(
        [&] {
            const QStringList files = QDir(program.documentsDir()).entryList({QStringLiteral("*.pdf")}, QDir::Files);
            if (files.size() != 1 || program.openedUrls().isEmpty())
                return false;
            pdf = QDir(program.documentsDir()).filePath(files.first());
            return true;
        },
        15000))
        << "no PDF in " << program.documentsDir().toStdString();
    EXPECT_EQ(program.openedUrls().trimmed(), QUrl::fromLocalFile(pdf).toString(QUrl::FullyEncoded));
    QString text;
    ASSERT_EQ(RunTool(QStringLiteral("pdftotext"), {QStringLiteral("-layout"), pdf, QStringLiteral("-")}, &text), 0)
        << text.toStdString();
    // The title line names the update and the moment of printing (the exact blanks between its
    // parts are the printing's own test; text extraction from a PDF only approximates them).
    const QRegularExpressionMatch title =
        QRegularExpression(QStringLiteral("KORVEX Update Hauptlieferanten +Update: 2 +Datum: (\\d\\d\\.\\d\\d\\.\\d{4} "
                                          "\\d\\d:\\d\\d:\\d\\d)"))
            .match(text);
    ASSERT_TRUE(title.hasMatch()) << text.left(400).toStdString();
    const QDateTime printed = QDateTime::fromString(title.captured(1), QStringLiteral("dd.MM.yyyy HH:mm:ss"));
    EXPECT_LE(std::abs(printed.secsTo(clicked)), 60) << title.captured(1).toStdString();
    for (const QString &heading : {QStringLiteral("Art.Nr"), QStringLiteral("Bezeichnung"),
                                   QStringLiteral("Haupt-Lief"), QStringLiteral("VELKA-Haupt-Lief")})
        EXPECT_TRUE(text.contains(heading)) << heading.toStdString();
    const QStringList articleLines =
        text.split(QLatin1Char('\n')).filter(QRegularExpression(QStringLiteral("^\\s*1\\d{5}\\s")));
    EXPECT_EQ(articleLines.size(), 55) << "update 2 has 55 articles";
    const QStringList first = articleLines.filter(QRegularExpression(QStringLiteral("^\\s*100001\\s")));
    ASSERT_EQ(first.size(), 1);
    EXPECT_TRUE(first.first().contains(QStringLiteral("Portlandzement"))) << first.first().toStdString();
    // Long cells are cut with an ellipsis on paper.
    EXPECT_EQ(first.first().count(QStringLiteral("70015 Baustoff-Union VELK")), 2)
        << "new main supplier and the proposal: " << first.first().toStdString();
    EXPECT_FALSE(first.first().contains(QStringLiteral("Zementwerke"))) << first.first().toStdString();

    if (db.isSqlite()) {
        reviewPass(x, main, db);
        if (HasFatalFailure())
            return;
    }

    // The main window as the clerk left it, kept with the build.
    const QString shot = QDir(ArtifactsDir()).filePath(QStringLiteral("main-window-%1.png").arg(backend));
    EXPECT_TRUE(x.saveWindowShot(mainId, shot));
    std::cout << "[ e2e      ] main window (" << backend.toStdString() << "): " << shot.toStdString() << std::endl;

    // F1 shows the About box; Escape closes it.
    x.focus(mainId);
    Pause(100);
    x.key(QStringLiteral("F1"));
    ASSERT_NE(x.waitWindow(kAbout, 10000), 0u) << x.describeWindows().toStdString();
    ASSERT_TRUE(AnswerBox(x, kAbout, QStringLiteral("Escape"), 5000, &why)) << why.toStdString();

    // "Ausstieg" ends the program.
    main.clickAusstieg();
    ASSERT_TRUE(program.waitEnded(15000)) << "still running; windows: " << x.describeWindows().toStdString();
    EXPECT_EQ(program.exitCode(), 0) << program.output().toStdString();
    EXPECT_TRUE(x.describeWindows() == QLatin1String("(kein Fenster)")) << x.describeWindows().toStdString();
}

TEST_F(WholeProgram, ClerkOnTheEmbeddedDatabase) {
    const QString file = freshSqlite(QStringLiteral("db"));
    ASSERT_FALSE(file.isEmpty());
    XDisplay *x = newDisplay();
    ASSERT_TRUE(x);
    KorvexProgram program(*x, newWorkDir(QStringLiteral("clerk")));
    program.writeSettings(file, QStringLiteral("1972"), QStringLiteral("DEMO"));
    QString error;
    ASSERT_TRUE(program.start(&error)) << error.toStdString();
    clerkSession(program, Database::sqlite(file), QStringLiteral("sqlite"), nullptr);
}

TEST_F(WholeProgram, ClerkOnPostgresWithIdleDisconnect) {
    korvextest::PgCluster *cluster = freshPostgres();
    ASSERT_TRUE(cluster);
    XDisplay *x = newDisplay();
    ASSERT_TRUE(x);
    KorvexProgram program(*x, newWorkDir(QStringLiteral("clerk")));
    // No slash in the server address: PostgreSQL; the credentials come from PGUSER.
    program.writeSettings(QStringLiteral("127.0.0.1"), QString::number(cluster->port()), QStringLiteral("DEMO"));
    QString error;
    ASSERT_TRUE(program.start(&error)) << error.toStdString();
    clerkSession(program, Database::postgres(cluster->port()), QStringLiteral("postgres"), cluster);
}

} // namespace
