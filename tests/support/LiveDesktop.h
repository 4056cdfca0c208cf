#pragma once

#include "session/Desktop.h"
#include "session/ServerError.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTime>
#include <QTimer>

// The desktop of a process that runs the real main window with nobody at the screen (the
// benchmarks' clerks, the soak's): the events really run and the clock is the wall clock, as on a
// clerk's desktop. How its message boxes are answered is the subclass's.
class LiveDesktop : public cacheapi::Desktop {
public:
    void setBusyPointer(bool) override {}
    void processEvents(bool userInput) override {
        QCoreApplication::processEvents(userInput ? QEventLoop::AllEvents : QEventLoop::ExcludeUserInputEvents);
    }
    double secondsSinceMidnight() override { return QTime(0, 0).msecsTo(QTime::currentTime()) / 1000.0; }
    [[noreturn]] void endProgram() override { throw cacheapi::ProgramEnd(); }
};

// Lets the program's timers and arriving notifications run for `ms` milliseconds, as while a clerk
// looks at the screen.
inline void TurnEventLoop(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}
