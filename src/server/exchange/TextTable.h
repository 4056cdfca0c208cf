#pragma once

#include <QHash>
#include <QString>
#include <QStringList>

namespace kxexchange {

// Texts that repeat over a million rows (price units, discount groups), each held once and named by
// its number.
class TextTable {
public:
    // The number of `text`, taken into the table the first time it comes.
    qint32 index(const QString &text) {
        const auto found = m_index.constFind(text);
        if (found != m_index.constEnd())
            return found.value();
        m_texts << text;
        return m_index.insert(text, qint32(m_texts.size() - 1)).value();
    }
    const QString &at(qint32 index) const { return m_texts.at(index); }

private:
    QStringList m_texts;
    QHash<QString, qint32> m_index;
};

} // namespace kxexchange
