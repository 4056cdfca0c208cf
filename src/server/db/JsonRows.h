#pragma once
// Many rows of values as one bound value: a JSON array of arrays, read back by the database as a
// table. A write of 100,000 entries is then a handful of statements, each parsed once and bound
// with one value, on either backend (Qt's SQLite driver spends time per bound value that grows with
// the statement's count of values, and PostgreSQL parses a long VALUES list slowly).

#include "server/db/SqlConnection.h"

#include <QString>
#include <QStringView>

#include <optional>

namespace kxserver {

//
// Rows are given as to BulkInsert (number, text, null, endRow), which writes new rows faster (COPY,
// SQLite's own binding); JsonRows is for rows that a statement reads as a table: upserts, and
// checks and deletions that join them.
class JsonRows {
public:
    // The SQL type of each column, as PostgreSQL names it ("bigint", "text", "integer").
    explicit JsonRows(QStringList types) : m_types(std::move(types)) {}

    JsonRows &number(qint64 value);
    JsonRows &text(QStringView value);
    JsonRows &null();
    JsonRows &textOrNull(const std::optional<QString> &value);
    JsonRows &numberOrNull(const std::optional<qint64> &value);
    // Ends the row of values given since the last call.
    void endRow();

    qsizetype rows() const { return m_rows; }
    bool empty() const { return m_rows == 0; }
    // The bound value: the rows as JSON text. Starts afresh after it.
    QString take();

    // "SELECT <columns> FROM <the rows of one bound value>" for this backend, ready to follow
    // INSERT … (a WHERE ends it, so that SQLite reads a following ON CONFLICT as the upsert's).
    QString select(Backend backend) const;

private:
    void separate();

    QStringList m_types;
    QString m_text;
    qsizetype m_rows = 0;
    int m_column = 0;
};

// The rows a bulk statement carries at most: the text of one stays a few hundred kilobytes.
inline constexpr qsizetype kJsonRowsPerStatement = 5000;

// A text as a JSON string, quotes, backslashes and control characters escaped, added to `out`.
void AppendJsonString(QString &out, QStringView value);
// Texts as one bound value (a JSON array of strings): given as a list, or as lines of one text
// (empty lines left out).
QString JsonTextList(const QStringList &texts);
QString JsonLineList(QStringView lines);

// Whole numbers as one bound value (a JSON array).
template <typename Range> QString JsonIdList(const Range &ids) {
    QString text = QStringLiteral("[");
    for (const qint64 id : ids) {
        if (text.size() > 1)
            text += QLatin1Char(',');
        text += QString::number(id);
    }
    return text + QLatin1Char(']');
}

} // namespace kxserver
