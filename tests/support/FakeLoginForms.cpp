#include "FakeLoginForms.h"

FakeLoginForms::FakeLoginForms() {
    // The dialogs' design-time contents.
    fields[Field::BUSER] = QString();
    fields[Field::BPASSWORT] = QString();
    fields[Field::BFIRMA] = QStringLiteral("1");
    fields[Field::BFIL] = QStringLiteral("0");
    fields[Field::BSERVERIP] = QString();
    fields[Field::BPORT] = QStringLiteral("1973");
    fields[Field::BNAMESPACE] = QStringLiteral("KORVEX");
}

void FakeLoginForms::showLoginModal() {
    ++loginModalShows;
    loginShown = true;
    log << QStringLiteral("showLogin");
    if (onLoginModal)
        onLoginModal(*this);
    loginShown = false;
}

void FakeLoginForms::hideLogin() {
    ++loginHides;
    loginShown = false;
    log << QStringLiteral("hideLogin");
}

void FakeLoginForms::showServerModal() {
    ++serverModalShows;
    serverShown = true;
    log << QStringLiteral("showServer");
    if (onServerModal)
        onServerModal(*this);
    serverShown = false;
}

void FakeLoginForms::hideServer() {
    ++serverHides;
    serverShown = false;
    log << QStringLiteral("hideServer");
}

void FakeLoginForms::startLock() {
    lock = true;
    ++lockStarts;
    log << QStringLiteral("startLock");
}

void FakeLoginForms::stopLock() {
    lock = false;
    ++lockStops;
    log << QStringLiteral("stopLock");
}
