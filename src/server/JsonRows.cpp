#include "JsonRows.h"

namespace kxserver {

void JsonRows::separate() {
    if (m_column == 0)
        m_text += m_text.isEmpty() ? QLatin1String("[[") : QLatin1String(",[");
    else
        m_text += QLatin1Char(',');
    ++m_column;
}

JsonRows &JsonRows::number(qint64 value) {
    separate();
    m_text += QString::number(value);
    return *this;
}

JsonRows &JsonRows::text(const QString &value) {
    separate();
    m_text += QLatin1Char('"');
    for (const QChar c : value) {
        if (c == QLatin1Char('"') || c == QLatin1Char('\\')) {
            m_text += QLatin1Char('\\');
            m_text += c;
        } else if (c.unicode() < 0x20) {
            m_text += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
        } else {
            m_text += c;
        }
    }
    m_text += QLatin1Char('"');
    return *this;
}

JsonRows &JsonRows::textOrNull(const std::optional<QString> &value) {
    return value ? text(*value) : null();
}

JsonRows &JsonRows::numberOrNull(const std::optional<qint64> &value) {
    return value ? number(*value) : null();
}

JsonRows &JsonRows::null() {
    separate();
    m_text += QLatin1String("null");
    return *this;
}

void JsonRows::endRow() {
    m_text += QLatin1Char(']');
    m_column = 0;
    ++m_rows;
}

QString JsonRows::take() {
    QString text = m_text.isEmpty() ? QStringLiteral("[]") : m_text + QLatin1Char(']');
    m_text.clear();
    m_rows = 0;
    m_column = 0;
    return text;
}

QString JsonRows::select(Backend backend) const {
    QStringList columns;
    for (qsizetype i = 0; i < m_types.size(); ++i)
        columns << (backend == Backend::Sqlite ? QStringLiteral("json_extract(value, '$[%1]')").arg(i)
                                               : QStringLiteral("CAST(r.v ->> %1 AS %2)").arg(i).arg(m_types.at(i)));
    return backend == Backend::Sqlite
               ? QStringLiteral("SELECT %1 FROM json_each(?) WHERE true").arg(columns.join(QStringLiteral(", ")))
               : QStringLiteral("SELECT %1 FROM json_array_elements(CAST(? AS json)) AS r(v) WHERE true")
                     .arg(columns.join(QStringLiteral(", ")));
}

} // namespace kxserver
