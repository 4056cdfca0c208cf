#pragma once

#include <QFile>
#include <QString>
#include <QStringDecoder>
#include <QStringList>

#include <optional>

// Reads CSV as a German spreadsheet writes it: ';' between fields (',' or a tab when the header row
// says so unambiguously), fields in double quotes with "" inside and line breaks within them, CRLF
// or LF, an optional UTF-8 byte-order mark; UTF-8, or Windows-1252 for a file that is not valid
// UTF-8. The file is read in pieces, never whole, so its size does not matter.
namespace kxexchange {

enum class Encoding { Detect, Utf8, Windows1252 };

// "utf-8", "windows-1252" and their usual other names; empty for anything else.
std::optional<Encoding> EncodingByName(const QString &name);

class CsvReader {
public:
    CsvReader() = default;
    CsvReader(const CsvReader &) = delete;
    CsvReader &operator=(const CsvReader &) = delete;

    // Opens the file, settles its encoding and reads the header row. `knownNames` (normalised, see
    // NormalizedHeader) decide between separators when the header row holds more than one kind.
    // False with error() set when the file cannot be read, is not text or has no header row.
    bool open(const QString &path, Encoding encoding, const QStringList &knownNames);
    QString error() const { return m_error; }

    const QStringList &header() const { return m_header; }
    Encoding encoding() const { return m_encoding; }
    QChar separator() const { return m_separator; }

    // The next record; false at the end or on an error (then error() is set). Blank lines are skipped.
    bool next();
    const QStringList &fields() const { return m_fields; }
    // The line on which the current record starts (the header is line 1).
    qint64 line() const { return m_recordLine; }

    // For a progress display.
    qint64 bytesRead() const { return m_bytesRead; }
    qint64 size() const { return m_size; }

private:
    bool fill();
    bool readRecord(QStringList &fields);
    QString decode(const QByteArray &bytes, bool last);

    QFile m_file;
    QString m_error;
    Encoding m_encoding = Encoding::Utf8;
    QStringDecoder m_utf8{QStringDecoder::Utf8};
    QString m_buffer;
    qsizetype m_pos = 0;
    bool m_eof = false;
    qint64 m_line = 1;
    qint64 m_recordLine = 1;
    qint64 m_bytesRead = 0;
    qint64 m_size = 0;
    QChar m_separator = QLatin1Char(';');
    QStringList m_header;
    QStringList m_fields;
};

// A header name as it is compared: blanks around it and a trailing ':' removed, letter case folded.
QString NormalizedHeader(const QString &name);

} // namespace kxexchange
