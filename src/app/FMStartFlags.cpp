// The main window's changes of flags: "Aktiv" and "Hauptlieferant" clicked in the supplier list.
#include "app/FMStart.h"

#include "app/ArticleDisplay.h"
#include "session/CacheApi.h"
#include "app/EntryWrites.h"
#include "app/Freshness.h"
#include "app/controls/KxList.h"
#include "app/review/MainConstants.h"
#include "app/review/MainLogic.h"
#include "text/TextHelpers.h"
#include "app/review/UndoStack.h"

#include <QPushButton>

using namespace cacheapi;

void FMStart::lilief_CheckCell(int row, int column, int state) {
    ConnectServer();
    // A stale screen is brought up to the server's state instead: its article row may have changed.
    if ((column == kAktiv || column == kHauptlieferant) &&
        !freshness->change([=, this] { changeFlag(row, column, state); }))
        updateStatus();
}

void FMStart::changeFlag(int row, int column, int state) {
    if (column == kAktiv) {
        const int a = lilief->checkState(row, kAktiv);
        const int h = lilief->checkState(row, kHauptlieferant);
        if (a == 0 && h == 1) {
            freshness->refuse(QStringLiteral("Hauptlieferant muss aktiv sein"));
            lilief->setCheckState(row, kAktiv, 1);
            return;
        }
        bool anyActive = false;
        for (int i = 0; i < lilief->rowCount() && !anyActive; ++i)
            anyActive = lilief->checkState(i, kAktiv) > 0;
        if (!anyActive) {
            freshness->refuse(QStringLiteral("Ein Lieferant muss Aktiv sein"));
            lilief->setCheckState(row, kAktiv, 1);
            return;
        }
        ConnectServer();
        const int article = liart->currentRow();
        ArticleBefore before{article, liart->rowText(article),
                             WriteEntries({{lilief->hiddenText(row), lilief->checkState(row, kAktiv) > 0, {}}}), {}};
        freshness->commit();
        recordChange({std::move(before)});
        // An "Aktiv" switch changes which offers are compared; a main-supplier change does not.
        markPrices();
        BUSpeich->setEnabled(true);
    } else if (column == kHauptlieferant) {
        if (state == 0) {
            freshness->refuse(QStringLiteral("Ein Lieferant muss Hauptlieferant sein"));
            lilief->setCheckState(row, kHauptlieferant, 1);
            return;
        }
        if (lilief->checkState(row, kAktiv) == 0) {
            freshness->refuse(QStringLiteral("Hauptlieferant muss aktiv sein"));
            lilief->setCheckState(row, kHauptlieferant, 0);
            return;
        }
        if (setMainSupplier(row))
            BUSpeich->setEnabled(true);
    }
}

bool FMStart::setMainSupplier(int row) {
    ServerBusy busy;
    const QString supplierText = Piece(lilief->rowText(row), kLF, 1);
    const int article = liart->currentRow();
    if (article < 0) {
        // No article, no change: the supplier list is emptied with the article, so this only
        // guards against writing suppliers without knowing whose they are.
        lilief->setCheckState(row, kHauptlieferant, 0);
        return false;
    }
    // Every entry of the article is written in the click's unit: a write failing half-way must not
    // leave the article with two main suppliers or none on the server.
    std::vector<EntryFlags> entries;
    for (int i = 0; i < lilief->rowCount(); ++i)
        entries.push_back({lilief->hiddenText(i), std::nullopt, i == row});
    ArticleBefore before{article, liart->rowText(article), WriteEntries(entries), {}};
    freshness->commit(); // stored before the screen says so and the list moves on
    for (int i = 0; i < lilief->rowCount(); ++i)
        lilief->setCheckState(i, kHauptlieferant, i == row ? 1 : 0);
    // The article row names the new main supplier only once the server holds it: a step cut off
    // with its connection must not leave a supplier on screen (and in print) that was never stored.
    liart->setRowText(article, mainlogic::ArticleRowWithMainSupplier(liart->rowText(article), supplierText));
    recordChange({std::move(before)});

    // With "Nur abweichende Artikel" on, the next article is the next one shown.
    if (const int next = liart->nextShownRow(article); next >= 0) {
        liart->setCurrentRow(next);
        lief_such();
    }
    return true;
}
