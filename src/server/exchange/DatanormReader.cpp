#include "server/exchange/DatanormReader.h"
#include "server/exchange/CsvReader.h"
#include "server/exchange/DatanormCharset.h"

#include <QFileInfo>

#include <algorithm>
#include <cstring>

namespace kxexchange::datanorm {

namespace {

constexpr qint64 kChunk = 1 << 16;
constexpr char kEndMark = '\x1A';

bool Blank(char c) {
    return c == ' ' || c == '\t';
}

QByteArrayView Trimmed(QByteArrayView bytes) {
    while (!bytes.isEmpty() && Blank(bytes.front()))
        bytes = bytes.sliced(1);
    while (!bytes.isEmpty() && Blank(bytes.back()))
        bytes.chop(1);
    return bytes;
}

// A date of the header or of a price date: DDMMYY (years 00 to 79 are 20xx, 80 to 99 are 19xx),
// DDMMYYYY or, with `yearFirst`, YYYYMMDD. Null for anything else.
QDate DateOf(QByteArrayView digits, bool yearFirst) {
    if (digits.size() != 6 && digits.size() != 8)
        return {};
    for (const char c : digits)
        if (c < '0' || c > '9')
            return {};
    const auto at = [&](qsizetype from, qsizetype count) {
        int value = 0;
        for (qsizetype i = from; i < from + count; ++i)
            value = value * 10 + (digits[i] - '0');
        return value;
    };
    if (yearFirst)
        return digits.size() == 8 ? QDate(at(0, 4), at(4, 2), at(6, 2)) : QDate();
    int year = digits.size() == 8 ? at(4, 4) : at(4, 2);
    if (digits.size() == 6)
        year += year < 80 ? 2000 : 1900;
    return QDate(year, at(2, 2), at(0, 2));
}

} // namespace

// A file's name or a message as shown: a control character in it would break the message's line.
QString Printable(QString text) {
    for (QChar &c : text)
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            c = QChar::ReplacementCharacter;
    return text;
}

namespace {

QString Hex(unsigned char byte) {
    return QString::number(byte, 16).toUpper().rightJustified(2, QLatin1Char('0'));
}

} // namespace

void Reader::reset() {
    m_error.clear();
    m_name.clear();
    m_version = 0;
    m_date = {};
    m_currency.clear();
    m_charset = Charset::Cp850;
    m_skipped.clear();
    m_file.close();
    m_source.clear();
    m_sourceAt = 0;
    m_fromFile = false;
    m_buffer.clear();
    m_pos = 0;
    m_eof = false;
    m_endMark = false;
    m_failed = false;
    m_lineNumber = 0;
    m_text = {};
    m_high = false;
    m_fieldCount = 0;
    m_pendingCount = 0;
    m_pendingAt = 0;
}

bool Reader::open(const QString &path, Charset charset) {
    reset();
    m_name = Printable(QFileInfo(path).fileName());
    m_fromFile = true;
    QString why;
    if (!OpenRegularFile(m_file, path, &why))
        return fail(why);
    if (charset == Charset::Detect) {
        // A first pass over the bytes, a piece at a time, settles the character set.
        CharsetDetector detector;
        while (true) {
            m_file.unsetError();
            const QByteArray chunk = m_file.read(kChunk);
            if (m_file.error() != QFileDevice::NoError)
                return fail(QStringLiteral("kann nicht gelesen werden (%1)").arg(m_file.errorString()));
            if (chunk.isEmpty())
                break;
            detector.feed(chunk);
        }
        charset = detector.result();
        if (!m_file.seek(0))
            return fail(QStringLiteral("kann nicht gelesen werden (%1)").arg(m_file.errorString()));
    }
    return start(charset);
}

bool Reader::openBytes(const QByteArray &bytes, const QString &name, Charset charset) {
    reset();
    m_name = Printable(name);
    m_source = bytes;
    return start(charset == Charset::Detect ? DetectCharset(bytes) : charset);
}

bool Reader::start(Charset charset) {
    m_charset = charset;
    // A byte-order mark is no part of a record (the header must come first).
    while (!m_eof && m_buffer.size() < 3)
        if (!fill() && m_failed)
            return false;
    if (m_buffer.startsWith("\xEF\xBB\xBF"))
        m_pos = 3;
    return readHeader();
}

bool Reader::fail(const QString &what) {
    if (!m_failed)
        m_error = Printable(m_name + QStringLiteral(": ") + what);
    m_failed = true;
    m_pendingCount = 0;
    return false;
}

bool Reader::failLine(const QString &what) {
    if (!m_failed)
        m_error = Printable(QStringLiteral("%1, Zeile %2: %3").arg(m_name).arg(m_lineNumber).arg(what));
    m_failed = true;
    m_pendingCount = 0;
    return false;
}

// Appends the next piece of the source to the buffer, dropping what was read already.
bool Reader::fill() {
    QByteArray chunk;
    if (m_fromFile) {
        m_file.unsetError();
        chunk = m_file.read(kChunk);
        if (m_file.error() != QFileDevice::NoError)
            return failLine(
                QStringLiteral("die Datei kann nicht weiter gelesen werden (%1)").arg(m_file.errorString()));
    } else {
        chunk = m_source.mid(m_sourceAt, kChunk);
        m_sourceAt += chunk.size();
    }
    if (chunk.isEmpty()) {
        m_eof = true;
        return false;
    }
    if (m_pos > 0) {
        m_buffer.remove(0, m_pos);
        m_pos = 0;
    }
    m_buffer += chunk;
    return true;
}

bool Reader::readLine() {
    if (m_failed)
        return false;
    if (m_endMark)
        return skipTrailer();
    ++m_lineNumber;
    qsizetype from = m_pos;
    qsizetype end = -1;
    while (true) {
        const char *begin = m_buffer.constData();
        const void *found =
            from < m_buffer.size() ? std::memchr(begin + from, '\n', size_t(m_buffer.size() - from)) : nullptr;
        if (found) {
            end = static_cast<const char *>(found) - begin;
            break;
        }
        // Without its line end a line may still take one byte more: the CR of a CR LF.
        if (m_buffer.size() - m_pos > kMaxLine + 1)
            return failLine(QStringLiteral("die Zeile ist länger als %1 Bytes").arg(kMaxLine));
        const qsizetype held = m_buffer.size() - m_pos;
        if (!fill()) {
            if (m_failed)
                return false;
            end = m_buffer.size();
            if (end == m_pos)
                return false; // the end, after a last line end
            break;
        }
        from = m_pos + held;
    }
    m_text = QByteArrayView(m_buffer.constData() + m_pos, end - m_pos);
    m_pos = end < m_buffer.size() ? end + 1 : end;
    if (m_text.endsWith('\r'))
        m_text.chop(1);
    if (m_text.size() > kMaxLine)
        return failLine(QStringLiteral("die Zeile ist länger als %1 Bytes").arg(kMaxLine));
    // The end mark (0x1A) ends the file; only blanks and more end marks may follow it, as old
    // programs pad their files. Records after it are refused rather than quietly left out.
    const qsizetype mark = m_text.indexOf(kEndMark);
    if (mark >= 0) {
        for (const char c : m_text.sliced(mark))
            if (c != kEndMark && c != '\r' && c != '\0' && !Blank(c))
                return failLine(QStringLiteral("nach dem Dateiende-Zeichen (0x1A) folgen noch Daten"));
        m_text.truncate(mark);
        m_endMark = true;
    }
    return true;
}

bool Reader::skipTrailer() {
    while (true) {
        for (qsizetype i = m_pos; i < m_buffer.size(); ++i) {
            const char c = m_buffer.at(i);
            if (c == '\n') {
                ++m_lineNumber;
            } else if (c != kEndMark && c != '\r' && c != '\0' && !Blank(c)) {
                ++m_lineNumber;
                return failLine(QStringLiteral("nach dem Dateiende-Zeichen (0x1A) folgen noch Daten"));
            }
        }
        m_pos = m_buffer.size();
        if (!fill())
            return false;
    }
}

bool Reader::splitLine() {
    m_fieldCount = 0;
    m_high = false;
    const char *data = m_text.data();
    const qsizetype size = m_text.size();
    qsizetype fieldStart = 0;
    for (qsizetype i = 0; i <= size; ++i) {
        const auto byte = i < size ? static_cast<unsigned char>(data[i]) : ';';
        if (byte == ';') {
            if (m_fieldCount == kMaxFields)
                return failLine(QStringLiteral("die Zeile hat mehr als %1 Felder").arg(kMaxFields));
            m_fields[m_fieldCount++] = Trimmed(QByteArrayView(data + fieldStart, i - fieldStart));
            fieldStart = i + 1;
        } else if ((byte < 0x20 && byte != '\t') || byte == 0x7F) {
            return failLine(QStringLiteral("enthält ein Steuerzeichen (0x%1) – keine Textdatei").arg(Hex(byte)));
        } else if (byte >= 0x80) {
            m_high = true;
            if (UnknownHighByte(byte, m_charset))
                return failLine(
                    QStringLiteral("das Byte 0x%1 ist in %2 kein Zeichen").arg(Hex(byte), CharsetName(m_charset)));
        }
    }
    if (m_high && m_charset == Charset::Utf8) {
        Utf8Check check;
        check.feed(m_text);
        check.finish();
        if (!check.valid())
            return failLine(QStringLiteral("ist nicht in UTF-8 geschrieben (eine ungültige Bytefolge)"));
        // U+0080 to U+009F are control characters, written C2 80 to C2 9F.
        for (qsizetype i = 0; i + 1 < size; ++i)
            if (static_cast<unsigned char>(data[i]) == 0xC2 && static_cast<unsigned char>(data[i + 1]) <= 0x9F)
                return failLine(QStringLiteral("enthält ein Steuerzeichen (U+00%1) – keine Textdatei")
                                    .arg(Hex(static_cast<unsigned char>(data[i + 1]))));
    }
    return true;
}

QByteArrayView Reader::raw(int field) const {
    return field >= 1 && field <= m_fieldCount ? m_fields[field - 1] : QByteArrayView();
}

// A tab within a field is read as a blank: a text keeps to one column wherever it is shown.
QString Reader::text(int field) const {
    const QByteArrayView bytes = raw(field);
    QString value = m_high ? Decode(bytes, m_charset) : QString::fromLatin1(bytes);
    if (bytes.contains('\t'))
        value.replace(QLatin1Char('\t'), QLatin1Char(' '));
    return value;
}

QString Reader::shown(int field) const {
    QString value = text(field);
    if (value.size() > 40)
        value = value.left(40) + QStringLiteral("…");
    return QStringLiteral("„%1“").arg(value);
}

bool Reader::need(int field, const char *name) {
    if (field <= m_fieldCount)
        return true;
    return failField(name, QStringLiteral("fehlt (die Zeile endet nach Feld %1)").arg(m_fieldCount));
}

bool Reader::date(const char *name, QByteArrayView digits, QDate *out) {
    *out = DateOf(digits, m_version == 5);
    if (out->isValid())
        return true;
    return failField(name, QStringLiteral("„%1“ ist kein gültiges Datum")
                               .arg(QString::fromLatin1(digits.first(std::min<qsizetype>(digits.size(), 40)))));
}

// The header: version 4's is 128 characters wide ("V", a blank, the date DDMMYY, texts, the version
// "04" at 124 and the currency at 126), version 5's has fields ("V;050;…;YYYYMMDD;EUR;…").
bool Reader::readHeader() {
    while (readLine()) {
        if (!splitLine())
            return false;
        if (m_fieldCount == 1 && m_fields[0].isEmpty())
            continue;
        const bool header = !m_text.isEmpty() && (m_text[0] == 'V' || m_text[0] == 'v') &&
                            (m_text.size() == 1 || m_text[1] == ' ' || m_text[1] == ';');
        if (!header)
            return failLine(QStringLiteral("kein Vorlaufsatz „V“ – keine DATANORM-Datei"));
        const QByteArrayView version = raw(2);
        if (m_text.size() > 1 && m_text[1] == ';' && (version == "050" || version == "05")) {
            m_version = 5;
            for (int field = 3; field <= m_fieldCount; ++field) {
                const QDate date = DateOf(raw(field), true);
                if (raw(field).size() == 8 && date.isValid()) {
                    m_date = date;
                    m_currency = text(field + 1);
                    break;
                }
            }
            if (!m_date.isValid())
                return failField("Datum", QStringLiteral("der Vorlaufsatz nennt kein Datum (JJJJMMTT)"));
        } else {
            const QString line = m_high ? Decode(m_text, m_charset) : QString::fromLatin1(m_text);
            const QString fixed = line.size() >= 125 ? line.mid(123, 2) : QString();
            if (fixed != QLatin1String("04")) {
                QString named = fixed.size() == 2 && fixed.at(0).isDigit() && fixed.at(1).isDigit()
                                    ? fixed
                                    : (m_text.size() > 1 && m_text[1] == ';' ? text(2).left(10) : QString());
                if (named.isEmpty())
                    return failLine(QStringLiteral("der Vorlaufsatz „V“ nennt keine DATANORM-Version (gelesen "
                                                   "werden 4 und 5)"));
                if (named == QLatin1String("04"))
                    return failLine(QStringLiteral("der Vorlaufsatz der DATANORM-Version 04 ist nicht 128 Zeichen "
                                                   "breit"));
                return failLine(QStringLiteral("DATANORM-Version %1 wird nicht gelesen (nur 4 und 5)").arg(named));
            }
            m_version = 4;
            const QString digits = line.mid(2, 6);
            if (!date("Datum", digits.toLatin1(), &m_date))
                return false;
            m_currency = line.mid(125, 3).trimmed();
        }
        if (m_currency.size() > 3 || !std::all_of(m_currency.begin(), m_currency.end(),
                                                  [](QChar c) { return c.isLetter() && c.unicode() < 0x80; }))
            return failField("Währung", QStringLiteral("„%1“ ist keine Währung").arg(m_currency.left(40)));
        m_currency = m_currency.toUpper();
        return true;
    }
    if (m_failed)
        return false;
    m_lineNumber = 1;
    return failLine(QStringLiteral("kein Vorlaufsatz „V“ – keine DATANORM-Datei"));
}

bool Reader::next(Record &record) {
    if (m_pendingAt < m_pendingCount) {
        record = m_pending[m_pendingAt++];
        return true;
    }
    m_pendingCount = 0;
    m_pendingAt = 0;
    while (readLine()) {
        if (!splitLine())
            return false;
        if (m_fieldCount == 1 && m_fields[0].isEmpty())
            continue;
        const QByteArrayView type = raw(1);
        const char letter = type.size() == 1 ? char(type[0] & ~0x20) : '\0';
        if (letter < 'A' || letter > 'Z')
            return failField("Satzart", QStringLiteral("%1 ist keine Satzart").arg(shown(1)));
        record = Record{};
        record.line = m_lineNumber;
        switch (letter) {
        case 'A':
            return readArticle(record);
        case 'B':
            return readExtra(record);
        case 'P':
            if (!readPrices())
                return false;
            if (m_pendingCount == 0)
                continue; // a price line without any block
            record = m_pending[m_pendingAt++];
            return true;
        case 'R':
            return readGroup(record);
        case 'C':
            // Version 4's price date: "C;;TERMIN…;DDMMYYYY". Other texts of a C record are skipped.
            if (m_version == 4 && text(3).startsWith(QLatin1String("TERMIN"), Qt::CaseInsensitive)) {
                if (!need(4, "Datum"))
                    return false;
                record.kind = Record::Kind::PriceDate;
                return date("Datum", raw(4), &record.validFrom);
            }
            break;
        case 'V':
            return failLine(QStringLiteral("ein zweiter Vorlaufsatz „V“ (eine Datei, zwei Lieferungen?)"));
        default:
            break;
        }
        ++m_skipped[QString(QLatin1Char(letter))];
    }
    return false;
}

} // namespace kxexchange::datanorm
