#pragma once

#include <QHash>
#include <QSqlQuery>
#include <QString>

#include <memory>

namespace kxserver::detail {

// The statements a connection keeps prepared, by their text: SQLite then compiles, and PostgreSQL
// parses and plans, each of the program's few statements once per connection instead of on every
// call. A kept statement is lent to one caller at a time; when the caller lets go of it, it is
// finished (SQLite's read snapshot ends with it, PostgreSQL's rows are read off), so an idle one
// holds nothing. One that is still lent is never run again under its reader: whoever asks for it
// meanwhile prepares one of his own.
class KeptStatements {
public:
    // The statement kept for `sql`, lent to the caller; null when none is kept or it is lent out.
    std::shared_ptr<QSqlQuery> lend(const QString &sql);
    // Keeps `query`, just prepared for `sql`, and lends it. A full cache gives up the idle statement
    // used longest ago (texts made per call, such as lists of placeholders, come and go); when every
    // one is lent, or one for `sql` is, the query is only handed back, to die with its caller.
    std::shared_ptr<QSqlQuery> keep(const QString &sql, QSqlQuery &&query);
    bool has(const QString &sql) const { return m_statements.contains(sql); }
    // Forgets every statement; lent ones live on with their callers.
    void clear() { m_statements.clear(); }

    static constexpr qsizetype kLimit = 64;

private:
    struct Kept {
        QSqlQuery query;
        bool lent = false;
        quint64 used = 0; // when it was last lent, by m_clock
    };
    std::shared_ptr<QSqlQuery> lendKept(const std::shared_ptr<Kept> &kept);
    bool makeRoom();
    QHash<QString, std::shared_ptr<Kept>> m_statements;
    quint64 m_clock = 0;
};

} // namespace kxserver::detail
