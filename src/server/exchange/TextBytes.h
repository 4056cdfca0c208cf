#pragma once

#include <QByteArrayView>

#include <array>

// What the readers of text files share about bytes: Windows-1252's letters and a strict check of
// UTF-8.
namespace kxexchange {

// Windows-1252's letters for 0x80 to 0x9F; 0 marks the five bytes the code page leaves undefined.
inline constexpr std::array<char16_t, 32> kCp1252High{0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                                      0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                                      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                                      0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

// Checks UTF-8 piece by piece (a sequence may be split between two pieces), strictly: overlong
// forms, surrogates and code points past U+10FFFF are no UTF-8, which a decoder would quietly turn
// into U+FFFD. Notes the line of the first fault and whether any valid multi-byte sequence came.
class Utf8Check {
public:
    void feed(QByteArrayView bytes) {
        for (const char c : bytes) {
            const auto byte = static_cast<unsigned char>(c);
            if (m_need > 0) {
                if (byte < m_low || byte > m_high) {
                    fault();
                    m_need = 0;
                } else {
                    m_low = 0x80;
                    m_high = 0xBF;
                    if (--m_need == 0)
                        ++m_sequences;
                    continue;
                }
            }
            if (byte == '\n')
                ++m_line;
            if (byte < 0x80)
                continue;
            m_low = 0x80;
            m_high = 0xBF;
            if (byte >= 0xC2 && byte <= 0xDF) {
                m_need = 1;
            } else if (byte >= 0xE0 && byte <= 0xEF) {
                m_need = 2;
                m_low = byte == 0xE0 ? 0xA0 : 0x80;
                m_high = byte == 0xED ? 0x9F : 0xBF;
            } else if (byte >= 0xF0 && byte <= 0xF4) {
                m_need = 3;
                m_low = byte == 0xF0 ? 0x90 : 0x80;
                m_high = byte == 0xF4 ? 0x8F : 0xBF;
            } else {
                fault();
            }
        }
    }
    void finish() {
        if (m_need > 0)
            fault();
    }
    bool valid() const { return m_faultLine == 0; }
    qint64 faultLine() const { return m_faultLine; }
    bool anySequence() const { return m_sequences > 0; }
    qint64 lines() const { return m_line; }

private:
    void fault() {
        if (m_faultLine == 0)
            m_faultLine = m_line;
    }
    int m_need = 0;
    unsigned char m_low = 0x80;
    unsigned char m_high = 0xBF;
    qint64 m_line = 1;
    qint64 m_faultLine = 0;
    qint64 m_sequences = 0;
};

} // namespace kxexchange
