// An update of the benchmark size on the embedded database: every article arrives, and the article
// with the most suppliers takes a main-supplier change. (How fast is the benchmarks' business.)

#include "ServerFixture.h"

#include "TestEnv.h"

#include <QSqlDatabase>
#include <QSqlQuery>

#include <ctime>

using namespace kxserver;

TEST(LargeUpdate, AHundredThousandArticlesLoadWholeAndTakeAChange) {
    const QString file = korvextest::TempDir() + QStringLiteral("/large.db");
    const int articles = 100000;
    ASSERT_TRUE(CreateDemoDatabase(file, articles).isEmpty());
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
