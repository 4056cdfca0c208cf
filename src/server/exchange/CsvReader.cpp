#include "server/exchange/CsvReader.h"
#include "server/exchange/TextBytes.h"

#include <QFileDevice>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kxexchange {

namespace {

constexpr qint64 kChunk = 1 << 16;

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

bool OpenRegularFile(QFile &file, const QString &path, QString *error) {
    // Opened without waiting, then looked at: a FIFO is refused before anything reads from it.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = QStringLiteral("kann nicht gelesen werden (%1)").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        *error = S_ISDIR(info.st_mode) ? QStringLiteral("ist ein Ordner, keine Datei")
                                       : QStringLiteral("ist keine gewöhnliche Datei (ein Gerät, eine Pipe oder ein "
                                                        "Socket wird nicht gelesen)");
        return false;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        *error = QStringLiteral("kann nicht gelesen werden (%1)").arg(file.errorString());
        return false;
    }
    return true;
}

bool CsvReader::failed(const QString &what) {
    m_error = what;
    m_failed = true;
    m_eof = true;
    return false;
}

// The first pass settles what the file is before anything of it is taken: a NUL byte or, in
// Windows-1252, a byte the code page does not define means it is no text file at all; and which
// encoding it is in.
bool CsvReader::firstPass(Encoding encoding) {
    Utf8Check utf8;
    bool undefined1252 = false;
    bool first = true;
    while (true) {
        m_file.unsetError();
        QByteArray chunk = m_file.read(kChunk);
        if (m_file.error() != QFileDevice::NoError)
            return failed(QStringLiteral("kann nicht gelesen werden (%1)").arg(m_file.errorString()));
        if (chunk.isEmpty())
            break;
        m_firstPassBytes += chunk.size();
        if (first && chunk.startsWith("\xEF\xBB\xBF"))
            chunk.remove(0, 3);
        first = false;
        if (chunk.contains('\0'))
            return failed(QStringLiteral("ist keine Textdatei (sie enthält Nullbytes)"));
        utf8.feed(chunk);
        for (const char c : chunk) {
            const auto byte = static_cast<unsigned char>(c);
            if (byte >= 0x80 && byte <= 0x9F && kCp1252High.at(byte - 0x80) == 0)
                undefined1252 = true;
        }
    }
    utf8.finish();
    m_size = m_firstPassBytes;
    m_lineCount = utf8.lines();
    // A file with no UTF-8 sequence at all that is not UTF-8 is Windows-1252; one that has some
    // and then a broken one is damaged UTF-8, and guessing would store other letters than typed.
    if (encoding == Encoding::Detect)
        encoding = utf8.valid() || utf8.anySequence() ? Encoding::Utf8 : Encoding::Windows1252;
    m_encoding = encoding;
    if (m_encoding == Encoding::Utf8 && !utf8.valid())
        return failed(QStringLiteral("Zeile %1: ist nicht in UTF-8 geschrieben (eine ungültige Bytefolge; für "
                                     "Windows-1252: --encoding windows-1252)")
                          .arg(utf8.faultLine()));
    if (m_encoding == Encoding::Windows1252 && undefined1252)
        return failed(QStringLiteral("ist keine Textdatei (Bytes, die Windows-1252 nicht kennt)"));
    return true;
}

bool CsvReader::open(const QString &path, Encoding encoding, const QStringList &knownNames) {
    if (!OpenRegularFile(m_file, path, &m_error) || !firstPass(encoding))
        return false;
    m_file.seek(0);
    if (m_file.peek(3) == "\xEF\xBB\xBF") {
        m_file.seek(3);
        m_bytesRead = 3;
    }

    // The first line, looked for in the new characters only (a header row without a line break
    // must not be scanned again for every piece), and no longer than a record may be.
    qsizetype end = -1;
    for (qsizetype from = 0; end < 0 && !m_eof; from = m_buffer.size()) {
        fill();
        end = m_buffer.indexOf(QLatin1Char('\n'), from);
        m_work += (end < 0 ? m_buffer.size() : end) - from;
        if (end < 0 && m_buffer.size() > kMaxRecord)
            return failed(QStringLiteral("Zeile 1: die Zeile ist länger als %1 Zeichen").arg(kMaxRecord));
    }
    if (m_failed)
        return false;
    // Excel's "sep=;" line names the separator and is no header.
    QString headerText = m_buffer.left(end < 0 ? m_buffer.size() : end);
    if (headerText.endsWith(QLatin1Char('\r')))
        headerText.chop(1);
    if (headerText.size() == 5 && headerText.startsWith(QLatin1String("sep="), Qt::CaseInsensitive)) {
        m_separator = headerText.at(4);
        m_pos = end < 0 ? m_buffer.size() : end + 1;
        m_line = 2;
    } else {
        // The separator: the one the header row holds outside quotes. Where it holds several
        // kinds, the one that splits it into the most known column names.
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
            if (tie)
                return failed(QStringLiteral("Zeile 1: das Trennzeichen ist nicht eindeutig (erwartet: \";\")"));
        } else if (present.size() == 1) {
            m_separator = present.front().at(0);
        }
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
    m_file.unsetError();
    const QByteArray chunk = m_file.read(kChunk);
    if (m_file.error() != QFileDevice::NoError)
        return failed(QStringLiteral("Zeile %1: die Datei kann nicht weiter gelesen werden (%2)")
                          .arg(m_line)
                          .arg(m_file.errorString()));
    m_bytesRead += chunk.size();
    // The second pass must read what the first one checked: a file cut short (or grown) in
    // between is not read to a false end.
    const bool last = chunk.isEmpty() || m_bytesRead >= m_firstPassBytes;
    if (last && m_bytesRead != m_firstPassBytes)
        return failed(QStringLiteral("Zeile %1: die Datei wurde beim Lesen verändert (%2 statt %3 Bytes)")
                          .arg(m_line)
                          .arg(m_bytesRead)
                          .arg(m_firstPassBytes));
    if (m_pos > 0) {
        m_buffer.remove(0, m_pos);
        m_pos = 0;
    }
    m_buffer += decode(chunk, last);
    if (m_encoding == Encoding::Utf8 && m_utf8.hasError())
        return failed(QStringLiteral("Zeile %1: die Datei wurde beim Lesen verändert (kein UTF-8 mehr)").arg(m_line));
    m_peakHeld = std::max(m_peakHeld, qint64(m_buffer.size() + m_held));
    if (last)
        m_eof = true;
    return true;
}

bool CsvReader::next() {
    while (true) {
        if (!readRecord()) {
            m_fields.clear();
            return false;
        }
        if (m_fields.size() == 1 && m_fields.front().isEmpty())
            continue; // a blank line
        return true;
    }
}

// One record from the current position. The state machine works on the decoded characters and
// refills the buffer whenever it runs dry, so a quoted field may span any number of pieces; a record
// longer than kMaxRecord characters, or of more than kMaxFields fields, ends the reading.
bool CsvReader::readRecord() {
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
    m_held = 0;
    // The fields are written into the strings of the record before, which keeps their memory: no
    // allocation per field (a caller that kept a copy of one keeps its own text, by Qt's sharing).
    qsizetype count = 0;
    const auto field = [&]() -> QString & {
        if (count == m_fields.size())
            m_fields.append(QString());
        return m_fields[count];
    };
    field().resize(0);
    bool quoted = false;
    bool wasQuoted = false;
    qint64 quoteLine = m_line;
    const auto endField = [&](bool last) {
        ++count;
        m_held += 1;
        if (count > kMaxFields)
            return failed(
                QStringLiteral("Zeile %1: die Zeile hat mehr als %2 Felder").arg(m_recordLine).arg(kMaxFields));
        if (last)
            m_fields.resize(count);
        else
            field().resize(0);
        return true;
    };
    const QChar separator = m_separator;
    while (true) {
        if (!at(&c)) {
            if (m_failed)
                return false;
            if (quoted)
                return failed(QStringLiteral("Zeile %1: ein Anführungszeichen wird nicht geschlossen").arg(quoteLine));
            return endField(true);
        }
        if (!quoted && c != separator && c != QLatin1Char('\n') && c != QLatin1Char('"') && c != QLatin1Char('\r')) {
            // A run of plain characters goes in at once.
            const QChar *begin = m_buffer.constData() + m_pos;
            const QChar *end = m_buffer.constData() + m_buffer.size();
            const QChar *stop = begin + 1;
            while (stop != end && *stop != separator && *stop != QLatin1Char('\n') && *stop != QLatin1Char('"') &&
                   *stop != QLatin1Char('\r'))
                ++stop;
            const qsizetype run = stop - begin;
            m_pos += run;
            m_work += run;
            if ((m_held += run) > kMaxRecord)
                return failed(
                    QStringLiteral("Zeile %1: die Zeile ist länger als %2 Zeichen").arg(m_recordLine).arg(kMaxRecord));
            field().append(begin, run);
            continue;
        }
        ++m_pos;
        ++m_work;
        if (++m_held > kMaxRecord)
            return failed(
                QStringLiteral("Zeile %1: die Zeile ist länger als %2 Zeichen").arg(m_recordLine).arg(kMaxRecord));
        if (quoted) {
            if (c == QLatin1Char('"')) {
                QChar following;
                if (at(&following) && following == QLatin1Char('"')) {
                    field() += c;
                    ++m_pos;
                } else {
                    if (m_failed)
                        return false;
                    quoted = false;
                }
            } else {
                if (c == QLatin1Char('\n'))
                    ++m_line;
                field() += c;
            }
            continue;
        }
        if (c == separator) {
            if (!endField(false))
                return false;
            wasQuoted = false;
        } else if (c == QLatin1Char('\n')) {
            ++m_line;
            if (field().endsWith(QLatin1Char('\r')) && !wasQuoted)
                field().chop(1);
            return endField(true);
        } else if (c == QLatin1Char('"') && field().isEmpty() && !wasQuoted) {
            quoted = true;
            wasQuoted = true;
            quoteLine = m_line;
        } else if (c == QLatin1Char('\r') && wasQuoted) {
            // CR of a CRLF after a closing quote
        } else {
            field() += c;
        }
    }
}

} // namespace kxexchange
