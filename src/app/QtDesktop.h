#pragma once

#include "Desktop.h"

// The session routines' view of the desktop, over QMessageBox and QApplication.
class QtDesktop : public cacheapi::Desktop {
public:
    Answer messageBox(const QString &title, const QString &text, Buttons buttons, Icon icon) override;
    void setBusyPointer(bool busy) override;
    void processEvents(bool userInput = true) override;
    double secondsSinceMidnight() override;
    [[noreturn]] void endProgram() override;

    bool ended() const { return m_ended; }

private:
    bool m_busy = false;
    bool m_ended = false;
};
