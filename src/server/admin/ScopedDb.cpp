#include "server/admin/ScopedDb.h"

#include <atomic>

namespace kxserver {

namespace {

std::atomic<quint64> gScopedConnections{0};

} // namespace

ScopedDb::ScopedDb(const QString &driver, const QString &prefix)
    : m_name(QStringLiteral("%1-%2").arg(prefix).arg(++gScopedConnections)) {
    QSqlDatabase::addDatabase(driver, m_name);
}

ScopedDb::~ScopedDb() {
    {
        QSqlDatabase db = QSqlDatabase::database(m_name, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(m_name);
}

} // namespace kxserver
