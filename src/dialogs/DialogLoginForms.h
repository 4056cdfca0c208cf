#pragma once

#include "session/LoginForms.h"

class FMPass;
class FMServer;
class QLineEdit;

// The session routines' view of the two real dialogs.
class DialogLoginForms : public cacheapi::LoginForms {
public:
    DialogLoginForms(FMPass &pass, FMServer &server) : m_pass(pass), m_server(server) {}

    QString field(Field f) const override;
    void setField(Field f, const QString &text) override;

    bool loginVisible() const override;
    void showLoginModal() override;
    void hideLogin() override;
    void selectPassword() override;

    void showServerModal() override;
    void hideServer() override;

    void startLock() override;
    void stopLock() override;
    bool lockActive() const override;

private:
    QLineEdit *lineEdit(Field f) const;

    FMPass &m_pass;
    FMServer &m_server;
};
