#pragma once

// The fixture of the review aids' tests: run 2 of the demo database in the real main window, and
// expectations read from the server's tables.

#include "AppFixture.h"
#include "app/controls/KxList.h"

#include <QAbstractItemView>
#include <QAction>
#include <QCoreApplication>
#include <QTest>

inline constexpr int kAktiv = 5;
inline constexpr int kHaupt = 6;
inline const QString kTitle = QStringLiteral("Korvex Update Hauptlieferant");

class ReviewAids : public AppTest {
protected:
    // Run 2 ("VELKA-Abgleich ..."), combo row 1.
    void startOnRun2() {
        start();
        load(1);
        ASSERT_TRUE(desktop.boxes.isEmpty()) << desktop.boxes.first().text.toStdString();
    }

    QStringList shownArticles() const {
        QStringList result;
        for (int r = 0; r < window->liart->rowCount(); ++r)
            if (!window->liart->isRowHidden(r))
                result << window->liart->rowText(r).section('\n', 0, 0);
        return result;
    }

    QString currentArticle() const { return window->liart->rowText(window->liart->currentRow()).section('\n', 0, 0); }

    // Every entry of run 2 as the list shows it: "pair laktiv hlief", plus every article's main supplier.
    QStringList serverState() const {
        QStringList result;
        for (const QVariantList &row :
             sql.rows("SELECT al.id, COALESCE(o.laktiv, al.aktiv),"
                      " COALESCE(o.hlief, CASE WHEN a.haupt_lief = al.lieferant THEN 'J' ELSE 'N' END),"
                      " CASE WHEN h.liste IS NULL THEN a.haupt_lief ELSE h.haupt_lief END"
                      " FROM upd_artikel u JOIN artikel a ON a.id = u.artikel JOIN artlief al ON al.artikel = a.id"
                      " LEFT JOIN liste_aend o ON o.artlief = al.id LEFT JOIN liste_haupt h ON h.artikel = a.id"
                      " WHERE u.run = 2 ORDER BY al.id"))
            result << QStringLiteral("%1 %2 %3 %4")
                          .arg(row[0].toString(), row[1].toString(), row[2].toString(), row[3].toString());
        return result;
    }

    // The supplier row whose text starts with the supplier number, or -1.
    int supplierRow(const QString &number) const {
        for (int i = 0; i < window->lilief->rowCount(); ++i)
            if (window->lilief->rowText(i).startsWith(number + ' '))
                return i;
        return -1;
    }

    void trigger(QAction *action) {
        QCoreApplication::processEvents();
        ASSERT_TRUE(action->isEnabled()) << action->text().toStdString();
        action->trigger();
    }

    // A key on a text cell of a supplier row, as the clerk presses it in the list.
    void keyOnSupplier(int row, Qt::Key key) {
        QCoreApplication::processEvents();
        auto *view = qobject_cast<QAbstractItemView *>(window->lilief->view());
        ASSERT_NE(view, nullptr);
        view->selectionModel()->setCurrentIndex(view->model()->index(row, 0), QItemSelectionModel::NoUpdate);
        QTest::keyClick(view, key);
    }
};
