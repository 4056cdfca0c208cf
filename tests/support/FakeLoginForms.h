#pragma once

#include "session/LoginForms.h"

#include <QMap>
#include <QStringList>

#include <functional>

// The two dialogs as plain strings, with a scripted "user" for the modal showings.
class FakeLoginForms : public cacheapi::LoginForms {
public:
    FakeLoginForms();

    QString field(Field f) const override { return fields.value(f); }
    void setField(Field f, const QString &text) override { fields[f] = text; }

    bool loginVisible() const override { return loginShown; }
    void showLoginModal() override;
    void hideLogin() override;
    void selectPassword() override { ++passwordSelections; }

    void showServerModal() override;
    void hideServer() override;

    void startLock() override;
    void stopLock() override;
    bool lockActive() const override { return lock; }

    QMap<Field, QString> fields;
    bool loginShown = false;
    bool serverShown = false;
    int loginModalShows = 0;
    int serverModalShows = 0;
    int loginHides = 0;
    int serverHides = 0;
    int passwordSelections = 0;
    bool lock = false;
    int lockStarts = 0;
    int lockStops = 0;
    QStringList log; // "showLogin", "hideLogin", "showServer", "hideServer", "startLock", "stopLock"

    // What the user does while a dialog is shown modally (fill fields, save, ...).
    std::function<void(FakeLoginForms &)> onLoginModal;
    std::function<void(FakeLoginForms &)> onServerModal;
};
