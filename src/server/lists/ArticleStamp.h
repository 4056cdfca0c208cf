#pragma once

#include "server/db/Digits.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QString>
#include <QVarLengthArray>

#include <algorithm>

namespace kxserver {

// The stamp of an article's supplier entries in a list: a digest of each entry's id, active flag and
// main-supplier flag, in supplier-number order. Short, and equal exactly when every entry shows the
// same flags; so a save that moves the list's changes into the master data changes no stamp, and
// neither does a change to another article.
class ArticleStamp {
public:
    // Each entry adds "id|laktiv|hlief" and a line feed in UTF-8, gathered without building strings.
    void add(const QString &entryId, const QString &laktiv, const QString &hlief) {
        QVarLengthArray<char, 64> bytes;
        appendUtf8(bytes, entryId);
        addFlags(bytes, laktiv, hlief);
    }
    // The same for an id that is a whole number, written as QString::number writes it.
    void add(qint64 entryId, const QString &laktiv, const QString &hlief) {
        const Digits digits(entryId);
        QVarLengthArray<char, 64> bytes(digits.bytes().begin(), digits.bytes().end());
        addFlags(bytes, laktiv, hlief);
    }
    void reset() { m_hash.reset(); }
    QString result() const { return QString::fromLatin1(m_hash.result().toHex()); }

private:
    void addFlags(QVarLengthArray<char, 64> &bytes, const QString &laktiv, const QString &hlief) {
        bytes.append('|');
        appendUtf8(bytes, laktiv);
        bytes.append('|');
        appendUtf8(bytes, hlief);
        bytes.append('\n');
        m_hash.addData(QByteArrayView(bytes.constData(), bytes.size()));
    }
    static void appendUtf8(QVarLengthArray<char, 64> &bytes, QStringView text) {
        const bool ascii = std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x80; });
        if (!ascii) {
            const QByteArray utf8 = text.toUtf8();
            bytes.append(utf8.constData(), utf8.size());
            return;
        }
        for (const QChar c : text)
            bytes.append(char(c.unicode()));
    }

    QCryptographicHash m_hash{QCryptographicHash::Sha1};
};

} // namespace kxserver
