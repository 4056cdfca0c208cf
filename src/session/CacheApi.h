#pragma once

// Module cacheapi: the session values and the routines every window shares.

#include "session/Desktop.h"
#include "session/Factory.h"
#include "session/LoginForms.h"
#include "session/ServerError.h"

#include <QSettings>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

namespace cacheapi {

// ---- Session values -------------------------------------------------------------------------

extern QString gFirma;         // company number
extern QString gFiliale;       // branch number
extern QString gUser;          // personnel code of the user who logs in
extern QString gPassword;      // plain password, in memory only
extern QString gServer;        // server address; with a slash in it, the embedded database file
extern QString gPort;          // server port, as text
extern QString gNamespace;     // read, shown and saved; not part of the connection string
extern QString gCommandLine;   // the program's arguments joined by single blanks
extern QString gConnectString; // "cn_iptcp:" + server + "[" + port + "]:KORVEX"

extern bool gLoginFailed;   // a server error ended the last login
extern bool gLoginRejected; // the last login did not succeed
// Set when a login has checked the password of gFirma, gFiliale and gUser, cleared when the next login
// starts. While it is set those values (and gPassword) are the session's identity: reading the settings
// again (the settings dialog's save) changes the connection values and the fields, never them.
extern bool gLoggedIn;
// Once a login with command-line values was rejected or failed, the command line is not used
// again in this run, so a wrong password there cannot repeat the same failing login forever.
extern bool gCommandLineDropped;

extern FactoryPtr gFactory;      // replaced by a new factory on every connection attempt
extern QString gUserName;        // personnel code + "|" + display name; empty while nobody is logged in
extern QString gUserDisplayName; // display name of the logged-in user

// Further values of the logged-in user, held for the run.
struct UserData {
    QString dw;
    QString bergrp;
    QString abteilung; // department name
    QString fax;
    QString email;
};
extern UserData gUserData;

// ---- Ports ----------------------------------------------------------------------------------

extern Desktop *gDesktop;
extern LoginForms *gForms;
extern FactoryMaker gFactoryMaker; // makes a new connection factory for every attempt

// The program's own arguments, without its path; read once at start-up.
void SetProgramArguments(const QStringList &arguments);
QString ProgramArguments();

// ---- Settings and command line ---------------------------------------------------------------

// The fixed default server address of users' machines. Never dialled by tests or scripts.
extern const QString kDefaultServer;
// The masking constant of the stored password.
constexpr int kMaskConstant = 7;
// The longest stored or command-line value taken; anything longer is far beyond any real one.
constexpr qsizetype kMaxValueLength = 1000;

// Where the login settings live: the per-user store by default; tests point it at a temporary file.
void SetSettingsFile(const QString &path);
// The store comes back inside group "Login"; on Linux it makes its file owner-only whenever it writes.
std::unique_ptr<QSettings> OpenLoginStore();

// Whether the login values come from the command line: it is set, not dropped, its field 1 is a
// whole number and none of its seven fields is longer than kMaxValueLength.
bool CommandLineInUse();
void ReadCommandLine();
void LoadLoginSettings();
QString MaskPassword(const QString &Text);
// The store-writing rules of the login dialog's Sichern. A store that cannot be written throws
// std::runtime_error with a German text naming the file; reading a broken store does the same.
void SaveLoginSettings();
// "cn_iptcp:" + server + "[" + port + "]:KORVEX"
QString BuildConnectString(const QString &server, const QString &port);

// ---- Connection -----------------------------------------------------------------------------

void ConnectServer();
void BeginServerAccess();
void EndServerAccess(bool RestorePointer);
void Disconnect();
void ShowCacheError(const ServerError &error, const QString &Operation);
void CloseObject(ServerObjectPtr &object);
void Delay(int Hundredths, int &Elapsed);
// Disconnects, closes every window and ends the program; throws ProgramEnd. Idempotent.
[[noreturn]] void UnloadAllForms();
// The login dialog's exit action: empties gUserName and ends the program.
[[noreturn]] void ExitAction();
// The tick of the idle-disconnect timer.
void Lock_Timer();

// "S FIRMA=..,FIL=..,PERSONAL=\"..\"" with every quote of the personnel code doubled. Company and
// branch go in as they stand when they are whole numbers, otherwise as quoted strings.
QString SessionCommand(const QString &firma, const QString &filiale, const QString &personal);

bool ProgramEnded();
// Marks the program as ended (UnloadAllForms) or, in tests, as running again.
void SetProgramEnded(bool ended);
// Whether the program ended through a failure: the top-level error report, or a server still out of
// reach after the last attempt. Its exit code is then not 0.
bool EndedByError();
void SetEndedByError();
// Throws ProgramEnd once the program has ended; called after anything that re-enters the event loop.
void ThrowIfEnded();

// Marks server work in progress: the idle-disconnect tick does not drop the connection meanwhile.
class ServerBusy {
public:
    ServerBusy();
    ~ServerBusy();
    ServerBusy(const ServerBusy &) = delete;
    ServerBusy &operator=(const ServerBusy &) = delete;
    static bool active();
};

// ---- Login ----------------------------------------------------------------------------------

bool LoginUser();

// ---- Handler guard --------------------------------------------------------------------------

// Runs one event handler. An error that escapes it goes to the top-level error report (number and
// description in a message box) and ends the program; the end of the program passes quietly. An
// error with which the connection was lost is shown as ShowCacheError shows it, and the program
// goes on (see ConnectionLosses).
// Nothing ever escapes into the event loop.
void RunHandler(const std::function<void()> &handler) noexcept;
// Whether a handler is running (also while it waits in a nested event loop).
bool HandlerRunning();
// How often a handler's server step broke off because the connection was lost under it (a
// restarted or vanished server). The guard tells the clerk and the program goes on; the next action
// connects again. The server rolled the step back, or stored a commit whose answer never came, so a
// screen filled before such a loss may not show what the server holds.
int ConnectionLosses();

// Resets every session value and flag to its start state (tests, and nothing else, need this).
void ResetSession();

} // namespace cacheapi
