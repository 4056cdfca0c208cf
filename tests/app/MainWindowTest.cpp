// The main window's start-up, update selection, article-list load and end, against the stand-in
// server's demo database.

#include "AppFixture.h"
#include "server/admin/DemoData.h"
#include "dialogs/DialogLoginForms.h"
#include "dialogs/FMPass.h"
#include "dialogs/FMServer.h"
#include "app/controls/KxCombo.h"
#include "app/controls/KxList.h"
#include "server/db/PasswordHash.h"
#include "app/ProgramArguments.h"
#include "TestEnv.h"
#include "dialogs/TextField.h"

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QProcess>
#include <QPushButton>
#include <QSettings>
#include <QTest>
#include <QTimer>
#include <QWindow>

#include <string>
#include <vector>

using namespace cacheapi;

namespace {

const QString kCaption = QStringLiteral("KORVEX Update Hauptlieferanten") + QString(14, u' ') +
                         QStringLiteral("Firma: 1") + QString(5, u' ') + QStringLiteral("Filiale: 0") +
                         QString(5, u' ') + QStringLiteral("Benutzer: Jürgen Müller");

const QString kArticle1 = QStringLiteral(
    "100001\nPortlandzement CEM I 42,5 R 25 kg Sack\n70001 Zementwerke Süd AG\n70015 Baustoff-Union VELKA eG");
const QStringList kSuppliers1{
    QStringLiteral("70001 Zementwerke Süd AG\n4,85 €\nSack\n12.02.2024|1|1"),
    QStringLiteral("70006 Ölmann Bauchemie GmbH\n5,35 €\nSack\n20.11.2023|0|0"),
    QStringLiteral("70012 Baustoffe Müller GmbH\n5,10 €\nSack\n|1|0"),
    QStringLiteral("70015 Baustoff-Union VELKA eG\n4,79 €\nSack\n03.09.2024|1|0"),
};

struct Controls {
    bool speich, druck, ausst, art, lief, combo, busy, timer;
    int articles;
};

} // namespace

TEST_F(AppTest, StartUpShowsTheWindowWithItsCaptionAndTheUpdates) {
    start();
    ASSERT_TRUE(desktop.boxes.isEmpty()) << desktop.boxes.first().text.toStdString();
    EXPECT_EQ(forms.loginModalShows, 0);
    EXPECT_FALSE(ProgramEnded());
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->windowTitle(), kCaption);

    // Company 1's updates; dates in the German short form with a four-digit year.
    QStringList combo;
    for (int i = 0; i < window->liupdate->rowCount(); ++i)
        combo << window->liupdate->rowText(i);
    EXPECT_EQ(combo, (QStringList{"1\nFrühjahrsabgleich Dach und Holz\n04.03.2024",
                                  "2\nVELKA-Abgleich Zement, Mörtel, Putz, Kalksandstein\n17.06.2024",
                                  "3\nJahresabgleich Gesamtsortiment\n25.11.2024",
                                  "4\nLeeres Update ohne Artikel\n02.12.2024"}));
    EXPECT_EQ(window->liupdate->currentRow(), -1);
    EXPECT_EQ(window->liupdate->text(), QString());

    // Shown with empty lists, "Speichern" disabled, nothing loading.
    EXPECT_EQ(window->liart->rowCount(), 0);
    EXPECT_EQ(window->lilief->rowCount(), 0);
    EXPECT_EQ(window->Label2->text(), QString());
    EXPECT_EQ(window->updatebez->text(), QString());
    EXPECT_FALSE(window->updatebez->isEnabled());
    EXPECT_FALSE(window->BUSpeich->isEnabled());
    EXPECT_TRUE(window->BUDruck->isEnabled());
    EXPECT_TRUE(window->BUAusst->isEnabled());
    EXPECT_FALSE(window->Timer1->isActive());
    EXPECT_TRUE(window->aktUpdate.isEmpty());
    EXPECT_TRUE(window->artListKey.isEmpty());
    EXPECT_FALSE(desktop.busy);

    // The updates are read once, after the login, and the query is closed.
    const QStringList work = log->work();
    const qsizetype updates = work.indexOf(QStringLiteral("openQuery Updates"));
    ASSERT_GE(updates, 0) << work.join(" / ").toStdString();
    EXPECT_EQ(work.mid(updates), (QStringList{"openQuery Updates", "execute Updates()", "close Updates"}));

    // The menu.
    const QList<QAction *> menus = window->menuBar()->actions();
    ASSERT_EQ(menus.size(), 4);
    EXPECT_EQ(menus[0]->text(), QStringLiteral("&Datei"));
    EXPECT_EQ(menus[1]->text(), QStringLiteral("&Bearbeiten"));
    EXPECT_EQ(menus[2]->text(), QStringLiteral("&Ansicht"));
    EXPECT_EQ(menus[3]->text(), QStringLiteral("&Hilfe"));
    const QList<QAction *> datei = menus[0]->menu()->actions();
    ASSERT_EQ(datei.size(), 3);
    EXPECT_EQ(datei[0], window->mLogin);
    EXPECT_EQ(datei[0]->text(), QStringLiteral("&Login"));
    EXPECT_TRUE(datei[1]->isSeparator());
    EXPECT_EQ(datei[2], window->Beenden);
    EXPECT_EQ(datei[2]->text(), QStringLiteral("&Beenden"));
    EXPECT_EQ(window->HilfeUeber->text(), QStringLiteral("Hilfe &über ..."));
    EXPECT_EQ(window->HilfeUeber->shortcut(), QKeySequence(Qt::Key_F1));
}

TEST_F(AppTest, ARejectedCommandLineLoginNeverGoesOnWithValuesTheClerkDidNotConfirm) {
    // Stored settings that would log in another clerk, with a password nobody typed.
    {
        QSettings file(korvextest::SettingsFile(), QSettings::IniFormat);
        file.setValue("Login/Name", "KOLLEGE");
        file.setValue("Login/Passwort", MaskPassword("kollege"));
        file.setValue("Login/Server", dbPath);
        file.setValue("Login/Port", "1972");
    }
    FMServer serverDialog;
    FMPass pass(&serverDialog);
    DialogLoginForms dialogs(pass, serverDialog);
    const std::function<void()> ways[] = {[&] { pass.close(); },
                                          [&] { QTest::keyClick(pass.BPASSWORT, Qt::Key_Escape); }};
    for (const auto &way : ways) {
        ResetSession();
        gForms = &dialogs;
        desktop.boxes.clear();
        log->calls.clear();
        SetProgramArguments({"1", "0", "DEMO", "falsch", dbPath, "1972", "KORVEX"});
        // The clerk closes the login dialog that follows the rejection; a dialog that never shows
        // is hidden after a while, so the checks below fail instead of the test hanging.
        bool connectedAtDialog = true;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, &pass, [&] {
            if (pass.isVisible() && pass.isModal()) {
                poll.stop();
                connectedAtDialog = gFactory && gFactory->connected();
                way();
            }
        });
        poll.start(5);
        QTimer::singleShot(10000, &pass, [&] { pass.hide(); });

        start();

        ASSERT_EQ(desktop.boxes.size(), 1);
        EXPECT_EQ(desktop.boxes[0].text, QStringLiteral("Passwort Falsch oder Benutzer nicht Aktiv."));
        EXPECT_FALSE(connectedAtDialog) << "the command line's connection outlived its rejection";
        EXPECT_TRUE(ProgramEnded());
        EXPECT_FALSE(EndedByError()) << "the clerk's own end";
        EXPECT_FALSE(window->isVisible());
        EXPECT_FALSE(log->calls.contains(QStringLiteral("openId 1||KOLLEGE")));
        window.reset();
    }
    gForms = &forms;
}

TEST_F(AppTest, PickingAnUpdateLoadsItsArticlesInOrder) {
    start();
    // A change before the load must not leave "Speichern" usable for the new list.
    window->BUSpeich->setEnabled(true);
    QList<Controls> atArtListe;
    log->beforeCall = [&](const QString &call) {
        if (call == QLatin1String("call ArtListe"))
            atArtListe << Controls{window->BUSpeich->isEnabled(),
                                   window->BUDruck->isEnabled(),
                                   window->BUAusst->isEnabled(),
                                   window->liart->isEnabled(),
                                   window->lilief->isEnabled(),
                                   window->liupdate->isEnabled(),
                                   desktop.busy,
                                   window->Timer1->isActive(),
                                   window->liart->rowCount()};
    };
    QList<Controls> atEvents;
    desktop.onProcessEvents = [&] {
        atEvents << Controls{window->BUSpeich->isEnabled(),
                             window->BUDruck->isEnabled(),
                             window->BUAusst->isEnabled(),
                             window->liart->isEnabled(),
                             window->lilief->isEnabled(),
                             window->liupdate->isEnabled(),
                             desktop.busy,
                             window->Timer1->isActive(),
                             window->liart->rowCount()};
    };
    const qsizetype mark = log->calls.size();

    // Two picks in a row (the second of the same update) cause one load, 10 ms later.
    window->liupdate->setCurrentRow(1);
    emit window->liupdate->picked();
    emit window->liupdate->picked();
    EXPECT_TRUE(window->Timer1->isActive());
    EXPECT_EQ(window->liart->rowCount(), 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return window->liart->rowCount() > 0; }, 5000));
    QTest::qWait(50);
    EXPECT_EQ(log->work(mark).count(QStringLiteral("call ArtListe")), 1);
    ASSERT_TRUE(desktop.boxes.isEmpty()) << desktop.boxes.first().text.toStdString();

    // While the server prepares the list: everything but the combo disabled, the hourglass up.
    ASSERT_EQ(atArtListe.size(), 1);
    const Controls &during = atArtListe.first();
    EXPECT_FALSE(during.speich || during.druck || during.ausst || during.art || during.lief || during.timer);
    EXPECT_TRUE(during.combo);
    EXPECT_TRUE(during.busy);
    EXPECT_EQ(during.articles, 0);
    // Pending events run once, after the arrow is back and the buttons are usable again.
    ASSERT_EQ(atEvents.size(), 1);
    EXPECT_FALSE(atEvents.first().busy);
    EXPECT_TRUE(atEvents.first().druck && atEvents.first().ausst && atEvents.first().art && atEvents.first().lief);
    EXPECT_FALSE(atEvents.first().speich);

    EXPECT_EQ(window->aktUpdate, QStringLiteral("2"));
    EXPECT_FALSE(window->artListKey.isEmpty());
    EXPECT_EQ(window->liart->rowCount(), sql.value("SELECT COUNT(*) FROM upd_artikel WHERE run = 2").toInt());
    EXPECT_EQ(window->liart->rowText(0), kArticle1);
    EXPECT_EQ(window->liart->currentRow(), 0);
    EXPECT_FALSE(window->BUSpeich->isEnabled());
    EXPECT_TRUE(window->BUDruck->isEnabled());
    EXPECT_TRUE(window->BUAusst->isEnabled());
    EXPECT_FALSE(desktop.busy);

    // The supplier list belongs to the first article, which the program made current.
    EXPECT_EQ(window->Label2->text(), QStringLiteral("100001  Portlandzement CEM I 42,5 R 25 kg Sack"));
    EXPECT_EQ(supplierRows(), kSuppliers1);
    EXPECT_EQ(window->lilief->currentRow(), 0);

    const QString key = window->artListKey;
    EXPECT_EQ(log->work(mark), (QStringList{"newInstance UpdateVelka.Hauptlief", "call ArtListe", "openQuery Artikel",
                                            "execute Artikel(" + key + ")", "close Artikel", "openQuery ArtikelLief",
                                            "execute ArtikelLief(" + key + ",100001)", "close ArtikelLief"}));
    for (const QString &id : supplierIds())
        EXPECT_TRUE(id.startsWith(key + "||")) << id.toStdString();

    // The user moves to another article: its suppliers follow.
    clickArticle(1);
    EXPECT_EQ(window->liart->currentRow(), 1);
    EXPECT_EQ(window->Label2->text(), QStringLiteral("100002  Kalksandstein KS L-R 2DF 240x115x113"));
    EXPECT_EQ(supplierRows(), (QStringList{"70002 Kalksandsteinwerk Böhm KG\n1.234,50 €\n1000 Stk\n06.05.2024|1|1",
                                           "70012 Baustoffe Müller GmbH\n1.289,00 €\n1000 Stk\n28.03.2024|1|0"}));
}

TEST_F(AppTest, AnEmptyUpdateLeavesBothListsEmptyAndUsable) {
    start();
    load(1);
    ASSERT_GT(window->lilief->rowCount(), 0);
    window->BUSpeich->setEnabled(true);

    load(3);
    ASSERT_TRUE(desktop.boxes.isEmpty()) << desktop.boxes.first().text.toStdString();
    EXPECT_EQ(window->aktUpdate, QStringLiteral("4"));
    EXPECT_EQ(window->liart->rowCount(), 0);
    EXPECT_EQ(window->liart->currentRow(), -1);
    // No article, no suppliers: the list of the last update's article is gone with it.
    EXPECT_EQ(window->lilief->rowCount(), 0);
    EXPECT_EQ(window->Label2->text(), QString());
    EXPECT_TRUE(window->liart->isEnabled());
    EXPECT_TRUE(window->lilief->isEnabled());
    EXPECT_TRUE(window->BUDruck->isEnabled());
    EXPECT_TRUE(window->BUAusst->isEnabled());
    EXPECT_FALSE(window->BUSpeich->isEnabled());
    EXPECT_FALSE(desktop.busy);
}

TEST_F(AppTest, LeavingTheComboShowsTheChosenDescription) {
    start();
    window->updatebez->setText(QStringLiteral("alt"));
    window->liupdate->setCurrentRow(1);
    emit window->liupdate->focusLost();
    EXPECT_EQ(window->updatebez->text(), QStringLiteral("VELKA-Abgleich Zement, Mörtel, Putz, Kalksandstein"));

    window->liupdate->setCurrentRow(-1);
    ASSERT_EQ(window->liupdate->text(), QString());
    emit window->liupdate->focusLost();
    EXPECT_EQ(window->updatebez->text(), QString());
    EXPECT_TRUE(desktop.boxes.isEmpty());
}

namespace {

// Ends the program one way and checks that the end is the orderly one and final.
void expectOrderlyEnd(FMStart &window, FakeDesktop &desktop, ServerLog &log, const std::function<void()> &how) {
    how();
    EXPECT_EQ(desktop.endCount, 1);
    EXPECT_TRUE(ProgramEnded());
    EXPECT_TRUE(desktop.boxes.isEmpty());
    const qsizetype disconnect = log.calls.lastIndexOf(QStringLiteral("disconnect"));
    ASSERT_GE(disconnect, 0) << log.calls.join(" / ").toStdString();
    EXPECT_TRUE(log.work(disconnect + 1).isEmpty()) << log.work(disconnect + 1).join(" / ").toStdString();

    // Nothing that is still queued or pressed afterwards reaches the server or ends it again.
    const qsizetype calls = log.calls.size();
    window.BUSpeich->setEnabled(true);
    window.BUSpeich->click();
    window.BUDruck->click();
    window.BUAusst->click();
    window.Beenden->trigger();
    emit window.liupdate->picked();
    QTest::qWait(30);
    window.close();
    EXPECT_EQ(log.calls.size(), calls) << log.calls.mid(calls).join(" / ").toStdString();
    EXPECT_EQ(desktop.endCount, 1);
}

} // namespace

TEST_F(AppTest, TheCloseBoxEndsTheProgram) {
    start();
    load(1);
    ASSERT_NE(window->windowHandle(), nullptr);
    expectOrderlyEnd(*window, desktop, *log, [this] { window->windowHandle()->close(); });
}

TEST_F(AppTest, BeendenEndsTheProgram) {
    start();
    load(1);
    expectOrderlyEnd(*window, desktop, *log, [this] { window->Beenden->trigger(); });
}

TEST_F(AppTest, AusstiegEndsTheProgram) {
    start();
    load(1);
    expectOrderlyEnd(*window, desktop, *log, [this] { QTest::mouseClick(window->BUAusst, Qt::LeftButton); });
}

TEST_F(AppTest, ABrokenDateNumberOnTheServerShowsAnEmptyDateCell) {
    sql.exec("UPDATE upd_run SET datum = 1241399 WHERE id = 4"); // month 13
    sql.exec("UPDATE upd_run SET datum = 0 WHERE id = 3");
    start();
    ASSERT_TRUE(desktop.boxes.isEmpty()) << desktop.boxes.first().text.toStdString();
    EXPECT_TRUE(window->isVisible());
    ASSERT_EQ(window->liupdate->rowCount(), 4);
    EXPECT_EQ(window->liupdate->rowText(1),
              QStringLiteral("2\nVELKA-Abgleich Zement, Mörtel, Putz, Kalksandstein\n17.06.2024"));
    EXPECT_EQ(window->liupdate->rowText(2), QStringLiteral("3\nJahresabgleich Gesamtsortiment\n"));
    EXPECT_EQ(window->liupdate->rowText(3), QStringLiteral("4\nLeeres Update ohne Artikel\n"));
}

TEST_F(AppTest, NullColumnsFromTheServerAreEmptyText) {
    const QVariant nullNumber{QMetaType::fromType<qlonglong>()};
    const QVariant nullText{QMetaType::fromType<QString>()};
    // lief_such reads the supplier (column 2) first; the other columns of that row follow it.
    QString supplier;
    log->columnFilter = [&](const QString &query, int column, const QVariant &value) -> std::optional<QVariant> {
        if (query == QLatin1String("Updates")) {
            if (column == 2 && value.toInt() == 3)
                return nullNumber;
            if (column == 4 && value.toInt() == 1240617)
                return nullNumber;
        } else if (query == QLatin1String("Artikel")) {
            if ((column == 4 || column == 5) && value.toString().startsWith(QLatin1String("70002")))
                return nullText;
        } else if (query == QLatin1String("ArtikelLief")) {
            if (column == 2)
                supplier = value.toString();
            else if (supplier.startsWith(QLatin1String("70006")) && column >= 3)
                return column == 3 ? nullNumber : nullText;
            else if (supplier.startsWith(QLatin1String("70001")) && column == 3)
                return QVariant(QStringLiteral("1234.5")); // a price as text: "." is the decimal point
            else if (supplier.startsWith(QLatin1String("70012")) && column == 3)
                return QVariant(QStringLiteral("auf Anfrage"));
        }
        return std::nullopt;
    };
    start();
    ASSERT_TRUE(desktop.boxes.isEmpty()) << desktop.boxes.first().text.toStdString();
    EXPECT_EQ(window->liupdate->rowText(1), QStringLiteral("2\nVELKA-Abgleich Zement, Mörtel, Putz, Kalksandstein\n"));
    EXPECT_EQ(window->liupdate->rowText(2), QStringLiteral("\nJahresabgleich Gesamtsortiment\n25.11.2024"));

    load(1);
    ASSERT_TRUE(desktop.boxes.isEmpty()) << desktop.boxes.first().text.toStdString();
    EXPECT_EQ(window->liart->rowText(1), QStringLiteral("100002\nKalksandstein KS L-R 2DF 240x115x113\n\n"));
    const QStringList rows = supplierRows();
    ASSERT_EQ(rows.size(), 4);
    EXPECT_EQ(rows[0], QStringLiteral("70001 Zementwerke Süd AG\n1.234,50 €\nSack\n12.02.2024|1|1"));
    EXPECT_EQ(rows[1], QStringLiteral("70006 Ölmann Bauchemie GmbH\n\n\n|0|0"));
    EXPECT_EQ(rows[2], QStringLiteral("70012 Baustoffe Müller GmbH\nauf Anfrage\nSack\n|1|0"));

    // The server's own missing values: an article without a proposal has an empty last column.
    load(0);
    EXPECT_EQ(window->liart->rowText(0),
              QStringLiteral("100003\nDachlatte 30x50 mm imprägniert 4,0 m\n70003 Holzhandel Weiß & Söhne\n"));
    EXPECT_TRUE(desktop.boxes.isEmpty());
}

TEST(ProgramArguments, ThePasswordFieldIsWipedAsTheLoginCountsFields) {
    struct Case {
        std::vector<std::string> arguments;
        std::vector<std::string> wiped;
    };
    const std::vector<Case> cases = {
        {{"prog", "1", "0", "DEMO", "demo", "/tmp/x.sqlite"}, {"prog", "1", "0", "DEMO", "****", "/tmp/x.sqlite"}},
        // A blank inside one argument starts the next field of the joined command line.
        {{"prog", "1 0", "DEMO", "geheim wort", "x"}, {"prog", "1 0", "DEMO", "****** wort", "x"}},
        {{"prog", "1", "0 DEMO pw"}, {"prog", "1", "0 DEMO **"}},
        // An empty argument is an empty field: the password is the next one.
        {{"prog", "1", "", "DEMO", "pw", "x"}, {"prog", "1", "", "DEMO", "**", "x"}},
        {{"prog", "1", "0", "DEMO"}, {"prog", "1", "0", "DEMO"}},
    };
    for (const Case &c : cases) {
        std::vector<std::string> storage = c.arguments;
        std::vector<char *> argv;
        for (std::string &a : storage)
            argv.push_back(a.data());
        ScrubPasswordArgument(int(argv.size()), argv.data());
        std::vector<std::string> after(argv.begin(), argv.end());
        EXPECT_EQ(after, c.wiped);
    }
}

#ifdef KORVEX_HAUPTLIEF_EXE
namespace {

struct ProgramRun {
    bool finished = false;
    int exitCode = -1;
    QString out;
    QString err;
};

// The real program, headless, with its own settings folder; it reports its shown main window on
// stdout and then closes it.
ProgramRun runRealProgram(const QStringList &arguments) {
    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("KORVEX_AUTOTEST_QUIT_AFTER_SHOW", "1");
    env.insert("LANG", "de_DE.UTF-8");
    // Its settings go into a folder of its own; nothing of the user's is read or written.
    env.insert("XDG_CONFIG_HOME", korvextest::TempDir() + "/program-config");
    env.insert("HOME", korvextest::TempDir());
    program.setProcessEnvironment(env);
    program.start(QStringLiteral(KORVEX_HAUPTLIEF_EXE), arguments);
    ProgramRun run;
    if (!program.waitForStarted(10000))
        return run;
    run.finished = program.waitForFinished(60000);
    if (!run.finished) {
        program.kill();
        program.waitForFinished(5000);
    }
    run.out = QString::fromUtf8(program.readAllStandardOutput());
    run.err = QString::fromUtf8(program.readAllStandardError());
    if (run.finished && program.exitStatus() == QProcess::NormalExit)
        run.exitCode = program.exitCode();
    return run;
}

} // namespace

TEST_F(AppTest, TheRealProgramReachesItsMainWindowAndEndsCleanly) {
    const auto expectShownAndEnded = [](const QStringList &arguments) {
        const ProgramRun run = runRealProgram(arguments);
        ASSERT_TRUE(run.finished) << "still running (no login?); stdout: " << run.out.toStdString()
                                  << " stderr: " << run.err.toStdString();
        EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
        EXPECT_TRUE(run.out.contains("FMStart shown: " + kCaption + "\n"))
            << run.out.toStdString() << run.err.toStdString();
    };
    expectShownAndEnded({"1", "0", "DEMO", "demo", dbPath, "1972", "KORVEX"});

    // A password that looks like one of Qt's own options is the clerk's password all the same.
    sql.exec(QStringLiteral("UPDATE pers_edv SET passwort = ? WHERE firma = 1 AND code = 'DEMO'"),
             {kxserver::HashPassword(QStringLiteral("-reverse"), kxserver::kDemoPasswordCost)});
    expectShownAndEnded({"1", "0", "DEMO", "-reverse", dbPath, "1972", "KORVEX"});
}
#endif
