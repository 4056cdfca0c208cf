#pragma once

#include "session/Desktop.h"

#include <QList>
#include <QString>

#include <deque>
#include <functional>

// Records every message box and answers from a queue; an empty queue answers the box's first
// button (OK, or Yes).
class FakeDesktop : public cacheapi::Desktop {
public:
    struct Box {
        QString title;
        QString text;
        Buttons buttons;
        Icon icon;
    };

    Answer messageBox(const QString &title, const QString &text, Buttons buttons, Icon icon) override;
    void setBusyPointer(bool busy) override;
    void processEvents(bool userInput = true) override;
    double secondsSinceMidnight() override;
    [[noreturn]] void endProgram() override;

    QList<Box> boxes;
    std::deque<Answer> answers;           // answers for the next boxes, in order
    std::function<void(const Box &)> onBox; // runs when a box is shown, before it is answered

    bool busy = false;
    QList<bool> pointerLog;   // every setBusyPointer call
    int eventRuns = 0;        // processEvents calls
    int eventRunsWithoutInput = 0;
    std::function<void()> onProcessEvents;

    // The clock: each read advances it by clockStep seconds and wraps at midnight.
    double clock = 8 * 3600.0;
    double clockStep = 0.01;

    int endCount = 0; // how often the program was ended
    std::function<void()> onEndProgram; // runs when the program is ended, before it throws
};
