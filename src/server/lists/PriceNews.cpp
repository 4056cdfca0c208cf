#include "server/lists/PriceNews.h"

#include "server/db/Dialect.h"
#include "server/lists/UnitBook.h"

#include <algorithm>
#include <map>

namespace kxserver::lists {

void TellPriceNews(SqlConnection &connection, const std::vector<qint64> &articles) {
    if (articles.empty())
        return;
    // The lists' articles among them: a delivery may change a million pairs, of which the update
    // runs hold a few thousand, so the lists' articles are read and matched here rather than the
    // million sent.
    std::vector<qint64> sorted = articles;
    std::sort(sorted.begin(), sorted.end());
    std::map<qint64, std::vector<qint64>> news; // list -> its articles among them (in id order, as writers lock)
    {
        QSqlQuery listed = connection.run(
            QStringLiteral("SELECT l.id, u.artikel FROM artliste l JOIN upd_artikel u ON u.run = l.run"));
        while (connection.next(listed)) {
            const qint64 article = listed.value(1).toLongLong();
            if (std::binary_search(sorted.begin(), sorted.end(), article))
                news[listed.value(0).toLongLong()].push_back(article);
        }
    }
    const Backend backend = connection.backend();
    const QString insert = QStringLiteral("INSERT INTO liste_preis (liste, artikel, aend_nr) SELECT l.id, u.artikel,"
                                          " l.version FROM artliste l JOIN upd_artikel u ON u.run = l.run"
                                          " WHERE l.id = ? AND %1 ON CONFLICT (liste, artikel) DO UPDATE"
                                          " SET aend_nr = excluded.aend_nr")
                               .arg(InIdList(backend, QStringLiteral("u.artikel")));
    for (const auto &[list, ids] : news) {
        connection.run(QStringLiteral("UPDATE artliste SET version = version + 1 WHERE id = ?"), {list});
        connection.run(insert, {list, IdListValue(backend, ids)});
        Unit(connection).book.noteChanged(list);
    }
}

} // namespace kxserver::lists
