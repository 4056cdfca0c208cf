// The program's command line with any text: ReadCommandLine through the login dialogs' double. A
// command line either supplies the values (first field a whole number) or falls back to the stored
// settings; either way the connection string must parse back to the server and port it was built
// from, or be refused, and nothing may crash.

#include "session/CacheApi.h"
#include "FakeDesktop.h"
#include "FakeLoginForms.h"
#include "FuzzSupport.h"
#include "server/db/SqlConnection.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>

using namespace cacheapi;

namespace {

QTemporaryDir *gDir = nullptr;

// Ports the connection string can carry unambiguously: one to five digits.
bool plainPort(const QString &port) {
    if (port.isEmpty() || port.size() > 5)
        return false;
    for (const QChar c : port)
        if (c < u'0' || c > u'9')
            return false;
    return true;
}

void checkConnectString() {
    FUZZ_CHECK(gConnectString == BuildConnectString(gServer, gPort), gConnectString);
    const std::optional<kxserver::ConnectTarget> target = kxserver::ParseConnectString(gConnectString);
    if (!target)
        return;
    // A parsed string names exactly what was asked for: no other file, no other host. (A port that
    // is not a number can end in "[digits" and so move its junk into the file name; such a file
    // does not exist, and the connect fails as it should. The string's format leaves no way to tell.)
    if (target->backend == kxserver::Backend::Sqlite) {
        if (!plainPort(gPort))
            return;
        FUZZ_CHECK(target->path == QFileInfo(gServer).absoluteFilePath(),
                   gConnectString + QStringLiteral(" -> ") + target->path);
    } else {
        FUZZ_CHECK(target->host == gServer, gConnectString + QStringLiteral(" -> ") + target->host);
        FUZZ_CHECK(plainPort(gPort) && target->port == gPort.toInt(), gConnectString);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    static QCoreApplication app(*argc, *argv);
    gDir = new QTemporaryDir; // lives for the run, like the settings of a real user
    const QString file = gDir->filePath(QStringLiteral("Cache Login.ini"));
    SetSettingsFile(file);
    // Complete stored settings, so that a command line that is not used logs in from the store
    // without the dialog; the server is a file that does not exist.
    QSettings store(file, QSettings::IniFormat);
    store.beginGroup(QStringLiteral("Login"));
    store.setValue(QStringLiteral("Name"), QStringLiteral("FUZZ"));
    store.setValue(QStringLiteral("Passwort"), MaskPassword(QStringLiteral("geheim")));
    store.setValue(QStringLiteral("Server"), gDir->filePath(QStringLiteral("fehlt.sqlite")));
    store.setValue(QStringLiteral("Port"), QStringLiteral("1973"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    const bool dropped = in.ConsumeBool();
    const QString commandLine = fuzzsupport::restText(in);

    ResetSession();
    FakeLoginForms forms;
    FakeDesktop desktop;
    gForms = &forms;
    gDesktop = &desktop;
    gCommandLineDropped = dropped;
    gCommandLine = commandLine;
    ReadCommandLine();
    gForms = nullptr;
    gDesktop = nullptr;

    // The dialogs show what the session holds.
    FUZZ_CHECK(forms.field(LoginForms::Field::BFIRMA) == gFirma, commandLine);
    FUZZ_CHECK(forms.field(LoginForms::Field::BSERVERIP) == gServer, commandLine);
    FUZZ_CHECK(forms.field(LoginForms::Field::BPORT) == gPort, commandLine);
    FUZZ_CHECK(forms.field(LoginForms::Field::BUSER) == gUser, commandLine);
    FUZZ_CHECK(forms.loginModalShows == 0, commandLine); // the store is complete: no dialog needed
    // Only a command line set aside for an overlong field says so.
    FUZZ_CHECK(desktop.boxes.size() <= 1, commandLine);

    const bool fromCommandLine = gUser != QLatin1String("FUZZ") || gPassword != QLatin1String("geheim");
    if (fromCommandLine) {
        FUZZ_CHECK(!dropped, commandLine);
        // Fields are separated by single blanks: none of the values can hold one.
        for (const QString *value : {&gFirma, &gFiliale, &gUser, &gPassword, &gServer, &gPort, &gNamespace}) {
            FUZZ_CHECK(!value->contains(QLatin1Char(' ')), commandLine);
            FUZZ_CHECK(value->size() <= kMaxValueLength, commandLine);
        }
        FUZZ_CHECK(!gServer.isEmpty() && !gPort.isEmpty() && !gNamespace.isEmpty(), commandLine);
    }
    checkConnectString();
    return 0;
}
