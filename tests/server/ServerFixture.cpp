#include "ServerFixture.h"

#include "PgCluster.h"
#include "TestEnv.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QUuid>

#include <vector>

using cacheapi::Factory;
using cacheapi::FactoryPtr;
using kxserver::Backend;

namespace {

// Owns the cluster of the PostgreSQL run: started by the first test that needs it, stopped once
// after the last test of the executable.
class PgEnvironment : public ::testing::Environment {
public:
    korvextest::PgCluster &cluster() {
        if (!m_cluster) {
            m_cluster = std::make_unique<korvextest::PgCluster>();
            m_started = m_cluster->start();
            if (m_started)
                m_cluster->setClientEnvironment();
        }
        return *m_cluster;
    }
    bool started() const { return m_started; }
    void TearDown() override { m_cluster.reset(); }

private:
    std::unique_ptr<korvextest::PgCluster> m_cluster;
    bool m_started = false;
};

PgEnvironment *gPg = static_cast<PgEnvironment *>(::testing::AddGlobalTestEnvironment(new PgEnvironment));

} // namespace

korvextest::PgCluster &ServerTest::cluster() {
    return gPg->cluster();
}

void ServerTest::SetUp() {
    if (sqlite()) {
        m_file =
            korvextest::TempDir() + QStringLiteral("/server-%1.db").arg(QUuid::createUuid().toString(QUuid::Id128));
        ASSERT_NO_THROW(kxserver::CreateDemoDatabase(m_file));
        return;
    }
    korvextest::PgCluster &pg = cluster();
    // A PostgreSQL that cannot start is a failure of the suite, never a quiet skip.
    ASSERT_TRUE(gPg->started()) << "PostgreSQL cluster did not start: " << pg.error().toStdString();
    if (!pg.running()) {
        ASSERT_TRUE(pg.startServer()) << pg.error().toStdString();
    }
    kxserver::DbTarget target;
    target.backend = Backend::Postgres;
    target.host = pg.host();
    target.port = pg.port();
    kxserver::DbContent content;
    content.demo = true;
    ::setenv("PGUSER", pg.user().toUtf8().constData(), 1); // the admin makes the database
    ASSERT_NO_THROW(kxserver::CreateDatabase(target, content, true));
    // KORVEX_TEST_PG_LOGIN=NAME runs the program's side of the tests under a clerk's login, mapped to
    // every personnel code, so that the database's rules for clerks meet every step the tests take.
    const QByteArray login = qgetenv("KORVEX_TEST_PG_LOGIN");
    if (!login.isEmpty()) {
        rawSql(QStringLiteral("DO $d$ BEGIN IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = '%1') THEN"
                              " CREATE ROLE %1 LOGIN IN ROLE korvex_clerks; END IF; END $d$;"
                              " INSERT INTO zugang SELECT '%1', firma, code FROM pers_edv ON CONFLICT DO NOTHING")
                   .arg(QString::fromUtf8(login)));
        ::setenv("PGUSER", login.constData(), 1);
    }
}

QString ServerTest::rawSql(const QString &sql) const {
    if (!sqlite()) {
        QString out;
        EXPECT_TRUE(cluster().psql(sql, QStringLiteral("korvex"), &out)) << cluster().error().toStdString();
        return out.trimmed();
    }
    QStringList values;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("raw-sql"));
        db.setDatabaseName(m_file);
        EXPECT_TRUE(db.open());
        QSqlQuery query(db);
        EXPECT_TRUE(query.exec(sql)) << sql.toStdString();
        while (query.next())
            values << query.value(0).toString();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("raw-sql"));
    return values.join(QLatin1Char('\n'));
}

QString ServerTest::connectString() const {
    return sqlite() ? kxserver::SqliteConnectString(m_file) : cluster().connectString();
}

FactoryPtr ServerTest::connect() const {
    FactoryPtr factory = MakeSqlFactory();
    EXPECT_TRUE(factory->connectTo(connectString()));
    EXPECT_TRUE(factory->connected());
    return factory;
}

void ServerTest::session(Factory &factory, int firma, const QString &personal) {
    cacheapi::ServerObjectPtr windows = factory.newInstance(QStringLiteral("KX.Windows"));
    QString code = personal;
    code.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    QVariantList args{QStringLiteral("S FIRMA=%1,FIL=0,PERSONAL=\"%2\"").arg(firma).arg(code)};
    windows->call(QStringLiteral("Xecute"), args);
    windows->call(QStringLiteral("SYS_Close"));
}

FactoryPtr ServerTest::clerk(const QString &personal) const {
    FactoryPtr factory = connect();
    session(*factory, 1, personal);
    return factory;
}

QList<QVariantList> ServerTest::rows(Factory &factory, const QString &query, const QVariantList &params) {
    cacheapi::QueryCursorPtr cursor = factory.openQuery(QStringLiteral("UpdateVelka.Hauptlief"), query);
    cursor->execute(params);
    int columns = 6;
    if (query == QLatin1String("Updates"))
        columns = 4;
    else if (query == QLatin1String("VorschlagsArtikel"))
        columns = 2;
    else if (query.startsWith(QLatin1String("Artikel")) && query != QLatin1String("ArtikelLief"))
        columns = 5;
    QList<QVariantList> result;
    while (cursor->next()) {
        QVariantList row;
        for (int column = 1; column <= columns; ++column)
            row << cursor->column(column);
        // The row's texts in one call are its values written as text, a null value empty; a part of
        // the row too.
        std::vector<QString> texts(static_cast<size_t>(columns)), tail(static_cast<size_t>(columns - 1));
        cursor->columnTexts(1, texts);
        cursor->columnTexts(2, tail);
        for (int column = 0; column < columns; ++column) {
            const QString text = row.at(column).isNull() ? QString() : row.at(column).toString();
            EXPECT_EQ(texts.at(size_t(column)), text) << query.toStdString() << " column " << column + 1;
            if (column > 0) {
                EXPECT_EQ(tail.at(size_t(column - 1)), text) << query.toStdString() << " column " << column + 1;
            }
        }
        result << row;
    }
    cursor->close();
    return result;
}

QString ServerTest::artListe(Factory &factory, const QString &update, const QString &firma) {
    cacheapi::ServerObjectPtr list = factory.newInstance(QStringLiteral("UpdateVelka.Hauptlief"));
    QVariantList args{firma, update};
    return list->call(QStringLiteral("ArtListe"), args).toString();
}

QString ServerTest::listKey(Factory &factory, const QString &update) {
    return artListe(factory, update).section(QLatin1Char('|'), 0, 0);
}

QVariantList ServerTest::article(Factory &factory, const QString &key, const QString &artnr) {
    for (const QVariantList &row : rows(factory, QStringLiteral("Artikel"), {key}))
        if (row.at(1).toString() == artnr)
            return row;
    ADD_FAILURE() << "article " << artnr.toStdString() << " not in list " << key.toStdString();
    return {};
}

QList<QVariantList> ServerTest::suppliers(Factory &factory, const QString &key, const QString &artnr) {
    return rows(factory, QStringLiteral("ArtikelLief"), {key, artnr});
}

QString ServerTest::entryId(Factory &factory, const QString &key, const QString &artnr, int liefnr) {
    for (const QVariantList &row : suppliers(factory, key, artnr))
        if (row.at(1).toString().startsWith(QString::number(liefnr) + QLatin1Char(' ')))
            return row.at(0).toString();
    ADD_FAILURE() << "supplier " << liefnr << " not found for " << artnr.toStdString();
    return {};
}

void ServerTest::writeEntry(Factory &factory, const QString &id, const QVariantMap &members) {
    cacheapi::ServerObjectPtr entry = factory.openId(QStringLiteral("UpdateVelka.Hauptlief"), id);
    for (auto it = members.begin(); it != members.end(); ++it)
        entry->setProperty(it.key(), it.value());
    entry->call(QStringLiteral("sys_Save"));
    entry->call(QStringLiteral("SYS_Close"));
}

void ServerTest::makeMain(Factory &factory, const QString &key, const QString &artnr, int liefnr) {
    const QList<QVariantList> list = suppliers(factory, key, artnr);
    factory.beginUnit();
    try {
        for (const QVariantList &row : list) {
            const bool main = row.at(1).toString().startsWith(QString::number(liefnr) + QLatin1Char(' '));
            writeEntry(factory, row.at(0).toString(),
                       {{QStringLiteral("aendsw"), 1}, {QStringLiteral("hlief"), main ? "J" : "N"}});
        }
        factory.commitUnit();
    } catch (...) {
        factory.rollbackUnit();
        throw;
    }
}

int ServerTest::speichern(Factory &factory, const QString &key, const QString &firma) {
    cacheapi::ServerObjectPtr list = factory.newInstance(QStringLiteral("UpdateVelka.Hauptlief"));
    QVariantList args{firma, key};
    return list->call(QStringLiteral("Speichern"), args).toInt();
}

INSTANTIATE_TEST_SUITE_P(Backends, ServerTest, ::testing::Values(Backend::Sqlite, Backend::Postgres),
                         [](const ::testing::TestParamInfo<Backend> &info) {
                             return info.param == Backend::Sqlite ? std::string("SQLite") : std::string("PostgreSQL");
                         });
