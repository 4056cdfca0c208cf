#include "server/exchange/Fields.h"

#include "text/TextHelpers.h"

#include <QRegularExpression>

#include <algorithm>

namespace kxexchange {

namespace {

QString quoted(const QString &text) {
    return QLatin1Char('"') + ShownText(text) + QLatin1Char('"');
}

// The position (counted from 1) of the first control character, 0 when there is none.
qsizetype controlAt(const QString &text) {
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        if (c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F))
            return i + 1;
    }
    return 0;
}

// The value of text[from, to) when all of it are digits; -1 otherwise.
qint64 digitsValue(const QString &text, qsizetype from, qsizetype to) {
    qint64 value = 0;
    for (qsizetype i = from; i < to; ++i) {
        const char16_t c = text.at(i).unicode();
        if (c < u'0' || c > u'9')
            return -1;
        value = value * 10 + (c - u'0');
    }
    return from < to ? value : -1;
}

} // namespace

QString ShownText(const QString &text, qsizetype maxLength, bool keepLineBreaks) {
    QString shown;
    const qsizetype end = std::min(text.size(), maxLength);
    for (qsizetype i = 0; i < end; ++i) {
        const char16_t c = text.at(i).unicode();
        if (c == u'\n')
            shown += keepLineBreaks ? QStringLiteral("\n") : QStringLiteral("\\n");
        else if (c == u'\r')
            shown += QLatin1String("\\r");
        else if (c == u'\t')
            shown += QLatin1String("\\t");
        else if (c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F))
            shown += QStringLiteral("\\x%1").arg(int(c), 2, 16, QLatin1Char('0'));
        else
            shown += text.at(i);
    }
    if (end < text.size())
        shown += QStringLiteral("…");
    return shown;
}

std::optional<qint64> ParseCents(const QString &input, QString *expected) {
    // Most files write "1234,50" or "12": read without the expressions below.
    const qsizetype comma = input.indexOf(QLatin1Char(','));
    const qsizetype wholeEnd = comma < 0 ? input.size() : comma;
    if (wholeEnd <= 15 && (comma < 0 || input.size() - comma - 1 <= 2)) {
        const qint64 whole = digitsValue(input, 0, wholeEnd);
        const qint64 decimals = comma < 0 ? 0 : digitsValue(input, comma + 1, input.size());
        if (whole >= 0 && decimals >= 0)
            return whole * 100 + (comma >= 0 && input.size() - comma - 1 == 1 ? decimals * 10 : decimals);
    }
    const QString text = input.trimmed();
    // German form with optional thousands points, or the plain form with a decimal point.
    static const QRegularExpression german(QStringLiteral("^(-?)([0-9]{1,3}(?:\\.[0-9]{3})+|[0-9]+)(?:,([0-9]+))?$"));
    static const QRegularExpression plain(QStringLiteral("^(-?)([0-9]+)(?:\\.([0-9]+))?$"));
    QRegularExpressionMatch match = german.match(text);
    if (!match.hasMatch())
        match = plain.match(text);
    if (!match.hasMatch() || match.captured(2).size() > 15) {
        *expected = QStringLiteral("%1 ist keine Zahl").arg(quoted(input));
        return std::nullopt;
    }
    const QString decimals = match.captured(3);
    if (!match.captured(1).isEmpty()) {
        *expected = QStringLiteral("%1 ist negativ (erwartet: ein Preis ab 0)").arg(quoted(input));
        return std::nullopt;
    }
    if (decimals.size() > 2) {
        *expected = QStringLiteral("%1 hat mehr als zwei Nachkommastellen").arg(quoted(input));
        return std::nullopt;
    }
    const qint64 whole = QString(match.captured(2)).remove(QLatin1Char('.')).toLongLong();
    const qint64 cents = decimals.isEmpty() ? 0 : QString(decimals).leftJustified(2, QLatin1Char('0')).toLongLong();
    return whole * 100 + cents;
}

std::optional<qint64> ParseWholeNumber(const QString &input, QString *expected) {
    if (input.size() <= 9) {
        if (const qint64 plain = digitsValue(input, 0, input.size()); plain >= 1)
            return plain;
    }
    static const QRegularExpression pattern(QStringLiteral("^([0-9]{1,3}(?:\\.[0-9]{3})+|[0-9]{1,9})$"));
    const QString text = input.trimmed();
    const QRegularExpressionMatch match = pattern.match(text);
    const qint64 number = match.hasMatch() ? QString(text).remove(QLatin1Char('.')).toLongLong() : 0;
    if (number < 1 || number > 999999999) {
        *expected = QStringLiteral("%1 ist keine ganze Zahl von 1 bis 999999999").arg(quoted(input));
        return std::nullopt;
    }
    return number;
}

std::optional<QDate> ParseDate(const QString &input, QString *expected) {
    // Two-digit years as the spreadsheets read them (LibreOffice's and Excel's default window):
    // 30 to 99 are 1930 to 1999, 00 to 29 are 2000 to 2029.
    static const QRegularExpression german(QStringLiteral("^([0-9]{1,2})\\.([0-9]{1,2})\\.([0-9]{4}|[0-9]{2})$"));
    static const QRegularExpression iso(QStringLiteral("^([0-9]{4})-([0-9]{2})-([0-9]{2})$"));
    if (input.size() == 10 && input.at(2) == QLatin1Char('.') && input.at(5) == QLatin1Char('.')) {
        // "dd.mm.yyyy", the usual form, read without the expressions.
        const qint64 day = digitsValue(input, 0, 2);
        const qint64 month = digitsValue(input, 3, 5);
        const qint64 year = digitsValue(input, 6, 10);
        if (day >= 0 && month >= 0 && year >= 1900) {
            const QDate date{int(year), int(month), int(day)};
            if (date.isValid())
                return date;
        }
    }
    const QString text = input.trimmed();
    QDate date;
    if (const QRegularExpressionMatch m = german.match(text); m.hasMatch()) {
        int year = m.captured(3).toInt();
        if (m.captured(3).size() == 2)
            year += year < kTwoDigitYearPivot ? 2000 : 1900;
        date = QDate(year, m.captured(2).toInt(), m.captured(1).toInt());
    } else if (const QRegularExpressionMatch i = iso.match(text); i.hasMatch())
        date = QDate(i.captured(1).toInt(), i.captured(2).toInt(), i.captured(3).toInt());
    else {
        *expected = QStringLiteral("%1 ist kein Datum (erwartet: TT.MM.JJJJ oder TT.MM.JJ)").arg(quoted(input));
        return std::nullopt;
    }
    if (!date.isValid() || date.year() < 1900) {
        *expected = QStringLiteral("%1 ist kein Datum, das es gibt").arg(quoted(input));
        return std::nullopt;
    }
    return date;
}

std::optional<QString> ParseFlag(const QString &input, QString *expected) {
    if (input == QLatin1String("J") || input == QLatin1String("N"))
        return input;
    const QString text = input.trimmed().toLower();
    if (text == QLatin1String("j") || text == QLatin1String("ja") || text == QLatin1String("1"))
        return QStringLiteral("J");
    if (text == QLatin1String("n") || text == QLatin1String("nein") || text == QLatin1String("0"))
        return QStringLiteral("N");
    *expected = QStringLiteral("%1 ist weder J noch N (erwartet: J/N, ja/nein oder 1/0)").arg(quoted(input));
    return std::nullopt;
}

std::optional<QString> ParseEan(const QString &input, QString *expected) {
    const QString text = input.trimmed();
    if (text.isEmpty())
        return QString();
    const bool digits = std::all_of(text.begin(), text.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
    if (digits && text.size() >= 8 && text.size() <= 14)
        return text;
    *expected = QStringLiteral("%1 ist keine EAN (erwartet: 8 bis 14 Ziffern)").arg(quoted(input));
    return std::nullopt;
}

std::optional<QString> PlainText(const QString &input, QString *expected) {
    const QString text = input.trimmed();
    if (const qsizetype at = controlAt(text)) {
        *expected = QStringLiteral("%1 enthält an Stelle %2 ein Steuerzeichen (z. B. einen Zeilenumbruch), das "
                                   "nicht gespeichert werden kann")
                        .arg(quoted(text))
                        .arg(at);
        return std::nullopt;
    }
    return text;
}

std::optional<QString> ToServerText(const QString &input, QString *expected) {
    const std::optional<QString> text = PlainText(input, expected);
    if (!text)
        return std::nullopt;
    // The server's form writes ä ö ü ß Ä Ö Ü § as { | } ~ [ \ ] õ.
    static const QString reserved = QStringLiteral("{|}~[\\]\u00F5");
    for (qsizetype i = 0; i < text->size(); ++i) {
        if (reserved.contains(text->at(i))) {
            *expected = QStringLiteral("%1 enthält an Stelle %2 das Zeichen \"%3\", das nicht gespeichert werden kann "
                                       "(der Server schreibt damit Umlaute)")
                            .arg(quoted(*text))
                            .arg(i + 1)
                            .arg(text->at(i));
            return std::nullopt;
        }
    }
    return cacheapi::ConvertText(*text, QStringLiteral("GUIKORVEX"), false);
}

QString FromServerText(const QString &text) {
    return cacheapi::ConvertText(text, QStringLiteral("KORVEX"), false);
}

QString CentsText(qint64 cents) {
    return QStringLiteral("%1,%2").arg(cents / 100).arg(cents % 100, 2, 10, QLatin1Char('0'));
}

} // namespace kxexchange
