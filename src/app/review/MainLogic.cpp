#include "app/review/MainLogic.h"

#include "text/TextHelpers.h"

#include <QLocale>
#include <QRegularExpression>
#include <QStringBuilder>
#include <QStringList>

#include <array>
#include <cmath>
#include <stdexcept>

namespace mainlogic {

namespace {
const QChar LF(u'\n');

QString screenText(const QVariant &v) {
    return cacheapi::ConvertText(CellText(v), QStringLiteral("KORVEX"), false);
}

// The first N fields of a row, as Piece gives them with the line feed (a missing one is empty),
// found in one pass and without copies.
template <size_t N> std::array<QStringView, N> firstFields(QStringView row) {
    std::array<QStringView, N> fields;
    qsizetype start = 0;
    for (size_t n = 0; n < N && start <= row.size(); ++n) {
        qsizetype end = row.indexOf(LF, start);
        if (end < 0)
            end = row.size();
        fields[n] = row.mid(start, end - start);
        start = end + 1;
    }
    return fields;
}
} // namespace

QString CellText(const QVariant &value) {
    // A null number would otherwise read as "0".
    return value.isNull() ? QString() : value.toString();
}

QString MainCaption(const QString &firma, const QString &filiale, const QString &userDisplayName) {
    return QStringLiteral("KORVEX Update Hauptlieferanten              Firma: ") + firma +
           QStringLiteral("     Filiale: ") + filiale + QStringLiteral("     Benutzer: ") + userDisplayName;
}

QString PrintTitle(const QString &updateText, const QDate &date, const QTime &time) {
    return QStringLiteral("KORVEX Update Hauptlieferanten       Update: ") + updateText +
           QStringLiteral("    Datum: ") + ShortDate(date) + QLatin1Char(' ') + TimeText(time);
}

QString ShortDate(const QDate &date) {
    QString format = QLocale().dateFormat(QLocale::ShortFormat);
    // Qt's short form has a two-digit year; a clerk reads dates back to the last century here.
    if (!format.contains(QLatin1String("yyyy")))
        format.replace(QLatin1String("yy"), QLatin1String("yyyy"));
    return QLocale().toString(date, format);
}

QString TimeText(const QTime &time) {
    QString format = QLocale().timeFormat(QLocale::LongFormat);
    format.remove(QRegularExpression(QStringLiteral("\\s*t+\\s*")));
    return QLocale().toString(time, format.trimmed());
}

QString UpdateDate(const QVariant &serverDate) {
    if (serverDate.isNull())
        return QString();
    try {
        return ShortDate(cacheapi::NumberToDate(serverDate.toString()));
    } catch (const std::invalid_argument &) {
        // One broken date on the server must not keep the clerk out of the program.
        return QString();
    }
}

QString FormatPrice(const QVariant &price) {
    if (price.isNull())
        return QString();
    double value = 0;
    if (price.typeId() == QMetaType::QString || price.typeId() == QMetaType::QByteArray) {
        bool ok = false;
        value = price.toString().trimmed().toDouble(&ok); // C locale: "." is the decimal point
        if (!ok || !std::isfinite(value))
            return price.toString();
    } else {
        bool ok = false;
        value = price.toDouble(&ok);
        if (!ok || !std::isfinite(value))
            return price.toString();
    }
    return TwoDecimals(value, QLocale()) % QStringLiteral(" €");
}

QString UpdateRow(const QVariant &number, const QVariant &description, const QVariant &serverDate) {
    return CellText(number) + LF + screenText(description) + LF + UpdateDate(serverDate);
}

QString ArticleRow(const QVariant &number, const QVariant &description, const QVariant &mainSupplier,
                   const QVariant &proposedSupplier) {
    // Built in one allocation of its exact size: the list keeps 100,000 of these.
    return CellText(number) % LF % screenText(description) % LF % screenText(mainSupplier) % LF %
           screenText(proposedSupplier);
}

QString ArticleRows::operator()(const QVariant &number, const QVariant &description, const QVariant &mainSupplier,
                                const QVariant &proposedSupplier) {
    return (*this)(CellText(number), CellText(description), CellText(mainSupplier), CellText(proposedSupplier));
}

QString ArticleRows::operator()(const QString &numberText, const QString &description, const QString &mainSupplier,
                                const QString &proposedSupplier) {
    const QString descriptionText = cacheapi::ConvertText(description, QStringLiteral("KORVEX"), false);
    const Screen main = supplier(mainSupplier);
    const Screen proposed = supplier(proposedSupplier);
    QString row = numberText % LF % descriptionText % LF % main.text % LF % proposed.text;
    // Parts without a line feed are the row's fields: the filter's mark follows from what is known
    // of each supplier, as ProposalDiffers reads it from the row.
    if (numberText.contains(LF) || descriptionText.contains(LF) || main.lineFeed || proposed.lineFeed)
        m_differs.push_back(ProposalDiffers(row));
    else
        m_differs.push_back(!proposed.blank && (main.blank || main.leading != proposed.leading));
    return row;
}

ArticleRows::Screen ArticleRows::supplier(const QString &server) {
    // Bounded, so that a list naming ever new suppliers costs no more than converting each.
    constexpr qsizetype kMostSuppliers = 4096;
    // The server hands out one shared text per supplier: the same characters in memory (kept alive
    // here, so never reused for another text) are the same text, found without hashing them.
    if (const auto same = m_byData.constFind(server.constData());
        same != m_byData.constEnd() && same->server.size() == server.size())
        return same->screen;
    Screen screen;
    if (const auto found = m_screen.constFind(server); found != m_screen.constEnd()) {
        screen = found.value();
    } else {
        screen.text = cacheapi::ConvertText(server, QStringLiteral("KORVEX"), false);
        screen.blank = QStringView(screen.text).trimmed().isEmpty();
        screen.leading = cacheapi::LeadingNumber(QStringView(screen.text));
        screen.lineFeed = screen.text.contains(LF);
    }
    if (m_screen.size() < kMostSuppliers)
        m_screen.insert(server, screen);
    if (m_byData.size() < kMostSuppliers && !server.isEmpty())
        m_byData.insert(server.constData(), Shared{server, screen});
    return screen;
}

QString SupplierRow(const QVariant &supplier, const QVariant &price, const QVariant &unit,
                    const QVariant &lastPurchase) {
    QString date = CellText(lastPurchase);
    if (date == QLatin1String("00:00:00"))
        date.clear();
    return screenText(supplier) % LF % FormatPrice(price) % LF % CellText(unit) % LF % date;
}

Offer OfferOfRow(const QString &supplierRow, bool active) {
    const std::array<QStringView, 3> fields = firstFields<3>(supplierRow);
    return Offer{fields[1].toString(), fields[2].toString(), active};
}

QString SupplierHeading(const QString &articleRow) {
    return cacheapi::Piece(articleRow, QString(LF), 1) + QStringLiteral("  ") +
           cacheapi::Piece(articleRow, QString(LF), 2);
}

namespace {

// The row's four fields with `mainSupplier` as the third, in one allocation (a take-all rewrites
// 20,000 rows).
QString withMainSupplier(const std::array<QStringView, 4> &fields, QStringView mainSupplier) {
    return fields[0] % LF % fields[1] % LF % mainSupplier % LF % fields[3];
}

} // namespace

QString ArticleRowWithMainSupplier(const QString &articleRow, const QString &supplierText) {
    return withMainSupplier(firstFields<4>(articleRow), supplierText);
}

QString ArticleRowWithProposalTaken(const QString &articleRow) {
    const std::array<QStringView, 4> fields = firstFields<4>(articleRow);
    return withMainSupplier(fields, fields[3]);
}

bool IsMainSupplier(const QString &mainSupplierField, const QString &supplierText) {
    return cacheapi::LeadingNumber(mainSupplierField) == cacheapi::LeadingNumber(supplierText);
}

bool ProposalDiffers(const QString &articleRow) {
    // Read in place, without copying the fields: the filter asks this of every row after a load.
    const std::array<QStringView, 4> fields = firstFields<4>(articleRow);
    const QStringView proposed = fields[3];
    if (proposed.trimmed().isEmpty())
        return false;
    const QStringView main = fields[2];
    // An article without a main supplier differs from any proposal.
    return main.trimmed().isEmpty() || cacheapi::LeadingNumber(main) != cacheapi::LeadingNumber(proposed);
}

bool IsProposedSupplier(const QString &articleRow, const QString &supplierText) {
    const QString proposed = cacheapi::Piece(articleRow, QString(LF), 4);
    return !proposed.trimmed().isEmpty() && IsMainSupplier(proposed, supplierText);
}

QString StatusText(int currentRow, int articles, int differing, int changed) {
    const QLocale locale;
    const QString at = currentRow >= 0 ? locale.toString(currentRow + 1) : QStringLiteral("–");
    return QStringLiteral("Artikel %1 von %2 · %3 weichen ab · %4 geändert, nicht gespeichert")
        .arg(at, locale.toString(articles), locale.toString(differing), locale.toString(changed));
}

bool MatchesSearch(const QString &articleRow, const QString &term) {
    const QString wanted = term.trimmed().toLower();
    if (wanted.isEmpty())
        return false;
    if (cacheapi::Piece(articleRow, QString(LF), 1).toLower().startsWith(wanted))
        return true;
    const QString description = cacheapi::Piece(articleRow, QString(LF), 2).toLower();
    for (qsizetype at = description.indexOf(wanted); at >= 0; at = description.indexOf(wanted, at + 1))
        if (at == 0 || !description.at(at - 1).isLetterOrNumber())
            return true;
    return false;
}

QString TakeAllQuestion(int taken, int skipped) {
    const QLocale locale;
    return QStringLiteral("%1 Artikel übernehmen? %2 werden übersprungen, weil der vorgeschlagene Lieferant nicht "
                          "aktiv oder kein Lieferant des Artikels ist.")
        .arg(locale.toString(taken), locale.toString(skipped));
}

QString TakeAllReport(int taken, const QStringList &skipped) {
    const QLocale locale;
    QString text = QStringLiteral("%1 Vorschläge übernommen.").arg(locale.toString(taken));
    if (skipped.isEmpty())
        return text;
    constexpr int kNamed = 20;
    text += QStringLiteral("\n\nÜbersprungen: ") + QStringList(skipped.mid(0, kNamed)).join(QStringLiteral(", "));
    if (skipped.size() > kNamed)
        text += QStringLiteral(" und %1 weitere").arg(locale.toString(int(skipped.size() - kNamed)));
    return text;
}

} // namespace mainlogic
