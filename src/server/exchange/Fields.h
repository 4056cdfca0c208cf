#pragma once

#include <QDate>
#include <QString>

#include <optional>

// The values of the merchants' files as German spreadsheets write them. Each reader returns the
// value, or empty and says in `expected` what the text should have been, for the error message.
namespace kxexchange {

// The longest texts the import takes, in characters: codes, passwords and the other short keys as
// the login dialog's fields hold them; names and descriptions; an e-mail address.
constexpr int kCodeLength = 20;
constexpr int kNameLength = 200;
constexpr int kMailLength = 254;
// A supplier's own article number (DATANORM allows 15; some catalogs write longer ones).
constexpr int kCatalogNumberLength = 40;
// Two-digit years below this are 20xx, the others 19xx.
constexpr int kTwoDigitYearPivot = 30;

// A text from a file as a message shows it: control characters escaped (\x1b, \n), so that
// nothing in a file reaches the administrator's terminal as a command; cut after `maxLength`.
QString ShownText(const QString &text, qsizetype maxLength = 80, bool keepLineBreaks = false);

// "1.234,50", "1234,5", "1234.50", "12": a price in cents. Negative prices and more than two
// decimals are refused (a price is stored in cents and must not be rounded unseen).
std::optional<qint64> ParseCents(const QString &text, QString *expected);
// A whole number from 1 to 999,999,999 (supplier and run numbers); thousands points allowed.
std::optional<qint64> ParseWholeNumber(const QString &text, QString *expected);
// "dd.mm.yyyy", "dd.mm.yy" (see kTwoDigitYearPivot) or "yyyy-mm-dd", a date that exists.
std::optional<QDate> ParseDate(const QString &text, QString *expected);
// "J"/"N", "ja"/"nein", "1"/"0" (any letter case): "J" or "N".
std::optional<QString> ParseFlag(const QString &text, QString *expected);

// An EAN / GTIN: 8 to 14 digits; an empty field is the empty text (no EAN).
std::optional<QString> ParseEan(const QString &text, QString *expected);

// A text as the program shows it, turned into the server's 7-bit form. The characters that form
// uses for the German letters cannot be told from them afterwards, and control characters break
// lists and exports, so a text holding one is refused: empty, with its position in `expected`.
std::optional<QString> ToServerText(const QString &text, QString *expected);
// A text stored as it stands (codes, passwords, numbers kept as text): only control characters are
// refused.
std::optional<QString> PlainText(const QString &text, QString *expected);
// The server's form back to the letters the program shows.
QString FromServerText(const QString &text);

// Prices and dates as the export writes them: "1234,50", "dd.mm.yyyy".
QString CentsText(qint64 cents);

} // namespace kxexchange
