#pragma once

#include <QString>

namespace cacheapi {

// What the windowing platform gives the session routines. The real adapter lives in app/; tests
// use a recording double.
class Desktop {
public:
    enum class Buttons { Ok, YesNo };
    enum class Icon { None, Information, Exclamation };
    enum class Answer { Ok, Yes, No };

    virtual ~Desktop() = default;

    // A modal message box; the answer is the button pressed.
    virtual Answer messageBox(const QString &title, const QString &text, Buttons buttons, Icon icon) = 0;
    // The application's pointer: hourglass while busy, the arrow otherwise.
    virtual void setBusyPointer(bool busy) = 0;
    // Lets pending window events run. With userInput false, the windows repaint and timers tick,
    // but no key or mouse input is delivered.
    virtual void processEvents(bool userInput = true) = 0;
    // The clock in seconds since midnight, with fractions.
    virtual double secondsSinceMidnight() = 0;
    // Closes every window of the program, last opened first, and ends the program. Never returns
    // normally: it throws ProgramEnd.
    [[noreturn]] virtual void endProgram() = 0;
};

} // namespace cacheapi
