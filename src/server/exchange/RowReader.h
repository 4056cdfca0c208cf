#pragma once

#include <QString>
#include <QStringList>

#include <memory>

// What the importers read a file through: a header row of column names, then records of texts in
// the dialect the CSV rules read (CsvReader), or the first sheet of a workbook with its typed cells
// written in those forms (WorkbookReader).
namespace kxexchange {

enum class Encoding { Detect, Utf8, Windows1252 };

class RowReader {
public:
    RowReader() = default;
    RowReader(const RowReader &) = delete;
    RowReader &operator=(const RowReader &) = delete;
    virtual ~RowReader() = default;

    // Opens the file and reads its header row. `knownNames` (normalised, see NormalizedHeader)
    // decide between separators of a CSV. False with error() set when the file cannot be read, is
    // not of its kind or has no header row.
    virtual bool open(const QString &path, Encoding encoding, const QStringList &knownNames) = 0;
    virtual QString error() const = 0;
    virtual const QStringList &header() const = 0;
    // The next record; false at the end or on an error (then error() is set). Blank rows are skipped.
    virtual bool next() = 0;
    virtual const QStringList &fields() const = 0;
    // The line (a sheet's row number) on which the current record starts.
    virtual qint64 line() const = 0;
    // For a progress display.
    virtual qint64 bytesRead() const = 0;
    virtual qint64 size() const = 0;
    // The file's lines as far as they are known before its records are read (no record is shorter
    // than a line), for reserving room; 0 when unknown.
    virtual qint64 lineCount() const { return 0; }
};

// The reader for a file by its name: a workbook for ".xlsx" and ".ods", CSV for anything else.
std::unique_ptr<RowReader> MakeRowReader(const QString &path);

} // namespace kxexchange
