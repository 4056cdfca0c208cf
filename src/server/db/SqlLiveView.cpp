// The live view's plumbing: which lists another workstation may have changed since the last look
// (PostgreSQL's notifications, SQLite's data_version).
#include "server/db/SqlConnection.h"

#include <libpq-fe.h>

namespace kxserver {

void SqlConnection::drainNotifications() {
    // Notifications that libpq read along with a script's answers wait in its queue, where Qt's
    // socket watch does not see them.
    PGconn *connection = pgConnection();
    if (!connection)
        return;
    PQconsumeInput(connection);
    const int self = PQbackendPID(connection);
    while (PGnotify *notify = PQnotifies(connection)) {
        if (qstrcmp(notify->relname, kListChannel) == 0 && notify->be_pid != self)
            m_notified.insert(QByteArray(notify->extra).toLongLong());
        PQfreemem(notify);
    }
}

bool SqlConnection::mayHaveChanged(qint64 list) {
    if (!m_open || m_transaction)
        return false;
    if (m_target.backend == Backend::Postgres) {
        drainNotifications();
        return m_notified.erase(list) > 0;
    }
    // SQLite's counter changes with every commit of another connection to the file; reading it is a
    // look at the file's header, in-process.
    QSqlQuery query(db());
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("PRAGMA data_version")) || !query.next())
        return false;
    const qint64 version = query.value(0).toLongLong();
    if (version == m_dataVersion)
        return false;
    m_dataVersion = version;
    return true;
}

} // namespace kxserver
