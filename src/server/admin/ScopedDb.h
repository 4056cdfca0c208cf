#pragma once

#include <QSqlDatabase>
#include <QString>

namespace kxserver {

// A named connection of the admin tool's own (creating, upgrading a database) that is removed
// again when it goes out of scope. The prefix names the step in the connection's name.
class ScopedDb {
public:
    ScopedDb(const QString &driver, const QString &prefix);
    ~ScopedDb();
    ScopedDb(const ScopedDb &) = delete;
    ScopedDb &operator=(const ScopedDb &) = delete;

    QSqlDatabase db() const { return QSqlDatabase::database(m_name, false); }

private:
    QString m_name;
};

} // namespace kxserver
