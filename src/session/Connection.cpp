// The one connection to the server: the attempt sequence, the session environment, the idle
// disconnect, the database error box, the pause between attempts and the end of the program.

#include "session/CacheApi.h"

#include <cmath>

namespace cacheapi {

namespace {

const QString kCrLf = QStringLiteral("\r\n");
const QString kConnectTitle = QStringLiteral("Anmeldung an Caché");

// How deep the program is inside a connection sequence or another piece of server work.
int gBusyDepth = 0;

// Asks the factory whether it is connected; a failing question (no factory yet, a broken one)
// counts as "not connected".
bool quietlyConnected() {
    if (!gFactory)
        return false;
    try {
        return gFactory->connected();
    } catch (...) {
        return false;
    }
}

void quietlyDisconnect() {
    if (!gFactory)
        return;
    try {
        if (gFactory->connected())
            gFactory->disconnect();
    } catch (...) {
        // Dropping the connection never fails in the clerk's eyes.
    }
}

FactoryPtr makeFactory() {
    FactoryPtr factory = gFactoryMaker ? gFactoryMaker() : FactoryPtr();
    if (!factory)
        throw ServerError(429, QStringLiteral("Die Verbindung zum Server kann nicht erzeugt werden."));
    return factory;
}

// Company, branch and personnel code for a fresh connection. A session that failed half way is
// dropped, so the next ConnectServer prepares it again instead of trusting it.
void setSessionEnvironment() {
    ServerObjectPtr windows;
    try {
        windows = gFactory->newInstance(QStringLiteral("KX.Windows"));
        QVariantList args{SessionCommand(gFirma, gFiliale, gUser)};
        windows->call(QStringLiteral("Xecute"), args);
        QVariantList routine{QStringLiteral("D ^%XTT")};
        windows->call(QStringLiteral("Xecute"), routine);
    } catch (...) {
        if (windows)
            CloseObject(windows);
        quietlyDisconnect();
        throw;
    }
    CloseObject(windows);
}

// Rounds to the nearest whole number, a half to the even neighbour.
int roundHalfEven(double value) {
    double whole = std::floor(value);
    const double rest = value - whole;
    if (rest > 0.5 || (rest == 0.5 && std::fmod(whole, 2.0) != 0.0))
        whole += 1.0;
    return static_cast<int>(whole);
}

// A value of the session command that the server reads as written: a whole number (or nothing)
// goes in as it stands, anything else as a string literal, so a typed comma or quote cannot add
// server code.
QString commandValue(const QString &value) {
    qsizetype i = 0;
    if (value.size() > 1 && (value.at(0) == QLatin1Char('-') || value.at(0) == QLatin1Char('+')))
        i = 1;
    bool wholeNumber = true;
    for (; i < value.size(); ++i) {
        if (value.at(i) < QLatin1Char('0') || value.at(i) > QLatin1Char('9')) {
            wholeNumber = false;
            break;
        }
    }
    if (wholeNumber)
        return value;
    QString quoted = value;
    quoted.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

} // namespace

ServerBusy::ServerBusy() {
    ++gBusyDepth;
}

ServerBusy::~ServerBusy() {
    --gBusyDepth;
}

bool ServerBusy::active() {
    return gBusyDepth > 0;
}

QString SessionCommand(const QString &firma, const QString &filiale, const QString &personal) {
    QString code = personal;
    code.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QStringLiteral("S FIRMA=") + commandValue(firma) + QStringLiteral(",FIL=") + commandValue(filiale) +
           QStringLiteral(",PERSONAL=\"") + code + QLatin1Char('"');
}

void ConnectServer() {
    ThrowIfEnded();
    if (quietlyConnected())
        return;

    ServerBusy busy;
    for (int attempt = 0; attempt < 4; ++attempt) {
        // Every attempt dials what the settings say now: a correction in the settings dialog between
        // two attempts takes effect at once, and settings reloaded outside a connection sequence are
        // not left behind by a connection string built before them.
        gConnectString = BuildConnectString(gServer, gPort);
        gFactory = makeFactory();
        if (gFactory->connectTo(gConnectString) && gFactory->connected()) {
            setSessionEnvironment();
            return;
        }

        if (attempt < 3) {
            const QString text =
                QStringLiteral("Server nicht erreicht! Bitte überprüfen Sie die Verbindungseinstellungen") + kCrLf +
                kCrLf + QStringLiteral("Noch ") + QString::number(2 - attempt) +
                QStringLiteral(" Verbindungsversuche bis zum Abbruch.");
            gDesktop->messageBox(kConnectTitle, text, Desktop::Buttons::Ok, Desktop::Icon::None);
            ThrowIfEnded();
            gForms->showServerModal();
            ThrowIfEnded();
            int elapsed = 0;
            Delay(100, elapsed);
            continue;
        }

        gDesktop->messageBox(kConnectTitle,
                             QStringLiteral("Server nach 3 Versuchen nicht erreichbar!") + kCrLf +
                                 QStringLiteral("Abbruch"),
                             Desktop::Buttons::Ok, Desktop::Icon::Exclamation);
        ThrowIfEnded();
        gForms->hideServer();
        gUserName.clear();
        quietlyDisconnect();
        SetEndedByError();
        ExitAction();
    }
}

void BeginServerAccess() {
    ConnectServer();
    gForms->stopLock();
}

void EndServerAccess(bool RestorePointer) {
    if (ProgramEnded())
        return;
    if (RestorePointer)
        gDesktop->setBusyPointer(false);
    gForms->startLock();
}

void Disconnect() {
    // Once the program has ended the connection is gone already and the dialogs may be, too.
    if (ProgramEnded())
        return;
    if (gForms)
        gForms->stopLock();
    quietlyDisconnect();
}

void ShowCacheError(const ServerError &error, const QString &Operation) {
    const QString text = QStringLiteral("Vorgang: ") + Operation + QLatin1Char('.') + kCrLf + kCrLf +
                         QStringLiteral("Fehler: ") + QString::number(error.number()) + kCrLf + error.description() +
                         kCrLf + kCrLf;
    gDesktop->messageBox(QStringLiteral("Caché Zugriffsfehler"), text, Desktop::Buttons::Ok,
                         Desktop::Icon::Exclamation);
    ThrowIfEnded();
    EndServerAccess(true);
}

void CloseObject(ServerObjectPtr &object) {
    if (object && !ProgramEnded()) {
        try {
            object->call(QStringLiteral("SYS_Close"));
        } catch (...) {
            // An object that cannot be closed is released all the same.
        }
    }
    object.reset();
}

void Delay(int Hundredths, int &Elapsed) {
    const double duration = Hundredths / 100.0;
    const double start = gDesktop->secondsSinceMidnight();
    // Each test reads the clock afresh. The second test ends the wait when the clock passes
    // midnight and falls back below the start.
    while (true) {
        const bool before = gDesktop->secondsSinceMidnight() < start + duration;
        const bool notWrapped = gDesktop->secondsSinceMidnight() + 0.01 > start;
        if (!(before && notWrapped))
            break;
        // Windows repaint and timers tick, but no click can start another server access inside
        // this one.
        gDesktop->processEvents(false);
        ThrowIfEnded();
    }
    double waited = gDesktop->secondsSinceMidnight() - start;
    if (waited < 0)
        waited += 86400.0; // the wait went past midnight
    Elapsed = roundHalfEven(waited);
}

void UnloadAllForms() {
    if (ProgramEnded())
        throw ProgramEnd();
    // The connection goes before any window does, while the dialogs carrying the timer still exist.
    Disconnect();
    SetProgramEnded(true);
    if (gDesktop)
        gDesktop->endProgram();
    throw ProgramEnd();
}

void ExitAction() {
    gUserName.clear();
    UnloadAllForms();
}

void Lock_Timer() {
    if (ProgramEnded())
        return;
    // The tick can come while the event loop runs inside a connection sequence or a server
    // operation; dropping the connection there would pull it from under that work.
    if (ServerBusy::active()) {
        gForms->startLock();
        return;
    }
    Disconnect();
}

} // namespace cacheapi
