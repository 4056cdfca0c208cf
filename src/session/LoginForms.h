#pragma once

#include <QString>

namespace cacheapi {

// The login dialog FMPass and the settings dialog FMServer as the session routines see them:
// their fields, their showing and hiding, and the idle-disconnect timer Lock that FMServer carries.
class LoginForms {
public:
    enum class Field { BUSER, BPASSWORT, BFIRMA, BFIL, BSERVERIP, BPORT, BNAMESPACE };

    virtual ~LoginForms() = default;

    virtual QString field(Field f) const = 0;
    virtual void setField(Field f, const QString &text) = 0;

    virtual bool loginVisible() const = 0;
    // Shows FMPass modally; returns once it is hidden again.
    virtual void showLoginModal() = 0;
    virtual void hideLogin() = 0;
    // SelectAllText on BPASSWORT with SelectOnly true.
    virtual void selectPassword() = 0;

    // Shows FMServer modally; returns once it is hidden again.
    virtual void showServerModal() = 0;
    virtual void hideServer() = 0;

    // The Lock timer: start begins a fresh 30-second countdown, stop stops it.
    virtual void startLock() = 0;
    virtual void stopLock() = 0;
    virtual bool lockActive() const = 0;
};

} // namespace cacheapi
