#include "server/db/JsonRows.h"

#include <QStringTokenizer>

namespace kxserver {

void AppendJsonString(QString &out, QStringView value) {
    out += QLatin1Char('"');
    // Runs of plain characters go in at once; only what JSON needs escaped is written one by one.
    qsizetype plain = 0;
    for (qsizetype i = 0; i < value.size(); ++i) {
        const char16_t c = value[i].unicode();
        if (c != u'"' && c != u'\\' && c >= 0x20)
            continue;
        out += value.sliced(plain, i - plain);
        if (c < 0x20) {
            out += QStringLiteral("\\u%1").arg(int(c), 4, 16, QLatin1Char('0'));
        } else {
            out += QLatin1Char('\\');
            out += QChar(c);
        }
        plain = i + 1;
    }
    out += value.sliced(plain);
    out += QLatin1Char('"');
}

namespace {

// The texts of a range as a JSON array, its text reserved for `size` characters.
template <typename Texts> QString jsonStrings(const Texts &texts, qsizetype size) {
    QString json;
    json.reserve(size);
    json += QLatin1Char('[');
    for (const QStringView text : texts) {
        if (json.size() > 1)
            json += QLatin1Char(',');
        AppendJsonString(json, text);
    }
    json += QLatin1Char(']');
    return json;
}

} // namespace

QString JsonTextList(const QStringList &texts) {
    qsizetype size = 2;
    for (const QString &text : texts)
        size += text.size() + 3;
    return jsonStrings(texts, size);
}

QString JsonLineList(QStringView lines) {
    return jsonStrings(QStringTokenizer(lines, QLatin1Char('\n'), Qt::SkipEmptyParts),
                       lines.size() + 3 * (lines.count(QLatin1Char('\n')) + 1) + 2);
}

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

JsonRows &JsonRows::text(QStringView value) {
    separate();
    AppendJsonString(m_text, value);
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
