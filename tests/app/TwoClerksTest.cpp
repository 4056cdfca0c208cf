// Two clerks on the same update: the main window against changes made at another workstation.

#include "AppFixture.h"
#include "server/admin/KorvexDb.h"
#include "app/controls/KxList.h"
#include "app/LiveView.h"
#include "server/classes/SqlFactory.h"
#include "server/exchange/Importer.h"

#include <QAbstractItemView>
#include <QLabel>
#include <QPushButton>
#include <QDate>
#include <QFile>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace cacheapi;

namespace {

constexpr int kAktiv = 5;
constexpr int kHaupt = 6;

const QString kTitle = QStringLiteral("Korvex Update Hauptlieferant");
const QString kStale =
    QStringLiteral("Der Artikel wurde inzwischen an einem anderen Arbeitsplatz geändert. Die Anzeige "
                   "ist jetzt aktuell; bitte prüfen Sie die Änderung erneut.");
const QString kClass = QStringLiteral("UpdateVelka.Hauptlief");

// The suppliers of 100001 in run 2, in list order.
const QList<int> kSuppliers{70001, 70006, 70012, 70015};
const QStringList kNames{"70001 Zementwerke Süd AG", "70006 Ölmann Bauchemie GmbH", "70012 Baustoffe Müller GmbH",
                         "70015 Baustoff-Union VELKA eG"};

} // namespace

class TwoClerks : public AppTest {
public:
    // The other workstation: its own connection and session.
    FactoryPtr colleague() {
        FactoryPtr factory = MakeSqlFactory();
        EXPECT_TRUE(factory->connectTo(kxserver::SqliteConnectString(dbPath)));
        ServerObjectPtr windows = factory->newInstance(QStringLiteral("KX.Windows"));
        QVariantList args{QStringLiteral("S FIRMA=1,FIL=0,PERSONAL=\"KOLLEGE\"")};
        windows->call(QStringLiteral("Xecute"), args);
        return factory;
    }

    // The colleague's writes to entries of 100001 (by list position), in one unit.
    void colleagueWrites(const QList<std::pair<int, QVariantMap>> &writes) {
        FactoryPtr other = colleague();
        other->beginUnit();
        for (const auto &[row, members] : writes) {
            ServerObjectPtr entry = other->openId(kClass, ids.at(row));
            for (auto it = members.begin(); it != members.end(); ++it)
                entry->setProperty(it.key(), it.value());
            entry->call(QStringLiteral("sys_Save"));
        }
        other->commitUnit();
        other->disconnect();
    }
    void colleagueMakesMain(int row) {
        QList<std::pair<int, QVariantMap>> writes;
        for (int i = 0; i < ids.size(); ++i)
            writes.append({i, {{"hlief", i == row ? "J" : "N"}, {"aendsw", 1}}});
        colleagueWrites(writes);
    }

    // A fresh database, window and record, for the next case of a table.
    void restart() {
        TearDown();
        desktop.boxes.clear();
        log->calls.clear();
        SetUp();
    }

    void startOnRun2() {
        start();
        load(1);
        ASSERT_TRUE(desktop.boxes.isEmpty()) << desktop.boxes.first().text.toStdString();
        ids = supplierIds();
        ASSERT_EQ(ids.size(), kSuppliers.size());
    }

    // The screen shows what the server holds: every cell as the entries say, the article row's
    // "Haupt-Lief" naming the entry marked as main supplier, and nothing of this clerk written.
    void expectCurrentAndNothingWritten(const char *what) {
        QString main;
        for (int i = 0; i < ids.size(); ++i) {
            const EntryState state = entry(ids[i]);
            EXPECT_EQ(window->lilief->checkState(i, kAktiv), state.laktiv == "J" ? 1 : 0) << what << " row " << i;
            EXPECT_EQ(window->lilief->checkState(i, kHaupt), state.hlief == "J" ? 1 : 0) << what << " row " << i;
            if (state.hlief == "J")
                main = kNames[i];
        }
        EXPECT_EQ(window->liart->rowText(0).section('\n', 2, 2), main) << what;
        EXPECT_EQ(window->liart->currentRow(), 0) << what;
        EXPECT_EQ(sql.value("SELECT COUNT(*) FROM liste_aend WHERE aend_pers <> 'KOLLEGE'").toInt(), 0) << what;
        EXPECT_FALSE(window->BUSpeich->isEnabled()) << what;
        EXPECT_FALSE(ProgramEnded()) << what;
    }

    void expectOneStaleBox(const char *what, qsizetype before) {
        ASSERT_EQ(desktop.boxes.size(), before + 1) << what;
        EXPECT_EQ(desktop.boxes.last().title, kTitle) << what;
        EXPECT_EQ(desktop.boxes.last().text, kStale) << what;
        EXPECT_EQ(desktop.boxes.last().buttons, Desktop::Buttons::Ok) << what;
        EXPECT_EQ(desktop.boxes.last().icon, Desktop::Icon::Information) << what;
    }

    // The status line counts the articles that differ on the server now.
    void expectDifferingCounted(const char *what) {
        EXPECT_TRUE(window->statusLine->text().contains(QStringLiteral(" · %1 weichen ab · ").arg(differing().size())))
            << what << ": " << window->statusLine->text().toStdString();
    }

    // Every entry of run 2 as the list shows it ("artnr pair laktiv hlief"), and the list's own rows
    // as written (any write changes them: who and when).
    QStringList shownState() const {
        QStringList result;
        for (const QVariantList &row :
             sql.rows("SELECT u.artnr, al.id, COALESCE(o.laktiv, al.aktiv),"
                      " COALESCE(o.hlief, CASE WHEN a.haupt_lief = al.lieferant THEN 'J' ELSE 'N' END)"
                      " FROM upd_artikel u JOIN artikel a ON a.id = u.artikel JOIN artlief al ON al.artikel = a.id"
                      " LEFT JOIN liste_aend o ON o.artlief = al.id WHERE u.run = 2 ORDER BY u.artnr, al.id"))
            result << QStringLiteral("%1 %2 %3 %4")
                          .arg(row[0].toString(), row[1].toString(), row[2].toString(), row[3].toString());
        return result;
    }
    QStringList written() const {
        QStringList result;
        for (const QVariantList &row : sql.rows("SELECT * FROM liste_aend ORDER BY liste, artlief")) {
            QStringList values;
            for (const QVariant &value : row)
                values << value.toString();
            result << values.join(' ');
        }
        return result;
    }
    // 100001's main supplier as the server holds it, as the article row names it.
    QString serverMainOf100001() const {
        for (int i = 0; i < ids.size(); ++i)
            if (entry(ids[i]).hlief == "J")
                return kNames[i];
        return QString();
    }

    QStringList ids;
};

TEST_F(TwoClerks, AClickOnAStaleArticleRefreshesAndWritesNothing) {
    // What the colleague changed, and the click on the screen that still shows the old state.
    struct Case {
        const char *what;
        std::function<void(TwoClerks &)> colleague;
        int row;
        int column;
    };
    const std::vector<Case> cases{
        {"main supplier moved, then Aktiv off", [](TwoClerks &t) { t.colleagueMakesMain(2); }, 2, kAktiv},
        {"main supplier moved, then a new main", [](TwoClerks &t) { t.colleagueMakesMain(2); }, 3, kHaupt},
        {"the proposal taken, then Aktiv off", [](TwoClerks &t) { t.colleagueMakesMain(3); }, 2, kAktiv},
        {"a supplier switched off, then a refused click",
         [](TwoClerks &t) {
             t.colleagueWrites({{3, {{"laktiv", "N"}, {"aendsw", 1}}}});
         },
         0, kHaupt},
        {"a supplier switched on, then Aktiv off",
         [](TwoClerks &t) {
             t.colleagueWrites({{1, {{"laktiv", "J"}, {"aendsw", 1}}}});
         },
         2, kAktiv},
    };
    for (const Case &c : cases) {
        restart();
        ASSERT_NO_FATAL_FAILURE(startOnRun2());
        c.colleague(*this);
        const qsizetype boxes = desktop.boxes.size();
        toggle(c.row, c.column);
        expectOneStaleBox(c.what, boxes);
        expectCurrentAndNothingWritten(c.what);
        expectDifferingCounted(c.what);
        EXPECT_EQ(log->calls.filter("articleStamp").size(), 1) << c.what;
    }

    // On the current screen the same click goes through.
    toggle(2, kAktiv);
    EXPECT_EQ(desktop.boxes.size(), 1);
    EXPECT_EQ(entry(ids[2]).laktiv, "N");
    EXPECT_TRUE(window->BUSpeich->isEnabled());
}

TEST_F(TwoClerks, TheServersRefusalIsAnsweredByTheSameBox) {
    // The freshness question holds the list's lock until the commit, so no colleague on this list can
    // come in between; the server may still refuse the writes (a save of another update's list that
    // changed the master data in the same moment). Such a refusal, at the commit, is answered like a
    // stale screen: nothing written, the server's state shown, the program goes on.
    for (const auto &[row, column] : std::vector<std::pair<int, int>>{{2, kAktiv}, {3, kHaupt}}) {
        restart();
        ASSERT_NO_FATAL_FAILURE(startOnRun2());
        log->failOn("commitUnit", 1, 1011, QStringLiteral("Die Änderung wurde abgelehnt"));
        toggle(row, column);
        log->beforeCall = nullptr;
        const std::string what = "column " + std::to_string(column);
        expectOneStaleBox(what.c_str(), 0);
        expectCurrentAndNothingWritten(what.c_str());
        EXPECT_TRUE(log->calls.contains("rollbackUnit")) << what;
        EXPECT_EQ(window->liart->rowText(0).section('\n', 2, 2), kNames[0]) << "the article row is put back";
    }
}

TEST_F(TwoClerks, AnotherWorkstationsChangeShowsWithinASecondWithoutMovingAnything) {
    ASSERT_NO_FATAL_FAILURE(startOnRun2());
    // The clerk looks at the second supplier; the list is scrolled as it is.
    window->lilief->setCurrentRow(1);
    const int scroll = qobject_cast<QAbstractItemView *>(window->lilief->view())->verticalScrollBar()->value();
    // The colleague's changes come right after the load, before the live view's first look.
    const QString article2Before = window->liart->rowText(1);

    colleagueMakesMain(2); // 100001, the current article: 70012 becomes main supplier
    colleagueWrites({{1, {{"laktiv", "J"}, {"aendsw", 1}}}});
    // 100002, not current: its second supplier becomes main supplier.
    {
        FactoryPtr other = colleague();
        cacheapi::QueryCursorPtr query = other->openQuery(kClass, "ArtikelLief");
        query->execute({window->artListKey, "100002"});
        QStringList second;
        while (query->next())
            second << query->column(1).toString();
        query->close();
        ASSERT_EQ(second.size(), 2);
        other->beginUnit();
        for (int i = 0; i < 2; ++i) {
            ServerObjectPtr entry = other->openId(kClass, second[i]);
            entry->setProperty("hlief", i == 1 ? "J" : "N");
            entry->call("sys_Save");
        }
        other->commitUnit();
    }

    EXPECT_TRUE(
        QTest::qWaitFor([&] { return window->lilief->checkState(2, kHaupt) == 1; }, 1000 + 2 * LiveView::kIntervalMs));
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return window->liart->rowText(1) != article2Before; }, 2 * LiveView::kIntervalMs));
    EXPECT_EQ(window->liart->rowText(0).section('\n', 2, 2), kNames[2]);
    EXPECT_EQ(window->lilief->checkState(0, kHaupt), 0);
    EXPECT_EQ(window->lilief->checkState(1, kAktiv), 1);
    EXPECT_EQ(window->liart->rowText(1).section('\n', 0, 1), article2Before.section('\n', 0, 1));
    expectDifferingCounted("after the live view");
    EXPECT_NE(window->liart->rowText(1).section('\n', 2, 2), article2Before.section('\n', 2, 2));
    // Nothing moved, nothing was asked, nothing written by this clerk.
    EXPECT_EQ(window->liart->currentRow(), 0);
    EXPECT_EQ(window->lilief->currentRow(), 1);
    EXPECT_EQ(qobject_cast<QAbstractItemView *>(window->lilief->view())->verticalScrollBar()->value(), scroll);
    EXPECT_TRUE(desktop.boxes.isEmpty());
    EXPECT_EQ(sql.value("SELECT COUNT(*) FROM liste_aend WHERE aend_pers <> 'KOLLEGE'").toInt(), 0);

    // The screen is current now: a click goes through without the stale box.
    toggle(3, kAktiv);
    EXPECT_TRUE(desktop.boxes.isEmpty()) << desktop.boxes.first().text.toStdString();
    EXPECT_EQ(entry(ids[3]).laktiv, "N");

    // Inside a handler the live view does not look; afterwards the change shows.
    colleagueWrites({{3, {{"laktiv", "J"}, {"aendsw", 1}}}});
    RunHandler([&] {
        window->liveView->look();
        EXPECT_EQ(window->lilief->checkState(3, kAktiv), 0) << "refreshed inside a handler";
    });
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return window->lilief->checkState(3, kAktiv) == 1; }, 1000 + 2 * LiveView::kIntervalMs));
    // An article the list does not hold is ignored.
    const QStringList rows = rowTexts(window->liart);
    window->liveView->apply({"999999", ""});
    EXPECT_EQ(rowTexts(window->liart), rows);

    // After the idle disconnect, what the colleague did meanwhile shows once the program is
    // connected again (the next action reconnects; the live view itself never does).
    RunHandler([] { Disconnect(); });
    colleagueWrites({{3, {{"laktiv", "N"}, {"aendsw", 1}}}});
    RunHandler([] { ConnectServer(); });
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return window->lilief->checkState(3, kAktiv) == 0; }, 1000 + 2 * LiveView::kIntervalMs));

    // A colleague's take-all of every differing article costs no read of their rows: the look
    // brings them (the current article, 100001, is not among them).
    QStringList differs = differing();
    differs.removeAll("100001"); // its proposal 70015 is inactive now
    ASSERT_GE(differs.size(), 10);
    {
        FactoryPtr other = colleague();
        ServerObjectPtr list = other->newInstance(kClass);
        QVariantList args{window->artListKey, differs.join('\n')};
        list->call("VorschlaegeUebernehmen", args);
        other->disconnect();
    }
    const qsizetype mark = log->calls.size();
    EXPECT_TRUE(QTest::qWaitFor([&] { return window->statusLine->text().contains(" · 1 weichen ab"); },
                                1000 + 2 * LiveView::kIntervalMs))
        << window->statusLine->text().toStdString();
    EXPECT_EQ(log->calls.mid(mark).filter("execute ").size(), 0) << log->calls.mid(mark).join(" / ").toStdString();
    EXPECT_TRUE(desktop.boxes.isEmpty());
}

TEST_F(TwoClerks, AnImportedPriceShowsAtTheNextLookWithItsHistory) {
    ASSERT_NO_FATAL_FAILURE(startOnRun2());
    window->lilief->setCurrentRow(1);
    // The admin imports a new price for 100001's pair with 70012 (5,10 € per Sack, active).
    QTemporaryDir files;
    const QString path = files.filePath(QStringLiteral("artlief.csv"));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("Artikel-Nr;Lieferant-Nr;EK-Netto;per;Aktiv\n100001;70012;5,60;Sack;J\n");
    file.close();
    kxexchange::ImportRequest request;
    request.files.push_back({QStringLiteral("artlief"), path});
    kxserver::ConnectTarget target;
    target.path = dbPath;
    const kxexchange::ImportReport report = kxexchange::Import(target, request);
    ASSERT_TRUE(report.ok) << report.errors.join('\n').toStdString();

    EXPECT_TRUE(QTest::qWaitFor([&] { return window->lilief->rowText(2).section('\n', 1, 1) == "5,60 €"; },
                                1000 + 2 * LiveView::kIntervalMs))
        << window->lilief->rowText(2).toStdString();
    EXPECT_EQ(window->lilief->cellToolTip(2, 2),
              "5,60 € je Sack\nPreis seit " + QDate::currentDate().toString("dd.MM.yyyy") + ", vorher 5,10 € (+9,8 %)");
    // Nothing moved, nothing written by this clerk.
    EXPECT_EQ(window->liart->currentRow(), 0);
    EXPECT_EQ(window->lilief->currentRow(), 1);
    EXPECT_EQ(supplierIds(), ids);
    EXPECT_TRUE(desktop.boxes.isEmpty());
    EXPECT_EQ(sql.value("SELECT COUNT(*) FROM liste_aend").toInt(), 0);
}

TEST_F(TwoClerks, UndoOfAnArticleChangedElsewhereShowsTheBoxAndWritesNothing) {
    // The clerk's change, and what the colleague then does to 100001 (nothing: the undo goes through).
    struct Case {
        const char *what;
        std::function<void()> change;
        std::function<void()> colleague;
        bool moreToUndo; // the step's other articles stay to be taken back
    };
    const auto aktivOff = [this] { toggle(2, kAktiv); };
    const auto newMain = [this] { toggle(3, kHaupt); }; // moves on to 100002
    const auto takeAll = [this] { RunHandler([this] { window->AlleVorschlaege_Click(); }); };
    const auto switchOn = [this] { colleagueWrites({{1, {{"laktiv", "J"}, {"aendsw", 1}}}}); };
    const auto main70012 = [this] { colleagueMakesMain(2); };
    const std::vector<Case> cases{
        {"Aktiv off", aktivOff, switchOn, false},
        {"Aktiv off, nobody else", aktivOff, nullptr, false},
        {"a new main supplier", newMain, main70012, false},
        {"a new main supplier, nobody else", newMain, nullptr, false},
        {"all proposals", takeAll, main70012, true},
        {"all proposals, nobody else", takeAll, nullptr, false},
    };
    const auto undo = [this] { RunHandler([this] { window->Rueckgaengig_Click(); }); };
    for (const Case &c : cases) {
        restart();
        ASSERT_NO_FATAL_FAILURE(startOnRun2());
        const QStringList saved = shownState();
        const QStringList rows = rowTexts(window->liart);
        c.change();
        ASSERT_NE(shownState(), saved) << c.what;
        if (c.colleague)
            c.colleague();
        const QStringList before = shownState();
        const QStringList writtenBefore = written();
        const qsizetype boxes = desktop.boxes.size();
        const qsizetype mark = log->calls.size();
        undo();
        EXPECT_EQ(log->calls.mid(mark).filter("articleStamps ").size(), 1) << c.what << ": one question";
        EXPECT_FALSE(ProgramEnded()) << c.what;
        if (!c.colleague) {
            EXPECT_EQ(desktop.boxes.size(), boxes) << c.what;
            EXPECT_EQ(shownState(), saved) << c.what;
            EXPECT_EQ(rowTexts(window->liart), rows) << c.what;
            EXPECT_FALSE(window->mRueckgaengig->isEnabled()) << c.what;
            continue;
        }
        expectOneStaleBox(c.what, boxes);
        EXPECT_EQ(written(), writtenBefore) << c.what << ": nothing written, the colleague's change stands";
        EXPECT_EQ(window->liart->rowText(0).section('\n', 2, 2), serverMainOf100001()) << c.what;
        EXPECT_EQ(window->mRueckgaengig->isEnabled(), c.moreToUndo) << c.what;
        if (!c.moreToUndo)
            continue;
        // The step's other articles go back; 100001 keeps what the colleague made of it.
        undo();
        EXPECT_EQ(desktop.boxes.size(), boxes + 1) << c.what;
        QStringList expected = saved;
        for (qsizetype i = 0; i < expected.size(); ++i)
            if (expected[i].startsWith("100001 "))
                expected[i] = before[i];
        EXPECT_EQ(shownState(), expected) << c.what;
        EXPECT_NE(expected, saved) << c.what;
        EXPECT_FALSE(window->mRueckgaengig->isEnabled()) << c.what;
    }
}

TEST_F(TwoClerks, UndoOfTakingAllPutsBackWhatTheServerHeldWhenItWasWritten) {
    // A colleague makes 70012 main supplier of 100001 while the question of "Alle Vorschläge" is
    // open. The take reads its articles again under the lock, so taking it back restores the
    // colleague's 70012, not the 70001 the screen showed when the clerk asked.
    ASSERT_NO_FATAL_FAILURE(startOnRun2());
    desktop.onBox = [this](const FakeDesktop::Box &box) {
        if (box.buttons == Desktop::Buttons::YesNo)
            colleagueMakesMain(2);
    };
    RunHandler([this] { window->AlleVorschlaege_Click(); });
    desktop.onBox = nullptr;
    ASSERT_EQ(desktop.boxes.size(), 2) << desktop.boxes.last().text.toStdString(); // question, report
    EXPECT_EQ(entry(ids[3]).hlief, "J") << "the proposal 70015 was taken";
    RunHandler([this] { window->Rueckgaengig_Click(); });
    EXPECT_EQ(desktop.boxes.size(), 2) << desktop.boxes.last().text.toStdString();
    EXPECT_EQ(serverMainOf100001(), kNames[2]) << "the colleague's main supplier is back";
    EXPECT_EQ(window->liart->rowText(0).section('\n', 2, 2), kNames[2]);
    for (int i = 0; i < ids.size(); ++i)
        EXPECT_EQ(window->lilief->checkState(i, kHaupt), i == 2 ? 1 : 0) << i;
    EXPECT_FALSE(ProgramEnded());
}

TEST_F(TwoClerks, ALongUnitElsewhereIsAnsweredLikeARefusal) {
    // Another workstation holds the list's lock longer than the server waits (error 1019): whatever
    // the clerk did is not stored, he is told, the screen shows the server's state, and the program
    // goes on; once the lock is free the same action goes through.
    const QString busy = QStringLiteral("Die Daten werden gerade an einem anderen Arbeitsplatz geändert.");
    struct Case {
        const char *what;
        std::function<void()> before; // this clerk's change before the colleague's unit
        std::function<void()> action;
        std::function<bool()> done;  // the action's effect on the server
    };
    const std::vector<Case> cases{
        {"a click", nullptr, [this] { toggle(2, kAktiv); },
         [this] { return entry(ids[2]).laktiv == "N"; }},
        {"Rückgängig", [this] { toggle(2, kAktiv); },
         [this] { RunHandler([this] { window->Rueckgaengig_Click(); }); },
         [this] { return entry(ids[2]).laktiv == "J"; }},
        {"Speichern", [this] { toggle(2, kAktiv); },
         [this] { RunHandler([this] { window->BUSpeich_Click(); }); },
         [this] { return sql.value("SELECT COUNT(*) FROM speicher_log").toInt() > 0; }},
        {"Alle Vorschläge", nullptr, [this] { RunHandler([this] { window->AlleVorschlaege_Click(); }); },
         [this] { return entry(ids[3]).hlief == "J"; }},
    };
    for (const Case &c : cases) {
        restart();
        ASSERT_NO_FATAL_FAILURE(startOnRun2());
        if (c.before)
            c.before();
        const bool saveEnabled = window->BUSpeich->isEnabled();
        const QStringList shown = rowTexts(window->liart);
        FactoryPtr other = colleague();
        other->beginUnit();
        ServerObjectPtr held = other->openId(kClass, ids[0]);
        held->setProperty("aendsw", 1);
        held->call("sys_Save"); // takes the list's lock until the unit ends
        const qsizetype boxes = desktop.boxes.size();
        c.action();
        ASSERT_GT(desktop.boxes.size(), boxes) << c.what;
        EXPECT_TRUE(desktop.boxes.last().text.startsWith(busy)) << c.what << ": " << desktop.boxes.last().text.toStdString();
        EXPECT_FALSE(desktop.boxes.last().text.contains("Start")) << c.what;
        EXPECT_EQ(desktop.boxes.last().title, kTitle) << c.what;
        EXPECT_FALSE(ProgramEnded()) << c.what;
        held.reset();
        other->rollbackUnit();
        other->disconnect();
        EXPECT_FALSE(c.done()) << c.what << ": nothing stored";
        EXPECT_EQ(rowTexts(window->liart), shown) << c.what;
        EXPECT_EQ(window->BUSpeich->isEnabled(), saveEnabled) << c.what;
        desktop.boxes.clear();
        c.action();
        EXPECT_TRUE(c.done()) << c.what << ": the same action goes through once the lock is free";
        EXPECT_FALSE(ProgramEnded()) << c.what;
    }
}

TEST_F(TwoClerks, MovingToAnArticleShowsItFromTheServersEntries) {
    // The live view is not running: only moving to the article shows the colleague's change. The
    // ticks come from the entries' own main-supplier flags, and the row's "Haupt-Lief" with them.
    ASSERT_NO_FATAL_FAILURE(startOnRun2());
    QTimer *live = window->findChild<QTimer *>(QStringLiteral("liveView"));
    ASSERT_NE(live, nullptr);
    live->stop();
    colleagueMakesMain(2);
    clickArticle(1);
    clickArticle(0);
    for (int i = 0; i < ids.size(); ++i)
        EXPECT_EQ(window->lilief->checkState(i, kHaupt), i == 2 ? 1 : 0) << i;
    EXPECT_EQ(window->lilief->currentRow(), 2);
    EXPECT_EQ(window->liart->rowText(0).section('\n', 2, 2), kNames[2]);
    // What the screen shows is current: the next click is written without a box.
    toggle(3, kHaupt);
    EXPECT_TRUE(desktop.boxes.isEmpty()) << desktop.boxes.first().text.toStdString();
    EXPECT_EQ(serverMainOf100001(), kNames[3]);
}

TEST_F(TwoClerks, TakenBackAfterAColleaguesSaveIsAChangeToSave) {
    // Taken back before anything was saved, an entry is no change; once a colleague's Speichern put
    // the change into the master data, taking it back is a change of its own that the next save
    // applies (it must not vanish with the list's changes).
    ASSERT_NO_FATAL_FAILURE(startOnRun2());
    const auto colleagueSaves = [this] {
        FactoryPtr other = colleague();
        ServerObjectPtr list = other->newInstance(kClass);
        QVariantList args{"1", window->artListKey};
        list->call("Speichern", args);
        other->disconnect();
    };
    toggle(2, kAktiv);
    colleagueSaves();
    ASSERT_EQ(sql.value("SELECT aktiv FROM artlief WHERE id = ?", {ids[2].section("||", 1)}).toString(), "N");
    RunHandler([this] { window->Rueckgaengig_Click(); });
    EXPECT_TRUE(desktop.boxes.isEmpty()) << desktop.boxes.first().text.toStdString();
    EXPECT_EQ(entry(ids[2]).laktiv, "J");
    EXPECT_EQ(entry(ids[2]).aendsw, 1);
    colleagueSaves();
    EXPECT_EQ(sql.value("SELECT aktiv FROM artlief WHERE id = ?", {ids[2].section("||", 1)}).toString(), "J");
    EXPECT_EQ(entry(ids[2]).laktiv, "J");
}
