#include "server/exchange/DatanormPrices.h"

#include "server/exchange/CsvReader.h"
#include "server/exchange/Fields.h"

#include <QFileInfo>

namespace kxexchange::datanorm {

std::optional<qint64> AfterDiscount(qint64 cents, const Discount &discount) {
    // Whole numbers throughout: a million prices must not come out a cent apart from a hand's sum.
    switch (discount.type) {
    case 1: // percent in hundredths
        if (discount.value < 0 || discount.value > 10000)
            return std::nullopt;
        return (cents * (10000 - discount.value) + 5000) / 10000;
    case 2: // multiplier in thousandths
        if (discount.value < 0)
            return std::nullopt;
        return (cents * discount.value + 500) / 1000;
    case 3: // surcharge in hundredths of a percent
        if (discount.value < 0)
            return std::nullopt;
        return (cents * (10000 + discount.value) + 5000) / 10000;
    default:
        return std::nullopt;
    }
}

std::optional<qint64> NetOfList(qint64 listCents, const std::array<Discount, 3> &discounts, const QString &group,
                                const GroupDiscounts &groups) {
    bool own = false;
    qint64 cents = listCents;
    for (const Discount &discount : discounts) {
        if (discount.type == 0 && discount.group.isEmpty())
            continue; // left empty
        own = true;
        const Discount *applied = &discount;
        if (discount.type == 0) {
            const auto found = groups.constFind(discount.group);
            if (found == groups.constEnd())
                return std::nullopt;
            applied = &found.value();
        }
        const std::optional<qint64> after = AfterDiscount(cents, *applied);
        if (!after)
            return std::nullopt;
        cents = *after;
    }
    if (own)
        return cents;
    const auto found = groups.constFind(group);
    if (group.isEmpty() || found == groups.constEnd())
        return std::nullopt;
    return AfterDiscount(listCents, found.value());
}

QString PerText(qint64 quantity, const QString &unit) {
    const QString code = unit.trimmed();
    const QString upper = code.toUpper();
    QString word = code;
    if (upper == QLatin1String("MTK"))
        word = QStringLiteral("m²");
    else if (upper == QLatin1String("MTR"))
        word = QStringLiteral("m");
    else if (upper == QLatin1String("PCE") || upper == QLatin1String("STK") || upper == QLatin1String("STCK") ||
             upper == QLatin1String("ST") || upper == QLatin1String("ST."))
        word = QStringLiteral("Stk");
    else if (upper == QLatin1String("KGM"))
        word = QStringLiteral("kg");
    else if (upper == QLatin1String("LTR"))
        word = QStringLiteral("l");
    return word.isEmpty() ? QString::number(quantity) : QStringLiteral("%1 %2").arg(quantity).arg(word);
}

bool ReadDiscountTable(const QString &path, GroupDiscounts &groups, QString *error) {
    const QString name = QFileInfo(path).fileName();
    CsvReader reader;
    const QStringList known{NormalizedHeader(QStringLiteral("Rabattgruppe")), NormalizedHeader(QStringLiteral("Rabatt"))};
    if (!reader.open(path, Encoding::Detect, known)) {
        *error = QStringLiteral("%1: %2").arg(name, reader.error());
        return false;
    }
    int groupAt = -1;
    int discountAt = -1;
    for (int i = 0; i < reader.header().size(); ++i) {
        const QString column = NormalizedHeader(reader.header().at(i));
        if (column == known.at(0))
            groupAt = i;
        else if (column == known.at(1))
            discountAt = i;
    }
    if (groupAt < 0 || discountAt < 0) {
        *error = QStringLiteral("%1, Zeile 1: die Kopfzeile muss \"Rabattgruppe;Rabatt\" lauten").arg(name);
        return false;
    }
    while (reader.next()) {
        const QStringList &fields = reader.fields();
        const QString group = fields.value(groupAt).trimmed();
        const QString raw = fields.value(discountAt).trimmed();
        const auto where = [&](const char *column) {
            return QStringLiteral("%1, Zeile %2, Spalte \"%3\": ").arg(name).arg(reader.line()).arg(QLatin1String(column));
        };
        if (group.isEmpty() || group.size() > kMaxGroup) {
            *error = where("Rabattgruppe") + (group.isEmpty() ? QStringLiteral("das Feld ist leer")
                                                                : QStringLiteral("\"%1\" ist länger als %2 Zeichen")
                                                                      .arg(ShownText(group, 40))
                                                                      .arg(kMaxGroup));
            return false;
        }
        // Percent with up to two decimals: the same reading as a price, in hundredths.
        QString expected;
        const std::optional<qint64> hundredths = ParseCents(raw, &expected);
        if (!hundredths || *hundredths > 10000) {
            *error = where("Rabatt") + QStringLiteral("\"%1\" ist kein Rabatt (erwartet: Prozent von 0 bis 100, z. B. 30 "
                                                      "oder 12,5)")
                                           .arg(ShownText(raw, 40));
            return false;
        }
        if (groups.contains(group) && groups.value(group).value != *hundredths) {
            *error = where("Rabattgruppe") + QStringLiteral("die Gruppe \"%1\" steht schon weiter oben").arg(group);
            return false;
        }
        groups.insert(group, Discount{1, *hundredths, QString()});
    }
    if (!reader.error().isEmpty()) {
        *error = QStringLiteral("%1: %2").arg(name, reader.error());
        return false;
    }
    return true;
}

} // namespace kxexchange::datanorm
