#include "dialogs/FMServer.h"

#include "session/CacheApi.h"
#include "dialogs/DialogLayout.h"
#include "dialogs/LogindialogsResources.h"
#include "dialogs/TextField.h"

#include <QLabel>
#include <QPushButton>
#include <QTimer>

using dialoglayout::place;

namespace {

TextField *settingsField(QWidget *parent, const QString &name, const QString &text, int left, int top, int width,
                         int height) {
    auto *field = new TextField(parent);
    field->setObjectName(name);
    field->setText(text);
    field->setEnabled(false);
    dialoglayout::useButtonFace(field);
    place(field, left, top, width, height);
    return field;
}

constexpr int kLockMilliseconds = 30000;

} // namespace

FMServer::FMServer(QWidget *parent) : QDialog(parent) {
    initLogindialogsResources();
    setObjectName(QStringLiteral("FMServer"));
    setWindowTitle(QStringLiteral("KORVEX Server"));
    dialoglayout::setFixedFrame(this, 3720, 1815);

    // Labels first: where a label reaches into its field, the field lies on top and takes the clicks.
    dialoglayout::label(this, QStringLiteral("Label6"), QStringLiteral("Port:"), 2640, 165, 615, 255);
    dialoglayout::label(this, QStringLiteral("Label4"), QStringLiteral("ServerIP:"), 360, 165, 615, 255);
    dialoglayout::label(this, QStringLiteral("Label2"), QStringLiteral("Filiale:"), 1680, 525, 495, 255);
    dialoglayout::label(this, QStringLiteral("Label1"), QStringLiteral("Firma:"), 600, 525, 495, 255);
    dialoglayout::label(this, QStringLiteral("Label3"), QStringLiteral("Namespace:"), 120, 885, 900, 195);

    BUEdit =
        dialoglayout::button(this, QStringLiteral("BUEdit"), QStringLiteral("Ändern"), QString(), 120, 1320, 1695, 375);
    QIcon lock;
    lock.addFile(QStringLiteral(":/logindialogs/schloss-zu.png"), QSize(16, 16), QIcon::Normal, QIcon::On);
    lock.addFile(QStringLiteral(":/logindialogs/schloss-offen.png"), QSize(16, 16), QIcon::Normal, QIcon::Off);
    BUEdit->setIcon(lock);
    BUEdit->setCheckable(true);
    BUEdit->setChecked(true);

    BSERVERIP = settingsField(this, QStringLiteral("BSERVERIP"), cacheapi::kDefaultServer, 1080, 120, 1455, 285);
    BPORT = settingsField(this, QStringLiteral("BPORT"), QStringLiteral("1973"), 3120, 120, 495, 285);
    BFIRMA = settingsField(this, QStringLiteral("BFIRMA"), QStringLiteral("1"), 1080, 480, 375, 285);
    BFIL = settingsField(this, QStringLiteral("BFIL"), QStringLiteral("0"), 2160, 480, 375, 285);
    BNAMESPACE = settingsField(this, QStringLiteral("BNAMESPACE"), QStringLiteral("KORVEX"), 1080, 840, 1455, 285);

    BUZurueck = dialoglayout::button(this, QStringLiteral("BUZurück"), QStringLiteral("Zurück"),
                                     QStringLiteral(":/logindialogs/zurueck.png"), 1920, 1320, 1695, 375);

    setTabOrder(BUEdit, BSERVERIP);
    setTabOrder(BSERVERIP, BPORT);
    setTabOrder(BPORT, BFIRMA);
    setTabOrder(BFIRMA, BFIL);
    setTabOrder(BFIL, BNAMESPACE);
    setTabOrder(BNAMESPACE, BUZurueck);

    Lock = new QTimer(this);
    Lock->setObjectName(QStringLiteral("Lock"));
    Lock->setInterval(kLockMilliseconds);
    // The tick disconnects, which stops the timer anyway; one tick per start is all there is.
    Lock->setSingleShot(true);

    connect(BUEdit, &QPushButton::clicked, this, [this] { guarded([this] { BUEdit_Click(); }); });
    connect(BUZurueck, &QPushButton::clicked, this, [this] { guarded([this] { BUZurück_Click(); }); });
    connect(Lock, &QTimer::timeout, this, [this] { guarded([] { cacheapi::Lock_Timer(); }); });
}

void FMServer::showModal(QWidget *owner) {
    if (cacheapi::ProgramEnded() || isVisible())
        return;
    dialoglayout::setOwner(this, owner);
    exec();
}

void FMServer::guarded(const std::function<void()> &handler) {
    cacheapi::RunHandler(handler);
    if (cacheapi::ProgramEnded())
        hide();
}

void FMServer::reject() {
    guarded([this] { BUZurück_Click(); });
}

bool FMServer::ask(const QString &question) {
    const auto answer =
        cacheapi::gDesktop->messageBox(QStringLiteral("Anmeldung an Caché"), question,
                                       cacheapi::Desktop::Buttons::YesNo, cacheapi::Desktop::Icon::None);
    cacheapi::ThrowIfEnded();
    return answer == cacheapi::Desktop::Answer::Yes;
}

void FMServer::setFieldsEnabled(bool enabled) {
    for (TextField *field : {BPORT, BSERVERIP, BFIRMA, BFIL, BNAMESPACE})
        field->setEnabled(enabled);
}

void FMServer::BUEdit_Click() {
    // The click has already flipped the button: set means the user is ending a change.
    if (BUEdit->isChecked()) {
        setFieldsEnabled(false);
        if (ask(QStringLiteral("Änderungen sichern?"))) {
            cacheapi::EndServerAccess(false);
            cacheapi::Disconnect();
            cacheapi::SaveLoginSettings(); // the login dialog's Sichern
            cacheapi::LoadLoginSettings();
        }
    } else {
        if (ask(QStringLiteral("Änderungen erlauben?")))
            setFieldsEnabled(true);
        else
            BUEdit->setChecked(true);
    }
}

void FMServer::BUZurück_Click() {
    hide();
}
