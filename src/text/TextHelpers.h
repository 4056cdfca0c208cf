#pragma once

#include <QDate>
#include <QString>

class QObject;

namespace cacheapi {

// Field Index (counted from 1) of Text, split at the one-character Delimiter; Default for an empty
// or missing field. A delimiter that is empty or longer than one character never matches.
QString Piece(const QString &Text, const QString &Delimiter, int Index, const QString &Default = QString());

// Every occurrence of Find in Text replaced by Replacement, left to right, never overlapping.
// Unless WholeStrings is true only the first character of Find and of Replacement count.
QString ReplaceText(const QString &Text, const QString &Find, const QString &Replacement, bool WholeStrings = false);

// The server's date number, (year - 1900) * 10000 + month * 100 + day. Throws std::invalid_argument
// when the number does not form a valid date.
QDate NumberToDate(const QString &Text);

// Leading number of a text: blanks, tabs and line feeds are skipped wherever they stand, "." is the
// decimal point whatever the locale, reading stops at the first character that cannot continue
// the number; no number reads as 0.
double LeadingNumber(const QString &Text);
double LeadingNumber(QStringView Text);

// Upper case with this program's letter rules: ß has no capital and stays ß.
QString UpperCase(const QString &Text);

// Converts between the server's 7-bit German text, screen text, search keys and RTF.
// Modes: "RTF", "KORVEXSUCHE", "KORVEX", "KORVEXSZ", "GUIKORVEX" (exact spelling).
QString ConvertText(const QString &Text, const QString &Mode, bool Upper = true);

// Selects the whole text of any text-entry control, addressing its members by name at run time.
// Unless SelectOnly is true the control also gets the input focus. Throws std::invalid_argument
// for an object that has no text with a selection.
void SelectAllText(QObject *Control, bool SelectOnly = false);

} // namespace cacheapi
