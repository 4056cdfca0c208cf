#include "server/exchange/DatanormCharset.h"

#include <algorithm>
#include <array>

namespace kxexchange::datanorm {

namespace {

// Code page 850's letters and box-drawing characters for 0x80 to 0xFF.
constexpr std::array<char16_t, 128> kCp850High{
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, // 0x80
    0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5, // 0x88
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, // 0x90
    0x00FF, 0x00D6, 0x00DC, 0x00F8, 0x00A3, 0x00D8, 0x00D7, 0x0192, // 0x98
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA, // 0xA0
    0x00BF, 0x00AE, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB, // 0xA8
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x00C1, 0x00C2, 0x00C0, // 0xB0
    0x00A9, 0x2563, 0x2551, 0x2557, 0x255D, 0x00A2, 0x00A5, 0x2510, // 0xB8
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x00E3, 0x00C3, // 0xC0
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x00A4, // 0xC8
    0x00F0, 0x00D0, 0x00CA, 0x00CB, 0x00C8, 0x0131, 0x00CD, 0x00CE, // 0xD0
    0x00CF, 0x2518, 0x250C, 0x2588, 0x2584, 0x00A6, 0x00CC, 0x2580, // 0xD8
    0x00D3, 0x00DF, 0x00D4, 0x00D2, 0x00F5, 0x00D5, 0x00B5, 0x00FE, // 0xE0
    0x00DE, 0x00DA, 0x00DB, 0x00D9, 0x00FD, 0x00DD, 0x00AF, 0x00B4, // 0xE8
    0x00AD, 0x00B1, 0x2017, 0x00BE, 0x00B6, 0x00A7, 0x00F7, 0x00B8, // 0xF0
    0x00B0, 0x00A8, 0x00B7, 0x00B9, 0x00B3, 0x00B2, 0x25A0, 0x00A0, // 0xF8
};

// The German letters ä ö ü ß Ä Ö Ü, as code page 850 and as Windows-1252 write them: in a file that
// is no UTF-8, the code page that makes more of its bytes such letters is the file's.
constexpr std::array<unsigned char, 7> kCp850Umlauts{0x84, 0x94, 0x81, 0xE1, 0x8E, 0x99, 0x9A};
constexpr std::array<unsigned char, 7> kCp1252Umlauts{0xE4, 0xF6, 0xFC, 0xDF, 0xC4, 0xD6, 0xDC};

// 1 for a CP850 umlaut, 2 for a Windows-1252 one, by byte.
constexpr std::array<unsigned char, 256> kUmlautKind = [] {
    std::array<unsigned char, 256> kind{};
    for (const unsigned char byte : kCp850Umlauts)
        kind[byte] = 1;
    for (const unsigned char byte : kCp1252Umlauts)
        kind[byte] = 2;
    return kind;
}();

} // namespace

std::optional<Charset> CharsetByName(const QString &name) {
    const QString n = name.trimmed().toCaseFolded();
    for (const char *alias : {"cp850", "ibm850", "850", "ibm-850", "cp-850", "dos", "oem"})
        if (n == QLatin1String(alias))
            return Charset::Cp850;
    for (const char *alias : {"windows-1252", "cp1252", "win1252", "windows1252", "1252", "ansi"})
        if (n == QLatin1String(alias))
            return Charset::Windows1252;
    for (const char *alias : {"iso-8859-1", "iso8859-1", "latin1", "latin-1", "iso-latin-1"})
        if (n == QLatin1String(alias))
            return Charset::Latin1;
    for (const char *alias : {"utf-8", "utf8"})
        if (n == QLatin1String(alias))
            return Charset::Utf8;
    return std::nullopt;
}

QString CharsetName(Charset charset) {
    switch (charset) {
    case Charset::Detect:
        return QStringLiteral("erkennen");
    case Charset::Cp850:
        return QStringLiteral("CP850");
    case Charset::Windows1252:
        return QStringLiteral("Windows-1252");
    case Charset::Latin1:
        return QStringLiteral("ISO-8859-1");
    case Charset::Utf8:
        return QStringLiteral("UTF-8");
    }
    return {};
}

void CharsetDetector::feed(QByteArrayView bytes) {
    m_utf8.feed(bytes);
    for (const char c : bytes) {
        const unsigned char kind = kUmlautKind[static_cast<unsigned char>(c)];
        m_cp850 += kind == 1 ? 1 : 0;
        m_cp1252 += kind == 2 ? 1 : 0;
    }
}

Charset CharsetDetector::result() {
    m_utf8.finish();
    if (m_utf8.valid())
        return Charset::Utf8;
    return m_cp1252 > m_cp850 ? Charset::Windows1252 : Charset::Cp850;
}

Charset DetectCharset(const QByteArray &bytes) {
    CharsetDetector detector;
    detector.feed(bytes);
    return detector.result();
}

bool UnknownHighByte(unsigned char byte, Charset charset) {
    switch (charset) {
    case Charset::Latin1:
        return byte >= 0x80 && byte <= 0x9F;
    case Charset::Windows1252:
        return byte >= 0x80 && byte <= 0x9F && kCp1252High.at(byte - 0x80) == 0;
    default:
        return false;
    }
}

QString Decode(QByteArrayView bytes, Charset charset) {
    switch (charset) {
    case Charset::Utf8:
        return QString::fromUtf8(bytes);
    case Charset::Latin1:
        return QString::fromLatin1(bytes);
    default:
        break;
    }
    QString text(bytes.size(), Qt::Uninitialized);
    QChar *out = text.data();
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80)
            *out++ = QChar(byte);
        else if (charset == Charset::Windows1252)
            *out++ = byte <= 0x9F ? QChar(kCp1252High.at(byte - 0x80)) : QChar(byte);
        else
            *out++ = QChar(kCp850High.at(byte - 0x80));
    }
    return text;
}

} // namespace kxexchange::datanorm
