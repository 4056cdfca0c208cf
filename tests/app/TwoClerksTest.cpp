// Two clerks on the same update: the main window against changes made at another workstation.

#include "AppFixture.h"
#include "KorvexDb.h"
#include "KxList.h"
#include "LiveView.h"
#include "SqlFactory.h"

#include <QAbstractItemView>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>

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
}
