#include "app/review/ArticleRows.h"
#include "app/controls/ColumnFit.h"
#include "app/controls/KxCombo.h"
#include "app/controls/KxList.h"
#include "QtPrinters.h"

#include <QAbstractItemModel>
#include <QAbstractItemView>
#include <QComboBox>
#include <QEventLoop>
#include <QFocusEvent>
#include <QFontMetricsF>
#include <QHeaderView>
#include <QHelpEvent>
#include <QLineEdit>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <QToolTip>
#include <QVBoxLayout>

#include <gtest/gtest.h>

#include <memory>

namespace {

const QChar LF(u'\n');

QString row(std::initializer_list<const char *> fields) {
    QStringList parts;
    for (const char *f : fields)
        parts << QString::fromUtf8(f);
    return parts.join(LF);
}

// The supplier list of the main window: four text columns, then "Aktiv" and "Hauptlieferant".
class SupplierList : public ::testing::Test {
protected:
    void SetUp() override {
        list = std::make_unique<KxList>();
        list->setColumns({"Lieferant", "EK-Netto  ", "per", "le. Einkauf", "Aktiv", "Hauptlieferant"},
                         {200, 70, 75, 75, 50, 75});
        list->setCheckColumns({5, 6});
        for (int i = 0; i < 4; ++i)
            list->addRow(row({qPrintable(QString("L%1").arg(i)), "1,00 €", "St", ""}));
        list->setCheckState(0, 5, 1);
        list->setCheckState(0, 6, 1);
        list->setCheckState(1, 5, 1);
        list->resize(700, 300);
        list->show();
        QCoreApplication::processEvents();
        view = qobject_cast<QTableView *>(list->view());
        ASSERT_NE(view, nullptr);
    }

    QPoint cellCentre(int r, int column) const {
        return view->visualRect(view->model()->index(r, column - 1)).center();
    }
    void click(int r, int column) { QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, cellCentre(r, column)); }

    std::unique_ptr<KxList> list;
    QTableView *view = nullptr;
};

} // namespace

TEST(KxList, RowsColumnsHiddenTextAndCheckCells) {
    KxList list;
    list.setColumns({"Lieferant", "per", "Aktiv", "Hauptlieferant"}, {200, 75, 50, 75});
    list.setCheckColumns({3, 4});
    EXPECT_EQ(list.columnHeaders(), QStringList({"Lieferant", "per", "Aktiv", "Hauptlieferant"}));
    EXPECT_EQ(list.rowCount(), 0);
    EXPECT_EQ(list.currentRow(), -1);

    EXPECT_EQ(list.addRow(row({"10 Müller", "St"})), 0);
    EXPECT_EQ(list.addRow(row({"20 Maier"})), 1);
    EXPECT_EQ(list.addRow(QString()), 2);
    // Every read sees the rows at once, before the view has heard of them.
    EXPECT_EQ(list.rowCount(), 3);
    EXPECT_EQ(list.rowText(0), row({"10 Müller", "St"}));
    EXPECT_EQ(list.rowText(2), QString());

    list.setHiddenText(1, "ID-20");
    EXPECT_EQ(list.hiddenText(1), "ID-20");
    EXPECT_EQ(list.hiddenText(0), QString());

    // Check cells hold 0 or 1, only in the check columns; other rows and columns stay untouched.
    list.setCheckState(1, 3, 1);
    list.setCheckState(1, 4, 7);
    EXPECT_EQ(list.checkState(1, 3), 1);
    EXPECT_EQ(list.checkState(1, 4), 1);
    EXPECT_EQ(list.checkState(0, 3), 0);
    list.setCheckState(1, 4, 0);
    EXPECT_EQ(list.checkState(1, 4), 0);
    EXPECT_EQ(list.checkState(1, 3), 1);
    list.setCheckState(1, 2, 1);
    EXPECT_EQ(list.checkState(1, 2), 0);

    // The row text fills the text columns; the check columns take no field of it.
    list.setCurrentRow(0);
    const QAbstractItemModel *model = qobject_cast<QAbstractItemView *>(list.view())->model();
    ASSERT_EQ(model->rowCount(), 3);
    EXPECT_EQ(model->index(0, 0).data().toString(), "10 Müller");
    EXPECT_EQ(model->index(0, 1).data().toString(), "St");
    EXPECT_EQ(model->index(1, 1).data().toString(), QString());
    EXPECT_FALSE(model->index(1, 2).data().isValid());
    EXPECT_EQ(model->index(1, 2).data(Qt::CheckStateRole).toInt(), int(Qt::Checked));
    EXPECT_EQ(model->headerData(3, Qt::Horizontal).toString(), "Hauptlieferant");

    list.setRowText(0, row({"30 Schulz", "kg", "extra"}));
    EXPECT_EQ(list.rowText(0), row({"30 Schulz", "kg", "extra"}));
    EXPECT_EQ(model->index(0, 1).data().toString(), "kg");

    // Rows outside the list read empty and take no writes.
    EXPECT_EQ(list.rowText(-1), QString());
    EXPECT_EQ(list.rowText(3), QString());
    EXPECT_EQ(list.hiddenText(3), QString());
    EXPECT_EQ(list.checkState(3, 3), 0);
    list.setRowText(3, "x");
    list.setCheckState(-1, 3, 1);
    EXPECT_EQ(list.rowCount(), 3);

    list.setCurrentRow(2);
    EXPECT_EQ(list.currentRow(), 2);
    list.setCurrentRow(3);
    EXPECT_EQ(list.currentRow(), -1);
    list.setCurrentRow(1);
    list.clear();
    EXPECT_EQ(list.rowCount(), 0);
    EXPECT_EQ(list.currentRow(), -1);
    EXPECT_EQ(model->rowCount(), 0);
    EXPECT_EQ(list.addRow("again"), 0);
}

TEST_F(SupplierList, ProgramChangesRaiseNoNotification) {
    QSignalSpy moved(list.get(), &KxList::rowChanged);
    QSignalSpy clicked(list.get(), &KxList::rowClicked);
    QSignalSpy checked(list.get(), &KxList::checkCellChanged);

    list->setCurrentRow(2);
    list->setCheckState(2, 6, 1);
    list->setCheckState(0, 6, 0);
    list->setRowText(2, row({"neu"}));
    list->setHiddenText(2, "x");
    list->applyListSettings();
    list->view()->setFocus();
    list->clear();
    for (int i = 0; i < 5; ++i)
        list->addRow(row({"a"}));
    list->setCurrentRow(4);
    list->setCurrentRow(-1);
    QCoreApplication::processEvents();
    // Taking the focus without a current row is no move of the user either.
    QFocusEvent focusIn(QEvent::FocusIn, Qt::TabFocusReason);
    QCoreApplication::sendEvent(view, &focusIn);

    EXPECT_EQ(moved.count(), 0);
    EXPECT_EQ(clicked.count(), 0);
    EXPECT_EQ(checked.count(), 0);
}

TEST_F(SupplierList, UserMovesAndClicksRows) {
    QSignalSpy moved(list.get(), &KxList::rowChanged);
    QSignalSpy clicked(list.get(), &KxList::rowClicked);

    click(2, 1);
    EXPECT_EQ(list->currentRow(), 2);
    EXPECT_EQ(moved.count(), 1);
    ASSERT_EQ(clicked.count(), 1);
    EXPECT_EQ(clicked.at(0).at(0).toInt(), 2);

    // A click on the row already current is a click, not a move.
    click(2, 2);
    EXPECT_EQ(moved.count(), 1);
    EXPECT_EQ(clicked.count(), 2);

    QTest::keyClick(view, Qt::Key_Down);
    EXPECT_EQ(list->currentRow(), 3);
    EXPECT_EQ(moved.count(), 2);
    QTest::keyClick(view, Qt::Key_Home);
    EXPECT_EQ(list->currentRow(), 0);
    EXPECT_EQ(moved.count(), 3);
    EXPECT_EQ(clicked.count(), 2);
}

TEST_F(SupplierList, MouseClickSwitchesCellThenNotifiesWithNewState) {
    QList<QList<int>> seen; // row, column, reported state, state the list holds at that moment
    QObject::connect(list.get(), &KxList::checkCellChanged, list.get(), [&](int r, int c, int s) {
        seen.append({r, c, s, list->checkState(r, c)});
    });

    click(1, 6); // on
    click(2, 5); // on
    click(0, 6); // the main supplier's mark can be switched off: the handler decides, not the list
    click(1, 5); // off
    click(0, 1); // a text cell switches nothing

    const QList<QList<int>> expected{{1, 6, 1, 1}, {2, 5, 1, 1}, {0, 6, 0, 0}, {1, 5, 0, 0}};
    EXPECT_EQ(seen, expected);
    // No radio-button behaviour: switching row 1 on did not clear row 0 by itself.
    EXPECT_EQ(list->checkState(1, 6), 1);
    EXPECT_EQ(list->checkState(0, 5), 1);
    EXPECT_EQ(list->checkState(3, 6), 0);
}

TEST_F(SupplierList, SpaceSwitchesTheCurrentCheckCell) {
    QList<QList<int>> seen;
    QObject::connect(list.get(), &KxList::checkCellChanged, list.get(), [&](int r, int c, int s) {
        seen.append({r, c, s, list->checkState(r, c)});
    });

    list->setCurrentRow(3);
    QTest::keyClick(view, Qt::Key_Space); // on a text column: nothing
    EXPECT_TRUE(seen.isEmpty());
    for (int i = 0; i < 4; ++i)
        QTest::keyClick(view, Qt::Key_Right); // to "Aktiv"
    QTest::keyClick(view, Qt::Key_Space);
    QTest::keyClick(view, Qt::Key_Right); // to "Hauptlieferant"
    QTest::keyClick(view, Qt::Key_Space);
    QTest::keyClick(view, Qt::Key_Space);
    // A held-down key switches once, not back and forth.
    QTest::simulateEvent(view, true, Qt::Key_Space, Qt::NoModifier, " ", true);

    const QList<QList<int>> expected{{3, 5, 1, 1}, {3, 6, 1, 1}, {3, 6, 0, 0}};
    EXPECT_EQ(seen, expected);
}

TEST_F(SupplierList, HandlerPutsTheCellBackBehindAModalWait) {
    QSignalSpy checked(list.get(), &KxList::checkCellChanged);
    int calls = 0;
    QObject::connect(list.get(), &KxList::checkCellChanged, list.get(), [&](int r, int c, int s) {
        ++calls;
        EXPECT_EQ(s, 0);
        // The user's click stands while the "message box" is open ...
        EXPECT_EQ(list->checkState(r, c), 0);
        // ... and input reaching the list meanwhile switches nothing.
        click(r, c);
        QTest::keyClick(view, Qt::Key_Space);
        QEventLoop modal;
        QTimer::singleShot(20, &modal, &QEventLoop::quit);
        modal.exec();
        list->setCheckState(r, c, 1); // refused: put back
    });

    click(0, 6);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(checked.count(), 1);
    EXPECT_EQ(list->checkState(0, 6), 1);
    QCoreApplication::processEvents();
    EXPECT_EQ(list->checkState(0, 6), 1);

    // The next click is the user's again and is reported.
    click(0, 6);
    EXPECT_EQ(calls, 2);
}

TEST_F(SupplierList, ClickHandlerThatEmptiesTheListSwitchesNothing) {
    QSignalSpy checked(list.get(), &KxList::checkCellChanged);
    QObject::connect(list.get(), &KxList::rowClicked, list.get(), [this] { list->clear(); });
    click(1, 5);
    EXPECT_EQ(checked.count(), 0);
    EXPECT_EQ(list->rowCount(), 0);
}

TEST_F(SupplierList, CheckHandlerMayRefillTheList) {
    // The main-supplier change moves to the next article and fills this list anew, inside the
    // list's own notification.
    int calls = 0;
    QObject::connect(list.get(), &KxList::checkCellChanged, list.get(), [&] {
        ++calls;
        list->clear();
        list->addRow(row({"neu"}));
        list->setCheckState(0, 5, 1);
        list->setCurrentRow(0);
    });
    click(2, 6);
    QCoreApplication::processEvents();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(list->rowCount(), 1);
    EXPECT_EQ(list->checkState(0, 5), 1);
    EXPECT_EQ(list->checkState(0, 6), 0);
    click(0, 6);
    EXPECT_EQ(calls, 2);
}

TEST_F(SupplierList, HiddenRowsKeepTheirNumbersAndAreSkippedByTheView) {
    QSignalSpy clicked(list.get(), &KxList::rowClicked);
    QSignalSpy switched(list.get(), &KxList::checkCellChanged);
    list->setCurrentRow(3);
    list->setHiddenRows({false, true, true});
    EXPECT_EQ(view->model()->rowCount(), 2);
    EXPECT_EQ(list->rowCount(), 4);
    EXPECT_EQ(list->rowText(1), row({"L1", "1,00 €", "St", ""}));
    EXPECT_EQ(list->currentRow(), 3); // shown, so still current
    EXPECT_EQ(view->model()->index(1, 0).data().toString(), QStringLiteral("L3"));
    EXPECT_EQ(
        (std::vector<bool>{list->isRowHidden(0), list->isRowHidden(1), list->isRowHidden(2), list->isRowHidden(3)}),
        (std::vector<bool>{false, true, true, false}));
    EXPECT_EQ(list->nextShownRow(0), 3);
    EXPECT_EQ(list->nextShownRow(3), -1);

    // What the user does on the second shown row is reported for row 3.
    click(1, 5);
    ASSERT_EQ(clicked.size(), 1);
    EXPECT_EQ(clicked[0][0].toInt(), 3);
    ASSERT_EQ(switched.size(), 1);
    EXPECT_EQ(switched[0][0].toInt(), 3);
    EXPECT_EQ(list->checkState(3, 5), 1);
    // A hidden row cannot be current; its cells still take the program's changes.
    list->setCurrentRow(2);
    EXPECT_EQ(list->currentRow(), -1);
    list->setCheckState(2, 6, 1);
    list->setHiddenRows({});
    EXPECT_EQ(view->model()->rowCount(), 4);
    EXPECT_EQ(view->model()->index(2, 5).data(Qt::CheckStateRole).toInt(), int(Qt::Checked));
}

TEST(ColumnFit, SharesWidenedWhereAColumnNeedsMore) {
    const struct {
        QList<int> design;
        QList<double> needs;
        double available;
        QList<double> widths;
    } cases[] = {
        {{200, 100, 100}, {10, 10, 10}, 400, {200, 100, 100}},     // every share is enough
        {{200, 100, 100}, {10, 10, 150}, 400, {166.7, 83.3, 150}}, // the others share the rest
        {{200, 100, 100}, {10, 120, 150}, 400, {130, 120, 150}},   // one widening leads to the next
        {{200, 100, 100}, {300, 100, 100}, 400, {200, 100, 100}},  // too narrow for all: the shares
        {{0, -5, 100}, {10, 10, 10}, 300, {100, 100, 100}},        // no design width: an ordinary one
        {{100, 100}, {100, 150}, 250, {100, 150}},                 // exactly their needs
    };
    for (const auto &c : cases) {
        const QList<double> widths = FitColumns(c.design, c.needs, c.available);
        ASSERT_EQ(widths.size(), c.widths.size());
        for (qsizetype i = 0; i < widths.size(); ++i)
            EXPECT_NEAR(widths[i], c.widths[i], 0.1) << "case with room " << c.available << ", column " << i + 1;
    }
}

TEST_F(SupplierList, ColumnsTakeTheShareOfTheirDesignWidthsAndHeadingsShowWholeAsTooltips) {
    const QHeaderView *header = view->horizontalHeader();
    const QStringList headings = list->columnHeaders();
    const QList<int> design{200, 70, 75, 75, 50, 75};
    for (const int width : {545, 700, 150}) {
        list->resize(width + 2 * view->frameWidth() + 20, 300);
        QCoreApplication::processEvents();
        const int available = view->viewport()->width();
        int sum = 0;
        for (int c = 0; c < design.size(); ++c) {
            EXPECT_NEAR(header->sectionSize(c), available * design[c] / 545.0, 1.5) << "column " << c + 1;
            EXPECT_EQ(view->model()->headerData(c, Qt::Horizontal, Qt::ToolTipRole).toString(), headings[c]);
            sum += header->sectionSize(c);
        }
        EXPECT_EQ(sum, available);
    }
}

// The headings keep their measured sizes between refills; they are those of Qt's own header over
// the same model, also after the font changed and after new headings.
TEST_F(SupplierList, HeadingsAreMeasuredAsQtMeasuresThem) {
    QHeaderView plain(Qt::Horizontal);
    plain.setModel(view->model());
    for (const qreal points : {9.0, 15.0, 7.5}) {
        QFont font = view->font();
        font.setPointSizeF(points);
        view->setFont(font);
        plain.setFont(view->horizontalHeader()->font());
        list->clear();
        list->addRow(row({"L9", "2,00 €", "kg", ""}));
        for (int c = 0; c < view->model()->columnCount(); ++c)
            EXPECT_EQ(view->horizontalHeader()->sectionSizeHint(c), plain.sectionSizeHint(c)) << points << " pt, " << c;
        EXPECT_EQ(view->horizontalHeader()->sizeHint(), plain.sizeHint()) << points << " pt";
    }
    list->setColumns({"Ein viel längerer Lieferant", "EK"}, {200, 70});
    EXPECT_EQ(view->horizontalHeader()->sizeHint(), plain.sizeHint());
}

TEST_F(SupplierList, PricesAndDatesShowWholeInBoldAndACutNameShowsWholeAsItsTooltip) {
    const QString price = QStringLiteral("99.999,99 €");
    const QString date = QStringLiteral("00.00.0000");
    list->setWholeTexts({{2, price}, {4, date}});
    list->setRowBold(0, true);
    const int margins = 2 * (view->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, view) + 1);
    for (const int width : {545, 700}) {
        list->resize(width + 2 * view->frameWidth() + 20, 300);
        QCoreApplication::processEvents();
        QFont bold = list->cellFont();
        bold.setBold(true);
        EXPECT_LE(bold.pointSizeF(), list->font().pointSizeF());
        EXPECT_LE(QFontMetricsF(bold).horizontalAdvance(price) + margins, view->horizontalHeader()->sectionSize(1));
        EXPECT_LE(QFontMetricsF(bold).horizontalAdvance(date) + margins, view->horizontalHeader()->sectionSize(3));
        // The bold row's cells take the list's font, not the application's.
        EXPECT_EQ(view->model()->index(0, 1).data(Qt::FontRole).value<QFont>().resolve(view->font()), bold);
        EXPECT_EQ(view->verticalHeader()->defaultSectionSize(), QFontMetrics(list->cellFont()).height() + 4);
    }

    const QString name = QStringLiteral("70012 Baustoffhandel Müller & Söhne, Großhandel für Hoch- und Tiefbau");
    list->setRowText(1, row({qPrintable(name), "1,00 €", "St", ""}));
    const auto tipAt = [&](int r, int column) {
        const QPoint at = cellCentre(r, column);
        QHelpEvent help(QEvent::ToolTip, at, view->viewport()->mapToGlobal(at));
        QCoreApplication::sendEvent(view->viewport(), &help);
    };
    tipAt(1, 1);
    EXPECT_TRUE(QToolTip::isVisible());
    EXPECT_EQ(QToolTip::text(), name);
    // A cell shown whole has no tooltip.
    tipAt(2, 1);
    EXPECT_TRUE(QTest::qWaitFor([] { return !QToolTip::isVisible(); }, 5000));
}

TEST(KxList, HundredThousandRows) {
    KxList list;
    list.setColumns({"Art.Nr", "Bezeichnung", "Haupt-Lief", "VELKA-Haupt-Lief"}, {75, 250, 200, 200});
    list.resize(760, 280);
    list.show();
    QSignalSpy moved(&list, &KxList::rowChanged);
    for (int i = 0; i < 100000; ++i)
        list.addRow(QString::number(i) + LF + "Artikel " + QString::number(i) + LF + "10 Lieferant" + LF);
    EXPECT_EQ(list.rowCount(), 100000);
    EXPECT_EQ(list.rowText(99999), "99999\nArtikel 99999\n10 Lieferant\n");
    list.setCurrentRow(0);
    list.applyListSettings();
    QCoreApplication::processEvents();
    auto *view = qobject_cast<QTableView *>(list.view());
    EXPECT_EQ(view->model()->rowCount(), 100000);
    EXPECT_EQ(view->verticalScrollBar()->value(), 0);

    list.setCurrentRow(99999);
    QCoreApplication::processEvents();
    EXPECT_EQ(list.currentRow(), 99999);
    EXPECT_GT(view->verticalScrollBar()->value(), 99000); // scrolled to the row
    QTest::keyClick(view, Qt::Key_PageUp);
    EXPECT_LT(list.currentRow(), 99999);
    EXPECT_EQ(moved.count(), 1);

    list.clear();
    EXPECT_EQ(list.rowCount(), 0);
    EXPECT_EQ(view->model()->rowCount(), 0);
}

// The walk in number order, and the index it falls back to for a number behind it or missing.
TEST(ArticleRows, FindsEveryRowWhateverTheOrderOfAsking) {
    KxList list;
    list.setColumns({"Art.Nr", "Bezeichnung"}, {75, 250});
    for (const char *number : {"A1", "A10", "A3", "A5", "B2"})
        list.addRow(QString::fromUtf8(number) + LF + "Artikel" + LF);
    ArticleRows rows(&list);
    EXPECT_EQ(rows.find("A1"), 0);
    EXPECT_EQ(rows.find("A3"), 2);  // a row skipped
    EXPECT_EQ(rows.find("A10"), 1); // behind the walk
    EXPECT_EQ(rows.find("A4"), -1);
    EXPECT_EQ(rows.find("B2"), 4);
    ArticleRows missing(&list);
    EXPECT_EQ(missing.find("A2"), -1); // in order, but not shown
    EXPECT_EQ(missing.find("A5"), 3);
    EXPECT_EQ(missing.find("A"), -1); // a number's prefix is not its row
}

TEST(KxList, SettingsAfterFillingShowTheFirstRowWithWholeRowSelection) {
    KxList list;
    list.setColumns({"Art.Nr", "Bezeichnung"}, {75, 250});
    list.resize(400, 200);
    list.show();
    for (int i = 0; i < 500; ++i)
        list.addRow(QString::number(i));
    list.setCurrentRow(400);
    QCoreApplication::processEvents();
    auto *view = qobject_cast<QTableView *>(list.view());
    ASSERT_GT(view->verticalScrollBar()->value(), 0);
    list.setCurrentRow(0);
    list.applyListSettings();
    EXPECT_EQ(view->verticalScrollBar()->value(), 0);
    EXPECT_EQ(view->selectionBehavior(), QAbstractItemView::SelectRows);
    EXPECT_EQ(view->selectionMode(), QAbstractItemView::SingleSelection);
    EXPECT_EQ(view->selectionModel()->selectedRows().size(), 1);
    EXPECT_EQ(list.currentRow(), 0);
}

TEST(KxCombo, RowsTextAndChosenRow) {
    KxCombo combo;
    combo.setColumns({"Nr.", "Bezeichnung", "Datum"}, {75, 250, 100});
    QSignalSpy picked(&combo, &KxCombo::picked);
    EXPECT_EQ(combo.currentRow(), -1);
    EXPECT_EQ(combo.text(), QString());

    EXPECT_EQ(combo.addRow(row({"17", "Frühjahr", "12.03.2005"})), 0);
    EXPECT_EQ(combo.addRow(row({"18", "Sommer", ""})), 1);
    // A filled combo starts with no row chosen.
    EXPECT_EQ(combo.rowCount(), 2);
    EXPECT_EQ(combo.currentRow(), -1);
    EXPECT_EQ(combo.text(), QString());
    EXPECT_EQ(combo.rowText(0), row({"17", "Frühjahr", "12.03.2005"}));
    EXPECT_EQ(combo.rowText(2), QString());
    EXPECT_EQ(combo.rowText(-1), QString());

    combo.setCurrentRow(1);
    EXPECT_EQ(combo.currentRow(), 1);
    EXPECT_EQ(combo.text(), "18");
    combo.setCurrentRow(5);
    EXPECT_EQ(combo.currentRow(), -1);
    combo.setCurrentRow(0);
    combo.clear();
    EXPECT_EQ(combo.rowCount(), 0);
    EXPECT_EQ(combo.currentRow(), -1);
    EXPECT_EQ(combo.text(), QString());
    EXPECT_EQ(picked.count(), 0);

    auto *box = combo.findChild<QComboBox *>();
    ASSERT_NE(box, nullptr);
    EXPECT_FALSE(box->isEditable());
    const auto *popup = qobject_cast<QTableView *>(combo.view());
    ASSERT_NE(popup, nullptr);
    ASSERT_EQ(popup->model()->columnCount(), 3);
    EXPECT_EQ(popup->model()->headerData(2, Qt::Horizontal).toString(), "Datum");
    EXPECT_FALSE(popup->horizontalHeader()->isHidden());
    // The drop-down shows all three columns, however narrow the combo is.
    EXPECT_GE(popup->minimumWidth(), 425);
}

TEST(KxCombo, EveryUserPickIsReportedAlsoTheSameRowAgain) {
    KxCombo combo;
    combo.setColumns({"Nr.", "Bezeichnung", "Datum"}, {75, 250, 100});
    for (int i = 0; i < 3; ++i)
        combo.addRow(row({qPrintable(QString::number(10 + i)), "Update", "01.01.2005"}));
    combo.resize(65, 20);
    combo.show();
    QSignalSpy picked(&combo, &KxCombo::picked);
    auto *box = combo.findChild<QComboBox *>();

    QTest::keyClick(box, Qt::Key_Down);
    EXPECT_EQ(combo.currentRow(), 0);
    EXPECT_EQ(combo.text(), "10");
    EXPECT_EQ(picked.count(), 1);

    // Picking the chosen row again in the drop-down is a pick too.
    for (int round = 0; round < 2; ++round) {
        box->showPopup();
        auto *popup = qobject_cast<QTableView *>(combo.view());
        ASSERT_TRUE(popup->isVisible());
        popup->setCurrentIndex(popup->model()->index(2, 0));
        QTest::keyClick(popup, Qt::Key_Return);
        EXPECT_FALSE(popup->isVisible());
        EXPECT_EQ(combo.currentRow(), 2);
        EXPECT_EQ(combo.text(), "12");
        EXPECT_EQ(picked.count(), 2 + round);
    }
}

TEST(KxCombo, ReportsOnlyAMoveOfTheFocusToAnotherControl) {
    QWidget window;
    auto *combo = new KxCombo(&window);
    auto *other = new QLineEdit(&window);
    auto *layout = new QVBoxLayout(&window);
    layout->addWidget(combo);
    layout->addWidget(other);
    QSignalSpy lost(combo, &KxCombo::focusLost);
    auto *box = combo->findChild<QComboBox *>();
    const auto activate = [](QWidget &w) {
        w.show();
        w.activateWindow();
        return QTest::qWaitForWindowActive(&w);
    };
    ASSERT_TRUE(activate(window));
    combo->setFocus(Qt::TabFocusReason);
    ASSERT_TRUE(QTest::qWaitFor([&] { return box->hasFocus(); }));

    // Its own drop-down takes the focus for a while only.
    QFocusEvent popup(QEvent::FocusOut, Qt::PopupFocusReason);
    QCoreApplication::sendEvent(box, &popup);
    // Another window of the program comes up, as a message box does, and the window comes back.
    QWidget message;
    ASSERT_TRUE(activate(message));
    ASSERT_TRUE(activate(window));
    EXPECT_TRUE(QTest::qWaitFor([&] { return box->hasFocus(); }));
    EXPECT_EQ(lost.count(), 0);

    // A click into another control and Tab away are real moves.
    QTest::mouseClick(other, Qt::LeftButton);
    EXPECT_TRUE(other->hasFocus());
    EXPECT_EQ(lost.count(), 1);
    combo->setFocus(Qt::TabFocusReason);
    ASSERT_TRUE(box->hasFocus());
    QTest::keyClick(box, Qt::Key_Tab);
    EXPECT_TRUE(other->hasFocus());
    EXPECT_EQ(lost.count(), 2);
}
