#include "FakeSession.h"

using namespace cacheapi;

namespace {

const QString kRetryText = QStringLiteral("Server nicht erreicht! Bitte überprüfen Sie die Verbindungseinstellungen"
                                          "\r\n\r\nNoch %1 Verbindungsversuche bis zum Abbruch.");

const QStringList kFreshSession = {
    QStringLiteral("newInstance KX.Windows"),
    QStringLiteral("call KX.Windows Xecute(S FIRMA=1,FIL=0,PERSONAL=\"MEIER\")"),
    QStringLiteral("call KX.Windows Xecute(D ^%XTT)"),
    QStringLiteral("call KX.Windows SYS_Close()"),
};

} // namespace

using ConnectionTest = FakeSession;

TEST_F(ConnectionTest, FirstCallConnectsSilentlyAndPreparesTheSession) {
    ConnectServer();

    EXPECT_TRUE(desktop.boxes.isEmpty());
    EXPECT_EQ(server->factoriesMade, 1);
    QStringList expected{QStringLiteral("connectTo cn_iptcp:127.0.0.1[1972]:KORVEX"), QStringLiteral("connected")};
    expected += kFreshSession;
    EXPECT_EQ(server->log, expected);
    EXPECT_EQ(server->openConnections, 1);
    EXPECT_FALSE(ServerBusy::active());

    // Already connected: nothing at all happens.
    server->log.clear();
    ConnectServer();
    EXPECT_EQ(server->log, QStringList{QStringLiteral("connected")});
    EXPECT_EQ(server->factoriesMade, 1);
}

TEST_F(ConnectionTest, FourFailuresCountDownAndEndTheProgram) {
    server->defaultConnect = false;
    QStringList timeline;
    double dialogClosedAt = 0;
    QList<double> waited;
    desktop.onBox = [&](const FakeDesktop::Box &) { timeline << QStringLiteral("box"); };
    forms.onServerModal = [&](FakeLoginForms &) {
        timeline << QStringLiteral("settings");
        dialogClosedAt = desktop.clock;
    };
    server->onOperation(QStringLiteral("connectTo"), [&] {
        timeline << QStringLiteral("attempt");
        if (dialogClosedAt > 0)
            waited << desktop.clock - dialogClosedAt;
    });
    desktop.onEndProgram = [&] { timeline << QStringLiteral("end"); };

    EXPECT_THROW(ConnectServer(), ProgramEnd);

    EXPECT_EQ(timeline, QStringList({"attempt", "box", "settings", "attempt", "box", "settings", "attempt", "box",
                                     "settings", "attempt", "box", "end"}));
    ASSERT_EQ(desktop.boxes.size(), 4);
    for (int i = 0; i < 3; ++i) {
        const FakeDesktop::Box &box = desktop.boxes.at(i);
        EXPECT_EQ(box.title, QStringLiteral("Anmeldung an Caché"));
        EXPECT_EQ(box.text, kRetryText.arg(2 - i));
        EXPECT_EQ(box.buttons, Desktop::Buttons::Ok);
        EXPECT_EQ(box.icon, Desktop::Icon::None);
    }
    const FakeDesktop::Box &last = desktop.boxes.at(3);
    EXPECT_EQ(last.title, QStringLiteral("Anmeldung an Caché"));
    EXPECT_EQ(last.text, QStringLiteral("Server nach 3 Versuchen nicht erreichbar!\r\nAbbruch"));
    EXPECT_EQ(last.buttons, Desktop::Buttons::Ok);
    EXPECT_EQ(last.icon, Desktop::Icon::Exclamation);

    // A one-second pause after each settings dialog, during which no user input gets through.
    ASSERT_EQ(waited.size(), 3);
    for (double w : waited) {
        EXPECT_GE(w, 1.0);
        EXPECT_LT(w, 1.1);
    }
    EXPECT_GT(desktop.eventRuns, 0);
    EXPECT_EQ(desktop.eventRuns, desktop.eventRunsWithoutInput);

    EXPECT_EQ(server->factoriesMade, 4);
    EXPECT_EQ(forms.serverHides, 1);
    EXPECT_TRUE(gUserName.isEmpty());
    EXPECT_EQ(desktop.endCount, 1);
    EXPECT_TRUE(ProgramEnded());
    EXPECT_TRUE(EndedByError()) << "an end for want of a server is no success";
    EXPECT_FALSE(ServerBusy::active());
}

TEST_F(ConnectionTest, SuccessAtTheSecondAttemptAfterOneBox) {
    server->connectResults = {false, true};

    ConnectServer();

    ASSERT_EQ(desktop.boxes.size(), 1);
    EXPECT_EQ(desktop.boxes.at(0).text, kRetryText.arg(2));
    EXPECT_EQ(forms.serverModalShows, 1);
    EXPECT_EQ(server->factoriesMade, 2);
    EXPECT_EQ(server->log.mid(server->log.size() - kFreshSession.size()), kFreshSession);
    EXPECT_FALSE(ProgramEnded());

    ResetSession();
    gFactoryMaker = server->maker();
    desktop.boxes.clear();
    server->log.clear();
    // A connect that answers true while the factory says it is not connected is a failure, too.
    server->connectResults = {true, true};
    server->connectedAnswers = {false, true};
    ConnectServer();
    EXPECT_EQ(desktop.boxes.size(), 1);
}

TEST_F(ConnectionTest, EveryAttemptDialsTheCurrentSettings) {
    // Settings reloaded after the connection string was built (the settings dialog's save outside a
    // connection sequence): already the first attempt dials them.
    gServer = QStringLiteral("127.0.0.3");
    ConnectServer();
    EXPECT_EQ(server->entries(QStringLiteral("connectTo")), QStringList({"connectTo cn_iptcp:127.0.0.3[1972]:KORVEX"}));
    EXPECT_TRUE(desktop.boxes.isEmpty());

    // Settings saved in the dialog between two attempts enter the next one.
    Disconnect();
    server->log.clear();
    gServer = QStringLiteral("127.0.0.1");
    server->connectResults = {false, true};
    forms.onServerModal = [](FakeLoginForms &) {
        // What saving in the settings dialog leaves behind: the reloaded values.
        gServer = QStringLiteral("127.0.0.2");
        gPort = QStringLiteral("1975");
    };

    ConnectServer();

    EXPECT_EQ(server->entries(QStringLiteral("connectTo")),
              QStringList({"connectTo cn_iptcp:127.0.0.1[1972]:KORVEX", "connectTo cn_iptcp:127.0.0.2[1975]:KORVEX"}));
    EXPECT_EQ(gConnectString, QStringLiteral("cn_iptcp:127.0.0.2[1975]:KORVEX"));
}

TEST_F(ConnectionTest, ErrorsWhileConnectingReachTheCaller) {
    server->makerError = ServerError(-1, QStringLiteral("keine Fabrik"));
    EXPECT_THROW(ConnectServer(), ServerError);
    server->makerError.reset();

    server->failOn(QStringLiteral("connectTo"), ServerError(-2, QStringLiteral("Netz")), 1);
    EXPECT_THROW(ConnectServer(), ServerError);
    EXPECT_FALSE(ServerBusy::active());
    EXPECT_TRUE(desktop.boxes.isEmpty());
}

TEST_F(ConnectionTest, AFailedSessionEnvironmentDropsTheConnection) {
    server->failOn(QStringLiteral("call KX.Windows Xecute(D"), ServerError(-7, QStringLiteral("<UNDEFINED>")), 1);

    EXPECT_THROW(ConnectServer(), ServerError);
    EXPECT_EQ(server->openConnections, 0);
    EXPECT_EQ(server->entries(QStringLiteral("call KX.Windows SYS_Close")).size(), 1);

    // The next access prepares the session again instead of trusting the half-set one.
    server->log.clear();
    ConnectServer();
    EXPECT_EQ(server->log.mid(3), kFreshSession);
}

TEST_F(ConnectionTest, SessionCommandQuotesWhatTheUserTyped) {
    EXPECT_EQ(SessionCommand("1", "0", ""), QStringLiteral("S FIRMA=1,FIL=0,PERSONAL=\"\""));
    EXPECT_EQ(SessionCommand("12", "3", "MEIER"), QStringLiteral("S FIRMA=12,FIL=3,PERSONAL=\"MEIER\""));
    EXPECT_EQ(SessionCommand("1", "0", "X\",FIRMA=9,Y=\""),
              QStringLiteral("S FIRMA=1,FIL=0,PERSONAL=\"X\"\",FIRMA=9,Y=\"\"\""));
    // Company and branch come from editable settings, too: anything but a whole number is a string.
    EXPECT_EQ(SessionCommand("-1", "+2", "A"), QStringLiteral("S FIRMA=-1,FIL=+2,PERSONAL=\"A\""));
    EXPECT_EQ(SessionCommand("1,K=$$X", "0 D ^Y", "A"),
              QStringLiteral("S FIRMA=\"1,K=$$X\",FIL=\"0 D ^Y\",PERSONAL=\"A\""));

    gUser = QStringLiteral("O\"HARA");
    ConnectServer();
    EXPECT_EQ(server->entries(QStringLiteral("call KX.Windows Xecute(S")),
              QStringList{QStringLiteral("call KX.Windows Xecute(S FIRMA=1,FIL=0,PERSONAL=\"O\"\"HARA\")")});
}

TEST_F(ConnectionTest, DisconnectIsQuietInEveryState) {
    forms.lock = true;
    Disconnect(); // no factory yet
    EXPECT_FALSE(forms.lock);
    EXPECT_TRUE(server->log.isEmpty());

    ConnectServer();
    Disconnect();
    Disconnect(); // not connected any more: no second disconnect
    EXPECT_EQ(server->entries(QStringLiteral("disconnect")).size(), 1);

    ConnectServer();
    server->failOn(QStringLiteral("connected"), ServerError(-1, QStringLiteral("kaputt")));
    EXPECT_NO_THROW(Disconnect());
    EXPECT_TRUE(desktop.boxes.isEmpty());
}

TEST_F(ConnectionTest, ShowCacheErrorTextToTheCharacter) {
    ShowCacheError(ServerError(91, QStringLiteral("Objektvariable nicht festgelegt")),
                   QStringLiteral("Abteilungsermittlung"));
    ASSERT_EQ(desktop.boxes.size(), 1);
    EXPECT_EQ(desktop.boxes.at(0).title, QStringLiteral("Caché Zugriffsfehler"));
    EXPECT_EQ(desktop.boxes.at(0).text, QStringLiteral("Vorgang: Abteilungsermittlung.\r\n\r\nFehler: 91\r\n"
                                                       "Objektvariable nicht festgelegt\r\n\r\n"));
    EXPECT_EQ(desktop.boxes.at(0).buttons, Desktop::Buttons::Ok);
    EXPECT_EQ(desktop.boxes.at(0).icon, Desktop::Icon::Exclamation);
    EXPECT_EQ(desktop.pointerLog, QList<bool>{false});
    EXPECT_TRUE(forms.lock);

    ShowCacheError(ServerError(-3, QString()), QString());
    EXPECT_EQ(desktop.boxes.at(1).text, QStringLiteral("Vorgang: .\r\n\r\nFehler: -3\r\n\r\n\r\n"));
}

TEST_F(ConnectionTest, CloseObjectClosesAndReleasesWhateverHappens) {
    ConnectServer();
    ServerObjectPtr object = gFactory->newInstance(QStringLiteral("KX.Windows"));
    server->failOn(QStringLiteral("call KX.Windows SYS_Close"), ServerError(-1, QStringLiteral("zu")), 1);
    EXPECT_NO_THROW(CloseObject(object));
    EXPECT_EQ(object, nullptr);
    EXPECT_NO_THROW(CloseObject(object)); // an empty reference stays empty
}

TEST_F(ConnectionTest, DelayWaitsOnTheDesktopClockWithoutUserInput) {
    desktop.clockStep = 0;
    desktop.clock = 1000.0;
    desktop.onProcessEvents = [&] { desktop.clock += 0.5; };
    int elapsed = -1;

    // A half rounds to the even neighbour.
    Delay(250, elapsed);
    EXPECT_EQ(elapsed, 2);
    EXPECT_DOUBLE_EQ(desktop.clock, 1002.5);
    Delay(350, elapsed);
    EXPECT_EQ(elapsed, 4);
    EXPECT_EQ(desktop.eventRuns, desktop.eventRunsWithoutInput);

    // A tenth of a second before midnight: the wait ends when the clock falls back.
    desktop.clock = 86399.9;
    desktop.eventRuns = 0;
    desktop.onProcessEvents = [&] {
        desktop.clock += 0.05;
        if (desktop.clock >= 86400.0)
            desktop.clock -= 86400.0;
    };
    Delay(100, elapsed);
    EXPECT_EQ(desktop.eventRuns, 2);
    EXPECT_EQ(elapsed, 0);

    // A handler that ended the program while the events ran stops the wait at once.
    desktop.onProcessEvents = [] { SetProgramEnded(true); };
    EXPECT_THROW(Delay(100, elapsed), ProgramEnd);
}

TEST_F(ConnectionTest, IdleTimerStartAndStopPointsAndItsTick) {
    forms.lock = true;
    BeginServerAccess();
    EXPECT_FALSE(forms.lock);
    EXPECT_EQ(forms.log.last(), QStringLiteral("stopLock"));
    EXPECT_EQ(server->openConnections, 1);

    EndServerAccess(false);
    EXPECT_TRUE(forms.lock);
    EXPECT_TRUE(desktop.pointerLog.isEmpty());
    EndServerAccess(true);
    EXPECT_EQ(desktop.pointerLog, QList<bool>{false});

    // The tick, without waiting 30 seconds: the connection goes, the timer stops, and the next
    // access connects afresh with the session environment.
    Lock_Timer();
    EXPECT_FALSE(forms.lock);
    EXPECT_EQ(server->openConnections, 0);
    server->log.clear();
    ConnectServer();
    EXPECT_EQ(server->log.mid(3), kFreshSession);
}

TEST_F(ConnectionTest, IdleTickDuringServerWorkOnlyRestartsTheCountdown) {
    ConnectServer();
    forms.lock = true;
    {
        ServerBusy outer;
        { ServerBusy inner; }
        Lock_Timer();
        EXPECT_EQ(server->openConnections, 1);
        EXPECT_TRUE(forms.lock);
        EXPECT_EQ(forms.lockStarts, 1);
    }
    EXPECT_FALSE(ServerBusy::active());

    // A tick in the middle of a connection sequence leaves the new connection alone.
    Disconnect();
    server->connectResults = {false, true};
    forms.onServerModal = [](FakeLoginForms &) { Lock_Timer(); };
    desktop.onProcessEvents = [] { Lock_Timer(); };
    ConnectServer();
    EXPECT_EQ(server->openConnections, 1);
    EXPECT_EQ(server->entries(QStringLiteral("disconnect")).size(), 1);
}

TEST_F(ConnectionTest, EndingTheProgramDisconnectsFirstAndOnlyOnce) {
    ConnectServer();
    forms.lock = true;
    bool connectedAtEnd = true;
    desktop.onEndProgram = [&] { connectedAtEnd = server->openConnections > 0; };
    gUserName = QStringLiteral("MEIER|Hans Meier");

    EXPECT_THROW(ExitAction(), ProgramEnd);
    EXPECT_FALSE(connectedAtEnd);
    EXPECT_FALSE(forms.lock);
    EXPECT_TRUE(gUserName.isEmpty());
    EXPECT_TRUE(ProgramEnded());

    // Once ended, nothing touches the server or the windows again.
    server->log.clear();
    EXPECT_THROW(UnloadAllForms(), ProgramEnd);
    EXPECT_THROW(ConnectServer(), ProgramEnd);
    Disconnect();
    Lock_Timer();
    EXPECT_EQ(desktop.endCount, 1);
    EXPECT_TRUE(server->log.isEmpty());
    EXPECT_EQ(server->factoriesMade, 1);
}

TEST_F(ConnectionTest, EndingFromInsideAModalLoopStopsTheSequence) {
    server->defaultConnect = false;
    forms.onServerModal = [](FakeLoginForms &) { RunHandler([] { ExitAction(); }); };
    EXPECT_THROW(ConnectServer(), ProgramEnd);
    EXPECT_EQ(server->factoriesMade, 1);
    EXPECT_EQ(desktop.eventRuns, 0); // no pause after the end
    EXPECT_FALSE(EndedByError()) << "the clerk ended it";

    ResetSession();
    gFactoryMaker = server->maker();
    desktop.boxes.clear();
    desktop.onBox = [](const FakeDesktop::Box &) { RunHandler([] { UnloadAllForms(); }); };
    forms.serverModalShows = 0;
    EXPECT_THROW(ConnectServer(), ProgramEnd);
    EXPECT_EQ(forms.serverModalShows, 0);
    EXPECT_EQ(desktop.endCount, 2);
}

TEST_F(ConnectionTest, HandlerGuardReportsErrorsAndEndsTheProgram) {
    ConnectServer();
    RunHandler([] { throw ServerError(91, QStringLiteral("Objektvariable nicht festgelegt")); });
    ASSERT_EQ(desktop.boxes.size(), 1);
    EXPECT_EQ(desktop.boxes.at(0).title, QStringLiteral("KORVEX Update Hauptlieferanten"));
    EXPECT_EQ(desktop.boxes.at(0).text, QStringLiteral("Laufzeitfehler 91:\r\n\r\nObjektvariable nicht festgelegt"));
    EXPECT_EQ(desktop.boxes.at(0).buttons, Desktop::Buttons::Ok);
    EXPECT_EQ(desktop.boxes.at(0).icon, Desktop::Icon::Exclamation);
    EXPECT_TRUE(ProgramEnded());
    EXPECT_TRUE(EndedByError());
    EXPECT_EQ(server->openConnections, 0);

    // Once ended, queued handlers do not run at all.
    bool ran = false;
    RunHandler([&] { ran = true; });
    EXPECT_FALSE(ran);

    SetProgramEnded(false);
    RunHandler([] { throw std::runtime_error("Index außerhalb des gültigen Bereichs"); });
    EXPECT_EQ(desktop.boxes.at(1).text,
              QStringLiteral("Laufzeitfehler 51:\r\n\r\nIndex außerhalb des gültigen Bereichs"));

    SetProgramEnded(false);
    RunHandler([] { throw 42; });
    EXPECT_EQ(desktop.boxes.at(2).text, QStringLiteral("Laufzeitfehler 51:\r\n\r\nInterner Fehler"));

    // An error with which the connection went (the server went away under the step) is a connection
    // problem: shown as the routines show a server error, and the program goes on.
    SetProgramEnded(false);
    ConnectServer();
    const int losses = ConnectionLosses();
    RunHandler([] {
        gFactory->disconnect();
        throw ServerError(1008, QStringLiteral("Die Verbindung zum Server ist abgebrochen."));
    });
    ASSERT_EQ(desktop.boxes.size(), 4);
    EXPECT_EQ(desktop.boxes.at(3).title, QStringLiteral("Caché Zugriffsfehler"));
    EXPECT_EQ(desktop.boxes.at(3).text, QStringLiteral("Vorgang: Serverzugriff.\r\n\r\nFehler: 1008\r\nDie Verbindung "
                                                       "zum Server ist abgebrochen.\r\n\r\n"));
    EXPECT_FALSE(ProgramEnded());
    EXPECT_EQ(ConnectionLosses(), losses + 1);

    // The end of the program passes quietly.
    SetProgramEnded(false);
    RunHandler([] { UnloadAllForms(); });
    EXPECT_EQ(desktop.boxes.size(), 4);
    EXPECT_EQ(desktop.endCount, 4);
}
