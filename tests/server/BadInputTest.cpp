// Inputs the fuzz targets turned up, kept as plain tests next to the server's other checks.

#include "ServerFixture.h"
#include "SqlConnection.h"

#include "CacheApi.h"

using namespace kxserver;

TEST(BadInput, AServerWithANulCharacterIsNoConnectionTarget) {
    // Qt's file functions answer such a name with an empty path, which would have reached SQLite.
    const QString server = QStringLiteral("/tmp/korvex") + QChar(QChar::Null) + QStringLiteral("x.sqlite");
    EXPECT_FALSE(ParseConnectString(cacheapi::BuildConnectString(server, QStringLiteral("1972"))));
    EXPECT_FALSE(ParseConnectString(cacheapi::BuildConnectString(QString(QChar(QChar::Null)), QStringLiteral("5432"))));
    EXPECT_TRUE(ParseConnectString(cacheapi::BuildConnectString(QStringLiteral("/tmp/korvex.sqlite"), "1972")));
}

TEST_P(ServerTest, XecuteTakesCompanyAndBranchWithTheSignTheSessionSends) {
    // The session passes "+5" on as a whole number; the server reads it as 5, not as a foreign command.
    cacheapi::FactoryPtr factory = connect();
    cacheapi::ServerObjectPtr windows = factory->newInstance("KX.Windows");
    QVariantList args{cacheapi::SessionCommand(QStringLiteral("+2"), QStringLiteral("+0"), QStringLiteral("DEMO"))};
    EXPECT_NO_THROW(windows->call("Xecute", args));
    ASSERT_EQ(rows(*factory, "Updates").size(), 1) << "company 2's runs only";
    // The window then names the company as it was given.
    EXPECT_EQ(artListe(*factory, "1", "+2"), artListe(*factory, "1", "2"));
    EXPECT_EQ(artListe(*factory, "+1", "2"), artListe(*factory, "1", "2"));
    for (const char *bad : {"S FIRMA=+-2,FIL=0,PERSONAL=\"DEMO\"", "S FIRMA=++2,FIL=0,PERSONAL=\"DEMO\"",
                            "S FIRMA=+,FIL=0,PERSONAL=\"DEMO\"", "S FIRMA=1,FIL=0,PERSONAL=\"DEMO\"\n"}) {
        QVariantList command{QString::fromLatin1(bad)};
        ExpectServerError(kBadCommand, [&] { windows->call("Xecute", command); });
    }
}
