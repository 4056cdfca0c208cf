#pragma once

// Small pieces of the main window that need no window: texts, formats and the row builders.

#include "app/review/PriceUnits.h"

#include <QDate>
#include <QHash>
#include <QString>
#include <QTime>
#include <QVariant>

#include <vector>

namespace mainlogic {

// A column value as text; a null value (a missing column on the server) is the empty text.
QString CellText(const QVariant &value);

// "KORVEX Update Hauptlieferanten              Firma: 1     Filiale: 0     Benutzer: Name"
QString MainCaption(const QString &firma, const QString &filiale, const QString &userDisplayName);

// The print title of the article list at the given moment.
QString PrintTitle(const QString &updateText, const QDate &date, const QTime &time);

// The locale's short date form with a four-digit year (12.03.2005 on a German desktop).
QString ShortDate(const QDate &date);
// The locale's time form, hours to seconds, without a time zone.
QString TimeText(const QTime &time);

// "Datum" of an update row: the server's date number as a short date; empty when it is no date.
QString UpdateDate(const QVariant &serverDate);

// A net price with the pattern "###,##0.00 €" in the user's locale. A price that arrives as text
// is read with "." as decimal point; text that is no number shows as it came; null is empty.
QString FormatPrice(const QVariant &price);

// Combo row of an update: number, description (screen text), date.
QString UpdateRow(const QVariant &number, const QVariant &description, const QVariant &serverDate);
// Article row: number, description, main supplier, proposed main supplier.
QString ArticleRow(const QVariant &number, const QVariant &description, const QVariant &mainSupplier,
                   const QVariant &proposedSupplier);
// The article rows of a whole list, the same texts as ArticleRow: a list names a few hundred
// suppliers for its 100,000 articles, so each supplier's screen text is converted once.
class ArticleRows {
public:
    QString operator()(const QVariant &number, const QVariant &description, const QVariant &mainSupplier,
                       const QVariant &proposedSupplier);
    // The same from the columns as texts (CellText's).
    QString operator()(const QString &number, const QString &description, const QString &mainSupplier,
                       const QString &proposedSupplier);
    // ProposalDiffers of each row built so far, in order, known from its parts; handed over once.
    std::vector<bool> takeDiffers() { return std::move(m_differs); }

private:
    struct Screen {
        QString text;
        bool blank = true;     // nothing but blanks
        double leading = 0;    // its leading number
        bool lineFeed = false; // holds a line feed
    };
    Screen supplier(const QString &server);
    QHash<QString, Screen> m_screen; // server text -> screen text
    struct Shared {
        QString server;
        Screen screen;
    };
    QHash<const QChar *, Shared> m_byData; // by the server text's characters in memory
    std::vector<bool> m_differs;
};
// Supplier row text: supplier (screen text), price, price unit, date of last purchase.
QString SupplierRow(const QVariant &supplier, const QVariant &price, const QVariant &unit,
                    const QVariant &lastPurchase);
// The offer a supplier row shows: its price and price unit (fields 2 and 3).
Offer OfferOfRow(const QString &supplierRow, bool active);

// Heading of the supplier list for an article row: number, two blanks, description.
QString SupplierHeading(const QString &articleRow);
// The article row after a new main supplier: exactly four fields, the third replaced.
QString ArticleRowWithMainSupplier(const QString &articleRow, const QString &supplierText);
// The article row once its proposed main supplier (field 4) is its main supplier (field 3).
QString ArticleRowWithProposalTaken(const QString &articleRow);
// Whether a supplier text names the article's main supplier: their leading numbers are equal.
bool IsMainSupplier(const QString &mainSupplierField, const QString &supplierText);

// Whether an article row's proposed main supplier (field 4) is given and names another supplier
// than its main supplier (field 3), compared by their leading numbers as the supplier list does.
bool ProposalDiffers(const QString &articleRow);
// Whether a supplier text names the article row's proposed main supplier.
bool IsProposedSupplier(const QString &articleRow, const QString &supplierText);

// "Artikel 12 von 5.000 · 734 weichen ab · 18 geändert, nicht gespeichert" (numbers grouped in the
// user's locale); without a current article the first part reads "Artikel – von 5.000".
QString StatusText(int currentRow, int articles, int differing, int changed);

// Whether an article row is found by a search: the article number begins with the term, or a word
// of the description does (several words: the description holds them as typed); letter case does
// not count, umlauts are compared as typed. An empty term finds nothing.
bool MatchesSearch(const QString &articleRow, const QString &term);

// "N Artikel übernehmen? M werden übersprungen, ..." and the report after taking them.
QString TakeAllQuestion(int taken, int skipped);
QString TakeAllReport(int taken, const QStringList &skipped);

} // namespace mainlogic
