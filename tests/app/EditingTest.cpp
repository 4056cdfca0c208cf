// The supplier flags under the three rules, written to the stand-in server's entries, through the
// real main window and its supplier list.

#include "AppFixture.h"
#include "app/controls/KxList.h"

#include <QLabel>
#include <QPushButton>
#include <QTest>

using namespace cacheapi;

namespace {

constexpr int kAktiv = 5;
constexpr int kHaupt = 6;

const QString kTitle = QStringLiteral("Korvex Update Hauptlieferant");

} // namespace

class Editing : public AppTest {
protected:
    // Run 2, first article 100001: 70001 (active, main), 70006 (inactive), 70012 and 70015 (active).
    void startOnRun2() {
        start();
        load(1);
        ASSERT_TRUE(desktop.boxes.isEmpty()) << desktop.boxes.first().text.toStdString();
        ids = supplierIds();
        ASSERT_GE(ids.size(), 4);
    }

    // A refused click: one box with the rule's text, the cell back, nothing written, nothing enabled.
    void expectRefused(int row, int column, const QString &message, int stateAfter) {
        const QStringList before = supplierRows();
        const qsizetype mark = log->calls.size();
        const qsizetype boxes = desktop.boxes.size();
        int stateDuringBox = -1;
        desktop.onBox = [&](const FakeDesktop::Box &) { stateDuringBox = window->lilief->checkState(row, column); };
        toggle(row, column);
        desktop.onBox = nullptr;
        ASSERT_EQ(desktop.boxes.size(), boxes + 1) << message.toStdString();
        const FakeDesktop::Box &box = desktop.boxes.last();
        EXPECT_EQ(box.title, kTitle);
        EXPECT_EQ(box.text, message);
        EXPECT_EQ(box.buttons, Desktop::Buttons::Ok);
        EXPECT_EQ(box.icon, Desktop::Icon::Information);
        // The clicked cell shows the new state while the box is up, and is put back afterwards.
        EXPECT_EQ(stateDuringBox, 1 - stateAfter);
        EXPECT_EQ(window->lilief->checkState(row, column), stateAfter);
        EXPECT_EQ(supplierRows(), before);
        // Only the freshness question, before the rules; its unit is given up before the box.
        EXPECT_EQ(log->work(mark), (QStringList{"beginUnit", freshnessQuestion(), "rollbackUnit"}))
            << log->work(mark).join(" / ").toStdString();
        EXPECT_EQ(sql.value("SELECT COUNT(*) FROM liste_aend").toInt(), 0);
        EXPECT_FALSE(window->BUSpeich->isEnabled());
        EXPECT_FALSE(ProgramEnded());
    }

    QString freshnessQuestion() const {
        return QStringLiteral("articleStamp %1,%2")
            .arg(window->artListKey, window->liart->rowText(window->liart->currentRow()).section('\n', 0, 0));
    }

    QStringList ids;
};

TEST_F(Editing, RefusedClicksPutTheCellBackAndWriteNothing) {
    ASSERT_NO_FATAL_FAILURE(startOnRun2());
    // "Aktiv" off for the main supplier.
    expectRefused(0, kAktiv, QStringLiteral("Hauptlieferant muss aktiv sein"), 1);
    // "Hauptlieferant" off for the main supplier.
    expectRefused(0, kHaupt, QStringLiteral("Ein Lieferant muss Hauptlieferant sein"), 1);
    // "Hauptlieferant" on for an inactive supplier.
    expectRefused(1, kHaupt, QStringLiteral("Hauptlieferant muss aktiv sein"), 0);

    // A cell of the text columns, were the list to report one, only makes sure of the connection.
    const qsizetype mark = log->calls.size();
    RunHandler([this] { window->lilief_CheckCell(2, 2, 1); });
    EXPECT_EQ(log->calls.mid(mark), QStringList{"connected"});
    EXPECT_FALSE(window->BUSpeich->isEnabled());
}

TEST_F(Editing, TheLastActiveSupplierStaysActive) {
    // 100003 (run 1) without a main supplier and with one active supplier; 100002 (run 2) whose
    // only active supplier is its main supplier.
    sql.exec("UPDATE artikel SET haupt_lief = NULL WHERE id = 3");
    sql.exec("UPDATE artlief SET aktiv = 'N' WHERE artikel = 3 AND lieferant = 5");
    sql.exec("UPDATE artlief SET aktiv = 'N' WHERE artikel = 2 AND lieferant = 12");
    start();
    load(0);
    ASSERT_EQ(window->liart->rowText(0), QStringLiteral("100003\nDachlatte 30x50 mm imprägniert 4,0 m\n\n"));
    // No supplier matches the empty main-supplier field: none is marked, none is made current.
    EXPECT_EQ(supplierRows(), (QStringList{"70003 Holzhandel Weiß & Söhne\n0,89 €\nlfm\n15.04.2024|1|0",
                                           "70005 Dachbaustoffe Ährenfeld GmbH\n95,00 €\n100 lfm\n|0|0"}));
    EXPECT_EQ(window->lilief->currentRow(), -1);
    expectRefused(0, kAktiv, QStringLiteral("Ein Lieferant muss Aktiv sein"), 1);

    // When the only active supplier is the main supplier, the first rule answers first.
    load(1);
    clickArticle(1);
    ASSERT_EQ(window->Label2->text(), QStringLiteral("100002  Kalksandstein KS L-R 2DF 240x115x113"));
    ASSERT_EQ(window->lilief->checkState(1, kAktiv), 0);
    expectRefused(0, kAktiv, QStringLiteral("Hauptlieferant muss aktiv sein"), 1);
}

TEST_F(Editing, AktivChangesAreWrittenAtOnce) {
    // The main supplier of 100001 inactive: switching it on is accepted like any other.
    sql.exec("UPDATE artlief SET aktiv = 'N' WHERE artikel = 1 AND lieferant = 1");
    ASSERT_NO_FATAL_FAILURE(startOnRun2());
    ASSERT_EQ(window->lilief->checkState(0, kAktiv), 0);
    ASSERT_EQ(window->lilief->checkState(0, kHaupt), 1);

    const qsizetype mark = log->calls.size();
    toggle(0, kAktiv);
    EXPECT_TRUE(desktop.boxes.isEmpty());
    // The entry's flag and change mark are read as it was opened, under the unit's lock: what
    // "Rückgängig" puts back.
    EXPECT_EQ(log->work(mark),
              (QStringList{"beginUnit", freshnessQuestion(), "openId " + ids[0], "get aendsw", "get laktiv",
                           "set laktiv=J", "set aendsw=1", "call sys_Save", "call SYS_Close", "commitUnit"}));
    EXPECT_EQ(log->calls.mid(mark).count("connected"), 2); // at the start and again before the write
    EXPECT_EQ(entry(ids[0]).laktiv, QStringLiteral("J"));
    EXPECT_EQ(entry(ids[0]).aendsw, 1);
    EXPECT_TRUE(window->BUSpeich->isEnabled());

    // Off for an active supplier while others are active; on for an inactive one.
    toggle(2, kAktiv);
    toggle(1, kAktiv);
    EXPECT_TRUE(desktop.boxes.isEmpty());
    const EntryState off = entry(ids[2]);
    EXPECT_EQ(off.laktiv, QStringLiteral("N"));
    EXPECT_EQ(off.hlief, QStringLiteral("N"));
    EXPECT_EQ(off.aendsw, 1);
    EXPECT_EQ(entry(ids[1]).laktiv, QStringLiteral("J"));
    EXPECT_EQ(entry(ids[3]).aendsw, 0); // untouched
    EXPECT_EQ(window->lilief->checkState(2, kAktiv), 0);
    EXPECT_EQ(window->lilief->checkState(1, kAktiv), 1);
    EXPECT_EQ(window->liart->currentRow(), 0); // an "Aktiv" change stays on the article
}

TEST_F(Editing, ANewMainSupplierRewritesTheArticleAndMovesOn) {
    ASSERT_NO_FATAL_FAILURE(startOnRun2());
    const QString key = window->artListKey;
    const qsizetype mark = log->calls.size();
    const QString question = freshnessQuestion();
    toggle(3, kHaupt);
    ASSERT_TRUE(desktop.boxes.isEmpty()) << desktop.boxes.first().text.toStdString();

    // The freshness question, then every entry of the article, in list order, in one unit.
    QStringList expected{"beginUnit", question};
    for (int i = 0; i < 4; ++i)
        expected << "openId " + ids[i] << "get aendsw" << "set aendsw=1" << "get hlief"
                 << (i == 3 ? "set hlief=J" : "set hlief=N") << "call sys_Save" << "call SYS_Close";
    expected << "commitUnit";
    const QStringList calls = log->calls.mid(mark);
    ASSERT_GE(calls.size(), 2);
    EXPECT_EQ(calls.first(), QStringLiteral("connected"));
    EXPECT_EQ(calls.mid(1, expected.size()), expected); // no second connection check in between

    const QStringList laktiv{"J", "N", "J", "J"};
    for (int i = 0; i < 4; ++i) {
        const EntryState state = entry(ids[i]);
        EXPECT_EQ(state.hlief, i == 3 ? "J" : "N") << i;
        EXPECT_EQ(state.aendsw, 1) << i;
        EXPECT_EQ(state.laktiv, laktiv[i]) << i;
    }
    EXPECT_EQ(window->liart->rowText(0),
              QStringLiteral("100001\nPortlandzement CEM I 42,5 R 25 kg Sack\n70015 Baustoff-Union VELKA eG\n"
                             "70015 Baustoff-Union VELKA eG"));
    EXPECT_TRUE(window->BUSpeich->isEnabled());

    // The list moved on, and the supplier list moved with it: it shows 100002's suppliers, so a
    // click there writes 100002's entries, not 100001's.
    EXPECT_EQ(window->liart->currentRow(), 1);
    EXPECT_EQ(window->Label2->text(), QStringLiteral("100002  Kalksandstein KS L-R 2DF 240x115x113"));
    EXPECT_EQ(calls.mid(1 + expected.size()).filter("ArtikelLief"),
              (QStringList{"openQuery ArtikelLief", "execute ArtikelLief(" + key + ",100002)", "close ArtikelLief"}));
    const QStringList next = supplierIds();
    ASSERT_EQ(next.size(), 2);
    toggle(1, kAktiv);
    EXPECT_TRUE(desktop.boxes.isEmpty());
    EXPECT_EQ(sql.value("SELECT artikel FROM liste_aend WHERE artlief = ?", {next[1].section("||", 1)}).toInt(), 2);

    // A reload shows what the server now holds.
    load(1);
    EXPECT_EQ(window->liart->rowText(0).section('\n', 2, 2), QStringLiteral("70015 Baustoff-Union VELKA eG"));
    EXPECT_EQ(window->lilief->currentRow(), 3);
    EXPECT_EQ(window->lilief->checkState(3, kHaupt), 1);
    EXPECT_EQ(window->lilief->checkState(0, kHaupt), 0);
}

TEST_F(Editing, OnTheLastArticleTheListStays) {
    ASSERT_NO_FATAL_FAILURE(startOnRun2());
    // The user goes to the last article with the keyboard; its suppliers follow.
    QTest::keyClick(window->liart->view(), Qt::Key_End);
    const int last = window->liart->rowCount() - 1;
    ASSERT_EQ(window->liart->currentRow(), last);
    const QString article = window->liart->rowText(last);
    ASSERT_EQ(window->Label2->text(), article.section('\n', 0, 0) + "  " + article.section('\n', 1, 1));
    int target = -1;
    for (int i = 0; i < window->lilief->rowCount() && target < 0; ++i)
        if (window->lilief->checkState(i, kAktiv) == 1 && window->lilief->checkState(i, kHaupt) == 0)
            target = i;
    ASSERT_GE(target, 0) << "the last demo article has no second active supplier";

    toggle(target, kHaupt);
    ASSERT_TRUE(desktop.boxes.isEmpty()) << desktop.boxes.first().text.toStdString();
    EXPECT_EQ(window->liart->currentRow(), last);
    const QString supplier = window->lilief->rowText(target).section('\n', 0, 0);
    EXPECT_EQ(window->liart->rowText(last).section('\n', 2, 2), supplier);
    for (int i = 0; i < window->lilief->rowCount(); ++i)
        EXPECT_EQ(window->lilief->checkState(i, kHaupt), i == target ? 1 : 0) << i;
    EXPECT_TRUE(window->BUSpeich->isEnabled());
}

TEST_F(Editing, LeadingNumbersMatchWithBlanksAndSeveralSuppliersCanCarryTheMainNumber) {
    // The entries name their main supplier themselves (the server's column 7). A server that does
    // not tell leaves it to the leading numbers of the supplier texts and the row's "Haupt-Lief".
    QString supplier;
    log->columnFilter = [&](const QString &query, int column, const QVariant &value) -> std::optional<QVariant> {
        if (query == QLatin1String("ArtikelLief") && column == 7)
            return QVariant();
        if (query == QLatin1String("ArtikelLief") && column == 2) {
            // 70012 arrives as "70 001 ...": blanks inside the number are skipped, so it carries the
            // main supplier's number as well.
            if (value.toString().startsWith(QLatin1String("70012")))
                return QVariant(QStringLiteral("70 001 Baustoffe M}ller GmbH"));
        }
        if (query == QLatin1String("Artikel") && column == 4 && value.toString().startsWith(QLatin1String("70002")))
            return QVariant(QStringLiteral(" 70 0\t02 Kalksandsteinwerk B|hm KG"));
        return std::nullopt;
    };
    ASSERT_NO_FATAL_FAILURE(startOnRun2());
    EXPECT_EQ(window->lilief->checkState(0, kHaupt), 1);
    EXPECT_EQ(window->lilief->checkState(1, kHaupt), 0);
    EXPECT_EQ(window->lilief->checkState(2, kHaupt), 1);
    EXPECT_EQ(window->lilief->checkState(3, kHaupt), 0);
    EXPECT_EQ(window->lilief->currentRow(), 2); // the last of them
    EXPECT_EQ(window->lilief->rowText(2).section('\n', 0, 0), QStringLiteral("70 001 Baustoffe Müller GmbH"));

    // A main-supplier field with blanks and a tab in its number still finds its supplier.
    clickArticle(1);
    ASSERT_EQ(window->liart->rowText(1).section('\n', 2, 2), QStringLiteral(" 70 0\t02 Kalksandsteinwerk Böhm KG"));
    EXPECT_EQ(window->lilief->checkState(0, kHaupt), 1);
    EXPECT_EQ(window->lilief->checkState(1, kHaupt), 0);
    EXPECT_EQ(window->lilief->currentRow(), 0);
}

TEST_F(Editing, AFailedWriteInAMainSupplierChangeLeavesTheServerAsItWas) {
    // A fifth supplier for 100001, so the change writes five entries.
    sql.exec("INSERT INTO artlief (id, artikel, lieferant, ek_cent, pe, le_einkauf, aktiv)"
             " VALUES ((SELECT MAX(id) + 1 FROM artlief), 1, 16, 499, 'Sack', NULL, 'J')");
    ASSERT_NO_FATAL_FAILURE(startOnRun2());
    ASSERT_EQ(ids.size(), 5);

    log->failOn("call sys_Save", 3, 9999, QStringLiteral("Schreibfehler im Test"));
    toggle(3, kHaupt);

    // Reported like any error of a handler, and the program ends.
    ASSERT_EQ(desktop.boxes.size(), 1);
    EXPECT_EQ(desktop.boxes[0].text, QStringLiteral("Laufzeitfehler 9999:\r\n\r\nSchreibfehler im Test"));
    EXPECT_EQ(desktop.boxes[0].icon, Desktop::Icon::Exclamation);
    EXPECT_EQ(desktop.endCount, 1);
    EXPECT_TRUE(ProgramEnded());
    EXPECT_TRUE(log->calls.contains("rollbackUnit"));
    EXPECT_FALSE(log->calls.contains("commitUnit"));
    EXPECT_EQ(log->calls.filter("call sys_Save").size(), 3);

    // Not one entry of the article changed: still exactly one main supplier, the old one.
    EXPECT_EQ(sql.value("SELECT COUNT(*) FROM liste_aend").toInt(), 0);
    EXPECT_EQ(sql.value("SELECT COUNT(*) FROM liste_haupt").toInt(), 0);
    for (int i = 0; i < 5; ++i) {
        const EntryState state = entry(ids[i]);
        EXPECT_EQ(state.hlief, i == 0 ? "J" : "N") << i;
        EXPECT_EQ(state.aendsw, 0) << i;
    }
}

TEST_F(Editing, AConnectionLostUnderAClickIsToldAndTheScreenPutRightBeforeTheNextChange) {
    // The server goes away while the click's unit commits (a restart): the server rolled the unit
    // back. The clerk is told and works on; the screen never names the supplier that was not stored
    // (not in the article row, not after moving away and back); the next change finds the screen
    // showing what was never stored and brings it up to the server's state first, saying so without
    // blaming another workstation; the one after that is written.
    struct Case {
        int row, column;
        bool awayAndBack; // the clerk moves to another article and back before the next change
    };
    for (const Case &c : std::vector<Case>{{3, kHaupt, false}, {2, kAktiv, false}, {3, kHaupt, true}}) {
        TearDown();
        desktop.boxes.clear();
        SetUp();
        ASSERT_NO_FATAL_FAILURE(startOnRun2());
        const QStringList before = supplierRows();
        const QStringList shownIds = supplierIds();
        const QString articleBefore = window->liart->rowText(0);
        log->beforeCall = [](const QString &call) {
            if (call == QLatin1String("commitUnit")) {
                gFactory->disconnect();
                throw ServerError(1008, QStringLiteral("Die Verbindung zum Server ist abgebrochen."));
            }
        };
        toggle(c.row, c.column);
        log->beforeCall = nullptr;
        ASSERT_EQ(desktop.boxes.size(), 1) << c.column;
        EXPECT_EQ(desktop.boxes[0].title, QStringLiteral("Caché Zugriffsfehler"));
        EXPECT_TRUE(desktop.boxes[0].text.contains(QStringLiteral("Fehler: 1008")))
            << desktop.boxes[0].text.toStdString();
        EXPECT_FALSE(ProgramEnded()) << c.column;
        EXPECT_EQ(sql.value("SELECT COUNT(*) FROM liste_aend").toInt(), 0);
        EXPECT_EQ(window->liart->rowText(0), articleBefore) << "the row changes only after the commit";
        EXPECT_EQ(window->liart->currentRow(), 0);

        if (c.awayAndBack) {
            clickArticle(1);
            clickArticle(0);
            EXPECT_EQ(supplierRows(), before) << "the ticks come from the server's entries";
            EXPECT_EQ(window->liart->rowText(0), articleBefore);
            toggle(c.row, c.column);
            EXPECT_EQ(desktop.boxes.size(), 1) << desktop.boxes.last().text.toStdString();
            EXPECT_EQ(entry(shownIds[c.row]).hlief, QStringLiteral("J"));
            EXPECT_EQ(window->liart->rowText(0).section('\n', 2, 2), before[c.row].section('\n', 0, 0));
            continue;
        }
        toggle(0, kAktiv);
        ASSERT_EQ(desktop.boxes.size(), 2) << c.column;
        EXPECT_EQ(desktop.boxes[1].title, kTitle);
        EXPECT_TRUE(desktop.boxes[1].text.contains(QStringLiteral("vielleicht gespeichert, vielleicht nicht")))
            << desktop.boxes[1].text.toStdString();
        EXPECT_FALSE(desktop.boxes[1].text.contains(QStringLiteral("anderen Arbeitsplatz")));
        EXPECT_EQ(supplierRows(), before) << c.column;
        EXPECT_EQ(window->liart->rowText(0), articleBefore) << c.column;
        EXPECT_EQ(sql.value("SELECT COUNT(*) FROM liste_aend").toInt(), 0);

        toggle(c.row, c.column);
        EXPECT_EQ(desktop.boxes.size(), 2) << desktop.boxes.last().text.toStdString();
        EXPECT_GT(sql.value("SELECT COUNT(*) FROM liste_aend").toInt(), 0) << c.column;
        EXPECT_FALSE(ProgramEnded());
    }
}

TEST_F(Editing, AFailingCloseAfterTheSaveIsIgnored) {
    ASSERT_NO_FATAL_FAILURE(startOnRun2());
    log->beforeCall = [](const QString &call) {
        if (call == QLatin1String("call SYS_Close"))
            throw ServerError(9998, QStringLiteral("Schliessen misslungen"));
    };
    toggle(2, kAktiv);
    toggle(3, kHaupt);
    EXPECT_TRUE(desktop.boxes.isEmpty()) << desktop.boxes.first().text.toStdString();
    EXPECT_FALSE(ProgramEnded());
    EXPECT_EQ(entry(ids[2]).laktiv, QStringLiteral("N"));
    EXPECT_EQ(entry(ids[3]).hlief, QStringLiteral("J"));
    EXPECT_EQ(entry(ids[0]).hlief, QStringLiteral("N"));
    EXPECT_TRUE(log->calls.contains("commitUnit"));
    EXPECT_TRUE(window->BUSpeich->isEnabled());
}
