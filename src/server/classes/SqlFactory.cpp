#include "server/classes/SqlFactory.h"

#include "session/ServerErrorCodes.h"
#include "server/classes/ServerObjects.h"
#include "server/classes/ServerQueries.h"
#include "server/db/SqlConnection.h"
#include "server/lists/UpdateLists.h"

#include <QSqlDatabase>

namespace kxserver {

namespace {

class SqlFactory : public cacheapi::Factory {
public:
    ~SqlFactory() override { disconnect(); }

    bool connected() override { return m_connection && m_connection->alive(); }

    bool connectTo(const QString &connectString) override {
        disconnect();
        const std::optional<ConnectTarget> target = ParseConnectString(connectString);
        if (!target)
            return false;
        // A missing driver is a broken installation, not a server that does not answer: say so
        // instead of sending the clerk through four connection attempts.
        const QString driver = target->backend == Backend::Sqlite ? QStringLiteral("QSQLITE") : QStringLiteral("QPSQL");
        if (!QSqlDatabase::isDriverAvailable(driver))
            throw Error(kDatabase, QStringLiteral("Der Datenbanktreiber %1 ist nicht installiert.").arg(driver));
        m_connection = SqlConnection::open(*target);
        return m_connection != nullptr;
    }

    void disconnect() override {
        if (!m_connection)
            return;
        m_connection->close();
        m_connection.reset();
    }

    cacheapi::ServerObjectPtr newInstance(const QString &className) override {
        return NewInstance(connection(), className);
    }

    cacheapi::ServerObjectPtr openId(const QString &className, const QString &id) override {
        return OpenStored(connection(), className, id);
    }

    cacheapi::QueryCursorPtr openQuery(const QString &className, const QString &queryName) override {
        return OpenQuery(connection(), className, queryName);
    }

    void beginUnit() override { connection()->beginUnit(); }
    void commitUnit() override { connection()->commitUnit(); }
    void rollbackUnit() override {
        if (m_connection)
            m_connection->rollbackUnit();
    }

    QString articleStamp(const QString &listKey, const QString &articleNumber) override {
        // Inside a unit the question takes the list's lock: the answer then holds until the commit.
        if (connection()->inUnit())
            return lists::LockedArticleStamps(*m_connection, listKey, {articleNumber}).first();
        return StampOfArticle(*connection(), listKey, articleNumber);
    }

    QStringList articleStamps(const QString &listKey, const QStringList &articleNumbers) override {
        if (connection()->inUnit())
            return lists::LockedArticleStamps(*m_connection, listKey, articleNumbers);
        QStringList stamps;
        for (const QString &number : articleNumbers)
            stamps << StampOfArticle(*m_connection, listKey, number);
        return stamps;
    }

    QStringList takeChanges(const QString &listKey, QVariantMap &since) override {
        if (!m_connection || !m_connection->isOpen())
            return {};
        return lists::TakeChanges(*m_connection, listKey, since);
    }

    cacheapi::ChangedArticles takeChangedArticles(const QString &listKey, QVariantMap &since) override {
        if (!m_connection || !m_connection->isOpen())
            return {};
        const QString key = QString::number(lists::ListKey(listKey));
        return lists::TakeChangedArticles(*m_connection, listKey, since,
                                          [&key](const DirectRows &row) { return ArticleListColumns(row, key); });
    }

    QString stampAfterWrite(const QString &listKey, const QString &articleNumber) override {
        if (!m_connection)
            return QString();
        const auto found = lists::Unit(*m_connection).writtenStamps.find({lists::ListKey(listKey), articleNumber});
        return found == lists::Unit(*m_connection).writtenStamps.end() ? QString() : found->second;
    }

private:
    const std::shared_ptr<SqlConnection> &connection() const {
        if (!m_connection)
            throw Error(kNotConnected, QStringLiteral("Keine Verbindung zum Server."));
        return m_connection;
    }

    std::shared_ptr<SqlConnection> m_connection;
};

} // namespace

} // namespace kxserver

cacheapi::FactoryPtr MakeSqlFactory() {
    return std::make_shared<kxserver::SqlFactory>();
}
