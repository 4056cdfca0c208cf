// The login against the stand-in server's demo database: the real classes, members and session
// command, not only the scripted double.

#include "session/CacheApi.h"
#include "FakeDesktop.h"
#include "FakeLoginForms.h"
#include "server/admin/KorvexDb.h"
#include "QtPrinters.h"
#include "server/classes/SqlFactory.h"
#include "TestEnv.h"
#include "server/admin/Upgrade.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QSqlDatabase>
#include <QSqlQuery>

#include <gtest/gtest.h>

using namespace cacheapi;
using Field = LoginForms::Field;

namespace {

const QString kRejectedText = QStringLiteral("Passwort Falsch oder Benutzer nicht Aktiv.");

QString databasePath() {
    return QDir(korvextest::TempDir()).filePath(QStringLiteral("login-demo.sqlite"));
}

class LoginServerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // The login only reads and sets session values: one demo database serves every test.
        ASSERT_NO_THROW(kxserver::CreateDemoDatabase(databasePath()));
    }

    void SetUp() override {
        ResetSession();
        QFile::remove(korvextest::SettingsFile());
        gDesktop = &desktop;
        gForms = &forms;
        gFactoryMaker = MakeSqlFactory;
    }

    void TearDown() override {
        Disconnect();
        ResetSession();
        gDesktop = nullptr;
        gForms = nullptr;
        gFactoryMaker = {};
        QFile::remove(korvextest::SettingsFile());
    }

    // Stored values of company 1, branch 0 that point at the demo file.
    static void storeLogin(const QString &code, const QString &password, const QString &firma = "1",
                           const QString &server = databasePath()) {
        QSettings file(korvextest::SettingsFile(), QSettings::IniFormat);
        file.setValue("Login/Firma", firma);
        file.setValue("Login/Filiale", "0");
        file.setValue("Login/Name", code);
        file.setValue("Login/Passwort", MaskPassword(password));
        file.setValue("Login/Server", server);
        file.setValue("Login/Port", "1972");
    }

    // The start-up repetition of the main window, bounded so that a loop shows up as a failure.
    static int loginUntilSuccess(int bound) {
        for (int attempt = 1; attempt <= bound; ++attempt) {
            gLoginFailed = false;
            if (LoginUser())
                return attempt;
        }
        return -1;
    }

    // The error box of a failed login step.
    void expectErrorBox(const QString &operation, int number) const {
        ASSERT_EQ(desktop.boxes.size(), 1);
        EXPECT_EQ(desktop.boxes.at(0).title, QStringLiteral("Caché Zugriffsfehler"));
        EXPECT_TRUE(desktop.boxes.at(0).text.startsWith(
            QStringLiteral("Vorgang: %1.\r\n\r\nFehler: %2\r\n").arg(operation).arg(number)))
            << desktop.boxes.at(0).text.toStdString();
        EXPECT_TRUE(gLoginFailed);
        EXPECT_TRUE(gLoginRejected);
    }

    void expectRejected() const {
        ASSERT_EQ(desktop.boxes.size(), 1);
        EXPECT_EQ(desktop.boxes.at(0).title, QStringLiteral("Anmeldung an Caché."));
        EXPECT_EQ(desktop.boxes.at(0).text, kRejectedText);
        EXPECT_TRUE(gLoginRejected);
        EXPECT_FALSE(gLoginFailed);
        EXPECT_TRUE(gUserName.isEmpty());
    }

    FakeDesktop desktop;
    FakeLoginForms forms;
};

} // namespace

TEST_F(LoginServerTest, DemoUserLogsIn) {
    storeLogin("DEMO", "demo");

    EXPECT_TRUE(LoginUser());

    EXPECT_TRUE(desktop.boxes.isEmpty());
    EXPECT_EQ(gUserName, QStringLiteral("DEMO|Jürgen Müller"));
    EXPECT_EQ(gUserDisplayName, QStringLiteral("Jürgen Müller"));
    EXPECT_EQ(gUserData.dw, QStringLiteral("214"));
    EXPECT_EQ(gUserData.bergrp, QStringLiteral("EK1"));
    EXPECT_EQ(gUserData.abteilung, QStringLiteral("Einkauf Hochbau / Gebäudehülle"));
    EXPECT_EQ(gUserData.fax, QStringLiteral("0231 98765-19"));
    EXPECT_EQ(gUserData.email, QStringLiteral("j.mueller@baustoffe-demo.example"));
    EXPECT_FALSE(gLoginRejected);
    EXPECT_TRUE(forms.lock);
    ASSERT_TRUE(gFactory);
    EXPECT_TRUE(gFactory->connected());

    // The same code in company 2 is another person.
    Disconnect();
    storeLogin("DEMO", "demo2", "2");
    EXPECT_TRUE(LoginUser());
    EXPECT_EQ(gUserDisplayName, QStringLiteral("Hanna Küster"));

    // A command-line company with a plus sign is the same whole number, through every login step.
    Disconnect();
    ResetSession();
    gFactoryMaker = MakeSqlFactory;
    SetProgramArguments({"+1", "0", "DEMO", "demo", databasePath(), "1972", "KORVEX"});
    EXPECT_TRUE(LoginUser());
    EXPECT_TRUE(desktop.boxes.isEmpty()) << desktop.boxes.value(0).text.toStdString();
    EXPECT_EQ(gUserName, QStringLiteral("DEMO|Jürgen Müller"));
}

TEST_F(LoginServerTest, InactiveUserIsRejected) {
    storeLogin("INAKTIV", "demo");
    EXPECT_FALSE(LoginUser());
    expectRejected();
}

TEST_F(LoginServerTest, LetterCaseCounts) {
    storeLogin("DEMO", "Demo");
    EXPECT_FALSE(LoginUser());
    expectRejected();

    // The code, too, is looked up as written.
    desktop.boxes.clear();
    ResetSession();
    storeLogin("demo", "demo");
    EXPECT_FALSE(LoginUser());
    expectErrorBox(QStringLiteral("Anmeldung mit nicht existierendem Personalcode"), 1002);
}

TEST_F(LoginServerTest, MissingRecordsFailTheLoginInTheirStep) {
    struct Case {
        const char *code;
        const char *operation;
        const char *userName;
    };
    for (const Case &c : {Case{"NIEMAND", "Anmeldung mit nicht existierendem Personalcode", ""},
                          Case{"OHNEABT", "Abteilungsermittlung", "OHNEABT|Karl Bär"},
                          Case{"OHNEBASIS", "PersBasis Nummern", "OHNEBASIS|Erika Schön"}}) {
        SCOPED_TRACE(c.code);
        ResetSession();
        desktop.boxes.clear();
        storeLogin(c.code, "demo");
        EXPECT_FALSE(LoginUser());
        expectErrorBox(QString::fromUtf8(c.operation), 1002);
        EXPECT_EQ(gUserName, QString::fromUtf8(c.userName));
    }
}

TEST_F(LoginServerTest, WrongPasswordOnTheCommandLineAsksOnce) {
    SetProgramArguments({"1", "0", "DEMO", "falsch", databasePath(), "1972", "KORVEX"});
    QStringList shown;
    forms.onLoginModal = [&](FakeLoginForms &f) {
        shown << f.fields[Field::BUSER] + QLatin1Char('/') + f.fields[Field::BPASSWORT];
        f.fields[Field::BPASSWORT] = QStringLiteral("demo");
        SaveLoginSettings();
    };

    EXPECT_EQ(loginUntilSuccess(5), 2);

    EXPECT_EQ(gCommandLine, QStringLiteral("1 0 DEMO falsch %1 1972 KORVEX").arg(databasePath()));
    EXPECT_TRUE(gCommandLineDropped);
    ASSERT_EQ(desktop.boxes.size(), 1);
    EXPECT_EQ(desktop.boxes.at(0).text, kRejectedText);
    // One dialog, with the code that was tried and an empty password.
    EXPECT_EQ(shown, QStringList{QStringLiteral("DEMO/")});
    EXPECT_EQ(gUserName, QStringLiteral("DEMO|Jürgen Müller"));
}

TEST_F(LoginServerTest, HostileCodesReachTheServerOnlyAsText) {
    // A quote that would end the string, and an SQL comparison trick: the session command still
    // parses (no failure while connecting), and the lookup finds no such person.
    for (const QString &code : {QStringLiteral("X\",FIRMA=2,PERSONAL=\"DEMO"), QStringLiteral("DEMO' OR '1'='1"),
                                QStringLiteral("DEMO\"\"")}) {
        SCOPED_TRACE(code.toStdString());
        ResetSession();
        desktop.boxes.clear();
        storeLogin(code, "demo");
        EXPECT_FALSE(LoginUser());
        expectErrorBox(QStringLiteral("Anmeldung mit nicht existierendem Personalcode"), 1002);
        Disconnect();
    }
}

// A database of another schema version is no unreachable server: the login's error box names the
// version and what to do. After the upgrade the imported and the demo users log in as before.
TEST_F(LoginServerTest, AnOlderDatabaseAsksForItsUpgradeThenItsUsersLogIn) {
    const QString path = QDir(korvextest::TempDir()).filePath(QStringLiteral("login-v1.db"));
    QFile::remove(path);
    ASSERT_TRUE(QFile::copy(qEnvironmentVariable("KORVEX_SOURCE_DIR") + "/tests/fixtures/v1.db", path));
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner);
    const auto expectVersionBox = [&](const QString &says) {
        expectErrorBox(QStringLiteral("Verbindungsaufbau"), 1022);
        EXPECT_TRUE(desktop.boxes.value(0).text.contains(says)) << desktop.boxes.value(0).text.toStdString();
        EXPECT_FALSE(desktop.boxes.value(0).text.contains("nicht erreicht"));
        desktop.boxes.clear();
        ResetSession();
        gFactoryMaker = MakeSqlFactory;
    };
    storeLogin("DEMO", "demo", "1", path);
    EXPECT_FALSE(LoginUser());
    expectVersionBox(QStringLiteral("Version 1 des KORVEX-Datenbankschemas; dieses Programm braucht Version %1. Der "
                                    "Administrator bringt sie mit \"korvex-db upgrade ")
                         .arg(kxserver::kSchemaVersion) +
                     path + "\"");

    ASSERT_NO_THROW(kxserver::UpgradeDatabase({kxserver::Backend::Sqlite, path, {}, 0}));
    struct User {
        const char *code;
        const char *password;
        bool in;
    };
    for (const User &user : {User{"IMPORT", "Lager-7x", true}, User{"DEMO", "demo", true},
                             User{"KOLLEGE", "kollege", true}, User{"IMPORT", "lager-7x", false}}) {
        SCOPED_TRACE(user.code);
        Disconnect();
        storeLogin(user.code, user.password, "1", path);
        EXPECT_EQ(LoginUser(), user.in);
        if (!user.in)
            expectRejected();
        desktop.boxes.clear();
        ResetSession();
        gFactoryMaker = MakeSqlFactory;
    }
    storeLogin("IMPORT", "Lager-7x", "1", path);
    EXPECT_TRUE(LoginUser());
    EXPECT_EQ(gUserName, QStringLiteral("IMPORT|Ida Import"));
    EXPECT_EQ(gUserData.abteilung, QStringLiteral("Lager"));
    Disconnect();

    // A newer version than this program knows: the program is too old, the data stay untouched.
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("login-v1"));
        db.setDatabaseName(path);
        ASSERT_TRUE(db.open());
        ASSERT_TRUE(QSqlQuery(db).exec(QStringLiteral("UPDATE korvex_meta SET value = '%1' WHERE key = 'version'")
                                           .arg(kxserver::kSchemaVersion + 1)));
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("login-v1"));
    ResetSession();
    gFactoryMaker = MakeSqlFactory;
    storeLogin("DEMO", "demo", "1", path);
    EXPECT_FALSE(LoginUser());
    expectVersionBox(QStringLiteral("Version %1 des KORVEX-Datenbankschemas; dieses Programm kennt nur Version %2 und ist "
                                    "zu alt")
                         .arg(kxserver::kSchemaVersion + 1)
                         .arg(kxserver::kSchemaVersion));
}
