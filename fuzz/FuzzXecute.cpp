// The stand-in server's "Xecute" with any command line. It runs exactly two commands: the
// terminal set-up and setting the session's company, branch and personnel code; everything else is
// refused with 1007. A personnel code with quotes in it comes back as it was sent, so no code a
// clerk types can set anything but itself.

#include "session/CacheApi.h"
#include "FuzzSupport.h"
#include "server/admin/KorvexDb.h"
#include "session/ServerErrorCodes.h"
#include "server/classes/ServerObjects.h"
#include "server/db/SqlConnection.h"

#include <QCoreApplication>
#include <QTemporaryDir>

using namespace kxserver;

namespace {

std::shared_ptr<SqlConnection> gConnection;

struct Outcome {
    bool accepted = false;
    int error = 0;
};

Outcome xecute(const QString &command) {
    gConnection->sessionFirma.reset();
    gConnection->sessionFiliale.reset();
    gConnection->sessionPersonal.reset();
    cacheapi::ServerObjectPtr windows = NewInstance(gConnection, QStringLiteral("KX.Windows"));
    QVariantList args{command};
    try {
        const QVariant reply = windows->call(QStringLiteral("Xecute"), args);
        FUZZ_CHECK(reply.toString().isEmpty(), command);
        return {true, 0};
    } catch (const cacheapi::ServerError &error) {
        return {false, error.number()};
    }
}

// A whole number that the command carries as it stands (SessionCommand leaves it unquoted): an
// optional minus and one to nine ASCII digits. (QString::toInt is no judge here: it stops at a NUL.)
bool commandNumber(const QString &text) {
    const qsizetype start = text.startsWith(QLatin1Char('-')) ? 1 : 0;
    const qsizetype digits = text.size() - start;
    if (digits < 1 || digits > 9)
        return false;
    for (qsizetype i = start; i < text.size(); ++i)
        if (text.at(i) < QLatin1Char('0') || text.at(i) > QLatin1Char('9'))
            return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    static QCoreApplication app(*argc, *argv);
    static QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("xecute.sqlite"));
    DbTarget target;
    target.path = path;
    try {
        CreateDatabase(target, DbContent{}, true);
    } catch (const cacheapi::ServerError &) {
        std::abort();
    }
    ConnectTarget connect;
    connect.path = path;
    gConnection = SqlConnection::open(connect);
    if (!gConnection)
        std::abort();
    // Closed before Qt's own statics go at exit (registered after them, so it runs first).
    std::atexit([] { gConnection.reset(); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    if (in.ConsumeBool()) {
        // Any command line.
        const QString command = fuzzsupport::restText(in);
        const Outcome outcome = xecute(command);
        if (!outcome.accepted) {
            FUZZ_CHECK(outcome.error == kBadCommand, command);
            return 0;
        }
        if (command == QLatin1String("D ^%XTT")) {
            FUZZ_CHECK(!gConnection->sessionPersonal, command);
            return 0;
        }
        FUZZ_CHECK(command.startsWith(QLatin1String("S FIRMA=")) && gConnection->sessionPersonal, command);
        // What was set, sent again the program's way, sets the same.
        const int firma = *gConnection->sessionFirma;
        const int filiale = *gConnection->sessionFiliale;
        const QString personal = *gConnection->sessionPersonal;
        const QString again = cacheapi::SessionCommand(QString::number(firma), QString::number(filiale), personal);
        FUZZ_CHECK(xecute(again).accepted, command + QStringLiteral(" / ") + again);
        FUZZ_CHECK(*gConnection->sessionFirma == firma && *gConnection->sessionFiliale == filiale &&
                       *gConnection->sessionPersonal == personal,
                   command + QStringLiteral(" / ") + again);
        return 0;
    }

    // The command the program builds from the login values.
    const QString firma = fuzzsupport::takeText(in, 12);
    const QString filiale = fuzzsupport::takeText(in, 12);
    const QString personal = fuzzsupport::restText(in);
    const QString command = cacheapi::SessionCommand(firma, filiale, personal);
    const Outcome outcome = xecute(command);
    if (outcome.accepted) {
        // Whatever the code holds, it is the code that was sent, for the company and branch sent.
        FUZZ_CHECK(*gConnection->sessionPersonal == personal, command);
        FUZZ_CHECK(QString::number(*gConnection->sessionFirma) == QString::number(firma.toInt()), command);
        FUZZ_CHECK(QString::number(*gConnection->sessionFiliale) == QString::number(filiale.toInt()), command);
    } else {
        FUZZ_CHECK(outcome.error == kBadCommand, command);
        // Refused only for a company or branch that is no whole number, or for text that is not
        // valid UTF-16 (a lone surrogate no keyboard or file brings).
        FUZZ_CHECK(!commandNumber(firma) || !commandNumber(filiale) || !command.isValidUtf16(), command);
    }
    return 0;
}
