#pragma once

#include "RowReader.h"

#include <QHash>
#include <QSet>
#include <QStringList>
#include <QXmlStreamReader>

#include <memory>

struct zip;
struct zip_file;

// Reads the first sheet of an Excel workbook (.xlsx, as Excel and LibreOffice write it) or of an
// OpenDocument spreadsheet (.ods, LibreOffice's own format) as the
// importers read a CSV: the first row that holds anything names the columns, each further row is
// a record, its line the sheet's row number. Cells are read by their type and handed on in the form
// the CSV rules read: a date cell (a number shown in a date format, whatever the format) as
// yyyy-mm-dd, a number cell as a plain number (70001, 4.85), a text cell as its text, even when it
// looks like a number (article numbers with leading zeros stay as they are).
//
// The container is read with libzip and the XML with QXmlStreamReader, the sheet piece by piece: only
// the shared strings (the texts of all cells, which the sheet refers to by number) are held whole,
// up to kMaxSharedText characters.
namespace kxexchange {

class WorkbookReader : public RowReader {
public:
    static constexpr qsizetype kMaxSharedText = qsizetype(64) << 20;

    WorkbookReader();
    ~WorkbookReader() override;

    bool open(const QString &path, Encoding encoding, const QStringList &knownNames) override;
    QString error() const override { return m_error; }
    const QStringList &header() const override { return m_header; }
    bool next() override;
    const QStringList &fields() const override { return m_fields; }
    qint64 line() const override { return m_line; }
    qint64 bytesRead() const override { return m_bytesRead; }
    qint64 size() const override { return m_size; }

private:
    bool fail(const QString &what);
    // The whole of a (small) part of the container, or empty with the error set.
    bool readPart(const QString &name, QByteArray *content, bool required);
    bool readWorkbook(QString *sheetPath);
    bool readSharedStrings();
    bool readStyles();
    // Feeds the sheet's reader with the next piece; false at the end of the part.
    bool feedSheet();
    bool readRow(QStringList &fields, bool *found);
    bool readOdsRow(QStringList &fields, bool *found);
    bool readCell(QStringList &fields);
    QString cellValue(const QString &type, int style, const QString &raw, const QString &inlineText);

    zip *m_zip = nullptr;
    zip_file *m_sheet = nullptr;
    QXmlStreamReader m_xml;
    QString m_error;
    QStringList m_shared;
    QList<bool> m_dateStyles; // per cell style: shows a date
    bool m_date1904 = false;
    bool m_ods = false;
    bool m_sheetDone = false; // .ods: the first table has ended
    qint64 m_repeatLeft = 0;  // .ods: repetitions of the last row still to hand out
    QStringList m_repeated;
    QStringList m_header;
    QStringList m_fields;
    qint64 m_line = 0;
    qint64 m_bytesRead = 0;
    qint64 m_size = 0;
};

} // namespace kxexchange
