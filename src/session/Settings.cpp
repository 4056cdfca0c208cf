// Connection and login values: the command line, the stored settings and the connection string.

#include "session/CacheApi.h"
#include "text/TextHelpers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <stdexcept>

namespace cacheapi {

namespace {

QString settingsFile; // empty: the per-user store

const QString kGroup = QStringLiteral("Login");
const QString kCommandLinePort = QStringLiteral("1972");
const QString kStoredPort = QStringLiteral("1973");
const QString kDefaultNamespace = QStringLiteral("KORVEX");

// The file holds the masked password, which is only obfuscation: nobody but its owner may read it.
void restrictToOwner(const QString &path) {
#ifdef Q_OS_UNIX
    QFile file(path);
    if (!file.exists()) {
        // Created empty and owner-only up front, so that the first write never leaves it readable by others.
        QFileInfo(path).absoluteDir().mkpath(QStringLiteral("."));
        if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly, QFileDevice::ReadOwner | QFileDevice::WriteOwner))
            return;
        file.close();
    }
    // Whatever sits there in place of a file (a folder, say) is not the store and keeps its rights.
    if (QFileInfo(path).isFile())
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
#else
    Q_UNUSED(path);
#endif
}

// Writes go to disk when the store is dropped; the file is made owner-only again afterwards, whatever
// replaced it on the way.
class LoginStore : public QSettings {
public:
    using QSettings::QSettings;
    ~LoginStore() override {
        sync();
        restrictToOwner(fileName());
    }
};

LoginForms &forms() {
    if (!gForms)
        throw std::logic_error("cacheapi::gForms is not set");
    return *gForms;
}

// A company number is a whole number: an optional sign and at least one ASCII digit, nothing else.
bool isNumericField(const QString &text) {
    qsizetype i = 0;
    if (i < text.size() && (text.at(i) == QLatin1Char('+') || text.at(i) == QLatin1Char('-')))
        ++i;
    if (i == text.size())
        return false;
    for (; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        if (c < u'0' || c > u'9')
            return false;
    }
    return true;
}

// The settings dialog's fields show the connection values in force; company, branch and personnel
// code are passed in, since after a login the fields may hold those of the next login.
void showSettingsInForms(LoginForms &f, const QString &firma, const QString &filiale, const QString &user) {
    f.setField(LoginForms::Field::BFIRMA, firma);
    f.setField(LoginForms::Field::BFIL, filiale);
    f.setField(LoginForms::Field::BSERVERIP, gServer);
    f.setField(LoginForms::Field::BPORT, gPort);
    f.setField(LoginForms::Field::BNAMESPACE, gNamespace);
    f.setField(LoginForms::Field::BUSER, user);
}

// A value far beyond any real one (a broken or hostile file) reads as missing: filling the fields with
// millions of characters would hold up the start for no use.
QString readText(const QSettings &store, const QString &key, const QString &fallback) {
    const QString text = store.value(key, fallback).toString();
    return text.size() > kMaxValueLength ? fallback : text;
}

// A store that cannot be read or written is an error of the calling handler, never a silent loss of
// what the clerk typed or a login on defaults. A file with odd lines is no such failure: what can be
// read of it counts, what cannot reads as missing, and a write replaces it whole.
void checkStore(QSettings &store, bool written) {
    if (written)
        store.sync();
    if (store.status() != QSettings::AccessError)
        return;
    throw std::runtime_error((QStringLiteral("Die Anmeldeeinstellungen konnten nicht ") +
                              (written ? QStringLiteral("gespeichert") : QStringLiteral("gelesen")) +
                              QStringLiteral(" werden: ") + QDir::toNativeSeparators(store.fileName()) +
                              QStringLiteral("\nKein Zugriff auf die Datei."))
                                 .toStdString());
}

// The number of the first of the seven command-line fields that is longer than any real value, or 0.
int overlongCommandLineField() {
    for (int field = 1; field <= 7; ++field)
        if (Piece(gCommandLine, QStringLiteral(" "), field).size() > kMaxValueLength)
            return field;
    return 0;
}

bool commandLineQualifies() {
    return !gCommandLineDropped && !gCommandLine.isEmpty() &&
           isNumericField(Piece(gCommandLine, QStringLiteral(" "), 1));
}

} // namespace

void SetSettingsFile(const QString &path) {
    settingsFile = path;
}

std::unique_ptr<QSettings> OpenLoginStore() {
    std::unique_ptr<QSettings> store;
    if (settingsFile.isEmpty())
        store = std::make_unique<LoginStore>(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("KORVEX"),
                                             QStringLiteral("Cache Login"));
    else
        store = std::make_unique<LoginStore>(settingsFile, QSettings::IniFormat);
    // Only this program's own file counts: a value missing there reads as its default, not as
    // whatever a KORVEX.ini of the organisation or of the system holds.
    store->setFallbacksEnabled(false);
    restrictToOwner(store->fileName());
    store->beginGroup(kGroup);
    return store;
}

QString BuildConnectString(const QString &server, const QString &port) {
    return QStringLiteral("cn_iptcp:") + server + QLatin1Char('[') + port + QStringLiteral("]:KORVEX");
}

QString MaskPassword(const QString &Text) {
    QString result(Text.size(), Qt::Uninitialized);
    for (qsizetype i = 0; i < Text.size(); ++i)
        result[i] = QChar(char16_t(Text.at(i).unicode() ^ kMaskConstant));
    return result;
}

void LoadLoginSettings() {
    LoginForms &f = forms();
    QString firma;
    QString filiale;
    QString user;
    QString password;
    {
        const auto store = OpenLoginStore();
        firma = readText(*store, QStringLiteral("Firma"), QStringLiteral("1"));
        filiale = readText(*store, QStringLiteral("Filiale"), QStringLiteral("0"));
        gServer = readText(*store, QStringLiteral("Server"), kDefaultServer);
        gPort = readText(*store, QStringLiteral("Port"), kStoredPort);
        gNamespace = readText(*store, QStringLiteral("Namespace"), kDefaultNamespace);
        user = readText(*store, QStringLiteral("Name"), QString());
        checkStore(*store, false);

        // After a server error the password typed in the dialog stays in force; otherwise the stored one wins.
        password = f.field(LoginForms::Field::BPASSWORT);
        if (!gLoginFailed) {
            password = MaskPassword(readText(*store, QStringLiteral("Passwort"), QString()));
            f.setField(LoginForms::Field::BPASSWORT, password);
        }
    }
    // Whoever is logged in stays who he is until a login checks the password of somebody else: a
    // company or code saved in the settings dialog is the next login's, shown in the fields and
    // stored, while the session (its environment at every reconnect, what it writes) keeps the
    // identity whose password was checked. Server and port take effect at once.
    if (!gLoggedIn) {
        gFirma = firma;
        gFiliale = filiale;
        gUser = user;
        gPassword = password;
    }
    showSettingsInForms(f, firma, filiale, user);
}

void SaveLoginSettings() {
    const LoginForms &f = forms();
    const auto store = OpenLoginStore();
    store->setValue(QStringLiteral("Firma"), f.field(LoginForms::Field::BFIRMA));
    store->setValue(QStringLiteral("Filiale"), f.field(LoginForms::Field::BFIL));
    store->setValue(QStringLiteral("Name"), f.field(LoginForms::Field::BUSER));
    // A password typed after a server error is not known to be right: the stored one stays.
    if (!gLoginFailed)
        store->setValue(QStringLiteral("Passwort"), MaskPassword(f.field(LoginForms::Field::BPASSWORT)));
    store->setValue(QStringLiteral("Server"), f.field(LoginForms::Field::BSERVERIP));
    store->setValue(QStringLiteral("Port"), f.field(LoginForms::Field::BPORT));
    store->setValue(QStringLiteral("Namespace"), f.field(LoginForms::Field::BNAMESPACE));
    checkStore(*store, true);
}

bool CommandLineInUse() {
    return commandLineQualifies() && overlongCommandLineField() == 0;
}

void ReadCommandLine() {
    LoginForms &f = forms();
    const QString blank = QStringLiteral(" ");
    // A field far longer than any real value is no calling program's login: the whole command line
    // is set aside, once and with a word, so that none of it reaches the dialogs or the store.
    if (const int field = commandLineQualifies() ? overlongCommandLineField() : 0) {
        gCommandLineDropped = true;
        gDesktop->messageBox(QStringLiteral("Anmeldung an Caché"),
                             QStringLiteral("Die Befehlszeile wird nicht verwendet: Feld ") + QString::number(field) +
                                 QStringLiteral(" ist länger als ") + QString::number(kMaxValueLength) +
                                 QStringLiteral(" Zeichen. Es gelten die gespeicherten Einstellungen."),
                             Desktop::Buttons::Ok, Desktop::Icon::Exclamation);
        ThrowIfEnded();
    }
    if (CommandLineInUse()) {
        // A calling program passed the values on: they win, without the stored settings or the dialog.
        gFirma = Piece(gCommandLine, blank, 1);
        gFiliale = Piece(gCommandLine, blank, 2);
        gUser = Piece(gCommandLine, blank, 3);
        gPassword = Piece(gCommandLine, blank, 4);
        gServer = Piece(gCommandLine, blank, 5, kDefaultServer);
        gPort = Piece(gCommandLine, blank, 6, kCommandLinePort);
        gNamespace = Piece(gCommandLine, blank, 7, kDefaultNamespace);
        showSettingsInForms(f, gFirma, gFiliale, gUser);
    } else {
        LoadLoginSettings();
        const bool complete = !gPassword.isEmpty() && !gLoginFailed && !gLoginRejected && !gUser.isEmpty();
        if (!complete) {
            if (!f.loginVisible()) {
                f.showLoginModal();
                ThrowIfEnded();
            }
            // The dialog's OK saved the fields: those are the values of this login.
            LoadLoginSettings();
        }
    }
    gConnectString = BuildConnectString(gServer, gPort);
}

} // namespace cacheapi
