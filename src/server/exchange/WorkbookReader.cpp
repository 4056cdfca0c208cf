#include "server/exchange/WorkbookReader.h"

#include "server/exchange/CsvReader.h"

#include <QDate>
#include <QFile>
#include <QRegularExpression>

#include <algorithm>
#include <cmath>
#include <functional>

#include <fcntl.h>
#include <unistd.h>
#include <zip.h>

namespace kxexchange {

namespace {

constexpr zip_uint64_t kChunk = 1 << 16;
constexpr qint64 kMaxSmallPart = qint64(16) << 20; // workbook, relations, styles
// XML packs to a tenth or so of its size, a sheet of much the same rows to a fiftieth; a part
// packed tighter than kMaxRatio to one is made to be unpacked. Below a few megabytes it is harmless.
constexpr quint64 kFreeRatioBelow = quint64(8) << 20;

// Excel's built-in number formats that show a date or a time.
bool builtInDate(int id) {
    return (id >= 14 && id <= 22) || (id >= 27 && id <= 36) || (id >= 45 && id <= 47) || (id >= 50 && id <= 58);
}

// A format code shows a date when, outside quoted text, escapes and [colour]/[$-locale] parts, it
// holds a day, month, year, hour or second.
bool dateFormatCode(const QString &code) {
    bool quoted = false;
    bool bracket = false;
    for (qsizetype i = 0; i < code.size(); ++i) {
        const QChar c = code.at(i);
        if (quoted) {
            quoted = c != QLatin1Char('"');
        } else if (bracket) {
            bracket = c != QLatin1Char(']');
        } else if (c == QLatin1Char('"')) {
            quoted = true;
        } else if (c == QLatin1Char('[')) {
            bracket = true;
        } else if (c == QLatin1Char('\\') || c == QLatin1Char('_') || c == QLatin1Char('*')) {
            ++i;
        } else if (QStringLiteral("dmyhsDMYHSjJtT").contains(c)) { // T/J: German codes (Tag, Jahr)
            return true;
        }
    }
    return false;
}

// "AB12" -> 27 (columns counted from 0); -1 when it is no cell reference.
int columnOf(QStringView reference) {
    int column = 0;
    qsizetype i = 0;
    for (; i < reference.size() && reference.at(i).isUpper(); ++i) {
        column = column * 26 + (reference.at(i).unicode() - 'A' + 1);
        if (column > CsvReader::kMaxFields + 1)
            return int(CsvReader::kMaxFields + 1);
    }
    return i == 0 ? -1 : column - 1;
}

QString attribute(const QXmlStreamReader &xml, const char *localName) {
    for (const QXmlStreamAttribute &a : xml.attributes())
        if (a.name() == QLatin1String(localName))
            return a.value().toString();
    return QString();
}

} // namespace

WorkbookReader::WorkbookReader() = default;

WorkbookReader::~WorkbookReader() {
    closePart(m_sheet);
    if (m_zip)
        zip_discard(m_zip);
}

void WorkbookReader::closePart(Part &part) {
    if (part.file)
        zip_fclose(part.file);
    part.file = nullptr;
}

bool WorkbookReader::openPart(const QString &name, Part *part) {
    const QByteArray path = name.toUtf8();
    part->name = name;
    zip_stat_t info;
    zip_stat_init(&info);
    if (zip_stat(m_zip, path.constData(), 0, &info) != 0)
        return true;
    quint64 limit = kMaxPart;
    if (info.valid & ZIP_STAT_COMP_SIZE)
        limit = std::min(limit, std::max(kFreeRatioBelow, info.comp_size > kMaxPart / kMaxRatio
                                                              ? kMaxPart
                                                              : quint64(info.comp_size) * kMaxRatio));
    if (info.valid & ZIP_STAT_SIZE) {
        if (info.size > kMaxPart)
            return fail(QStringLiteral("ist keine Arbeitsmappe, die gelesen wird (%1 ist entpackt größer als %2 MB)")
                            .arg(name)
                            .arg(kMaxPart >> 20));
        if (info.size > limit)
            return fail(QStringLiteral("ist keine Arbeitsmappe, die gelesen wird (%1 ist entpackt mehr als %2-mal so "
                                       "groß wie gepackt)")
                            .arg(name)
                            .arg(kMaxRatio));
        limit = info.size;
        part->stated = true;
    }
    part->limit = limit;
    part->file = zip_fopen(m_zip, path.constData(), 0);
    if (!part->file)
        return fail(
            QStringLiteral("kann nicht gelesen werden (%1: %2)").arg(name, QString::fromUtf8(zip_strerror(m_zip))));
    return true;
}

qint64 WorkbookReader::readSome(Part &part, char *buffer, qint64 size) {
    const zip_int64_t got = zip_fread(part.file, buffer, zip_uint64_t(size));
    if (got < 0)
        return -1;
    part.read += quint64(got);
    part.stretch += got;
    if (part.read > part.limit) {
        fail(QStringLiteral("ist keine Arbeitsmappe, die gelesen wird (%1 ist entpackt größer, als das Archiv "
                            "angibt, oder mehr als %2-mal so groß wie gepackt)")
                 .arg(part.name)
                 .arg(kMaxRatio));
        return -1;
    }
    if (part.stretch > kMaxStretch) {
        fail(QStringLiteral("ist keine Arbeitsmappe, die gelesen wird (%1 enthält mehr als %2 MB am Stück ohne "
                            "ein Element)")
                 .arg(part.name)
                 .arg(kMaxStretch >> 20));
        return -1;
    }
    return got;
}

bool WorkbookReader::fail(const QString &what) {
    if (m_error.isEmpty())
        m_error = what;
    return false;
}

bool WorkbookReader::readPart(const QString &name, QByteArray *content, bool required) {
    zip_stat_t info;
    zip_stat_init(&info);
    if (zip_stat(m_zip, name.toUtf8().constData(), 0, &info) == 0 && (info.valid & ZIP_STAT_SIZE) &&
        info.size > zip_uint64_t(kMaxSmallPart))
        return fail(QStringLiteral("ist keine Arbeitsmappe, die gelesen wird (%1 ist zu groß)").arg(name));
    Part part;
    if (!openPart(name, &part))
        return false;
    if (!part.file)
        return required ? fail(QStringLiteral("ist keine Arbeitsmappe (es fehlt %1)").arg(name)) : true;
    char buffer[kChunk];
    qint64 got = 0;
    while ((got = readSome(part, buffer, kChunk)) > 0) {
        part.stretch = 0; // read whole, not piece by piece
        content->append(buffer, qsizetype(got));
        if (content->size() > kMaxSmallPart)
            break;
    }
    closePart(part);
    if (got < 0 || content->size() > kMaxSmallPart)
        return fail(QStringLiteral("kann nicht gelesen werden (%1 ist beschädigt oder zu groß)").arg(name));
    return true;
}

// The first sheet's part, by way of the workbook's relations; and the workbook's date system.
bool WorkbookReader::readWorkbook(QString *sheetPath) {
    QByteArray workbook;
    QByteArray relations;
    if (!readPart(QStringLiteral("xl/workbook.xml"), &workbook, true) ||
        !readPart(QStringLiteral("xl/_rels/workbook.xml.rels"), &relations, true))
        return false;
    QString firstSheet;
    for (QXmlStreamReader xml(workbook); !xml.atEnd();) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        if (xml.name() == QLatin1String("workbookPr")) {
            const QString value = attribute(xml, "date1904");
            m_date1904 = value == QLatin1String("1") || value == QLatin1String("true");
        } else if (xml.name() == QLatin1String("sheet") && firstSheet.isEmpty()) {
            firstSheet = attribute(xml, "id");
        }
    }
    for (QXmlStreamReader xml(relations); !xml.atEnd();) {
        if (xml.readNext() == QXmlStreamReader::StartElement && xml.name() == QLatin1String("Relationship") &&
            attribute(xml, "Id") == firstSheet) {
            const QString target = attribute(xml, "Target");
            *sheetPath = target.startsWith(QLatin1Char('/')) ? target.mid(1) : QStringLiteral("xl/") + target;
        }
    }
    if (firstSheet.isEmpty() || sheetPath->isEmpty())
        return fail(QStringLiteral("ist keine Arbeitsmappe (sie hat kein Tabellenblatt)"));
    return true;
}

bool WorkbookReader::readSharedStrings() {
    Part file;
    if (!openPart(QStringLiteral("xl/sharedStrings.xml"), &file))
        return false;
    if (!file.file)
        return true; // a sheet of numbers only
    QXmlStreamReader xml;
    char buffer[kChunk];
    qsizetype total = 0;
    QString current;
    int phonetic = 0; // inside <rPh>: the reading aid of East Asian text, no part of the value
    bool text = false;
    bool ok = true;
    while (ok) {
        const QXmlStreamReader::TokenType token = xml.readNext();
        if (token == QXmlStreamReader::Invalid) {
            if (xml.error() != QXmlStreamReader::PrematureEndOfDocumentError) {
                ok = fail(QStringLiteral("ist keine Arbeitsmappe, die gelesen wird (sharedStrings.xml: %1)")
                              .arg(xml.errorString()));
                break;
            }
            const qint64 got = readSome(file, buffer, kChunk);
            if (got <= 0) {
                ok = fail(QStringLiteral("kann nicht gelesen werden (sharedStrings.xml ist beschädigt)"));
                break;
            }
            xml.addData(QByteArray(buffer, qsizetype(got)));
            continue;
        }
        file.stretch = 0;
        if (token == QXmlStreamReader::EndDocument)
            break;
        if (token == QXmlStreamReader::StartElement) {
            if (xml.name() == QLatin1String("si"))
                current.clear();
            else if (xml.name() == QLatin1String("rPh"))
                ++phonetic;
            else if (xml.name() == QLatin1String("t"))
                text = phonetic == 0;
        } else if (token == QXmlStreamReader::EndElement) {
            if (xml.name() == QLatin1String("si")) {
                // Each text costs its list entry however short it is: count them too.
                if (m_shared.size() >= kMaxSharedStrings) {
                    ok = fail(QStringLiteral("enthält mehr als %1 Texte (mehr liest der Import nicht)")
                                  .arg(kMaxSharedStrings));
                    break;
                }
                m_shared << current;
                total += current.size() + 1;
            } else if (xml.name() == QLatin1String("rPh")) {
                --phonetic;
            } else if (xml.name() == QLatin1String("t")) {
                text = false;
            }
        } else if (token == QXmlStreamReader::Characters && text) {
            current += xml.text();
            if (current.size() > CsvReader::kMaxRecord)
                ok = fail(QStringLiteral("Text %1 der Arbeitsmappe ist länger als %2 Zeichen")
                              .arg(m_shared.size() + 1)
                              .arg(CsvReader::kMaxRecord));
        }
        if (total > kMaxSharedText)
            ok = fail(
                QStringLiteral("enthält mehr als %1 Zeichen Text (mehr liest der Import nicht)").arg(kMaxSharedText));
    }
    closePart(file);
    return ok;
}

bool WorkbookReader::readStyles() {
    QByteArray styles;
    if (!readPart(QStringLiteral("xl/styles.xml"), &styles, false))
        return false;
    QSet<int> customDates;
    bool cellFormats = false;
    for (QXmlStreamReader xml(styles); !xml.atEnd();) {
        const QXmlStreamReader::TokenType token = xml.readNext();
        if (token == QXmlStreamReader::StartElement && xml.name() == QLatin1String("numFmt")) {
            if (dateFormatCode(attribute(xml, "formatCode")))
                customDates.insert(attribute(xml, "numFmtId").toInt());
        } else if (token == QXmlStreamReader::StartElement && xml.name() == QLatin1String("cellXfs")) {
            cellFormats = true;
        } else if (token == QXmlStreamReader::EndElement && xml.name() == QLatin1String("cellXfs")) {
            cellFormats = false;
        } else if (token == QXmlStreamReader::StartElement && cellFormats && xml.name() == QLatin1String("xf")) {
            const int id = attribute(xml, "numFmtId").toInt();
            m_dateStyles << (customDates.contains(id) || (id < 164 && builtInDate(id)));
        }
    }
    return true;
}

bool WorkbookReader::open(const QString &path, Encoding, const QStringList &) {
    QFile file;
    if (!OpenRegularFile(file, path, &m_error))
        return false;
    m_size = file.size();
    const int fd = ::dup(file.handle());
    file.close();
    int code = 0;
    m_zip = fd >= 0 ? zip_fdopen(fd, ZIP_RDONLY | ZIP_CHECKCONS, &code) : nullptr;
    if (!m_zip) {
        if (fd >= 0)
            ::close(fd);
        return fail(QStringLiteral("ist keine Arbeitsmappe (kein gültiges .xlsx oder .ods)"));
    }
    // An OpenDocument spreadsheet keeps its sheets in content.xml, its cells typed in attributes.
    m_ods = zip_name_locate(m_zip, "content.xml", 0) >= 0 && zip_name_locate(m_zip, "xl/workbook.xml", 0) < 0;
    QString sheetPath = QStringLiteral("content.xml");
    if (!m_ods && (!readWorkbook(&sheetPath) || !readSharedStrings() || !readStyles()))
        return false;
    if (!openPart(sheetPath, &m_sheet))
        return false;
    if (!m_sheet.file)
        return fail(QStringLiteral("ist keine Arbeitsmappe (es fehlt %1)").arg(sheetPath));
    if (m_sheet.stated)
        m_size = qint64(m_sheet.limit);
    if (!next())
        return fail(QStringLiteral("ist leer (erwartet: eine Kopfzeile mit den Spaltennamen)"));
    m_header = m_fields;
    return true;
}

bool WorkbookReader::feedSheet() {
    char buffer[kChunk];
    const qint64 got = readSome(m_sheet, buffer, kChunk);
    if (got < 0)
        return fail(QStringLiteral("kann nicht gelesen werden (das Tabellenblatt ist beschädigt)"));
    if (got == 0)
        return false;
    m_bytesRead += got;
    m_xml.addData(QByteArray(buffer, qsizetype(got)));
    return true;
}

bool WorkbookReader::next() {
    while (true) {
        QStringList fields;
        bool found = false;
        if (!(m_ods ? readOdsRow(fields, &found) : readRow(fields, &found)) || !found)
            return false;
        if (std::any_of(fields.begin(), fields.end(), [](const QString &f) { return !f.isEmpty(); })) {
            m_fields = fields;
            return true;
        }
    }
}

// The next <row> of the sheet data; `found` stays false at the end of the sheet.
bool WorkbookReader::readRow(QStringList &fields, bool *found) {
    QString type;
    QString raw;
    QString inlineText;
    int style = 0;
    int column = -1;
    int phonetic = 0;
    enum { None, Value, Inline } collecting = None;
    while (true) {
        const QXmlStreamReader::TokenType token = m_xml.readNext();
        if (token == QXmlStreamReader::Invalid) {
            if (m_xml.error() != QXmlStreamReader::PrematureEndOfDocumentError)
                return fail(QStringLiteral("Zeile %1: das Tabellenblatt ist kein gültiges XML (%2)")
                                .arg(m_line)
                                .arg(m_xml.errorString()));
            if (!feedSheet())
                return fail(QStringLiteral("Zeile %1: das Tabellenblatt ist unvollständig").arg(m_line));
            continue;
        }
        m_sheet.stretch = 0;
        if (token == QXmlStreamReader::EndDocument)
            return true;
        const QStringView name = m_xml.name();
        if (token == QXmlStreamReader::StartElement) {
            if (name == QLatin1String("row")) {
                const qint64 number = attribute(m_xml, "r").toLongLong();
                m_line = number > 0 ? number : m_line + 1;
                *found = true;
            } else if (name == QLatin1String("c")) {
                type = attribute(m_xml, "t");
                style = attribute(m_xml, "s").toInt();
                raw.clear();
                inlineText.clear();
                const int at = columnOf(attribute(m_xml, "r"));
                column = at >= 0 ? at : column + 1;
                if (column >= CsvReader::kMaxFields)
                    return fail(QStringLiteral("Zeile %1: die Zeile hat mehr als %2 Spalten")
                                    .arg(m_line)
                                    .arg(CsvReader::kMaxFields));
            } else if (name == QLatin1String("v")) {
                collecting = Value;
            } else if (name == QLatin1String("rPh")) {
                ++phonetic;
            } else if (name == QLatin1String("t") && phonetic == 0) {
                collecting = Inline;
            }
        } else if (token == QXmlStreamReader::Characters) {
            QString &target = collecting == Value ? raw : inlineText;
            if (collecting != None)
                target += m_xml.text();
            if (target.size() > CsvReader::kMaxRecord)
                return fail(QStringLiteral("Zeile %1: eine Zelle ist länger als %2 Zeichen")
                                .arg(m_line)
                                .arg(CsvReader::kMaxRecord));
        } else if (token == QXmlStreamReader::EndElement) {
            if (name == QLatin1String("v") || name == QLatin1String("t")) {
                collecting = None;
            } else if (name == QLatin1String("rPh")) {
                --phonetic;
            } else if (name == QLatin1String("c")) {
                if (type == QLatin1String("e"))
                    return fail(QStringLiteral("Zeile %1, Spalte %2: die Zelle hält einen Fehlerwert (%3)")
                                    .arg(m_line)
                                    .arg(column + 1)
                                    .arg(raw));
                const QString value = cellValue(type, style, raw, inlineText);
                if (!value.isEmpty()) {
                    while (fields.size() <= column)
                        fields << QString();
                    fields[column] = value;
                }
            } else if (name == QLatin1String("row")) {
                return true;
            }
        }
    }
}

QString WorkbookReader::cellValue(const QString &type, int style, const QString &raw, const QString &inlineText) {
    if (type == QLatin1String("s")) {
        bool ok = false;
        const int index = raw.trimmed().toInt(&ok);
        return ok && index >= 0 && index < m_shared.size() ? m_shared.at(index) : QString();
    }
    if (type == QLatin1String("inlineStr"))
        return inlineText;
    if (type == QLatin1String("str") || type == QLatin1String("b"))
        return raw;
    bool ok = false;
    const double number = raw.trimmed().toDouble(&ok);
    if (!ok)
        return raw;
    if (style >= 0 && style < m_dateStyles.size() && m_dateStyles.at(style)) {
        const QDate base = m_date1904 ? QDate(1904, 1, 1) : QDate(1899, 12, 30);
        return base.addDays(qint64(std::floor(number))).toString(Qt::ISODate);
    }
    // 15 digits: what a spreadsheet shows, without the binary fraction's noise (4.8499999999999996).
    return QString::number(number, 'g', 15);
}

} // namespace kxexchange
