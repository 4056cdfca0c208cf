#include "dialogs/FMPass.h"

#include "session/CacheApi.h"
#include "dialogs/DialogLayout.h"
#include "dialogs/FMServer.h"
#include "dialogs/LogindialogsResources.h"
#include "dialogs/TextField.h"
#include "text/TextHelpers.h"

#include <QEvent>
#include <QPushButton>

namespace {

constexpr int kFieldLimit = 20;

TextField *loginField(QWidget *parent, const QString &name, int left, int top, int width, int height) {
    auto *field = new TextField(parent);
    field->setObjectName(name);
    field->setTypingLimit(kFieldLimit);
    dialoglayout::place(field, left, top, width, height);
    return field;
}

} // namespace

FMPass::FMPass(FMServer *server, QWidget *parent) : QDialog(parent), m_server(server) {
    initLogindialogsResources();
    setObjectName(QStringLiteral("FMPass"));
    setWindowTitle(QStringLiteral("KORVEX Benutzeranmeldung"));
    dialoglayout::setFixedFrame(this, 3975, 1410);

    // Labels first, so that the fields lie on top of them.
    dialoglayout::label(this, QStringLiteral("Label3"), QStringLiteral("Passwort:"), 1320, 540, 690, 195);
    dialoglayout::label(this, QStringLiteral("Label5"), QStringLiteral("User(RUV Personalcode):"), 120, 165, 1920, 195);

    BPASSWORT = loginField(this, QStringLiteral("BPASSWORT"), 2280, 525, 1455, 285);
    BPASSWORT->showAsPassword();
    BUSER = loginField(this, QStringLiteral("BUSER"), 2280, 120, 1455, 285);

    BUSpeich = dialoglayout::button(this, QStringLiteral("BUSpeich"), QStringLiteral("Anmelden"),
                                    QStringLiteral(":/logindialogs/anmelden.png"), 120, 960, 1695, 375);
    BUAusst = dialoglayout::button(this, QStringLiteral("BUAusst"), QStringLiteral("Abbruch"),
                                   QStringLiteral(":/logindialogs/abbruch.png"), 2160, 960, 1695, 375);
    BUServer = dialoglayout::button(this, QStringLiteral("BUServer"), QStringLiteral("Server"),
                                    QStringLiteral(":/logindialogs/server.png"), 120, 480, 1095, 375);
    // Enter anywhere in the dialog logs in; Escape is the dialog's reject (see there).
    BUSpeich->setDefault(true);

    setTabOrder(BPASSWORT, BUSER);
    setTabOrder(BUSER, BUSpeich);
    setTabOrder(BUSpeich, BUAusst);
    setTabOrder(BUAusst, BUServer);

    BPASSWORT->onGotFocus = [this] { guarded([this] { BPASSWORT_GotFocus(); }); };
    BUSER->onGotFocus = [this] { guarded([this] { BUSER_GotFocus(); }); };
    BUSER->onLostFocus = [this] { guarded([this] { BUSER_LostFocus(); }); };
    connect(BUSpeich, &QPushButton::clicked, this, [this] { guarded([this] { BUSpeich_Click(); }); });
    connect(BUAusst, &QPushButton::clicked, this, [this] { guarded([this] { BUAusst_Click(); }); });
    connect(BUServer, &QPushButton::clicked, this, [this] { guarded([this] { BUServer_Click(); }); });
}

void FMPass::setMainWindow(QWidget *mainWindow) {
    m_mainWindow = mainWindow;
}

void FMPass::showModal() {
    if (cacheapi::ProgramEnded() || isVisible())
        return;
    dialoglayout::setOwner(this, m_mainWindow);
    m_modal = true;
    exec();
    m_modal = false;
}

void FMPass::showModeless() {
    if (cacheapi::ProgramEnded())
        return;
    dialoglayout::setOwner(this, m_mainWindow);
    show();
    raise();
    activateWindow();
}

void FMPass::guarded(const std::function<void()> &handler) {
    cacheapi::RunHandler(handler);
    // Once the program has ended, no modal showing may keep its caller waiting.
    if (cacheapi::ProgramEnded()) {
        if (m_server)
            m_server->hide();
        hide();
    }
}

bool FMPass::event(QEvent *event) {
    if (event->type() == QEvent::Show)
        m_freshlyShown = true;
    const bool handled = QDialog::event(event);
    // Only the activation that follows a showing puts the cursor into the password field. Coming back
    // from the settings dialog, the clerk may already have clicked another field, and an activation
    // that arrives late (no window manager) must not pull the typing away from it.
    if (event->type() == QEvent::WindowActivate && m_freshlyShown) {
        m_freshlyShown = false;
        guarded([this] { Form_Activate(); });
    }
    return handled;
}

void FMPass::focusInEvent(QFocusEvent *event) {
    QDialog::focusInEvent(event);
    guarded([this] { Form_GotFocus(); });
}

void FMPass::reject() {
    // Shown modally, the dialog holds up a login that waits for its values: closing it without
    // "Anmelden" (Escape, the frame's close box) is the clerk's "Abbruch", never a login with values
    // he did not confirm. Shown from the menu, it only goes away, nothing saved.
    guarded([this] {
        if (m_modal)
            BUAusst_Click();
        hide();
    });
}

void FMPass::Form_Activate() {
    // A field that cannot take the focus just does not get it; the dialog stays usable.
    BPASSWORT->setFocus(Qt::OtherFocusReason);
}

void FMPass::Form_GotFocus() {
    BPASSWORT->setFocus(Qt::OtherFocusReason);
}

void FMPass::BUSER_GotFocus() {
    cacheapi::SelectAllText(BUSER, true);
}

void FMPass::BUSER_LostFocus() {
    const QString upper = cacheapi::UpperCase(BUSER->text());
    if (upper != BUSER->text())
        BUSER->setText(upper);
}

void FMPass::BPASSWORT_GotFocus() {
    cacheapi::SelectAllText(BPASSWORT, true);
}

void FMPass::BUServer_Click() {
    if (m_server)
        m_server->showModal(this);
    cacheapi::ThrowIfEnded();
}

void FMPass::Sichern() {
    cacheapi::SaveLoginSettings();
}

void FMPass::BUSpeich_Click() {
    // Enter presses "Anmelden" without the personnel code ever losing the focus; it is stored in
    // upper case all the same.
    BUSER_LostFocus();
    Sichern();
    // Shown modally, the dialog belongs to a login that is waiting for it; only the menu's
    // showing while the main window works starts a login of its own.
    if (!m_modal && m_mainWindow && m_mainWindow->isVisible())
        newLogin();
    cacheapi::gDesktop->processEvents();
    cacheapi::ThrowIfEnded();
    hide();
}

void FMPass::newLogin() {
    cacheapi::Disconnect();
    bool loggedIn = cacheapi::LoginUser();
    cacheapi::ThrowIfEnded();
    // A rejected or failed new login must not leave the main window working on under values
    // nobody checked (the next reconnect would send them as the session environment): the dialog
    // comes back, blocking, until a login succeeds or "Abbruch" ends the program.
    while (!loggedIn) {
        hide();
        cacheapi::gLoginFailed = false;
        loggedIn = cacheapi::LoginUser();
        cacheapi::ThrowIfEnded();
    }
    if (m_mainWindow)
        m_mainWindow->setWindowTitle(QStringLiteral("KORVEX Update Hauptlieferanten              Firma: ") +
                                     cacheapi::gFirma + QStringLiteral("     Filiale: ") + cacheapi::gFiliale +
                                     QStringLiteral("     Benutzer: ") + cacheapi::gUserDisplayName);
}

void FMPass::BUAusst_Click() {
    cacheapi::ExitAction();
}
