#include "FakeSession.h"
#include "TestEnv.h"

#include <QFile>
#include <QSettings>

using namespace cacheapi;
using Field = LoginForms::Field;

namespace {

const QString kRejectedText = QStringLiteral("Passwort Falsch oder Benutzer nicht Aktiv.");

class LoginTest : public FakeSession {
protected:
    void SetUp() override {
        FakeSession::SetUp();
        QFile::remove(korvextest::SettingsFile());
        server->addPerson(
            "1||MEIER", "geheim",
            {{"AKTIV", "J"}, {"PNAME", "MEIER,HANS"}, {"ABTNR", "7"}, {"DW", "12"}, {"BERGRP", "3"}, {"PNR", "4711"}});
        server->addStored("KX.ParPersAbt", "1||7", {{"abtbez", "EINKAUF"}});
        server->addStored("KX.PersBasis", "1||4711", {{"fax", "0511-99"}, {"EMAIL", "MEIER@EXAMPLE.ORG"}});
        // The display conversions, so the test sees that they are used.
        server->classMethods["KX.ParPersEdv"]["PNAMELogicalToODBC"] = [](QVariantList &a) {
            return QVariant(a.value(0).toString() == "MEIER,HANS" ? "Hans Meier" : "?");
        };
        server->classMethods["KX.ParPersAbt"]["ABTBEZlogicaltoodbc"] = [](QVariantList &a) {
            return QVariant(a.value(0).toString() == "EINKAUF" ? "Einkauf" : "?");
        };
        server->classMethods["KX.PersBasis"]["EMAILLogicalToodbc"] = [](QVariantList &a) {
            return QVariant(a.value(0).toString().toLower());
        };
    }

    void TearDown() override {
        FakeSession::TearDown();
        QFile::remove(korvextest::SettingsFile());
    }

    static void storeLogin(const QString &name, const QString &password) {
        QSettings file(korvextest::SettingsFile(), QSettings::IniFormat);
        file.setValue("Login/Firma", "1");
        file.setValue("Login/Filiale", "0");
        file.setValue("Login/Name", name);
        file.setValue("Login/Passwort", MaskPassword(password));
        file.setValue("Login/Server", "127.0.0.1");
        file.setValue("Login/Port", "1972");
    }

    // The start-up repetition of the main window, with a bound so a loop shows up as a failure.
    static int loginUntilSuccess(int bound) {
        for (int attempt = 1; attempt <= bound; ++attempt) {
            gLoginFailed = false;
            if (LoginUser())
                return attempt;
        }
        return -1;
    }

    // The user types into the login dialog and presses "Anmelden".
    void userTypes(const QString &code, const QString &password) {
        forms.onLoginModal = [code, password, this](FakeLoginForms &f) {
            shownCode << f.fields[Field::BUSER];
            shownPassword << f.fields[Field::BPASSWORT];
            f.fields[Field::BUSER] = code;
            f.fields[Field::BPASSWORT] = password;
            SaveLoginSettings();
        };
    }

    // Every stored object the login opened has been closed.
    void expectAllClosed() const {
        for (const QString &opened : server->entries("openId ")) {
            const QString key = opened.section(' ', 1, 1) + ':' + opened.section(' ', 2);
            if (!server->stored.contains(key))
                continue; // never opened
            EXPECT_EQ(server->entries("call " + key + " SYS_Close()").size(), 1) << opened.toStdString();
        }
        EXPECT_EQ(server->entries("newInstance").size(), server->entries("call KX.Windows SYS_Close()").size());
    }

    QStringList shownCode;
    QStringList shownPassword;
};

} // namespace

TEST_F(LoginTest, SuccessLogsInReadsTheUserAndSetsTheSession) {
    storeLogin("MEIER", "geheim");

    EXPECT_TRUE(LoginUser());

    EXPECT_EQ(gUserName, QStringLiteral("MEIER|Hans Meier"));
    EXPECT_EQ(gUserDisplayName, QStringLiteral("Hans Meier"));
    EXPECT_EQ(gUserData.dw, QStringLiteral("12"));
    EXPECT_EQ(gUserData.bergrp, QStringLiteral("3"));
    EXPECT_EQ(gUserData.abteilung, QStringLiteral("Einkauf"));
    EXPECT_EQ(gUserData.fax, QStringLiteral("0511-99"));
    EXPECT_EQ(gUserData.email, QStringLiteral("meier@example.org"));
    EXPECT_FALSE(gLoginRejected);
    EXPECT_TRUE(desktop.boxes.isEmpty());
    EXPECT_EQ(forms.loginModalShows, 0);

    // The typed password goes to the server's check; the stored one is never asked for.
    EXPECT_EQ(server->entries("call KX.ParPersEdv:1||MEIER PasswortPruefen"),
              QStringList{"call KX.ParPersEdv:1||MEIER PasswortPruefen(geheim)"});
    EXPECT_TRUE(server->entries("get KX.ParPersEdv:1||MEIER Passwort").isEmpty());

    // Connect-time environment, then the login's own, both with the code in quotes.
    EXPECT_EQ(server->entries("call KX.Windows Xecute(S"),
              QStringList(2, "call KX.Windows Xecute(S FIRMA=1,FIL=0,PERSONAL=\"MEIER\")"));
    QStringList objects;
    for (const QString &e : server->log)
        if (e.startsWith("openId") || e.endsWith("SYS_Close()"))
            objects << e;
    EXPECT_EQ(objects, QStringList({"call KX.Windows SYS_Close()", "openId KX.ParPersEdv 1||MEIER",
                                    "openId KX.ParPersAbt 1||7", "call KX.ParPersAbt:1||7 SYS_Close()",
                                    "openId KX.PersBasis 1||4711", "call KX.PersBasis:1||4711 SYS_Close()",
                                    "call KX.ParPersEdv:1||MEIER SYS_Close()", "call KX.Windows SYS_Close()"}));

    // The idle timer runs, the dialogs are hidden, the connection stays open.
    EXPECT_TRUE(forms.lock);
    EXPECT_EQ(forms.log.mid(forms.log.size() - 3), QStringList({"startLock", "hideLogin", "hideServer"}));
    EXPECT_EQ(server->openConnections, 1);
    EXPECT_FALSE(ServerBusy::active());
}

TEST_F(LoginTest, RejectionHidesTheDialogsAndClosesTheRecord) {
    server->stored["KX.ParPersEdv:1||MEIER"].properties["AKTIV"] = "";
    storeLogin("MEIER", "geheim");

    EXPECT_FALSE(LoginUser());

    ASSERT_EQ(desktop.boxes.size(), 1);
    EXPECT_EQ(desktop.boxes.at(0).title, QStringLiteral("Anmeldung an Caché."));
    EXPECT_EQ(desktop.boxes.at(0).text, kRejectedText);
    EXPECT_EQ(desktop.boxes.at(0).buttons, Desktop::Buttons::Ok);
    EXPECT_EQ(desktop.boxes.at(0).icon, Desktop::Icon::Information);
    EXPECT_TRUE(gLoginRejected);
    EXPECT_FALSE(gLoginFailed);
    EXPECT_TRUE(gUserName.isEmpty());
    EXPECT_EQ(forms.passwordSelections, 1);
    EXPECT_EQ(forms.log.mid(forms.log.size() - 3), QStringList({"startLock", "hideLogin", "hideServer"}));
    EXPECT_TRUE(server->entries("openId KX.ParPersAbt").isEmpty());
    expectAllClosed();
}

TEST_F(LoginTest, ServerErrorsInTheGuardedStepsNameTheStep) {
    struct Case {
        QString operation;
        std::function<void()> breakIt;
        bool nameKnown;
    };
    const QList<Case> cases = {
        {"Anmeldung mit nicht existierendem Personalcode", [this] { server->stored.remove("KX.ParPersEdv:1||MEIER"); },
         false},
        {"Abteilungsermittlung", [this] { server->stored.remove("KX.ParPersAbt:1||7"); }, true},
        {"PersBasis Nummern", [this] { server->stored.remove("KX.PersBasis:1||4711"); }, true},
        {"Firma Filiale Personal Setzen",
         [this] { server->failOn("call KX.Windows Xecute(S", ServerError(-7, "<UNDEFINED>"), 1, 1); }, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.operation.toStdString());
        server = std::make_shared<FakeServer>();
        desktop = FakeDesktop();
        forms = FakeLoginForms();
        SetUp();
        c.breakIt();
        storeLogin("MEIER", "geheim");
        QStringList logAtBox;
        desktop.onBox = [&](const FakeDesktop::Box &) { logAtBox = server->log; };

        EXPECT_FALSE(LoginUser());

        ASSERT_EQ(desktop.boxes.size(), 1);
        EXPECT_EQ(desktop.boxes.at(0).title, QStringLiteral("Caché Zugriffsfehler"));
        EXPECT_TRUE(desktop.boxes.at(0).text.startsWith("Vorgang: " + c.operation + ".\r\n\r\nFehler: -"));
        EXPECT_TRUE(gLoginRejected);
        EXPECT_TRUE(gLoginFailed);
        EXPECT_EQ(gUserName.isEmpty(), !c.nameKnown);
        // The dialogs stay as they were; the box restored the pointer and started the timer.
        EXPECT_EQ(forms.loginHides, 0);
        EXPECT_EQ(forms.serverHides, 0);
        EXPECT_EQ(desktop.pointerLog, QList<bool>{false});
        EXPECT_TRUE(forms.lock);
        // Everything was closed before the box went up.
        server->log = logAtBox;
        expectAllClosed();
        TearDown();
    }
}

TEST_F(LoginTest, AFailedSessionStepDropsTheConnection) {
    storeLogin("MEIER", "geheim");
    server->failOn("call KX.Windows Xecute(S", ServerError(-7, "<UNDEFINED>"), 1, 1);
    EXPECT_FALSE(LoginUser());
    EXPECT_EQ(server->openConnections, 0);

    // The next login connects afresh and prepares the session again.
    server->log.clear();
    userTypes("MEIER", "geheim");
    EXPECT_EQ(loginUntilSuccess(1), 1);
    EXPECT_EQ(server->entries("call KX.Windows Xecute(S").size(), 2);
}

TEST_F(LoginTest, ConnectionErrorsTakeTheLoginErrorPath) {
    storeLogin("MEIER", "geheim");
    userTypes("MEIER", "geheim");
    server->failOn("connectTo", ServerError(-11, "Verbindung verweigert"), 1);
    server->failOn("call KX.Windows Xecute(D ^%XTT)", ServerError(-12, "<NOROUTINE>"), 1);

    // The first attempt fails in the connect call, the second in the connect-time session
    // command; neither ends the program, and the third logs in through the dialog.
    EXPECT_EQ(loginUntilSuccess(5), 3);

    ASSERT_EQ(desktop.boxes.size(), 2);
    EXPECT_EQ(desktop.boxes.at(0).text,
              QStringLiteral("Vorgang: Verbindungsaufbau.\r\n\r\nFehler: -11\r\nVerbindung verweigert\r\n\r\n"));
    EXPECT_EQ(desktop.boxes.at(1).text,
              QStringLiteral("Vorgang: Verbindungsaufbau.\r\n\r\nFehler: -12\r\n<NOROUTINE>\r\n\r\n"));
    EXPECT_EQ(forms.loginModalShows, 2);
    EXPECT_FALSE(ProgramEnded());
    EXPECT_EQ(server->openConnections, 1);
}

TEST_F(LoginTest, TheEndOfTheProgramPassesThroughUntouched) {
    storeLogin("MEIER", "geheim");
    server->defaultConnect = false;
    EXPECT_THROW(LoginUser(), ProgramEnd);
    EXPECT_EQ(desktop.boxes.size(), 4); // the connection's own boxes, no error box
    EXPECT_FALSE(gLoginFailed);
    EXPECT_FALSE(ServerBusy::active());

    // Ended from inside the error box: nothing after it runs.
    SetProgramEnded(false);
    server->defaultConnect = true;
    server->stored.remove("KX.ParPersEdv:1||MEIER");
    desktop.onBox = [](const FakeDesktop::Box &) { RunHandler([] { ExitAction(); }); };
    forms.lock = false;
    EXPECT_THROW(LoginUser(), ProgramEnd);
    EXPECT_FALSE(forms.lock);
}

TEST_F(LoginTest, UnknownCodeOnTheCommandLineFallsBackToTheDialog) {
    // Company and branch only (the code empty): the server knows no such user.
    gCommandLine = QStringLiteral("1 0   127.0.0.1");
    userTypes("MEIER", "geheim");

    EXPECT_EQ(loginUntilSuccess(5), 2);

    ASSERT_EQ(desktop.boxes.size(), 1);
    EXPECT_TRUE(desktop.boxes.at(0).text.startsWith("Vorgang: Anmeldung mit nicht existierendem Personalcode."));
    EXPECT_EQ(shownCode, QStringList{""});
    EXPECT_EQ(shownPassword, QStringList{""});
    EXPECT_FALSE(gLoginRejected);
}

TEST_F(LoginTest, ErrorsOutsideTheGuardedStepsReachTheCallerWithObjectsClosed) {
    storeLogin("MEIER", "geheim");
    server->failOn("get KX.ParPersEdv:1||MEIER AKTIV", ServerError(-4, "<PROPERTY>"), 1);
    EXPECT_THROW(LoginUser(), ServerError);
    EXPECT_TRUE(desktop.boxes.isEmpty());
    expectAllClosed();
    EXPECT_FALSE(ServerBusy::active());
}
