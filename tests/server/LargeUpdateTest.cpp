// An update of the benchmark size on the embedded database: every article arrives, and the article
// with the most suppliers takes a main-supplier change. (How fast is the benchmarks' business.)

#include "ServerFixture.h"

#include "TestEnv.h"

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
    factory->disconnect();
}
