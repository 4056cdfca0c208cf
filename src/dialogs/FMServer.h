#pragma once

#include <QDialog>

#include <functional>

class QLabel;
class QPushButton;
class QTimer;
class TextField;

// "KORVEX Server": the connection values, locked against typing until the user asks to change
// them. It also carries Lock, the idle-disconnect timer of the connection, so it lives hidden for
// the whole run and is never destroyed before the end.
class FMServer : public QDialog {
public:
    explicit FMServer(QWidget *parent = nullptr);

    TextField *BSERVERIP;
    TextField *BPORT;
    TextField *BFIRMA;
    TextField *BFIL;
    TextField *BNAMESPACE;
    QPushButton *BUEdit;    // latching: checked = fields locked
    QPushButton *BUZurueck; // object name "BUZurück"
    QTimer *Lock;           // 30 s idle-disconnect countdown

    // Shows the dialog modally, owned by owner; returns once it is hidden again (or at once when
    // the program has ended). The caller checks for the end of the program afterwards.
    void showModal(QWidget *owner = nullptr);

    // Handlers; they may throw, the signal connections run them inside the handler guard.
    void BUEdit_Click();
    void BUZurück_Click();

protected:
    void reject() override; // Escape and the frame's close box act as "Zurück"

private:
    // Runs a handler inside the guard; once the program has ended, the modal showing ends too.
    void guarded(const std::function<void()> &handler);
    void setFieldsEnabled(bool enabled);
    bool ask(const QString &question);
};
