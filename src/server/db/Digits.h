#pragma once

#include <QByteArrayView>
#include <QLatin1String>
#include <QtGlobal>

#include <charconv>

namespace kxserver {

// A whole number's decimal digits as QString::number writes them, without a text allocated for
// them: for the many ids and numbers that go into a longer text.
class Digits {
public:
    explicit Digits(qint64 value) : m_end(std::to_chars(m_digits, m_digits + sizeof m_digits, value).ptr) {}
    QByteArrayView bytes() const { return QByteArrayView(m_digits, m_end - m_digits); }
    QLatin1String latin1() const { return QLatin1String(m_digits, m_end - m_digits); }

private:
    char m_digits[24]; // 19 digits and a sign at most
    const char *m_end;
};

} // namespace kxserver
