// The user login: login values, connection, password check against the personnel data, the
// user's further values and the session environment.

#include "session/CacheApi.h"
#include "text/TextHelpers.h"

namespace cacheapi {

namespace {

const QString kConnecting = QStringLiteral("Verbindungsaufbau");
const QString kUnknownCode = QStringLiteral("Anmeldung mit nicht existierendem Personalcode");
const QString kDepartment = QStringLiteral("Abteilungsermittlung");
const QString kBaseRecord = QStringLiteral("PersBasis Nummern");
const QString kSessionSet = QStringLiteral("Firma Filiale Personal Setzen");

// Set when a login with command-line values went wrong: the next login asks the user first.
bool gPromptAfterDrop = false;

// A server error inside one of the login's guarded steps, with the name of that step.
struct StepFailure {
    ServerError error;
    QString operation;
};

template <class Step> auto guarded(const QString &operation, Step &&step) {
    try {
        return step();
    } catch (const ServerError &error) {
        throw StepFailure{error, operation};
    }
}

// Closes its server object however the login leaves the scope.
class ObjectHolder {
public:
    ObjectHolder() = default;
    ObjectHolder(const ObjectHolder &) = delete;
    ObjectHolder &operator=(const ObjectHolder &) = delete;
    ~ObjectHolder() { CloseObject(m_object); }

    ServerObject *operator->() const { return m_object.get(); }
    void reset(ServerObjectPtr object) {
        CloseObject(m_object);
        m_object = std::move(object);
    }
    void close() { CloseObject(m_object); }

private:
    ServerObjectPtr m_object;
};

QString idOf(const QString &key) {
    return gFirma + QStringLiteral("||") + key;
}

QString callText(ServerObject *object, const QString &method, const QVariant &arg) {
    QVariantList args{arg};
    return object->call(method, args).toString();
}

// A wrong password or code on the command line would otherwise come back at every repetition of
// the start-up login: from now on the login dialog asks, starting with the code that was tried.
// The connection to the command line's server goes with it, so that nothing of this run works on
// over it under values the clerk has not confirmed.
void dropCommandLine(bool fromCommandLine) {
    if (!fromCommandLine || gCommandLineDropped)
        return;
    gCommandLineDropped = true;
    gPromptAfterDrop = true;
    gForms->setField(LoginForms::Field::BPASSWORT, QString());
    Disconnect();
}

// The first login after the drop shows the dialog as the command line left it (its values in the
// fields, the password empty) before the stored settings are read; its "Anmelden" stores them.
void promptAfterDrop() {
    if (!gCommandLineDropped || !gPromptAfterDrop)
        return;
    gPromptAfterDrop = false;
    if (gForms->loginVisible())
        return;
    gForms->showLoginModal();
    ThrowIfEnded();
    // The user has just answered the rejection; the settings routine need not ask again.
    gLoginRejected = false;
}

// Steps 5 to 12. True when the user is logged in, false when the password check failed; a
// server error in a guarded step leaves as StepFailure.
bool checkUserAndSetSession() {
    ObjectHolder person;
    person.reset(guarded(kUnknownCode, [] { return gFactory->openId(QStringLiteral("KX.ParPersEdv"), idOf(gUser)); }));

    // The server compares the typed password with what it stores (a salted hash, exactly as typed,
    // letter case included); the stored value never comes to the workstation.
    if (callText(person.operator->(), QStringLiteral("PasswortPruefen"), gPassword) != QStringLiteral("1") ||
        person->property(QStringLiteral("AKTIV")).toString() != QStringLiteral("J")) {
        person.close();
        gDesktop->messageBox(QStringLiteral("Anmeldung an Caché."),
                             QStringLiteral("Passwort Falsch oder Benutzer nicht Aktiv."), Desktop::Buttons::Ok,
                             Desktop::Icon::Information);
        ThrowIfEnded();
        gLoginRejected = true;
        gForms->selectPassword();
        return false;
    }

    const QString name =
        callText(person.operator->(), QStringLiteral("PNAMELogicalToODBC"), person->property(QStringLiteral("PNAME")));
    gUserName = gUser + QLatin1Char('|') + name;
    gUserDisplayName = name;
    const QString abtnr = person->property(QStringLiteral("ABTNR")).toString();
    gUserData.dw = person->property(QStringLiteral("DW")).toString();
    gUserData.bergrp = person->property(QStringLiteral("BERGRP")).toString();

    guarded(kDepartment, [&] {
        ObjectHolder department;
        department.reset(gFactory->openId(QStringLiteral("KX.ParPersAbt"), idOf(abtnr)));
        gUserData.abteilung = callText(department.operator->(), QStringLiteral("ABTBEZlogicaltoodbc"),
                                       department->property(QStringLiteral("abtbez")));
        department.close();
    });

    guarded(kBaseRecord, [&] {
        ObjectHolder base;
        base.reset(
            gFactory->openId(QStringLiteral("KX.PersBasis"), idOf(person->property(QStringLiteral("PNR")).toString())));
        gUserData.fax = base->property(QStringLiteral("fax")).toString();
        gUserData.email =
            callText(base.operator->(), QStringLiteral("EMAILLogicalToodbc"), base->property(QStringLiteral("EMAIL")));
        base.close();
        person.close();
    });

    guarded(kSessionSet, [] {
        ObjectHolder windows;
        try {
            windows.reset(gFactory->newInstance(QStringLiteral("KX.Windows")));
            QVariantList args{SessionCommand(gFirma, gFiliale, Piece(gUserName, QStringLiteral("|"), 1))};
            windows->call(QStringLiteral("Xecute"), args);
        } catch (const ServerError &) {
            // A session whose environment failed half way is not trusted: the next access
            // connects afresh and sets it again.
            windows.close();
            Disconnect();
            throw;
        }
        windows.close();
    });

    gLoginRejected = false;
    return true;
}

} // namespace

bool LoginUser() {
    ThrowIfEnded();
    gLoggedIn = false;
    gUserName.clear();
    gUserDisplayName.clear();
    gUserData = UserData();
    if (gCommandLine.isEmpty())
        gCommandLine = ProgramArguments();
    promptAfterDrop();
    const bool fromCommandLine = CommandLineInUse();
    ReadCommandLine();
    ThrowIfEnded();

    ServerBusy busy;
    bool loggedIn = false;
    try {
        // A connection that cannot be opened or prepared is this login's failure, reported in the
        // login's own way, so the next attempt shows the dialog instead of ending the program.
        guarded(kConnecting, [] { BeginServerAccess(); });
        loggedIn = checkUserAndSetSession();
    } catch (const StepFailure &failure) {
        gLoginRejected = true;
        gLoginFailed = true;
        dropCommandLine(fromCommandLine);
        ShowCacheError(failure.error, failure.operation);
        return false;
    }
    if (!loggedIn)
        dropCommandLine(fromCommandLine);
    gLoggedIn = loggedIn;

    EndServerAccess(false);
    gForms->hideLogin();
    gForms->hideServer();
    return loggedIn;
}

} // namespace cacheapi
