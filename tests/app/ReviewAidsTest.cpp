// The clerk's review aids through the real main window on the demo database: the filter, taking
// one proposal or all, undo, and the keys of the supplier list. Expectations come from the
// server's tables, not from the window's own reading of its rows.

#include "app/review/FindBar.h"
#include "app/controls/KxList.h"
#include "app/review/MainLogic.h"
#include "ReviewAidsFixture.h"

#include <QAbstractItemView>
#include <QAction>
#include <QCoreApplication>
#include <QFont>
#include <QLabel>
#include <QLineEdit>
#include <QProgressDialog>
#include <QPushButton>
#include <QRegularExpression>
#include <QStatusBar>
#include <QTest>

using namespace cacheapi;

TEST_F(ReviewAids, OnlyDifferingArticlesAreShownAndTheMoveSkipsTheOthers) {
    ASSERT_NO_FATAL_FAILURE(startOnRun2());
    EXPECT_EQ(window->mNurAbweichende->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_D));
    ASSERT_TRUE(window->mNurAbweichende->isCheckable());
    const int all = window->liart->rowCount();
    const QStringList before = rowTexts(window->liart);
    const QStringList expected = differing();
    ASSERT_GE(expected.size(), 3);
    ASSERT_LT(expected.size(), all) << "run 2 needs articles that do not differ";

    trigger(window->mNurAbweichende);
    EXPECT_EQ(shownArticles(), expected);
    EXPECT_EQ(rowTexts(window->liart), before); // hidden, not removed
    // The current article was hidden: the first differing one takes its place, with its suppliers.
    EXPECT_EQ(currentArticle(), expected[0]);
    EXPECT_TRUE(window->Label2->text().startsWith(expected[0] + "  "));

    // A new main supplier moves on to the next shown article, skipping the hidden ones between.
    const QString proposed = window->liart->rowText(window->liart->currentRow()).section('\n', 3, 3);
    int target = -1;
    for (int i = 0; i < window->lilief->rowCount() && target < 0; ++i)
        if (window->lilief->checkState(i, kAktiv) == 1 && window->lilief->checkState(i, kHaupt) == 0)
            target = i;
    ASSERT_GE(target, 0);
    toggle(target, kHaupt);
    ASSERT_TRUE(desktop.boxes.isEmpty()) << desktop.boxes.first().text.toStdString();
    EXPECT_EQ(currentArticle(), expected[1]);
    EXPECT_TRUE(window->Label2->text().startsWith(expected[1] + "  "));

    // The switch survives a reload; what the server now holds decides which rows are shown.
    load(1);
    EXPECT_TRUE(window->mNurAbweichende->isChecked());
    EXPECT_EQ(shownArticles(), differing());
    EXPECT_EQ(window->liart->rowCount(), all);
    EXPECT_EQ(currentArticle(), differing().first());

    // Off again: every row is shown, the current article stays.
    const QString current = currentArticle();
    trigger(window->mNurAbweichende);
    EXPECT_EQ(shownArticles().size(), all);
    EXPECT_EQ(currentArticle(), current);
}

TEST_F(ReviewAids, TakingTheProposalIsTickingItsSupplier) {
    // 100001 proposes 70015 (active); 100002 proposes 70002, its main supplier. Made odd here:
    // 100001's proposal is the inactive 70006, and 100002's a supplier it does not have.
    struct Case {
        const char *name;
        const char *setup;
        QString box;     // empty: accepted
        QString newMain; // the article's main supplier afterwards (number)
    } cases[] = {
        {"inactive proposal", "UPDATE upd_artikel SET velka_lief = 6 WHERE run = 2 AND artnr = '100001'",
         "Hauptlieferant muss aktiv sein", "70001"},
        {"no supplier of the article", "UPDATE upd_artikel SET velka_lief = 16 WHERE run = 2 AND artnr = '100001'",
         "Der vorgeschlagene Lieferant 70016 Keramik Gräfe GmbH ist kein Lieferant des Artikels 100001; es wurde "
         "nichts geändert.",
         "70001"},
        {"active proposal", "UPDATE upd_artikel SET velka_lief = 15 WHERE run = 2 AND artnr = '100001'", "", "70015"},
    };
    ASSERT_NO_FATAL_FAILURE(startOnRun2());
    EXPECT_EQ(window->mVorschlag->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Return));
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        sql.exec(c.setup);
        load(1);
        desktop.boxes.clear();
        ASSERT_EQ(currentArticle(), QStringLiteral("100001"));
        const qsizetype mark = log->calls.size();
        trigger(window->mVorschlag);
        if (c.box.isEmpty()) {
            EXPECT_TRUE(desktop.boxes.isEmpty()) << desktop.boxes.first().text.toStdString();
            // The click's writes: every entry of the article in one unit, then on to the next article.
            EXPECT_EQ(log->work(mark).first(), QStringLiteral("beginUnit"));
            EXPECT_EQ(log->work(mark).filter("call sys_Save").size(), 4);
            EXPECT_EQ(currentArticle(), QStringLiteral("100002"));
            EXPECT_TRUE(window->BUSpeich->isEnabled());
            EXPECT_TRUE(window->mRueckgaengig->isEnabled());
        } else {
            ASSERT_EQ(desktop.boxes.size(), 1);
            EXPECT_EQ(desktop.boxes[0].title, kTitle);
            EXPECT_EQ(desktop.boxes[0].text, c.box);
            EXPECT_EQ(log->work(mark).filter("call sys_Save"), QStringList());
            EXPECT_EQ(currentArticle(), QStringLiteral("100001"));
            EXPECT_FALSE(window->BUSpeich->isEnabled());
            for (int i = 0; i < window->lilief->rowCount(); ++i)
                EXPECT_EQ(window->lilief->checkState(i, kHaupt), i == 0 ? 1 : 0) << i;
        }
        EXPECT_EQ(window->liart->rowText(0).section('\n', 2, 2).section(' ', 0, 0), c.newMain);
        EXPECT_EQ(sql.value("SELECT f.liefnr FROM liste_haupt h JOIN lieferant f ON f.id = h.haupt_lief"
                            " WHERE h.artikel = 1")
                      .toString(),
                  c.box.isEmpty() ? c.newMain : QString());
        EXPECT_FALSE(ProgramEnded());
    }
}

TEST_F(ReviewAids, TakingAllProposalsSkipsTheArticlesWhoseProposalIsNoActiveSupplier) {
    // One differing article whose proposed supplier is made inactive: it is skipped.
    const QList<QVariantList> candidates =
        sql.rows("SELECT u.artnr, al.id FROM upd_artikel u JOIN artikel a ON a.id = u.artikel"
                 " JOIN artlief al ON al.artikel = a.id AND al.lieferant = u.velka_lief"
                 " WHERE u.run = 2 AND u.velka_lief <> COALESCE(a.haupt_lief, -1) AND al.aktiv = 'J'"
                 " AND u.artnr <> '100001' ORDER BY u.artnr");
    ASSERT_GE(candidates.size(), 2);
    const QString skippedInactive = candidates[0][0].toString();
    sql.exec("UPDATE artlief SET aktiv = 'N' WHERE id = ?", {candidates[0][1]});
    ASSERT_NO_FATAL_FAILURE(startOnRun2());
    const QStringList all = differing();
    QStringList takeable;
    for (const QVariantList &row :
         sql.rows("SELECT u.artnr FROM upd_artikel u JOIN artikel a ON a.id = u.artikel"
                  " JOIN artlief al ON al.artikel = a.id AND al.lieferant = u.velka_lief"
                  " WHERE u.run = 2 AND u.velka_lief <> COALESCE(a.haupt_lief, -1) AND al.aktiv = 'J'"
                  " ORDER BY u.artnr"))
        takeable << row.first().toString();
    QStringList skipped = all;
    for (const QString &artnr : takeable)
        skipped.removeAll(artnr);
    ASSERT_TRUE(skipped.contains(skippedInactive));
    const QString question = QStringLiteral("%1 Artikel übernehmen? %2 werden übersprungen, weil der vorgeschlagene "
                                            "Lieferant nicht aktiv oder kein Lieferant des Artikels ist.")
                                 .arg(takeable.size())
                                 .arg(skipped.size());
    const QStringList rowsBefore = rowTexts(window->liart);
    const QStringList stateBefore = serverState();

    // "Nein" changes nothing; "Ja" (the default) takes them all.
    for (const Desktop::Answer answer : {Desktop::Answer::No, Desktop::Answer::Yes}) {
        desktop.boxes.clear();
        desktop.answers = {answer};
        trigger(window->mAlleVorschlaege);
        ASSERT_GE(desktop.boxes.size(), 1);
        EXPECT_EQ(desktop.boxes[0].text, question);
        EXPECT_EQ(desktop.boxes[0].buttons, Desktop::Buttons::YesNo);
        EXPECT_EQ(desktop.boxes[0].title, kTitle);
        if (answer == Desktop::Answer::No) {
            EXPECT_EQ(desktop.boxes.size(), 1);
            EXPECT_EQ(serverState(), stateBefore);
            EXPECT_EQ(rowTexts(window->liart), rowsBefore);
            EXPECT_FALSE(window->BUSpeich->isEnabled());
        }
    }
    ASSERT_EQ(desktop.boxes.size(), 2);
    EXPECT_EQ(
        desktop.boxes[1].text,
        QStringLiteral("%1 Vorschläge übernommen.\n\nÜbersprungen: %2").arg(takeable.size()).arg(skipped.join(", ")));
    EXPECT_EQ(differing(), skipped);
    EXPECT_TRUE(window->BUSpeich->isEnabled());
    EXPECT_FALSE(ProgramEnded());

    // Every taken article shows its proposal as main supplier; the others are as they were.
    for (int r = 0; r < window->liart->rowCount(); ++r) {
        const QString row = window->liart->rowText(r);
        const QString artnr = row.section('\n', 0, 0);
        if (takeable.contains(artnr))
            EXPECT_EQ(row.section('\n', 2, 2), row.section('\n', 3, 3)) << artnr.toStdString();
        else
            EXPECT_EQ(row, rowsBefore[r]);
    }
    // Each taken article has exactly one main supplier on the server, its proposal, written as a click writes it.
    EXPECT_EQ(sql.value("SELECT COUNT(*) FROM liste_haupt h JOIN upd_artikel u ON u.artikel = h.artikel AND u.run = 2"
                        " WHERE h.haupt_lief = u.velka_lief")
                  .toInt(),
              takeable.size());
    EXPECT_EQ(sql.value("SELECT COUNT(*) FROM liste_aend WHERE aendsw <> 1 OR laktiv IS NOT NULL").toInt(), 0);
    EXPECT_EQ(sql.value("SELECT COUNT(*) FROM (SELECT artikel FROM liste_aend WHERE hlief = 'J' GROUP BY artikel"
                        " HAVING COUNT(*) = 1)")
                  .toInt(),
              takeable.size());
    // The current article's supplier list shows the new main supplier.
    ASSERT_EQ(currentArticle(), QStringLiteral("100001"));
    EXPECT_EQ(window->lilief->checkState(supplierRow("70015"), kHaupt), 1);
    EXPECT_EQ(window->lilief->checkState(supplierRow("70001"), kHaupt), 0);
}

TEST_F(ReviewAids, AFailureOrAbbrechenWhileTakingAllChangesNothing) {
    const QString stale = QStringLiteral("Der Artikel wurde inzwischen an einem anderen Arbeitsplatz geändert. Die "
                                         "Anzeige ist jetzt aktuell; bitte prüfen Sie die Änderung erneut.");
    const QString busy = QStringLiteral("Die Daten werden gerade an einem anderen Arbeitsplatz geändert.");
    struct Case {
        const char *name;
        int number;    // 0: no error, the clerk pressed "Abbrechen"
        QString box;   // the answer after the question; empty: the error report, which ends the program
        std::function<void()> inject;
    } cases[] = {
        {"Abbrechen in the progress dialog", 0, {},
         [this] {
             log->beforeCall = [this](const QString &call) {
                 if (call == QLatin1String("call VorschlaegeUebernehmen"))
                     for (QProgressDialog *progress : window->findChildren<QProgressDialog *>())
                         progress->cancel();
             };
         }},
        {"the commit fails", 9999, {}, [this] { log->failOn("commitUnit", 1, 9999, "Schreibfehler im Test"); }},
        // Between the question and "Ja": the articles are read again under the lock, and the screen
        // that no longer matches is answered like a stale click.
        {"another clerk made 100001's proposal inactive", 1011, stale,
         [this] {
             log->beforeCall = [this](const QString &call) {
                 if (call == QLatin1String("beginUnit"))
                     sql.exec("UPDATE artlief SET aktiv = 'N' WHERE artikel = 1 AND lieferant = 15");
             };
         }},
        {"the server refuses the take", 1011, stale,
         [this] { log->failOn("call VorschlaegeUebernehmen", 1, 1011, "Die Änderung wurde abgelehnt"); }},
        {"another workstation holds the list", 1019, busy,
         [this, busy] { log->failOn("call VorschlaegeUebernehmen", 1, 1019, busy + " Bitte gleich noch einmal."); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        log = std::make_shared<ServerLog>();
        desktop.boxes.clear();
        desktop.endCount = 0;
        SetUp();
        ASSERT_NO_FATAL_FAILURE(startOnRun2());
        const QStringList before = serverState();
        c.inject();
        trigger(window->mAlleVorschlaege);
        log->beforeCall = nullptr;
        EXPECT_TRUE(log->calls.contains("rollbackUnit"));
        if (c.number == 0 || !c.box.isEmpty()) {
            EXPECT_FALSE(log->calls.contains("commitUnit"));
            ASSERT_EQ(desktop.boxes.size(), c.box.isEmpty() ? 1 : 2); // the question (and the answer)
            if (!c.box.isEmpty()) {
                EXPECT_TRUE(desktop.boxes[1].text.startsWith(c.box)) << desktop.boxes[1].text.toStdString();
                EXPECT_EQ(desktop.boxes[1].title, kTitle);
            }
            EXPECT_FALSE(ProgramEnded());
            EXPECT_FALSE(window->BUSpeich->isEnabled());
            EXPECT_FALSE(window->mRueckgaengig->isEnabled());
            EXPECT_EQ(sql.value("SELECT COUNT(*) FROM liste_aend").toInt(), 0);
            // The screen shows the server's state: every row as the list's own rows give it.
            EXPECT_EQ(window->liart->rowText(0).section('\n', 2, 2).section(' ', 0, 0), "70001");
            EXPECT_EQ(shownArticles().size(), window->liart->rowCount());
            EXPECT_TRUE(mainlogic::ProposalDiffers(window->liart->rowText(0)));
            if (c.number == 0) {
                EXPECT_EQ(serverState(), before);
            }
            // The program goes on: the next change is written.
            toggle(2, kAktiv);
            EXPECT_EQ(desktop.boxes.size(), c.box.isEmpty() ? 1 : 2);
            EXPECT_TRUE(window->BUSpeich->isEnabled());
            continue;
        }
        ASSERT_EQ(desktop.boxes.size(), 2); // the question, then the error report
        EXPECT_TRUE(desktop.boxes[1].text.startsWith(QStringLiteral("Laufzeitfehler %1:").arg(c.number)))
            << desktop.boxes[1].text.toStdString();
        EXPECT_TRUE(ProgramEnded());
        EXPECT_EQ(sql.value("SELECT COUNT(*) FROM liste_aend").toInt(), 0);
        EXPECT_EQ(sql.value("SELECT COUNT(*) FROM liste_haupt").toInt(), 0);
        EXPECT_EQ(serverState(), before);
    }
}

TEST_F(ReviewAids, UndoTakesBackEachKindOfChangeToTheSavedState) {
    ASSERT_NO_FATAL_FAILURE(startOnRun2());
    EXPECT_EQ(window->mRueckgaengig->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Z));
    EXPECT_FALSE(window->mRueckgaengig->isEnabled());
    struct Snapshot {
        QStringList server;
        QStringList rows;
    };
    std::vector<Snapshot> states{{serverState(), rowTexts(window->liart)}};
    const std::vector<std::pair<const char *, std::function<void()>>> changes{
        {"Aktiv off for 70012 of 100001", [&] { toggle(2, kAktiv); }},
        {"70015 main supplier of 100001", [&] { toggle(3, kHaupt); }},
        {"all proposals", [&] { trigger(window->mAlleVorschlaege); }},
    };
    for (const auto &[name, change] : changes) {
        SCOPED_TRACE(name);
        change();
        states.push_back({serverState(), rowTexts(window->liart)});
        EXPECT_NE(states.back().server, states[states.size() - 2].server);
        EXPECT_TRUE(window->mRueckgaengig->isEnabled());
    }
    ASSERT_EQ(desktop.boxes.size(), 2); // the question and the report of "all proposals"
    for (size_t back = states.size() - 1; back > 0; --back) {
        SCOPED_TRACE(changes[back - 1].first);
        trigger(window->mRueckgaengig);
        EXPECT_EQ(serverState(), states[back - 1].server);
        EXPECT_EQ(rowTexts(window->liart), states[back - 1].rows);
    }
    EXPECT_EQ(desktop.boxes.size(), 2);
    EXPECT_FALSE(window->mRueckgaengig->isEnabled());
    EXPECT_FALSE(ProgramEnded());
    // Taken back to where they were, the entries are no change: a save finds nothing to apply, and
    // the log, the entries' changers and the list's saver record nothing.
    EXPECT_EQ(sql.value("SELECT COUNT(*) FROM liste_aend WHERE COALESCE(aendsw, 0) <> 0").toInt(), 0);
    RunHandler([this] { window->BUSpeich_Click(); });
    EXPECT_EQ(sql.value("SELECT COUNT(*) FROM speicher_log").toInt(), 0);
    EXPECT_EQ(sql.value("SELECT COUNT(*) FROM artlief WHERE gesp_pers = 'DEMO'").toInt(), 0);
    EXPECT_EQ(sql.value("SELECT COUNT(*) FROM artliste WHERE gesp_pers IS NOT NULL").toInt(), 0);
    EXPECT_EQ(serverState(), states[0].server);
    // The supplier list shows the server's flags again.
    clickArticle(0);
    EXPECT_EQ(window->lilief->checkState(2, kAktiv), 1);
    EXPECT_EQ(window->lilief->checkState(0, kHaupt), 1);

    // "Speichern" and a new load leave nothing to take back.
    toggle(2, kAktiv);
    EXPECT_TRUE(window->mRueckgaengig->isEnabled());
    RunHandler([this] { window->BUSpeich_Click(); });
    EXPECT_FALSE(window->mRueckgaengig->isEnabled());
    toggle(2, kAktiv);
    load(1);
    EXPECT_FALSE(window->mRueckgaengig->isEnabled());
}

TEST_F(ReviewAids, SpaceAndHInTheSupplierListRunTheClicksRules) {
    // 100001: 70001 (active, main), 70006 (inactive), 70012 and 70015 (active).
    ASSERT_NO_FATAL_FAILURE(startOnRun2());
    const QStringList ids = supplierIds();
    struct Case {
        int row;
        Qt::Key key;
        QString box;    // empty: accepted
        QString laktiv; // of the row's entry afterwards
        QString hlief;
    } cases[] = {
        {0, Qt::Key_Space, "Hauptlieferant muss aktiv sein", "J", "J"},
        {1, Qt::Key_H, "Hauptlieferant muss aktiv sein", "N", "N"},
        {0, Qt::Key_H, "", "J", "J"}, // already ticked: stays, nothing written
        {2, Qt::Key_Space, "", "N", "N"},
        {1, Qt::Key_Space, "", "J", "N"},
        {3, Qt::Key_H, "", "J", "J"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(QStringLiteral("row %1 key %2").arg(c.row).arg(c.key).toStdString());
        desktop.boxes.clear();
        const qsizetype mark = log->calls.size();
        keyOnSupplier(c.row, c.key);
        if (c.box.isEmpty()) {
            EXPECT_TRUE(desktop.boxes.isEmpty()) << desktop.boxes.first().text.toStdString();
        } else {
            ASSERT_EQ(desktop.boxes.size(), 1);
            EXPECT_EQ(desktop.boxes[0].text, c.box);
            EXPECT_EQ(desktop.boxes[0].title, kTitle);
            // A refused key asks whether the article is fresh and writes nothing.
            EXPECT_EQ(log->work(mark),
                      (QStringList{"beginUnit", "articleStamp " + window->artListKey + "," + currentArticle(), "rollbackUnit"}));
        }
        const EntryState state = entry(ids[c.row]);
        EXPECT_EQ(state.laktiv, c.laktiv);
        EXPECT_EQ(state.hlief, c.hlief);
    }
    EXPECT_EQ(entry(ids[0]).hlief, QStringLiteral("N"));
    EXPECT_EQ(currentArticle(), QStringLiteral("100002")); // the main-supplier change moved on
}
