#include "FakeDesktop.h"

#include "session/ServerError.h"

cacheapi::Desktop::Answer FakeDesktop::messageBox(const QString &title, const QString &text, Buttons buttons,
                                                  Icon icon) {
    Box box{title, text, buttons, icon};
    boxes.append(box);
    if (onBox)
        onBox(box);
    if (!answers.empty()) {
        Answer a = answers.front();
        answers.pop_front();
        return a;
    }
    return buttons == Buttons::YesNo ? Answer::Yes : Answer::Ok;
}

void FakeDesktop::setBusyPointer(bool b) {
    busy = b;
    pointerLog.append(b);
}

void FakeDesktop::processEvents(bool userInput) {
    ++eventRuns;
    if (!userInput)
        ++eventRunsWithoutInput;
    if (onProcessEvents)
        onProcessEvents();
}

double FakeDesktop::secondsSinceMidnight() {
    double now = clock;
    clock += clockStep;
    if (clock >= 86400.0)
        clock -= 86400.0;
    return now;
}

void FakeDesktop::endProgram() {
    ++endCount;
    if (onEndProgram)
        onEndProgram();
    throw cacheapi::ProgramEnd();
}
