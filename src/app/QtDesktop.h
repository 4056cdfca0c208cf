#pragma once

#include "session/Desktop.h"

class QCoreApplication;
class QTranslator;

// Qt's own texts in German (context menus of the fields, standard buttons, the print dialogs), from
// the translations of the Qt installation (Debian: qt6-translations-l10n). Returns the installed
// translator, owned by app, or nullptr when the file is missing; Qt's English texts stay then, and
// the program's own questions still answer "Ja" or "Nein".
QTranslator *InstallGermanQtTexts(QCoreApplication &app);

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
