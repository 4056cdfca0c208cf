#include "server/lists/PriceNews.h"

#include "server/db/Dialect.h"
#include "server/lists/UnitBook.h"

namespace kxserver::lists {

void TellPriceNews(SqlConnection &connection, const std::vector<qint64> &articles) {
    if (articles.empty())
        return;
    const Backend backend = connection.backend();
    const QVariant ids = IdListValue(backend, articles);
    std::vector<qint64> lists;
    {
        QSqlQuery found = connection.run(QStringLiteral("SELECT DISTINCT l.id FROM artliste l JOIN upd_artikel u"
                                                        " ON u.run = l.run WHERE %1 ORDER BY l.id")
                                             .arg(InIdList(backend, QStringLiteral("u.artikel"))),
                                         {ids});
        while (connection.next(found))
            lists.push_back(found.value(0).toLongLong());
    }
    // In id order, as every writer takes the lists' locks.
    const QString news = QStringLiteral("INSERT INTO liste_preis (liste, artikel, aend_nr) SELECT l.id, u.artikel,"
                                        " l.version FROM artliste l JOIN upd_artikel u ON u.run = l.run"
                                        " WHERE l.id = ? AND %1 ON CONFLICT (liste, artikel) DO UPDATE"
                                        " SET aend_nr = excluded.aend_nr")
                             .arg(InIdList(backend, QStringLiteral("u.artikel")));
    for (const qint64 list : lists) {
        connection.run(QStringLiteral("UPDATE artliste SET version = version + 1 WHERE id = ?"), {list});
        connection.run(news, {list, ids});
        Unit(connection).book.noteChanged(list);
    }
}

} // namespace kxserver::lists
