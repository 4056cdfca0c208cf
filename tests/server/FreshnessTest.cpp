// Two clerks on one list: the cheap "changed since?" question of the factory.

#include "server/lists/ArticleStamp.h"
#include "ServerFixture.h"
#include "server/db/SqlConnection.h"
#include "server/exchange/Importer.h"
#include "PgCluster.h"

#include <QCryptographicHash>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <limits>

using namespace kxserver;

namespace {

// The stamp the supplier list's query gives after its last row, and before it.
struct QueryStamp {
    QString before;
    QString after;
};

QueryStamp queryStamp(cacheapi::Factory &factory, const QString &key, const QString &artnr) {
    cacheapi::QueryCursorPtr cursor = factory.openQuery(QStringLiteral("UpdateVelka.Hauptlief"), "ArtikelLief");
    cursor->execute({key, artnr});
    QueryStamp stamp;
    if (cursor->next())
        stamp.before = cursor->stamp();
    while (cursor->next()) {
    }
    stamp.after = cursor->stamp();
    cursor->close();
    return stamp;
}

QString mainOf(const QVariantList &articleRow) {
    return articleRow.value(3).toString();
}

} // namespace

// A stamp is the SHA-1 of the entries' lines "id|laktiv|hlief" in UTF-8, whatever their characters.
TEST(ArticleStampTest, DigestOfTheEntriesLinesInUtf8) {
    const QString entries[][3] = {{"1||17", "J", "N"}, {QString::fromUtf16(u"2||ä😀"), "N", "J"}, {"", "", ""}};
    ArticleStamp stamp;
    QCryptographicHash expected(QCryptographicHash::Sha1);
    for (const auto &entry : entries) {
        stamp.add(entry[0], entry[1], entry[2]);
        expected.addData((entry[0] + '|' + entry[1] + '|' + entry[2] + '\n').toUtf8());
    }
    EXPECT_EQ(stamp.result(), QString::fromLatin1(expected.result().toHex()));
    // An id given as a number adds the line of its text.
    for (const qint64 id : {qint64(0), qint64(-17), std::numeric_limits<qint64>::min(), qint64(1234567890123)}) {
        ArticleStamp asNumber;
        ArticleStamp asText;
        asNumber.add(id, "J", "N");
        asText.add(QString::number(id), "J", "N");
        EXPECT_EQ(asNumber.result(), asText.result()) << id;
    }
}

TEST_P(ServerTest, AnArticlesStampChangesWithEveryAcceptedWriteAtAnyWorkstation) {
    cacheapi::FactoryPtr mine = clerk(QStringLiteral("DEMO"));
    cacheapi::FactoryPtr other = clerk(QStringLiteral("KOLLEGE"));
    const QString key = listKey(*mine, "2");
    const QString article = QStringLiteral("100001");

    const QueryStamp shown = queryStamp(*mine, key, article);
    EXPECT_TRUE(shown.before.isEmpty()) << "a stamp only covers every row";
    ASSERT_FALSE(shown.after.isEmpty());
    EXPECT_EQ(mine->articleStamp(key, article), shown.after);
    EXPECT_EQ(other->articleStamp(key, article), shown.after) << "the same for every workstation";

    // Each step at the other workstation, and whether this workstation's screen is stale afterwards.
    struct Step {
        const char *what;
        std::function<void()> run;
        bool changes;
    };
    const QString id70012 = entryId(*other, key, article, 70012);
    const std::vector<Step> steps{
        {"a read", [&] { suppliers(*other, key, article); }, false},
        {"another article", [&] { makeMain(*other, key, "100002", 70012); }, false},
        {"an Aktiv switch",
         [&] {
             writeEntry(*other, id70012, {{"laktiv", "N"}, {"aendsw", 1}});
         },
         true},
        {"the same value again",
         [&] {
             writeEntry(*other, id70012, {{"laktiv", "N"}, {"aendsw", 1}});
         },
         false},
        {"a refused change",
         [&] {
             // Two main suppliers: the server refuses the unit whole.
             ExpectServerError(kRejected, [&] {
                 other->beginUnit();
                 try {
                     writeEntry(*other, entryId(*other, key, article, 70015), {{"hlief", "J"}, {"aendsw", 1}});
                     other->commitUnit();
                 } catch (...) {
                     other->rollbackUnit();
                     throw;
                 }
             });
         },
         false},
        {"a main-supplier change", [&] { makeMain(*other, key, article, 70015); }, true},
        {"Speichern, which shows the same flags from the master data", [&] { speichern(*other, key); }, false},
        {"a change written in another update's list", [&] { makeMain(*other, listKey(*other, "3"), article, 70001); },
         false},
        {"... and saved into the master data this list shows", [&] { speichern(*other, listKey(*other, "3")); }, true},
    };
    QString last = shown.after;
    for (const Step &step : steps) {
        step.run();
        const QString now = mine->articleStamp(key, article);
        EXPECT_EQ(now != last, step.changes) << step.what;
        EXPECT_EQ(queryStamp(*mine, key, article).after, now) << step.what;
        last = now;
    }

    // The writer knows the stamp its accepted write left, without asking again; only for what it wrote.
    writeEntry(*other, id70012, {{"laktiv", "J"}, {"aendsw", 1}});
    EXPECT_EQ(other->stampAfterWrite(key, article), mine->articleStamp(key, article));
    EXPECT_NE(other->stampAfterWrite(key, article), last);
    EXPECT_TRUE(other->stampAfterWrite(key, "100002").isEmpty());
    EXPECT_TRUE(mine->stampAfterWrite(key, article).isEmpty());
    steps[4].run(); // refused: nothing written, nothing known
    EXPECT_TRUE(other->stampAfterWrite(key, article).isEmpty());

    // Taking proposals leaves its articles' stamps known too, as "Rückgängig" needs them.
    cacheapi::ServerObjectPtr list = other->newInstance(QStringLiteral("UpdateVelka.Hauptlief"));
    QVariantList take{key, article};
    list->call(QStringLiteral("VorschlaegeUebernehmen"), take);
    EXPECT_EQ(other->stampAfterWrite(key, article), mine->articleStamp(key, article));
    // So do they when the unit takes them by its own read of the proposals under the list's lock,
    // reading nothing again (the article differs once more without the list's main supplier).
    rawSql("DELETE FROM liste_haupt WHERE liste = " + key);
    other->beginUnit();
    cacheapi::QueryCursorPtr proposals = other->openQuery("UpdateVelka.Hauptlief", "Vorschlaege");
    proposals->execute({key});
    int proposalRows = 0;
    while (proposals->next())
        ++proposalRows;
    EXPECT_GT(proposalRows, 0);
    const quint64 rowsBefore = kxserver::RowsRead();
    list->call(QStringLiteral("VorschlaegeUebernehmen"), take);
    EXPECT_EQ(kxserver::RowsRead(), rowsBefore);
    other->commitUnit();
    EXPECT_EQ(other->stampAfterWrite(key, article), mine->articleStamp(key, article));
    // Several articles in one request inside a unit, each as asked alone, the lock going with it.
    const QStringList asked{article, QStringLiteral("100002"), QStringLiteral("0")};
    mine->beginUnit();
    const quint64 trips = kxserver::RoundTrips();
    const QStringList stamps = mine->articleStamps(key, asked);
    EXPECT_EQ(kxserver::RoundTrips() - trips, 1u);
    mine->rollbackUnit();
    ASSERT_EQ(stamps.size(), asked.size());
    for (qsizetype i = 0; i < asked.size(); ++i)
        EXPECT_EQ(stamps[i], mine->articleStamp(key, asked[i])) << asked[i].toStdString();

    // Nothing to compare is no error: an unknown list or article has the stamp of no entries.
    EXPECT_EQ(mine->articleStamp(QStringLiteral("999"), article), mine->articleStamp(key, QStringLiteral("0")));
    EXPECT_EQ(mine->articleStamp(QStringLiteral("x'; --"), article), mine->articleStamp(key, QStringLiteral("0")));
    // Other queries have no stamp.
    cacheapi::QueryCursorPtr articles = mine->openQuery(QStringLiteral("UpdateVelka.Hauptlief"), "Artikel");
    articles->execute({key});
    while (articles->next()) {
    }
    EXPECT_TRUE(articles->stamp().isEmpty());
    articles.reset();
    mine->disconnect();
    ExpectServerError(kNotConnected, [&] { mine->articleStamp(key, article); });
}

TEST_P(ServerTest, AClickCostsAFewRoundTripsWhateverTheNumberOfSuppliers) {
    cacheapi::FactoryPtr factory = clerk();
    const QString key = listKey(*factory, "2");
    const QString cls = QStringLiteral("UpdateVelka.Hauptlief");
    // The window's click: the freshness question opens the unit, then the writes, then the commit.
    const auto click = [&](const QString &artnr, const std::function<void(const QList<QVariantList> &)> &writes) {
        const QList<QVariantList> list = suppliers(*factory, key, artnr);
        const quint64 before = kxserver::RoundTrips();
        factory->beginUnit();
        EXPECT_FALSE(factory->articleStamp(key, artnr).isEmpty());
        writes(list);
        factory->commitUnit();
        return kxserver::RoundTrips() - before;
    };
    const auto makeMain = [&](int which) {
        return [&, which](const QList<QVariantList> &list) {
            for (int i = 0; i < list.size(); ++i) {
                cacheapi::ServerObjectPtr entry = factory->openId(cls, list[i][0].toString());
                entry->setProperty("aendsw", 1);
                entry->setProperty("hlief", i == which % list.size() ? "J" : "N");
                entry->call("sys_Save");
                entry->call("SYS_Close");
            }
        };
    };
    const auto switchOn = [&](const QList<QVariantList> &list) {
        cacheapi::ServerObjectPtr entry = factory->openId(cls, list[1][0].toString()); // 70006, inactive
        entry->setProperty("laktiv", "J");
        entry->setProperty("aendsw", 1);
        entry->call("sys_Save");
        entry->call("SYS_Close");
    };
    struct Case {
        const char *what;
        std::function<quint64()> run;
        quint64 bound;
    };
    const std::vector<Case> cases{
        {"the connection check",
         [&] {
             const quint64 before = kxserver::RoundTrips();
             EXPECT_TRUE(factory->connected());
             return kxserver::RoundTrips() - before;
         },
         1},
        {"the connection check right after the click's locked read",
         [&] {
             // Answered by that read on PostgreSQL, where one more request would wait under the lock.
             factory->beginUnit();
             EXPECT_FALSE(factory->articleStamp(key, "100001").isEmpty());
             const quint64 before = kxserver::RoundTrips();
             EXPECT_TRUE(factory->connected());
             const quint64 trips = kxserver::RoundTrips() - before;
             factory->rollbackUnit();
             return trips;
         },
         GetParam() == Backend::Postgres ? 0u : 1u},
        {"the supplier list",
         [&] {
             // Its first read on a connection prepares the statement there: one request more, once.
             suppliers(*factory, key, "100002");
             const quint64 before = kxserver::RoundTrips();
             EXPECT_EQ(suppliers(*factory, key, "100001").size(), 4);
             return kxserver::RoundTrips() - before;
         },
         1},
        {"a main-supplier change of 4 suppliers", [&] { return click("100001", makeMain(3)); }, 3},
        {"a main-supplier change of 2 suppliers", [&] { return click("100002", makeMain(1)); }, 3},
        {"an Aktiv switch", [&] { return click("100001", switchOn); }, 2},
    };
    for (const Case &c : cases)
        EXPECT_LE(c.run(), c.bound) << c.what;
    // And every write arrived: 100001's main supplier is its fourth, the second is active.
    const QList<QVariantList> after = suppliers(*factory, key, "100001");
    EXPECT_EQ(mainOf(article(*factory, key, "100001")), after[3][1].toString());
    EXPECT_EQ(after[1][5].toString(), "J");
    EXPECT_EQ(mainOf(article(*factory, key, "100002")), suppliers(*factory, key, "100002")[1][1].toString());
}

TEST_P(ServerTest, AWatcherLearnsWhichArticlesAnotherWorkstationChanged) {
    cacheapi::FactoryPtr mine = clerk(QStringLiteral("DEMO"));
    cacheapi::FactoryPtr other = clerk(QStringLiteral("KOLLEGE"));
    const QString key = listKey(*mine, "2");
    const QString key3 = listKey(*other, "3");
    QVariantMap since; // what this workstation has seen: kept across its connections
    EXPECT_TRUE(mine->takeChanges(key, since).isEmpty()) << "the first look only starts watching";
    // Waits for the next non-empty answer, the event loop running (PostgreSQL's notifications).
    // A look reads what came since the last one, not the list's changes: one row of its own and one
    // per article it names, that article's row of the list with it.
    const auto nextChanges = [&] {
        cacheapi::ChangedArticles got;
        int looks = 0;
        const quint64 rowsBefore = kxserver::RowsRead();
        const bool arrived = QTest::qWaitFor(
            [&] {
                ++looks;
                got = mine->takeChangedArticles(key, since);
                return !got.articles.isEmpty();
            },
            3000);
        EXPECT_TRUE(arrived) << "no change reported within 3 s";
        EXPECT_LE(kxserver::RowsRead() - rowsBefore, quint64(looks + got.articles.size()))
            << got.articles.join(' ').toStdString();
        // The rows brought along are the list's own; every other article named is left to be read.
        QStringList read;
        for (const QVariantList &row : std::as_const(got.rows))
            read << row.value(1).toString();
        EXPECT_EQ(got.rows, rows(*mine, QStringLiteral("ArtikelZeilen"), {key, read.join('\n')}));
        QStringList covered = read + got.unread;
        covered.sort();
        QStringList changes = got.articles;
        changes.sort();
        EXPECT_EQ(covered, changes);
        return changes;
    };
    struct Step {
        const char *what;
        std::function<void()> run;
        QStringList changes;
    };
    // The admin's import of a new price for 100002's pair with 70012 (1000 Stk, active), under the
    // admin's own login: the master data changes, the list hears of it from TellPriceNews.
    QTemporaryDir files;
    const auto importPrice = [&](const char *price) {
        const QString path = files.filePath(QStringLiteral("artlief.csv"));
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(QByteArray("Artikel-Nr;Lieferant-Nr;EK-Netto;per;Aktiv\n100002;70012;") + price + ";1000 Stk;J\n");
        file.close();
        const QByteArray login = qgetenv("PGUSER");
        if (!sqlite())
            ::setenv("PGUSER", cluster().user().toUtf8().constData(), 1);
        kxexchange::ImportRequest request;
        request.files.push_back({QStringLiteral("artlief"), path});
        const kxexchange::ImportReport report = kxexchange::Import(*ParseConnectString(connectString()), request);
        if (!sqlite())
            ::setenv("PGUSER", login.constData(), 1);
        ASSERT_TRUE(report.ok) << report.errors.join('\n').toStdString();
    };
    const std::vector<Step> steps{
        {"a proposal taken",
         [&] {
             QVariantList take{key, QStringLiteral("100001")};
             other->newInstance(QStringLiteral("UpdateVelka.Hauptlief"))
                 ->call(QStringLiteral("VorschlaegeUebernehmen"), take);
         },
         {"100001"}},
        {"a main-supplier change", [&] { makeMain(*other, key, "100001", 70015); }, {"100001"}},
        {"an Aktiv switch of another article",
         [&] {
             writeEntry(*other, entryId(*other, key, "100002", 70012), {{"laktiv", "N"}, {"aendsw", 1}});
         },
         {"100002"}},
        {"Speichern, which moves both into the master data", [&] { speichern(*other, key); }, {"100001", "100002"}},
        // Between two looks: the list's own changes end as they began, the save log tells.
        {"a change and its Speichern",
         [&] {
             writeEntry(*other, entryId(*other, key, "100005", 70010), {{"laktiv", "N"}, {"aendsw", 1}});
             speichern(*other, key);
         },
         {"100005"}},
        // While this workstation was disconnected (the idle disconnect, a restart): the look on the
        // new connection shows what happened meanwhile.
        {"a change while disconnected",
         [&] {
             mine->disconnect();
             writeEntry(*other, entryId(*other, key, "100004", 70012), {{"laktiv", "N"}, {"aendsw", 1}});
             ASSERT_TRUE(mine->connectTo(connectString()));
             session(*mine);
         },
         {"100004"}},
        // Taken back to its saved state and saved between two looks: the save logs nothing, and the
        // list's changes are gone.
        {"an undo and a Speichern",
         [&] {
             writeEntry(*other, entryId(*other, key, "100004", 70012), {{"laktiv", "J"}, {"aendsw", 0}});
             EXPECT_EQ(speichern(*other, key), 0);
         },
         {"100004"}},
        // An import's new price of a pair: the article's rows are news as after a save.
        {"an import's new price", [&] { importPrice("1300,00"); }, {"100002"}},
    };
    for (const Step &step : steps) {
        step.run();
        QStringList changes = nextChanges();
        changes.sort();
        EXPECT_EQ(changes, step.changes) << step.what;
        EXPECT_TRUE(mine->takeChanges(key, since).isEmpty()) << step.what << ": told once";
    }
    // Another list's change is no news here, nor is an unknown list. (This workstation's own change
    // may come along with the next news of others: a refresh of it shows what the screen shows.)
    makeMain(*other, key3, "100001", 70012);
    EXPECT_TRUE(mine->takeChanges(key, since).isEmpty());
    makeMain(*mine, key, "100001", 70001);
    writeEntry(*other, entryId(*other, key, "100002", 70012), {{"laktiv", "J"}, {"aendsw", 1}});
    EXPECT_TRUE(nextChanges().contains("100002"));
    EXPECT_TRUE(mine->takeChanges(QStringLiteral("999"), since).isEmpty());
    EXPECT_TRUE(mine->takeChanges(QStringLiteral("x"), since).isEmpty());
    mine->disconnect();
    EXPECT_TRUE(mine->takeChanges(key, since).isEmpty()) << "never connects";
}
