#pragma once

#include "server/exchange/RowReader.h"

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
// up to kMaxSharedText characters in at most kMaxSharedStrings texts.
//
// A workbook of a few kilobytes can unpack to gigabytes, or repeat a row a million times: a part
// larger than kMaxPart unpacked, or packed tighter than kMaxRatio to one, a stretch of more than
// kMaxStretch bytes of XML without anything in it ending, a cell text longer than a CSV record, or
// an .ods row with data repeated past a sheet's last row (kMaxRows) or past kMaxRepeatedCells
// cells in all, is refused before it takes the memory or time it asks for. Runs of empty rows and
// cells (an .ods sheet ends in one) are counted, never expanded.
namespace kxexchange {

class WorkbookReader : public RowReader {
public:
    static constexpr qsizetype kMaxSharedText = qsizetype(64) << 20;
    static constexpr qsizetype kMaxSharedStrings = qsizetype(1) << 22;
    static constexpr quint64 kMaxPart = quint64(1) << 30;
    static constexpr quint64 kMaxRatio = 200;
    static constexpr qint64 kMaxStretch = qint64(8) << 20;
    static constexpr qint64 kMaxRows = qint64(1) << 20; // a sheet's rows
    static constexpr qint64 kMaxRepeatedCells = qint64(1) << 24;

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
    // One part of the container being unpacked, with the bytes it may still give.
    struct Part {
        zip_file *file = nullptr;
        QString name;
        quint64 limit = 0;
        bool stated = false; // the container states its size (the limit then)
        quint64 read = 0;
        qint64 stretch = 0; // bytes handed to the XML reader since it last found something
    };

    bool fail(const QString &what);
    // Opens a part after a look at its sizes as the container states them; true with no file when
    // there is no such part, false with the error set when it is refused.
    bool openPart(const QString &name, Part *part);
    // The next piece of the part (0 at its end), counted against what it may give; -1 with the
    // error set. The sizes stated may lie: what comes out is counted all the same.
    qint64 readSome(Part &part, char *buffer, qint64 size);
    static void closePart(Part &part);
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
    Part m_sheet;
    QXmlStreamReader m_xml;
    QString m_error;
    QStringList m_shared;
    QList<bool> m_dateStyles; // per cell style: shows a date
    bool m_date1904 = false;
    bool m_ods = false;
    bool m_sheetDone = false;   // .ods: the first table has ended
    qint64 m_repeatLeft = 0;    // .ods: repetitions of the last row still to hand out
    qint64 m_repeatedCells = 0; // .ods: cells handed out as repetitions so far
    QStringList m_repeated;
    QStringList m_header;
    QStringList m_fields;
    qint64 m_line = 0;
    qint64 m_bytesRead = 0;
    qint64 m_size = 0;
};

} // namespace kxexchange
