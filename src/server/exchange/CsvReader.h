#pragma once

#include "server/exchange/RowReader.h"

#include <QFile>
#include <QString>
#include <QStringDecoder>
#include <QStringList>

#include <optional>

// Reads CSV as a German spreadsheet writes it: ';' between fields (',' or a tab when the header row
// says so unambiguously, or whatever a first line "sep=X" names, as Excel writes it), fields in
// double quotes with "" inside and line breaks within them, CRLF or LF, an optional UTF-8
// byte-order mark; UTF-8, or Windows-1252 for a file that is not UTF-8 at all. The file is read in
// pieces, never whole: the memory it takes is bounded by the longest row it accepts (kMaxRecord),
// and each character is looked at a fixed number of times.
namespace kxexchange {

// "utf-8", "windows-1252" and their usual other names; empty for anything else.
std::optional<Encoding> EncodingByName(const QString &name);

class CsvReader : public RowReader {
public:
    // The longest row and the most fields a row may have: far above what any column takes, far
    // below what would let a hostile file fill the memory.
    static constexpr qsizetype kMaxRecord = 1 << 16;
    static constexpr qsizetype kMaxFields = 256;

    CsvReader() = default;

    bool open(const QString &path, Encoding encoding, const QStringList &knownNames) override;
    QString error() const override { return m_error; }
    const QStringList &header() const override { return m_header; }
    bool next() override;
    const QStringList &fields() const override { return m_fields; }
    qint64 line() const override { return m_recordLine; }
    qint64 bytesRead() const override { return m_bytesRead; }
    qint64 size() const override { return m_size; }
    qint64 lineCount() const override { return m_lineCount; }

    Encoding encoding() const { return m_encoding; }
    QChar separator() const { return m_separator; }
    // For the tests of the bounds: characters looked at so far, and the most characters held at once
    // (the undecoded rest of the buffer and the record being read).
    qint64 work() const { return m_work; }
    qint64 peakHeld() const { return m_peakHeld; }

private:
    bool firstPass(Encoding encoding);
    bool fill();
    bool readRecord(); // into m_fields
    bool failed(const QString &what);
    QString decode(const QByteArray &bytes, bool last);

    QFile m_file;
    QString m_error;
    Encoding m_encoding = Encoding::Utf8;
    QStringDecoder m_utf8{QStringDecoder::Utf8};
    QString m_buffer;
    qsizetype m_pos = 0;
    bool m_eof = false;
    bool m_failed = false;
    qint64 m_line = 1;
    qint64 m_recordLine = 1;
    qint64 m_bytesRead = 0;
    qint64 m_size = 0;
    qint64 m_firstPassBytes = 0;
    qint64 m_lineCount = 0;
    qint64 m_work = 0;
    qint64 m_peakHeld = 0;
    qsizetype m_held = 0; // characters of the record being read
    QChar m_separator = QLatin1Char(';');
    QStringList m_header;
    QStringList m_fields;
};

// A header name as it is compared: blanks around it and a trailing ':' removed, letter case folded.
QString NormalizedHeader(const QString &name);

// Opens a file for reading only when it is a regular file: a FIFO, a device or a folder is refused
// at once (opening a FIFO without a writer would wait for ever). False with `error` set otherwise.
bool OpenRegularFile(QFile &file, const QString &path, QString *error);

} // namespace kxexchange
