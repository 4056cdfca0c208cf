// The session values of module cacheapi and the few routines that only hold state.

#include "session/CacheApi.h"

namespace cacheapi {

QString gFirma;
QString gFiliale;
QString gUser;
QString gPassword;
QString gServer;
QString gPort;
QString gNamespace;
QString gCommandLine;
QString gConnectString;

bool gLoginFailed = false;
bool gLoginRejected = false;
bool gLoggedIn = false;
bool gCommandLineDropped = false;

FactoryPtr gFactory;
QString gUserName;
QString gUserDisplayName;
UserData gUserData;

Desktop *gDesktop = nullptr;
LoginForms *gForms = nullptr;
FactoryMaker gFactoryMaker;

// A private address: a fresh installation points at the office server, never at the internet.
const QString kDefaultServer = QStringLiteral("192.168.100.10");

namespace {
QString programArguments;
bool programEnded = false;
bool endedByError = false;
} // namespace

void SetProgramArguments(const QStringList &arguments) {
    programArguments = arguments.join(QLatin1Char(' '));
}

QString ProgramArguments() {
    return programArguments;
}

bool ProgramEnded() {
    return programEnded;
}

void SetProgramEnded(bool ended) {
    programEnded = ended;
}

bool EndedByError() {
    return endedByError;
}

void SetEndedByError() {
    endedByError = true;
}

void ThrowIfEnded() {
    if (programEnded)
        throw ProgramEnd();
}

void ResetSession() {
    gFirma.clear();
    gFiliale.clear();
    gUser.clear();
    gPassword.clear();
    gServer.clear();
    gPort.clear();
    gNamespace.clear();
    gCommandLine.clear();
    gConnectString.clear();
    gLoginFailed = false;
    gLoginRejected = false;
    gLoggedIn = false;
    gCommandLineDropped = false;
    gFactory.reset();
    gUserName.clear();
    gUserDisplayName.clear();
    gUserData = UserData();
    programArguments.clear();
    programEnded = false;
    endedByError = false;
}

} // namespace cacheapi
