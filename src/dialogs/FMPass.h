#pragma once

#include <QDialog>
#include <QPointer>

#include <functional>

class FMServer;
class QPushButton;
class TextField;

// "KORVEX Benutzeranmeldung": personnel code and password. Shown modally by the login at start-up
// and without blocking from the main window's menu for a new login. Created once, only hidden.
class FMPass : public QDialog {
public:
    explicit FMPass(FMServer *server, QWidget *parent = nullptr);

    TextField *BPASSWORT;
    TextField *BUSER;
    QPushButton *BUSpeich; // "Anmelden"
    QPushButton *BUAusst;  // "Abbruch"
    QPushButton *BUServer; // "Server"

    // The main window: "Anmelden" logs in anew while it is visible and then sets its caption.
    void setMainWindow(QWidget *mainWindow);
    QWidget *mainWindow() const { return m_mainWindow; }

    // Shows the dialog modally; returns once it is hidden again (or at once when the program has
    // ended). The caller checks for the end of the program afterwards.
    void showModal();
    // The menu's new login: shown without blocking, owned by the main window.
    void showModeless();
    bool shownModally() const { return m_modal; }

    // Stores the values of both dialogs.
    void Sichern();

    // Handlers; they may throw, the signal and event connections run them inside the handler guard.
    void Form_Activate();
    void Form_GotFocus();
    void BUSER_GotFocus();
    void BUSER_LostFocus();
    void BPASSWORT_GotFocus();
    void BUServer_Click();
    void BUSpeich_Click();
    [[noreturn]] void BUAusst_Click();

protected:
    bool event(QEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    // Escape and the frame's close box: "Abbruch" while shown modally, else hidden, saving nothing.
    void reject() override;

private:
    void guarded(const std::function<void()> &handler);
    // The menu's new login, repeated with the dialog shown modally until it succeeds.
    void newLogin();

    FMServer *m_server;
    QPointer<QWidget> m_mainWindow;
    bool m_modal = false;
    bool m_freshlyShown = false; // shown, not yet activated since
};
