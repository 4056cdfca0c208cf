#include "CsvReader.h"

#include <array>

namespace kxexchange {

namespace {

constexpr qint64 kChunk = 1 << 16;

// Windows-1252's letters for 0x80 to 0x9F; 0 marks the five bytes the code page leaves undefined.
constexpr std::array<char16_t, 32> kCp1252High{0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                               0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                               0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                               0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

// Checks UTF-8 piece by piece: a sequence may be split between two pieces.
class Utf8Check {
public:
    void feed(const QByteArray &bytes) {
        for (const char c : bytes) {
            const auto byte = static_cast<unsigned char>(c);
            if (m_need > 0) {
                if ((byte & 0xC0) != 0x80)
                    m_valid = false;
                --m_need;
            } else if (byte >= 0xC2 && byte <= 0xDF) {
                m_need = 1;
            } else if (byte >= 0xE0 && byte <= 0xEF) {
                m_need = 2;
            } else if (byte >= 0xF0 && byte <= 0xF4) {
                m_need = 3;
            } else if (byte >= 0x80) {
                m_valid = false;
            }
        }
    }
    bool valid() const { return m_valid && m_need == 0; }

private:
    int m_need = 0;
    bool m_valid = true;
};

const QStringList kSeparators{QStringLiteral(";"), QStringLiteral("\t"), QStringLiteral(",")};

} // namespace

std::optional<Encoding> EncodingByName(const QString &name) {
    const QString n = name.trimmed().toLower();
    if (n == QLatin1String("utf-8") || n == QLatin1String("utf8"))
        return Encoding::Utf8;
    if (n == QLatin1String("windows-1252") || n == QLatin1String("cp1252") || n == QLatin1String("win1252") ||
        n == QLatin1String("ansi"))
        return Encoding::Windows1252;
    return std::nullopt;
}

QString NormalizedHeader(const QString &name) {
    QString text = name.trimmed();
    if (text.endsWith(QLatin1Char(':')))
        text.chop(1);
    return text.trimmed().toCaseFolded();
}

QString CsvReader::decode(const QByteArray &bytes, bool last) {
    if (m_encoding == Encoding::Utf8) {
        QString text = m_utf8.decode(bytes);
        if (last)
            text += m_utf8.decode(QByteArray());
        return text;
    }
    QString text(bytes.size(), Qt::Uninitialized);
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const auto byte = static_cast<unsigned char>(bytes.at(i));
        text[i] = byte >= 0x80 && byte <= 0x9F ? QChar(kCp1252High.at(byte - 0x80)) : QChar(byte);
    }
    return text;
}

bool CsvReader::open(const QString &path, Encoding encoding, const QStringList &knownNames) {
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::ReadOnly)) {
        m_error = QStringLiteral("kann nicht gelesen werden (%1)").arg(m_file.errorString());
        return false;
    }
    m_size = m_file.size();

    // A first pass settles what the file is before anything of it is taken: a NUL byte or, in
    // Windows-1252, a byte the code page does not define means it is no text file at all.
    Utf8Check utf8;
    bool undefined1252 = false;
    bool first = true;
    while (!m_file.atEnd()) {
        QByteArray chunk = m_file.read(kChunk);
        if (chunk.isEmpty())
            break;
        if (first && chunk.startsWith("\xEF\xBB\xBF"))
            chunk.remove(0, 3);
        first = false;
        if (chunk.contains('\0')) {
            m_error = QStringLiteral("ist keine Textdatei (sie enthält Nullbytes)");
            return false;
        }
        utf8.feed(chunk);
        for (const char c : chunk) {
            const auto byte = static_cast<unsigned char>(c);
            if (byte >= 0x80 && byte <= 0x9F && kCp1252High.at(byte - 0x80) == 0)
                undefined1252 = true;
        }
    }
    const bool validUtf8 = utf8.valid();
    m_encoding = encoding == Encoding::Detect ? (validUtf8 ? Encoding::Utf8 : Encoding::Windows1252) : encoding;
    if (m_encoding == Encoding::Utf8 && !validUtf8) {
        m_error = QStringLiteral("ist nicht in UTF-8 geschrieben (für Windows-1252: --encoding windows-1252)");
        return false;
    }
    if (m_encoding == Encoding::Windows1252 && undefined1252) {
        m_error = QStringLiteral("ist keine Textdatei (Bytes, die Windows-1252 nicht kennt)");
        return false;
    }
    m_file.seek(0);
    const QByteArray start = m_file.peek(3);
    if (start == "\xEF\xBB\xBF") {
        m_file.seek(3);
        m_bytesRead = 3;
    }

    // The separator: the one the header row holds outside quotes. Where it holds several kinds,
    // the one that splits it into the most known column names.
    while (!m_eof && !m_buffer.contains(QLatin1Char('\n')))
        fill();
    const qsizetype end = m_buffer.indexOf(QLatin1Char('\n'));
    const QString headerText = end < 0 ? m_buffer : m_buffer.left(end);
    QStringList present;
    for (const QString &candidate : kSeparators)
        if (headerText.contains(candidate))
            present << candidate;
    if (present.size() > 1) {
        int best = -1;
        bool tie = false;
        for (const QString &candidate : present) {
            int known = 0;
            for (const QString &name : headerText.split(candidate))
                known += knownNames.contains(NormalizedHeader(QString(name).remove(QLatin1Char('"')))) ? 1 : 0;
            if (known > best) {
                best = known;
                m_separator = candidate.at(0);
                tie = false;
            } else if (known == best) {
                tie = true;
            }
        }
        if (tie) {
            m_error = QStringLiteral("Zeile 1: das Trennzeichen ist nicht eindeutig (erwartet: \";\")");
            return false;
        }
    } else if (present.size() == 1) {
        m_separator = present.front().at(0);
    }
    if (!next()) {
        if (m_error.isEmpty())
            m_error = QStringLiteral("ist leer (erwartet: eine Kopfzeile mit den Spaltennamen)");
        return false;
    }
    m_header = m_fields;
    return true;
}

bool CsvReader::fill() {
    if (m_eof)
        return false;
    const QByteArray chunk = m_file.read(kChunk);
    m_bytesRead += chunk.size();
    const bool last = chunk.isEmpty() || m_file.atEnd();
    if (m_pos > 0) {
        m_buffer.remove(0, m_pos);
        m_pos = 0;
    }
    m_buffer += decode(chunk, last);
    if (last)
        m_eof = true;
    return true;
}

bool CsvReader::next() {
    m_fields.clear();
    while (true) {
        QStringList fields;
        if (!readRecord(fields))
            return false;
        if (fields.size() == 1 && fields.front().isEmpty())
            continue; // a blank line
        m_fields = fields;
        return true;
    }
}

// One record from the current position. The state machine works on the decoded characters and
// refills the buffer whenever it runs dry, so a quoted field may span any number of pieces.
bool CsvReader::readRecord(QStringList &fields) {
    const auto at = [this](QChar *c) {
        while (m_pos >= m_buffer.size())
            if (!fill())
                return false;
        *c = m_buffer.at(m_pos);
        return true;
    };
    QChar c;
    if (!at(&c))
        return false;
    m_recordLine = m_line;
    QString field;
    bool quoted = false;
    bool wasQuoted = false;
    qint64 quoteLine = m_line;
    while (true) {
        if (!at(&c)) {
            if (quoted) {
                m_error = QStringLiteral("Zeile %1: ein Anführungszeichen wird nicht geschlossen").arg(quoteLine);
                return false;
            }
            fields << field;
            return true;
        }
        ++m_pos;
        if (quoted) {
            if (c == QLatin1Char('"')) {
                QChar following;
                if (at(&following) && following == QLatin1Char('"')) {
                    field += c;
                    ++m_pos;
                } else {
                    quoted = false;
                }
            } else {
                if (c == QLatin1Char('\n'))
                    ++m_line;
                field += c;
            }
            continue;
        }
        if (c == m_separator) {
            fields << field;
            field.clear();
            wasQuoted = false;
        } else if (c == QLatin1Char('\n')) {
            ++m_line;
            if (field.endsWith(QLatin1Char('\r')) && !wasQuoted)
                field.chop(1);
            fields << field;
            return true;
        } else if (c == QLatin1Char('"') && field.isEmpty() && !wasQuoted) {
            quoted = true;
            wasQuoted = true;
            quoteLine = m_line;
        } else if (c == QLatin1Char('\r') && wasQuoted) {
            // CR of a CRLF after a closing quote
        } else {
            field += c;
        }
    }
}

} // namespace kxexchange
