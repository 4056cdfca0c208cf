#include "dialogs/DialogLoginForms.h"

#include "dialogs/FMPass.h"
#include "dialogs/FMServer.h"
#include "dialogs/TextField.h"
#include "text/TextHelpers.h"

#include <QTimer>

QLineEdit *DialogLoginForms::lineEdit(Field f) const {
    switch (f) {
    case Field::BUSER:
        return m_pass.BUSER;
    case Field::BPASSWORT:
        return m_pass.BPASSWORT;
    case Field::BFIRMA:
        return m_server.BFIRMA;
    case Field::BFIL:
        return m_server.BFIL;
    case Field::BSERVERIP:
        return m_server.BSERVERIP;
    case Field::BPORT:
        return m_server.BPORT;
    case Field::BNAMESPACE:
        return m_server.BNAMESPACE;
    }
    return nullptr;
}

QString DialogLoginForms::field(Field f) const {
    const QLineEdit *edit = lineEdit(f);
    return edit ? edit->text() : QString();
}

void DialogLoginForms::setField(Field f, const QString &text) {
    // The fields' typing limit does not apply here: a value the program puts in stays whole.
    if (QLineEdit *edit = lineEdit(f))
        edit->setText(text);
}

bool DialogLoginForms::loginVisible() const {
    return m_pass.isVisible();
}

void DialogLoginForms::showLoginModal() {
    m_pass.showModal();
}

void DialogLoginForms::hideLogin() {
    m_pass.hide();
}

void DialogLoginForms::selectPassword() {
    cacheapi::SelectAllText(m_pass.BPASSWORT, true);
}

void DialogLoginForms::showServerModal() {
    // Between connection attempts the settings dialog belongs to whatever window is in front.
    m_server.showModal(m_pass.isVisible() ? static_cast<QWidget *>(&m_pass) : m_pass.mainWindow());
}

void DialogLoginForms::hideServer() {
    m_server.hide();
}

void DialogLoginForms::startLock() {
    m_server.Lock->start();
}

void DialogLoginForms::stopLock() {
    m_server.Lock->stop();
}

bool DialogLoginForms::lockActive() const {
    return m_server.Lock->isActive();
}
