// Updates of the benchmark's sizes: every article arrives, the article with the most suppliers
// takes a main-supplier change, large units cost in proportion, and a large list's rows are found by
// their keys. (How fast is the benchmarks' business.)

#include "ServerFixture.h"

#include "PgCluster.h"
#include "TestEnv.h"
#include "server/lists/UpdateLists.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlQuery>

#include <ctime>
#include <set>

using namespace kxserver;

namespace {

// The rows a plan (EXPLAIN ANALYZE as JSON) handled in the list's tables, over all loops: returned by
// their scans and dropped by filters, and dropped by the join filters above them.
double listTableRows(const QJsonObject &node) {
    const auto number = [&](const char *name) { return node.value(QLatin1String(name)).toDouble(); };
    const bool listTable = node.value(QLatin1String("Relation Name")).toString().startsWith(QLatin1String("liste_")) ||
                           node.value(QLatin1String("Index Name")).toString().startsWith(QLatin1String("liste_"));
    double rows = number("Rows Removed by Join Filter");
    if (listTable)
        rows += number("Actual Rows") + number("Rows Removed by Filter");
    rows *= number("Actual Loops");
    for (const QJsonValue &child : node.value(QLatin1String("Plans")).toArray())
        rows += listTableRows(child.toObject());
    return rows;
}

} // namespace

TEST(LargeUpdate, AHundredThousandArticlesLoadWholeAndTakeAChange) {
    const QString file = korvextest::TempDir() + QStringLiteral("/large.db");
    const int articles = 100000;
    ASSERT_NO_THROW(CreateDemoDatabase(file, articles));
    cacheapi::FactoryPtr factory = MakeSqlFactory();
    ASSERT_TRUE(factory->connectTo(SqliteConnectString(file)));
    ServerTest::session(*factory);

    const QString key = ServerTest::listKey(*factory, QString::number(kBenchmarkRun));
    cacheapi::QueryCursorPtr cursor = factory->openQuery("UpdateVelka.Hauptlief", "Artikel");
    cursor->execute({key});
    int count = 0;
    QString previous;
    while (cursor->next()) {
        const QString artnr = cursor->column(2).toString();
        EXPECT_LT(previous, artnr) << "in article-number order, each once";
        previous = artnr;
        ++count;
    }
    cursor->close();
    EXPECT_EQ(count, articles);

    ASSERT_EQ(ServerTest::suppliers(*factory, key, kBenchmarkFirstArticle).size(), 50);
    const QString before = ServerTest::article(*factory, key, kBenchmarkFirstArticle).value(3).toString();
    ServerTest::makeMain(*factory, key, kBenchmarkFirstArticle, 71010);
    const QString after = ServerTest::article(*factory, key, kBenchmarkFirstArticle).value(3).toString();
    EXPECT_TRUE(after.startsWith(QStringLiteral("71010 "))) << after.toStdString();
    EXPECT_NE(before, after);

    // One unit that writes many entries (taking back all proposals of a large update): the cost of
    // each write does not grow with the writes before it, so four times the entries take about four
    // times as long, not sixteen.
    QStringList ids;
    QStringList articleOf; // the article number of each entry
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("large-ids"));
        db.setDatabaseName(file);
        ASSERT_TRUE(db.open());
        QSqlQuery query(db);
        ASSERT_TRUE(query.exec(QStringLiteral("SELECT al.id, u.artnr FROM upd_run r JOIN upd_artikel u ON u.run = r.id"
                                              " JOIN artlief al ON al.artikel = u.artikel WHERE r.nr = %1"
                                              " ORDER BY al.id LIMIT 100000")
                                   .arg(kBenchmarkRun)));
        while (query.next()) {
            ids << key + QStringLiteral("||") + query.value(0).toString();
            articleOf << query.value(1).toString();
        }
        query = QSqlQuery();
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("large-ids"));
    ASSERT_EQ(ids.size(), 100000);
    // This thread's processor time, not the clock's: the embedded database works in this thread, and
    // what else the machine runs meanwhile does not count.
    const auto cpuMs = [] {
        timespec now{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return double(now.tv_sec) * 1000.0 + double(now.tv_nsec) / 1e6;
    };
    const auto writeAll = [&](qsizetype count) {
        const double start = cpuMs();
        factory->beginUnit();
        // As "Rückgängig" opens its unit: the articles' stamps under the lock, which reads them.
        QStringList articles = articleOf.mid(0, count);
        articles.removeDuplicates();
        factory->articleStamps(key, articles);
        for (qsizetype i = 0; i < count; ++i) {
            cacheapi::ServerObjectPtr entry = factory->openId(QStringLiteral("UpdateVelka.Hauptlief"), ids.at(i));
            entry->setProperty(QStringLiteral("aendsw"), 1);
            entry->call(QStringLiteral("sys_Save"));
        }
        factory->commitUnit();
        return cpuMs() - start + 1.0;
    };
    const double quarter = writeAll(25000);
    const double whole = writeAll(100000);
    EXPECT_LT(whole / quarter, 8.0) << quarter << " ms for 25,000 entries, " << whole << " ms for 100,000";
    factory->disconnect();
}

// Speichern empties a list; its tables' pages stay, full of dead rows, and analysed then they count
// as empty however many changes follow. The list's rows are still found by their keys: an entry of
// a take-all's part costs a lookup, not a pass over the list's every change.
TEST_P(ServerTest, ALargeListsRowsAreLookedUpByKeyWhenTheStatisticsCountNone) {
    if (sqlite())
        GTEST_SKIP() << "SQLite keeps no statistics of its own";
    korvextest::PgCluster &pg = cluster();
    DbTarget target;
    target.backend = Backend::Postgres;
    target.host = pg.host();
    target.port = pg.port();
    DbContent content;
    content.benchmarkArticles = 10000;
    ASSERT_NO_THROW(CreateDatabase(target, content, true));
    cacheapi::FactoryPtr factory = clerk();
    const QString key = listKey(*factory, QString::number(kBenchmarkRun));
    const QString fill =
        QStringLiteral("UPDATE artliste SET version = version + 1 WHERE id = %1;"
                       " INSERT INTO liste_aend (liste, artlief, artikel, hlief, aendsw, aend_pers, aend_zeit)"
                       " SELECT l.id, al.id, al.artikel, 'N', 0, 'DEMO', 'x' FROM artliste l"
                       " JOIN upd_artikel u ON u.run = l.run JOIN artlief al ON al.artikel = u.artikel WHERE l.id = %1;"
                       " INSERT INTO liste_haupt SELECT l.id, u.artikel, u.velka_lief FROM artliste l"
                       " JOIN upd_artikel u ON u.run = l.run WHERE l.id = %1")
            .arg(key);
    rawSql(QStringLiteral("ALTER TABLE liste_aend SET (autovacuum_enabled = false);"
                          " ALTER TABLE liste_haupt SET (autovacuum_enabled = false)"));
    rawSql(fill);
    rawSql(QStringLiteral("UPDATE artliste SET version = version + 1 WHERE id = %1; DELETE FROM liste_aend;"
                          " DELETE FROM liste_haupt")
               .arg(key));
    rawSql(QStringLiteral("ANALYZE liste_aend; ANALYZE liste_haupt"));
    rawSql(fill);
    ASSERT_EQ(rawSql(QStringLiteral("SELECT string_agg(DISTINCT (reltuples = 0 AND relpages > 0)::text, ',')"
                                    " FROM pg_class WHERE relname IN ('liste_aend', 'liste_haupt')")),
              QStringLiteral("true"));

    // A part as a take-all reads it (500 articles by number), with the list's joins as the server's
    // statements make them (and the import's question whether an article has changes).
    const QString part = QStringLiteral("u.artnr = ANY (CAST('{%1}' AS text[]))")
                             .arg(rawSql(QStringLiteral("SELECT string_agg(artnr, ',') FROM (SELECT artnr FROM"
                                                        " upd_artikel WHERE run = (SELECT run FROM artliste WHERE id = %1)"
                                                        " ORDER BY artnr OFFSET 3000 LIMIT 500) s")
                                             .arg(key)));
    const QString sql = QStringLiteral("SELECT count(o.hlief), count(h.haupt_lief) FROM artliste l"
                                       " JOIN upd_artikel u ON u.run = l.run%1"
                                       " JOIN artlief al ON al.artikel = u.artikel%2 WHERE l.id = %3 AND %4"
                                       " AND (%5 OR h.liste IS NOT NULL)")
                            .arg(lists::MainSupplierJoin(Backend::Postgres, QStringLiteral("l.id"),
                                                         QStringLiteral("u.artikel"), "h"),
                                 lists::ChangeJoin(Backend::Postgres, QStringLiteral("l.id"), QStringLiteral("al.id")),
                                 key, part,
                                 lists::ArticleHasChange(Backend::Postgres, QStringLiteral("l.id"),
                                                         QStringLiteral("u.artikel")));
    const int entries = rawSql(sql).section(QLatin1Char('|'), 0, 0).toInt();
    ASSERT_GT(entries, 2000);
    // The rows a plan handled in the list's tables: at most twice the part's entries.
    const auto handled = [&](const QString &statement) {
        const QJsonDocument plan =
            QJsonDocument::fromJson(rawSql(QStringLiteral("EXPLAIN (ANALYZE, FORMAT JSON) ") + statement).toUtf8());
        EXPECT_TRUE(plan.isArray()) << statement.left(200).toStdString();
        return listTableRows(plan.array().at(0).toObject().value(QLatin1String("Plan")).toObject());
    };
    EXPECT_LE(handled(sql), 2.0 * entries) << "the part's read, " << entries << " entries";
    // "Rückgängig" writing the part's entries back with mark 0 ("no change"): the mark is set again
    // where the master data say otherwise.
    std::set<qint64> articles;
    for (const QString &id : rawSql(QStringLiteral("SELECT u.artikel FROM artliste l JOIN upd_artikel u ON u.run = l.run"
                                                   " WHERE l.id = %1 AND %2")
                                        .arg(key, part))
                                 .split(QLatin1Char('\n')))
        articles.insert(id.toLongLong());
    ASSERT_EQ(articles.size(), 500u);
    const SqlConnection::Statement mark = lists::MarkMovedEntries(Backend::Postgres, key.toLongLong(), articles);
    QString markSql = mark.first;
    for (const QVariant &value : mark.second)
        markSql.replace(markSql.indexOf(QLatin1Char('?')), 1, QStringLiteral("'%1'").arg(value.toString()));
    // Run once per unit and list, it may pass over the list's changes once, but not once per article.
    const int changes = rawSql(QStringLiteral("SELECT count(*) FROM liste_aend")).toInt();
    EXPECT_LE(handled(markSql), 2.0 * changes) << "the marks of the part, " << changes << " changes in the list";
    EXPECT_EQ(rawSql(QStringLiteral("SELECT count(*) FROM liste_aend WHERE aendsw = 1")).toInt(), 500)
        << "one entry per article differs from the master data: its main supplier";
}
