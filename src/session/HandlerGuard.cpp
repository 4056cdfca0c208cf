// The guard around every event handler: nothing escapes into the event loop.

#include "CacheApi.h"

namespace cacheapi {

namespace {

// The number shown for an error that is not a server error: the platform's "internal error".
constexpr int kInternalError = 51;

int handlerDepth = 0; // handlers running, nested ones included

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
        if (!ProgramEnded())
            reportAndEnd(error.number(), error.description());
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
