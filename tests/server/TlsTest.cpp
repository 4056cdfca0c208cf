// Transport: the program's connection and korvex-db's take libpq's TLS settings (PGSSLMODE,
// PGSSLROOTCERT, the service file) as they stand, and nothing of theirs weakens them.

#include "session/CacheApi.h"
#include "FakeDesktop.h"
#include "FakeLoginForms.h"
#include "server/admin/KorvexDb.h"
#include "session/ServerError.h"
#include "PgCluster.h"
#include "server/classes/SqlFactory.h"
#include "TestEnv.h"

#include <QDir>
#include <QFile>

#include <cstdlib>
#include <memory>

#include <gtest/gtest.h>

namespace {

const char *const kTlsVariables[] = {"PGSSLMODE", "PGSSLROOTCERT", "PGSERVICE", "PGSERVICEFILE"};

class TlsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_cluster = std::make_unique<korvextest::PgCluster>(korvextest::PgCluster::Transport::Tls);
        s_started = s_cluster->start();
        if (!s_started)
            return;
        s_cluster->setClientEnvironment();
        s_wrongCa = QDir(korvextest::TempDir()).filePath(QStringLiteral("fremd.crt"));
        s_started =
            korvextest::PgCluster::MakeCertificateAuthority(korvextest::TempDir(), QStringLiteral("fremd"), &s_error);
    }
    static void TearDownTestSuite() { s_cluster.reset(); }

    void SetUp() override {
        ASSERT_TRUE(s_started) << "PostgreSQL with TLS did not start: " << s_cluster->error().toStdString()
                               << s_error.toStdString();
    }
    void TearDown() override {
        // The other suites of this program dial the plain cluster with libpq's defaults.
        for (const char *name : kTlsVariables)
            ::unsetenv(name);
        cacheapi::ResetSession();
        cacheapi::gDesktop = nullptr;
        cacheapi::gForms = nullptr;
        cacheapi::gFactoryMaker = {};
    }

    static kxserver::DbTarget target() {
        kxserver::DbTarget t;
        t.backend = kxserver::Backend::Postgres;
        t.host = s_cluster->host();
        t.port = s_cluster->port();
        return t;
    }

    // verify-full against `ca`, through the environment or through a service file.
    static void verifyFull(const QString &ca, bool serviceFile) {
        for (const char *name : kTlsVariables)
            ::unsetenv(name);
        if (!serviceFile) {
            ::setenv("PGSSLMODE", "verify-full", 1);
            ::setenv("PGSSLROOTCERT", QFile::encodeName(ca).constData(), 1);
            return;
        }
        const QString file = QDir(korvextest::TempDir()).filePath(QStringLiteral("pg_service.conf"));
        QFile service(file);
        ASSERT_TRUE(service.open(QIODevice::WriteOnly | QIODevice::Truncate));
        service.write(QStringLiteral("[korvex]\nsslmode=verify-full\nsslrootcert=%1\n").arg(ca).toUtf8());
        service.close();
        ::setenv("PGSERVICEFILE", QFile::encodeName(file).constData(), 1);
        ::setenv("PGSERVICE", "korvex", 1);
    }

    static std::unique_ptr<korvextest::PgCluster> s_cluster;
    static bool s_started;
    static QString s_wrongCa;
    static QString s_error;
};

std::unique_ptr<korvextest::PgCluster> TlsTest::s_cluster;
bool TlsTest::s_started = false;
QString TlsTest::s_wrongCa;
QString TlsTest::s_error;

} // namespace

TEST_F(TlsTest, VerifyFullConnectsWithTheServersAuthorityOnlyForTheToolAndTheProgram) {
    kxserver::DbContent demo;
    demo.demo = true;
    // The tool first: it sets the database up over the verified connection, and refuses a server
    // whose certificate its root certificate does not vouch for.
    verifyFull(s_cluster->caFile(), false);
    ASSERT_NO_THROW(kxserver::CreateDatabase(target(), demo, true));

    const struct {
        bool serviceFile;
        bool rightCa;
    } cases[] = {{false, true}, {false, false}, {true, true}, {true, false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << (c.serviceFile ? "service file" : "environment") << ", "
                                        << (c.rightCa ? "the server's authority" : "another authority"));
        verifyFull(c.rightCa ? s_cluster->caFile() : s_wrongCa, c.serviceFile);
        cacheapi::FactoryPtr factory = MakeSqlFactory();
        EXPECT_EQ(factory->connectTo(s_cluster->connectString()), c.rightCa);
        EXPECT_EQ(factory->connected(), c.rightCa);
        QString toolError;
        try {
            kxserver::CreateDatabase(target(), demo, true);
        } catch (const cacheapi::ServerError &e) {
            toolError = e.description();
        }
        EXPECT_EQ(toolError.isEmpty(), c.rightCa) << toolError.toStdString();
    }

    // The server's own authority, but a certificate for another host: verify-full refuses it, as
    // every weaker mode (require, verify-ca) would not, whatever either connection set for itself.
    ASSERT_TRUE(s_cluster->issueServerCertificate(QStringLiteral("DNS:anderer-server.example")))
        << s_cluster->error().toStdString();
    const std::shared_ptr<void> restore(
        nullptr, [](void *) { s_cluster->issueServerCertificate(QStringLiteral("DNS:localhost,IP:127.0.0.1")); });
    verifyFull(s_cluster->caFile(), false);
    EXPECT_FALSE(MakeSqlFactory()->connectTo(s_cluster->connectString()));
    EXPECT_THROW(kxserver::CreateDatabase(target(), demo, true), cacheapi::ServerError);
    ::setenv("PGSSLMODE", "verify-ca", 1);
    EXPECT_TRUE(MakeSqlFactory()->connectTo(s_cluster->connectString())) << "the certificate itself is sound";
}

TEST_F(TlsTest, AServerTheRootCertificateDoesNotVouchForIsNotReachedInTheSession) {
    kxserver::DbContent demo;
    demo.demo = true;
    verifyFull(s_cluster->caFile(), false);
    ASSERT_NO_THROW(kxserver::CreateDatabase(target(), demo, true));

    FakeDesktop desktop;
    FakeLoginForms forms;
    cacheapi::ResetSession();
    cacheapi::gDesktop = &desktop;
    cacheapi::gForms = &forms;
    cacheapi::gFactoryMaker = MakeSqlFactory;
    cacheapi::gFirma = QStringLiteral("1");
    cacheapi::gFiliale = QStringLiteral("0");
    cacheapi::gUser = QStringLiteral("DEMO");
    cacheapi::gServer = s_cluster->host();
    cacheapi::gPort = QString::number(s_cluster->port());

    // Another authority: the connection is refused as a server that does not answer; while the
    // settings dialog is shown, the administrator puts the server's authority in place.
    verifyFull(s_wrongCa, false);
    forms.onServerModal = [](FakeLoginForms &) {
        ::setenv("PGSSLROOTCERT", QFile::encodeName(s_cluster->caFile()).constData(), 1);
    };
    cacheapi::ConnectServer();

    ASSERT_EQ(desktop.boxes.size(), 1);
    EXPECT_EQ(desktop.boxes[0].title, QStringLiteral("Anmeldung an Caché"));
    EXPECT_EQ(desktop.boxes[0].text, QStringLiteral("Server nicht erreicht! Bitte überprüfen Sie die "
                                                    "Verbindungseinstellungen\r\n\r\nNoch 2 Verbindungsversuche bis "
                                                    "zum Abbruch."));
    EXPECT_EQ(forms.serverModalShows, 1);
    ASSERT_TRUE(cacheapi::gFactory);
    EXPECT_TRUE(cacheapi::gFactory->connected());
    cacheapi::Disconnect();
}
