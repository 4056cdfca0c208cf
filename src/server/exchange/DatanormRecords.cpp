// The records the reader uses, field by field: articles, their extra data, prices and discount groups,
// each field checked against what its record may hold.

#include "server/exchange/DatanormCharset.h"
#include "server/exchange/DatanormReader.h"

#include <QStringList>

#include <array>
#include <cstring>

namespace kxexchange::datanorm {

namespace {

constexpr std::array<const char *, 3> kDiscountType{"Rabattart 1", "Rabattart 2", "Rabattart 3"};
constexpr std::array<const char *, 3> kDiscountValue{"Rabattwert 1", "Rabattwert 2", "Rabattwert 3"};

// A whole non-negative number of at most `maxDigits` digits (leading zeros not counted).
bool WholeNumber(QByteArrayView bytes, int maxDigits, qint64 *out) {
    if (bytes.isEmpty())
        return false;
    qint64 value = 0;
    int digits = 0;
    for (const char c : bytes) {
        if (c < '0' || c > '9')
            return false;
        if (value > 0 || c != '0')
            ++digits;
        value = value * 10 + (c - '0');
        if (digits > maxDigits)
            return false;
    }
    *out = value;
    return true;
}

} // namespace

bool Reader::failField(const char *field, const QString &what) {
    if (!m_failed)
        m_error = Printable(QStringLiteral("%1, Zeile %2, Feld „%3“%4: %5")
                                .arg(m_name)
                                .arg(m_lineNumber)
                                .arg(QString::fromUtf8(field), m_where, what));
    m_failed = true;
    m_pendingCount = 0;
    return false;
}

bool Reader::flag(const char *allowed, QChar *out) {
    const QByteArrayView value = raw(2);
    if (value.isEmpty() && std::strchr(allowed, ' ')) {
        *out = QChar();
        return true;
    }
    const char letter = value.size() == 1 ? char(value[0] & ~0x20) : '\0';
    if (letter >= 'A' && letter <= 'Z' && std::strchr(allowed, letter)) {
        *out = QLatin1Char(letter);
        return true;
    }
    QStringList names;
    for (const char *c = allowed; *c; ++c)
        if (*c != ' ')
            names << QString(QLatin1Char(*c));
    return failField("Verarbeitungskennzeichen",
                     QStringLiteral("%1 ist keines von %2").arg(shown(2), names.join(QStringLiteral(", "))));
}

bool Reader::limited(int field, const char *name, qsizetype max, QString *out) {
    *out = text(field);
    if (out->size() <= max)
        return true;
    return failField(name, QStringLiteral("%1 ist länger als %2 Zeichen").arg(shown(field)).arg(max));
}

bool Reader::number(int field, const char *name, QString *out) {
    if (!need(field, name))
        return false;
    if (raw(field).isEmpty())
        return failField(name, QStringLiteral("ist leer"));
    return limited(field, name, kMaxNumber, out);
}

bool Reader::priceType(int field, PriceType *out) {
    qint64 value = 0;
    if (WholeNumber(raw(field), 1, &value) && (value == 1 || value == 2 || value == 3 || value == 9)) {
        *out = static_cast<PriceType>(value);
        return true;
    }
    return failField("Preiskennzeichen", QStringLiteral("%1 ist keines von 1, 2, 3, 9").arg(shown(field)));
}

bool Reader::cents(int field, PriceType type, qint64 *out) {
    const QByteArrayView value = raw(field);
    *out = 0;
    if (value.isEmpty()) {
        if (type == PriceType::OnRequest)
            return true;
        return failField("Preis", QStringLiteral("ist leer – keine Zahl"));
    }
    if (WholeNumber(value, 15, out))
        return true;
    if (WholeNumber(value, 18, out))
        return failField("Preis", QStringLiteral("%1 ist zu groß").arg(shown(field)));
    return failField("Preis", QStringLiteral("%1 ist keine Zahl (ganze Cent, ohne Komma)").arg(shown(field)));
}

bool Reader::quantity(int field, bool code, qint64 *out) {
    const QByteArrayView value = raw(field);
    *out = 1;
    if (value.isEmpty())
        return true;
    qint64 number = 0;
    if (code) {
        if (WholeNumber(value, 1, &number) && number <= 3) {
            for (; number > 0; --number)
                *out *= 10;
            return true;
        }
        return failField("Preiseinheit",
                         QStringLiteral("%1 ist keine von 0, 1, 2, 3 (je 1, 10, 100, 1000)").arg(shown(field)));
    }
    if (WholeNumber(value, 9, &number) && number > 0) {
        *out = number;
        return true;
    }
    return failField("Preiseinheit", QStringLiteral("%1 ist keine Menge (eine ganze Zahl ab 1)").arg(shown(field)));
}

bool Reader::ean(int field, QString *out) {
    const QByteArrayView value = raw(field);
    qint64 ignored = 0;
    if (value.isEmpty() || (value.size() <= kMaxEan && WholeNumber(value, int(kMaxEan), &ignored))) {
        *out = QString::fromLatin1(value);
        return true;
    }
    return failField("EAN",
                     QStringLiteral("%1 ist keine EAN (nur Ziffern, höchstens %2)").arg(shown(field)).arg(kMaxEan));
}

// A discount's type and value in two fields. Both empty: no discount.
bool Reader::discount(int typeField, int index, Discount *out) {
    const QByteArrayView type = raw(typeField);
    const QByteArrayView value = raw(typeField + 1);
    *out = Discount{};
    if (type.isEmpty() && value.isEmpty())
        return true;
    qint64 kind = 0;
    if (type.isEmpty())
        return failField(kDiscountType.at(index),
                         QStringLiteral("fehlt (der Wert %1 steht ohne Rabattart)").arg(shown(typeField + 1)));
    if (!WholeNumber(type, 1, &kind) || kind > 3)
        return failField(kDiscountType.at(index), QStringLiteral("%1 ist keine von 0, 1, 2, 3").arg(shown(typeField)));
    out->type = int(kind);
    if (kind == 0)
        return limited(typeField + 1, kDiscountValue.at(index), kMaxGroup, &out->group);
    if (!WholeNumber(value, 9, &out->value))
        return failField(kDiscountValue.at(index), QStringLiteral("%1 ist keine Zahl").arg(shown(typeField + 1)));
    // More than 100 % off would make the price negative.
    if (kind == 1 && out->value > 10000)
        return failField(kDiscountValue.at(index),
                         QStringLiteral("%1 ist mehr als 100 % (Hundertstel Prozent)").arg(shown(typeField + 1)));
    return true;
}

// Version 4: A;flag;number;text code;text 1;text 2;price type;price unit code;unit;price;group;…
// ("A;X;old;new" renumbers). Version 5: A;flag;number;text 1;text 2;unit;price type;price unit;price;
// group;…;EAN (field 19). A deletion needs no more than its number.
bool Reader::readArticle(Record &record) {
    const bool v4 = m_version == 4;
    if (!flag(v4 ? "NALX" : "NAL", &record.flag))
        return false;
    if (record.flag == QLatin1Char('X')) {
        record.kind = Record::Kind::Renumber;
        return number(3, "alte Artikelnummer", &record.oldNumber) && number(4, "neue Artikelnummer", &record.number);
    }
    record.kind = Record::Kind::Article;
    if (!number(3, "Artikelnummer", &record.number))
        return false;
    record.text1 = text(v4 ? 5 : 4);
    record.text2 = text(v4 ? 6 : 5);
    if (record.flag == QLatin1Char('L'))
        return true;
    if (v4)
        return need(10, "Preis") && priceType(7, &record.priceType) && quantity(8, true, &record.priceUnit) &&
               limited(9, "Mengeneinheit", kMaxUnit, &record.unit) && cents(10, record.priceType, &record.cents) &&
               limited(11, "Rabattgruppe", kMaxGroup, &record.group);
    return need(9, "Preis") && limited(6, "Mengeneinheit", kMaxUnit, &record.unit) && priceType(7, &record.priceType) &&
           quantity(8, false, &record.priceUnit) && cents(9, record.priceType, &record.cents) &&
           limited(10, "Rabattgruppe", kMaxGroup, &record.group) && ean(19, &record.ean);
}

// Version 4: B;flag;number;matchcode;other number;catalog page;…;EAN (field 10). Version 5:
// "B;A;old;new" renumbers, "B;L;number" deletes.
bool Reader::readExtra(Record &record) {
    if (m_version == 4) {
        record.kind = Record::Kind::Extra;
        return flag("NAL", &record.flag) && number(3, "Artikelnummer", &record.number) && ean(10, &record.ean);
    }
    if (!flag("AL", &record.flag))
        return false;
    if (record.flag == QLatin1Char('L')) {
        record.kind = Record::Kind::Delete;
        return number(3, "Artikelnummer", &record.number);
    }
    record.kind = Record::Kind::Renumber;
    return number(3, "alte Artikelnummer", &record.oldNumber) && number(4, "neue Artikelnummer", &record.number);
}

// Version 4: P;flag; then up to three blocks of number;price type;price;(discount type;value)×3, a
// block with an empty number left out; the discounts of the last block may be left off at the
// line's end. Version 5: P;flag;number;price type;price unit;price;group;(type;value)×3;valid from.
bool Reader::readPrices() {
    QChar letter;
    if (!flag("NAL", &letter))
        return false;
    const auto begin = [&]() -> Record & {
        Record &record = m_pending[m_pendingCount];
        record = Record{};
        record.kind = Record::Kind::Price;
        record.flag = letter;
        record.line = m_lineNumber;
        return record;
    };
    const bool deletion = letter == QLatin1Char('L');
    if (m_version == 5) {
        Record &record = begin();
        QByteArrayView validFrom;
        const bool ok =
            number(3, "Artikelnummer", &record.number) &&
            (deletion ||
             (need(6, "Preis") && priceType(4, &record.priceType) && quantity(5, false, &record.priceUnit) &&
              cents(6, record.priceType, &record.cents) && limited(7, "Rabattgruppe", kMaxGroup, &record.group) &&
              discount(8, 0, &record.discounts[0]) && discount(10, 1, &record.discounts[1]) &&
              discount(12, 2, &record.discounts[2]) &&
              ((validFrom = raw(14)).isEmpty() || date("Gültig ab", validFrom, &record.validFrom))));
        if (!ok)
            return false;
        m_pendingCount = 1;
        return true;
    }
    for (int block = 0; block < 3; ++block) {
        const int at = 3 + 9 * block;
        if (raw(at).isEmpty())
            continue;
        m_where = QStringLiteral(" im %1. Preisblock").arg(block + 1);
        Record &record = begin();
        record.priceUnit = 0;
        const bool ok =
            number(at, "Artikelnummer", &record.number) &&
            (deletion || (need(at + 2, "Preis") && priceType(at + 1, &record.priceType) &&
                          cents(at + 2, record.priceType, &record.cents) && discount(at + 3, 0, &record.discounts[0]) &&
                          discount(at + 5, 1, &record.discounts[1]) && discount(at + 7, 2, &record.discounts[2])));
        m_where.clear();
        if (!ok)
            return false;
        ++m_pendingCount;
    }
    return true;
}

// R;flag;group;discount type;value;text
bool Reader::readGroup(Record &record) {
    record.kind = Record::Kind::Group;
    if (!flag("NAL ", &record.flag) || !need(3, "Rabattgruppe") ||
        !limited(3, "Rabattgruppe", kMaxGroup, &record.group))
        return false;
    if (record.group.isEmpty())
        return failField("Rabattgruppe", QStringLiteral("ist leer"));
    if (record.flag == QLatin1Char('L'))
        return true;
    if (!need(5, kDiscountValue[0]) || !discount(4, 0, &record.discounts[0]))
        return false;
    record.text1 = text(6);
    return true;
}

} // namespace kxexchange::datanorm
