// The guard around every event handler: nothing escapes into the event loop.

#include "session/CacheApi.h"

namespace cacheapi {

namespace {

// The number shown for an error that is not a server error: the platform's "internal error".
constexpr int kInternalError = 51;

int handlerDepth = 0; // handlers running, nested ones included
int connectionLosses = 0;

// Whether the session had a connection and has lost it: the server closed it, or it no longer answers.
bool connectionLost() noexcept {
    if (!gFactory)
        return false;
    try {
        return !gFactory->connected();
    } catch (...) {
        return true;
    }
}

void reportAndEnd(int number, const QString &description) noexcept {
    SetEndedByError();
    try {
        if (gDesktop) {
            gDesktop->messageBox(QStringLiteral("KORVEX Update Hauptlieferanten"),
                                 QStringLiteral("Laufzeitfehler ") + QString::number(number) +
                                     QStringLiteral(":\r\n\r\n") + description,
                                 Desktop::Buttons::Ok, Desktop::Icon::Exclamation);
        }
        UnloadAllForms();
    } catch (...) {
        // The end of the program, or a failure while reporting: either way nothing more can run.
    }
}

} // namespace

bool HandlerRunning() {
    return handlerDepth > 0;
}

int ConnectionLosses() {
    return connectionLosses;
}

void RunHandler(const std::function<void()> &handler) noexcept {
    // Events that were queued before the end must not touch the server or the windows.
    if (ProgramEnded() || !handler)
        return;
    struct Depth {
        Depth() { ++handlerDepth; }
        ~Depth() { --handlerDepth; }
    } depth;
    try {
        handler();
    } catch (const ProgramEnd &) {
        // The program has ended on purpose: leave quietly.
    } catch (const ServerError &error) {
        if (ProgramEnded())
            return;
        // A connection problem, like the ones ConnectServer answers with its attempts: the step broke
        // off with the connection (the server rolled it back, or stored a commit whose answer never
        // came), the program goes on, and the next action connects again. Every other error ends the
        // program.
        if (!connectionLost()) {
            reportAndEnd(error.number(), error.description());
            return;
        }
        ++connectionLosses;
        try {
            ShowCacheError(error, QStringLiteral("Serverzugriff"));
        } catch (...) {
            // The program ended while the box was open.
        }
    } catch (const std::exception &error) {
        if (!ProgramEnded()) {
            QString text = QString::fromUtf8(error.what());
            if (text.isEmpty())
                text = QStringLiteral("Interner Fehler");
            reportAndEnd(kInternalError, text);
        }
    } catch (...) {
        if (!ProgramEnded())
            reportAndEnd(kInternalError, QStringLiteral("Interner Fehler"));
    }
}

} // namespace cacheapi
