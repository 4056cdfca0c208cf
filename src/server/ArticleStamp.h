#pragma once

#include <QByteArray>
#include <QCryptographicHash>
#include <QString>

namespace kxserver {

// The stamp of an article's supplier entries in a list: a digest of each entry's id, active flag and
// main-supplier flag, in supplier-number order. Short, and equal exactly when every entry shows the
// same flags; so a save that moves the list's changes into the master data changes no stamp, and
// neither does a change to another article.
class ArticleStamp {
public:
    void add(const QString &entryId, const QString &laktiv, const QString &hlief) {
        m_hash.addData((entryId + QLatin1Char('|') + laktiv + QLatin1Char('|') + hlief + QLatin1Char('\n')).toUtf8());
    }
    void reset() { m_hash.reset(); }
    QString result() const { return QString::fromLatin1(m_hash.result().toHex()); }

private:
    QCryptographicHash m_hash{QCryptographicHash::Sha1};
};

} // namespace kxserver
