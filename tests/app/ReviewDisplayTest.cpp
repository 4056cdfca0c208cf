// The review aids that show rather than change: the status line, the find bar and the price per
// unit, through the real main window.

#include "app/review/FindBar.h"
#include "app/controls/KxList.h"
#include "app/review/MainLogic.h"
#include "ReviewAidsFixture.h"

#include <QAbstractItemView>
#include <QAction>
#include <QCoreApplication>
#include <QFont>
#include <QFontMetricsF>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressDialog>
#include <QPushButton>
#include <QRegularExpression>
#include <QStatusBar>
#include <QStyle>
#include <QTableView>
#include <QTest>

using namespace cacheapi;

TEST_F(ReviewAids, TheStatusLineFollowsEveryStepWithoutAskingTheServer) {
    ASSERT_NO_FATAL_FAILURE(startOnRun2());
    const int all = window->liart->rowCount();
    const int differ = int(differing().size());
    const auto status = [&](const QString &at, int differs, int changed) {
        return QStringLiteral("Artikel %1 von %2 · %3 weichen ab · %4 geändert, nicht gespeichert")
            .arg(at)
            .arg(all)
            .arg(differs)
            .arg(changed);
    };
    // The client area keeps its design size; the status line comes below it.
    const double scale = window->logicalDpiX() / 96.0;
    EXPECT_EQ(window->centralWidget()->size(), QSize(qRound(783 * scale), qRound(584 * scale)));
    EXPECT_TRUE(window->statusBar()->isVisible());

    const std::vector<std::tuple<const char *, std::function<void()>, QString>> steps{
        {"load", [] {}, status("1", differ, 0)},
        {"Aktiv switch", [&] { toggle(2, kAktiv); }, status("1", differ, 1)},
        {"new main supplier of 100001", [&] { toggle(3, kHaupt); }, status("2", differ - 1, 1)},
        {"undo", [&] { trigger(window->mRueckgaengig); }, status("2", differ, 1)},
        {"click on the third article", [&] { clickArticle(2); }, status("3", differ, 1)},
        {"save", [&] { RunHandler([this] { window->BUSpeich_Click(); }); }, status("3", differ, 0)},
    };
    for (const auto &[name, step, expected] : steps) {
        SCOPED_TRACE(name);
        const qsizetype mark = log->calls.size();
        step();
        EXPECT_EQ(window->statusLine->text(), expected);
        // Only the display's own reads of what changed: the status line asks the server nothing.
        EXPECT_EQ(log->work(mark).filter(QRegularExpression("^execute (?!ArtikelLief\\(|ArtikelZeilen\\()")),
                  QStringList());
    }
    trigger(window->mNurAbweichende);
    ASSERT_FALSE(window->liart->isRowHidden(window->liart->currentRow()));
    EXPECT_EQ(window->statusLine->text(), status(QString::number(window->liart->currentRow() + 1), differ, 0));
}

TEST_F(ReviewAids, SearchMovesToTheNextMatchAndWraps) {
    ASSERT_NO_FATAL_FAILURE(startOnRun2());
    const auto matching = [this](const char *where) {
        QStringList result;
        for (const QVariantList &row :
             sql.rows(QStringLiteral("SELECT u.artnr FROM upd_artikel u JOIN artikel a ON "
                                     "a.id = u.artikel WHERE u.run = 2 AND (%1) ORDER BY u.artnr")
                          .arg(QLatin1String(where))))
            result << row.first().toString();
        return result;
    };
    struct Case {
        const char *name;
        QString term;
        QStringList matches; // in list order
        bool filter;
    } cases[] = {
        {"article number prefix", "10000", matching("u.artnr LIKE '10000%'"), false},
        // Stored as "Wei~": typed with its umlaut and in other letter case.
        {"word of the description", "WEIß", matching("a.bez LIKE 'Wei~%' OR a.bez LIKE '% wei~%'"), false},
        {"only shown rows", "zement", matching("a.bez LIKE 'zement%' OR a.bez LIKE '% zement%'"), true},
    };
    EXPECT_EQ(window->mSuchen->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_F));
    EXPECT_EQ(window->mWeitersuchen->shortcut(), QKeySequence(Qt::Key_F3));
    for (Case &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.filter) {
            trigger(window->mNurAbweichende);
            const QStringList shown = differing();
            c.matches.erase(std::remove_if(c.matches.begin(), c.matches.end(),
                                           [&](const QString &a) { return !shown.contains(a); }),
                            c.matches.end());
        }
        ASSERT_GE(c.matches.size(), 2);
        clickArticle(window->liart->nextShownRow(-1));
        const QString from = currentArticle();
        qsizetype next = 0;
        while (next < c.matches.size() && c.matches[next] <= from)
            ++next;
        trigger(window->mSuchen);
        ASSERT_TRUE(window->findBar->isVisible());
        window->findBar->field()->clear();
        QTest::keyClicks(window->findBar->field(), c.term);
        // Return and F3 alike, once round and one more: the search wraps at the end of the list.
        for (qsizetype i = 0; i <= c.matches.size(); ++i) {
            if (i % 2 == 0)
                QTest::keyClick(window->findBar->field(), Qt::Key_Return);
            else
                trigger(window->mWeitersuchen);
            const QString expected = c.matches[(next + i) % c.matches.size()];
            EXPECT_EQ(currentArticle(), expected) << i;
            EXPECT_TRUE(window->Label2->text().startsWith(expected + "  "));
        }
        EXPECT_TRUE(desktop.boxes.isEmpty());
        QTest::keyClick(window->findBar->field(), Qt::Key_Escape);
        EXPECT_FALSE(window->findBar->isVisible());
    }
    // Nothing found: a box, the article stays.
    const QString at = currentArticle();
    trigger(window->mSuchen);
    window->findBar->field()->setText("xyzzy");
    QTest::keyClick(window->findBar->field(), Qt::Key_Return);
    ASSERT_EQ(desktop.boxes.size(), 1);
    EXPECT_EQ(desktop.boxes[0].text, QStringLiteral("Kein Artikel zu \"xyzzy\" gefunden."));
    EXPECT_EQ(currentArticle(), at);
}

TEST_F(ReviewAids, PriceCellsShowThePricePerUnitAndTheCheapestOfferIsBold) {
    // 100003's first offer (0,89 € per lfm, last bought 15.04.2024) changed its price since and has a
    // new one coming; the second has no history.
    const QString pair = QStringLiteral("(SELECT al.id FROM artlief al JOIN artikel a ON a.id = al.artikel JOIN"
                                        " lieferant f ON f.id = al.lieferant WHERE a.firma = 1 AND a.artnr = '100003'"
                                        " AND f.liefnr = 70003)");
    sql.exec(
        QStringLiteral("INSERT INTO preis_hist (artlief, ek_alt, pe_alt, ek_neu, pe_neu, gueltig_ab, offen, quelle,"
                       " erf_zeit, erf_pers) VALUES (%1, 85, 'lfm', 89, 'lfm', '2024-06-01', 0, 'Import',"
                       " '2024-06-01T08:00:00', 'admin'), (%1, NULL, NULL, 92, 'lfm', '2027-03-01', 1, 'Import',"
                       " '2024-06-01T08:00:00', 'admin')")
            .arg(pair));
    const QString history = QStringLiteral("0,89 € je lfm\nPreis seit 01.06.2024, vorher 0,85 € (+4,7 %)\n"
                                           "Ab 01.03.2027: 0,92 €");
    start();
    load(0); // run 1, first article 100003: 0,89 € per lfm and 95,00 € per 100 lfm
    ASSERT_EQ(currentArticle(), QStringLiteral("100003"));
    auto *view = qobject_cast<QAbstractItemView *>(window->lilief->view());
    ASSERT_NE(view, nullptr);
    QCoreApplication::processEvents();
    EXPECT_EQ(view->model()->index(1, 1).data(Qt::ToolTipRole).toString(), QStringLiteral("0,95 € je lfm"));
    EXPECT_EQ(view->model()->index(0, 1).data(Qt::ToolTipRole).toString(), history);
    EXPECT_TRUE(view->model()->index(0, 0).data(Qt::FontRole).value<QFont>().bold());
    EXPECT_FALSE(view->model()->index(1, 0).data(Qt::FontRole).isValid());
    // The bold row's price and date, and the widest of each, show whole in their columns.
    QFont bold = window->lilief->cellFont();
    bold.setBold(true);
    const int margins = 2 * (view->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, view) + 1);
    const auto header = qobject_cast<QTableView *>(view)->horizontalHeader();
    for (const int column : {1, 3})
        for (const QString &text : {view->model()->index(0, column).data().toString(),
                                    column == 1 ? QStringLiteral("99.999,99 €") : QStringLiteral("00.00.0000")})
            EXPECT_LE(QFontMetricsF(bold).horizontalAdvance(text) + margins, header->sectionSize(column))
                << text.toStdString();
    // The dearer one switched inactive: the cheaper one is alone in its unit, nothing to compare.
    toggle(1, kAktiv);
    ASSERT_TRUE(desktop.boxes.isEmpty()) << desktop.boxes.first().text.toStdString();
    EXPECT_FALSE(window->lilief->isRowBold(0));
    EXPECT_FALSE(window->lilief->isRowBold(1));
    // The switch marks the prices anew: the history stays in the tooltip.
    EXPECT_EQ(window->lilief->cellToolTip(0, 2), history);
    EXPECT_EQ(window->lilief->cellToolTip(1, 2), QStringLiteral("0,95 € je lfm"));
}
