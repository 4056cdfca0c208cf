// The rows of an OpenDocument spreadsheet's first table (content.xml): each cell carries its type and
// value in attributes (office:value-type, office:value, office:date-value), its text in text:p
// paragraphs; runs of equal rows and cells are written once with a repeat count.

#include "server/exchange/CsvReader.h"
#include "server/exchange/WorkbookReader.h"

#include <algorithm>

namespace kxexchange {

namespace {

QString attributeOf(const QXmlStreamReader &xml, const char *localName) {
    for (const QXmlStreamAttribute &a : xml.attributes())
        if (a.name() == QLatin1String(localName))
            return a.value().toString();
    return QString();
}

// At most 2^32: a sum of counts stays far from overflowing, and no sheet has as many rows.
qint64 repeatOf(const QXmlStreamReader &xml, const char *localName) {
    const qint64 count = attributeOf(xml, localName).toLongLong();
    return std::clamp<qint64>(count, 1, qint64(1) << 32);
}

} // namespace

bool WorkbookReader::readOdsRow(QStringList &fields, bool *found) {
    if (m_repeatLeft > 0) {
        --m_repeatLeft;
        ++m_line;
        fields = m_repeated;
        *found = true;
        return true;
    }
    if (m_sheetDone)
        return true;
    qint64 column = 0;
    qint64 cellRepeat = 1;
    qint64 rowRepeat = 1;
    QString value;
    QString text;
    bool typed = false;
    int paragraphs = 0;
    int inParagraph = 0;
    int annotation = 0; // a comment's paragraphs are no part of the value
    while (true) {
        const QXmlStreamReader::TokenType token = m_xml.readNext();
        if (token == QXmlStreamReader::Invalid) {
            if (m_xml.error() != QXmlStreamReader::PrematureEndOfDocumentError)
                return fail(QStringLiteral("Zeile %1: die Tabelle ist kein gültiges XML (%2)")
                                .arg(m_line)
                                .arg(m_xml.errorString()));
            if (!feedSheet())
                return fail(QStringLiteral("Zeile %1: die Tabelle ist unvollständig").arg(m_line));
            continue;
        }
        m_sheet.stretch = 0;
        if (token == QXmlStreamReader::EndDocument)
            return true;
        const QStringView name = m_xml.name();
        if (token == QXmlStreamReader::StartElement) {
            if (name == QLatin1String("table-row")) {
                rowRepeat = repeatOf(m_xml, "number-rows-repeated");
                column = 0;
            } else if (name == QLatin1String("table-cell") || name == QLatin1String("covered-table-cell")) {
                cellRepeat = repeatOf(m_xml, "number-columns-repeated");
                const QString type = attributeOf(m_xml, "value-type");
                typed = true;
                if (type == QLatin1String("float") || type == QLatin1String("currency") ||
                    type == QLatin1String("percentage"))
                    value = QString::number(attributeOf(m_xml, "value").toDouble(), 'g', 15);
                else if (type == QLatin1String("date"))
                    value = attributeOf(m_xml, "date-value").left(10); // the day of a date and time
                else if (type == QLatin1String("boolean"))
                    value = attributeOf(m_xml, "boolean-value") == QLatin1String("true") ? QStringLiteral("1")
                                                                                         : QStringLiteral("0");
                else
                    typed = false;
                text.clear();
                paragraphs = 0;
            } else if (name == QLatin1String("annotation")) {
                ++annotation;
            } else if (annotation == 0 && name == QLatin1String("p")) {
                if (paragraphs++ > 0)
                    text += QLatin1Char('\n');
                ++inParagraph;
            } else if (annotation == 0 && inParagraph > 0 && name == QLatin1String("s")) {
                // A run of blanks written as a count: the count must not make a cell longer than
                // any cell may be, before the blanks are made.
                const qint64 blanks = repeatOf(m_xml, "c");
                if (blanks > CsvReader::kMaxRecord - text.size())
                    return fail(QStringLiteral("Zeile %1: eine Zelle wäre mit ihren Leerzeichen (text:s) länger als "
                                               "%2 Zeichen")
                                    .arg(m_line + 1)
                                    .arg(CsvReader::kMaxRecord));
                text += QString(qsizetype(blanks), QLatin1Char(' '));
            } else if (annotation == 0 && inParagraph > 0 && name == QLatin1String("tab")) {
                text += QLatin1Char('\t');
            } else if (annotation == 0 && inParagraph > 0 && name == QLatin1String("line-break")) {
                text += QLatin1Char('\n');
            }
        } else if (token == QXmlStreamReader::Characters && inParagraph > 0 && annotation == 0) {
            text += m_xml.text();
            if (text.size() > CsvReader::kMaxRecord)
                return fail(QStringLiteral("Zeile %1: eine Zelle ist länger als %2 Zeichen")
                                .arg(m_line + 1)
                                .arg(CsvReader::kMaxRecord));
        } else if (token == QXmlStreamReader::EndElement) {
            if (name == QLatin1String("p") && annotation == 0) {
                --inParagraph;
            } else if (name == QLatin1String("annotation")) {
                --annotation;
            } else if (name == QLatin1String("table-cell") || name == QLatin1String("covered-table-cell")) {
                const QString cell = typed ? value : text;
                if (cell.size() > CsvReader::kMaxRecord)
                    return fail(QStringLiteral("Zeile %1: eine Zelle ist länger als %2 Zeichen")
                                    .arg(m_line + 1)
                                    .arg(CsvReader::kMaxRecord));
                if (!cell.isEmpty()) {
                    if (column + cellRepeat > CsvReader::kMaxFields)
                        return fail(QStringLiteral("Zeile %1: die Zeile hat mehr als %2 Spalten")
                                        .arg(m_line + 1)
                                        .arg(CsvReader::kMaxFields));
                    while (fields.size() < column + cellRepeat)
                        fields << QString();
                    for (qint64 i = 0; i < cellRepeat; ++i)
                        fields[column + i] = cell;
                }
                column = std::min<qint64>(column + cellRepeat, CsvReader::kMaxFields + 1);
            } else if (name == QLatin1String("table-row")) {
                *found = true;
                ++m_line;
                if (std::any_of(fields.begin(), fields.end(), [](const QString &f) { return !f.isEmpty(); })) {
                    // Every copy of a row with data is a record to check: a few bytes must not
                    // ask for more rows than a sheet holds, or more cells than a sane budget.
                    m_repeatedCells += (rowRepeat - 1) * fields.size();
                    if (m_line + rowRepeat - 1 > kMaxRows || m_repeatedCells > kMaxRepeatedCells)
                        return fail(QStringLiteral("Zeile %1: die Zeile wird %2-mal wiederholt, öfter als der Import "
                                                   "liest (Zeilen mit Inhalt bis Zeile %3, insgesamt höchstens %4 "
                                                   "wiederholte Zellen)")
                                        .arg(m_line)
                                        .arg(rowRepeat)
                                        .arg(kMaxRows)
                                        .arg(kMaxRepeatedCells));
                    m_repeatLeft = rowRepeat - 1;
                    m_repeated = fields;
                } else {
                    m_line += rowRepeat - 1; // a run of empty rows: counted, not handed out
                }
                return true;
            } else if (name == QLatin1String("table")) {
                m_sheetDone = true; // only the first sheet is read
                return true;
            }
        }
    }
}

} // namespace kxexchange
