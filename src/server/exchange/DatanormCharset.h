#pragma once

#include "server/exchange/DatanormReader.h"
#include "server/exchange/TextBytes.h"

#include <QByteArrayView>
#include <QString>

// The reader's own use of the character sets: the decision by the bytes, piece by piece, and the
// decoding of a field.
namespace kxexchange::datanorm {

class CharsetDetector {
public:
    void feed(QByteArrayView bytes);
    Charset result();

private:
    Utf8Check m_utf8;
    qint64 m_cp850 = 0;
    qint64 m_cp1252 = 0;
};

// The bytes as text. UTF-8 must have been checked before (a broken sequence would become U+FFFD).
QString Decode(QByteArrayView bytes, Charset charset);

// A byte above 0x7F that is no letter in the character set: a C1 control character of ISO-8859-1,
// one of the five bytes Windows-1252 leaves undefined. (UTF-8 is checked by its sequences.)
bool UnknownHighByte(unsigned char byte, Charset charset);

// The text with every control character replaced (U+FFFD), for a message or a file's name.
QString Printable(QString text);

} // namespace kxexchange::datanorm
