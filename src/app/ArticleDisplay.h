#pragma once

#include "app/review/PriceUnits.h"

#include <QHash>
#include <QString>
#include <QStringList>
#include <QVariantList>

#include <functional>
#include <vector>

class Freshness;
class KxList;

// Shows articles from the server's rows, the one way the window does it: the click's refill of the
// supplier list (lief_such), the live view and the answer to a stale screen alike. The
// "Hauptlieferant" ticks come from the entries' own main-supplier flags and the article row's
// "Haupt-Lief" from the same rows, so the two never disagree and nothing on screen claims what the
// server does not hold.
class ArticleDisplay {
public:
    // The window hands over its two lists, the key of the loaded list (empty: none), what the
    // supplier list's state is registered with, and what it does after the suppliers were shown.
    ArticleDisplay(KxList &articles, KxList &suppliers, const QString &listKey, Freshness &freshness,
                   std::function<void()> suppliersShown)
        : m_articles(articles), m_suppliers(suppliers), m_listKey(listKey), m_freshness(freshness),
          m_suppliersShown(std::move(suppliersShown)) {}

    // The article rows of these articles as the server holds them now, in one request whatever their
    // number; rows whose text is the same stay untouched, numbers the list does not hold are ignored.
    void showRows(const QStringList &articleNumbers);
    // The rows whose articles took their proposal in a unit just stored: the server wrote the
    // proposed supplier (as the row names it) as their main supplier and nothing else of theirs, so
    // the rows follow without reading them again, as a click's new main supplier does.
    void showProposalsTaken(const std::vector<int> &rows);
    // The same for rows the caller already holds: columns 1 to 5 of "ArtikelZeilen", in its order.
    void showGivenRows(const QList<QVariantList> &rows);
    // The current article's suppliers from one read of its entries, and its row's "Haupt-Lief" from
    // their main-supplier flags. A refill replaces the supplier list whole (rows, ticks, current row
    // on the main supplier); in place only sets the cells (the ticks, and the texts of rows whose
    // price, unit or supplier changed), and only when the list still holds exactly these entries
    // (false otherwise, and nothing is changed).
    bool showCurrent(bool inPlace);
    // The price history of the shown supplier entry `entryId` (the supplier list's hidden text), as the
    // last read of the current article's suppliers gave it; null for an entry it did not give.
    const mainlogic::PriceHistory *priceHistory(const QString &entryId) const {
        const auto found = m_priceHistory.constFind(entryId);
        return found == m_priceHistory.constEnd() ? nullptr : &*found;
    }

private:
    // Row `row` from the server's columns 2 to 5, rewritten only when its text differs.
    void showRow(int row, const QVariant &number, const QVariant &description, const QVariant &mainSupplier,
                 const QVariant &proposedSupplier);

    KxList &m_articles;
    KxList &m_suppliers;
    const QString &m_listKey;
    Freshness &m_freshness;
    std::function<void()> m_suppliersShown;
    // Per entry shown, what the price cell's tooltip tells besides the per-unit price; the rows
    // themselves show the price as it is now.
    QHash<QString, mainlogic::PriceHistory> m_priceHistory;
};
