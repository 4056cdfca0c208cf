#include "session/CacheApi.h"
#include "dialogs/DialogLoginForms.h"
#include "dialogs/FMPass.h"
#include "dialogs/FMServer.h"
#include "FakeDesktop.h"
#include "FakeFactory.h"
#include "TestEnv.h"
#include "dialogs/TextField.h"

#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

using namespace cacheapi;
using Field = LoginForms::Field;

namespace {

class DialogsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetSession();
        QFile::remove(korvextest::SettingsFile());
        gDesktop = &desktop;
        gForms = &forms;
        gFactoryMaker = server->maker();
        // Loopback only, before anything could connect.
        forms.setField(Field::BSERVERIP, QStringLiteral("127.0.0.1"));
        forms.setField(Field::BPORT, QStringLiteral("1972"));
    }

    void TearDown() override {
        ResetSession();
        gDesktop = nullptr;
        gForms = nullptr;
        gFactoryMaker = {};
        QFile::remove(korvextest::SettingsFile());
    }

    static QString stored(const QString &key) {
        return QSettings(korvextest::SettingsFile(), QSettings::IniFormat)
            .value(QStringLiteral("Login/") + key)
            .toString();
    }

    static void storeLogin(const QString &name, const QString &password) {
        QSettings file(korvextest::SettingsFile(), QSettings::IniFormat);
        file.setValue("Login/Firma", "1");
        file.setValue("Login/Filiale", "0");
        file.setValue("Login/Name", name);
        file.setValue("Login/Passwort", MaskPassword(password));
        file.setValue("Login/Server", "127.0.0.1");
        file.setValue("Login/Port", "1972");
    }

    void addClerk(const QString &firma, const QString &code, const QString &password, const QString &name) {
        server->addPerson(firma + "||" + code, password,
                          {{"AKTIV", "J"}, {"PNAME", name}, {"ABTNR", "7"}, {"DW", ""}, {"BERGRP", ""}, {"PNR", "9"}});
        server->addStored("KX.ParPersAbt", firma + "||7", {{"abtbez", "EINKAUF"}});
        server->addStored("KX.PersBasis", firma + "||9", {{"fax", ""}, {"EMAIL", ""}});
        for (const char *cls : {"KX.ParPersEdv", "KX.ParPersAbt", "KX.PersBasis"})
            for (const char *method : {"PNAMELogicalToODBC", "ABTBEZlogicaltoodbc", "EMAILLogicalToodbc"})
                server->classMethods[cls][method] = [](QVariantList &a) { return a.value(0); };
    }

    void addMeier() { addClerk("1", "MEIER", "geheim", "Hans Meier"); }

    // Acts as the user once a dialog is shown modally; a watchdog hides everything after 5 s so a
    // loop that never ends shows up as a failure instead of a hang.
    void whenModal(QDialog *dialog, std::function<void()> act) {
        auto *poll = new QTimer(dialog);
        QObject::connect(poll, &QTimer::timeout, dialog, [=] {
            if (dialog->isVisible() && dialog->isModal()) {
                poll->deleteLater();
                act();
            }
        });
        poll->start(5);
        QTimer::singleShot(5000, dialog, [this] {
            timedOut = true;
            pass.hide();
            serverDialog.hide();
        });
    }

    FakeDesktop desktop;
    std::shared_ptr<FakeServer> server = std::make_shared<FakeServer>();
    FMServer serverDialog;
    FMPass pass{&serverDialog};
    DialogLoginForms forms{pass, serverDialog};
    bool timedOut = false;
};

// 15 twips are one pixel at 96 dots per inch.
int px(int twips, const QWidget *w) {
    return qRound(twips / 15.0 * w->logicalDpiX() / 96.0);
}

QRect twipRect(const QWidget *w, int l, int t, int wd, int h) {
    return {px(l, w), px(t, w), px(wd, w), px(h, w)};
}

// The focusable controls in tab order, starting at first.
QStringList tabChain(QWidget *first) {
    QStringList names;
    QWidget *w = first;
    do {
        if (w->focusPolicy() & Qt::TabFocus)
            names << w->objectName();
        w = w->nextInFocusChain();
    } while (w != first && names.size() < 20);
    return names;
}

template <class T> T *child(QWidget *dialog, const char *name) {
    T *w = dialog->findChild<T *>(QString::fromUtf8(name));
    EXPECT_NE(w, nullptr) << name;
    return w;
}

void expectFixedFrame(QDialog *d, int width, int height) {
    EXPECT_EQ(d->size(), QSize(px(width, d), px(height, d)));
    EXPECT_EQ(d->minimumSize(), d->maximumSize());
    EXPECT_FALSE(d->windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
    EXPECT_TRUE(d->windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(d->testAttribute(Qt::WA_DeleteOnClose));
    // Closing the login dialog at start-up, the only window then shown, must not quit the program.
    EXPECT_FALSE(d->testAttribute(Qt::WA_QuitOnClose));
}

void expectButton(QWidget *d, const char *name, const QString &caption, QRect rect) {
    auto *b = child<QPushButton>(d, name);
    EXPECT_EQ(b->text(), caption) << name;
    EXPECT_EQ(b->geometry(), rect) << name;
    EXPECT_FALSE(b->icon().pixmap(16, 16).isNull()) << name;
}

} // namespace

TEST_F(DialogsTest, LoginDialogLayout) {
    EXPECT_EQ(pass.windowTitle(), QStringLiteral("KORVEX Benutzeranmeldung"));
    expectFixedFrame(&pass, 3975, 1410);
    EXPECT_EQ(child<QLineEdit>(&pass, "BPASSWORT")->geometry(), twipRect(&pass, 2280, 525, 1455, 285));
    EXPECT_EQ(child<QLineEdit>(&pass, "BUSER")->geometry(), twipRect(&pass, 2280, 120, 1455, 285));
    expectButton(&pass, "BUSpeich", "Anmelden", twipRect(&pass, 120, 960, 1695, 375));
    expectButton(&pass, "BUAusst", "Abbruch", twipRect(&pass, 2160, 960, 1695, 375));
    expectButton(&pass, "BUServer", "Server", twipRect(&pass, 120, 480, 1095, 375));
    EXPECT_EQ(child<QLabel>(&pass, "Label3")->text(), QStringLiteral("Passwort:"));
    EXPECT_EQ(child<QLabel>(&pass, "Label3")->geometry(), twipRect(&pass, 1320, 540, 690, 195));
    EXPECT_EQ(child<QLabel>(&pass, "Label5")->text(), QStringLiteral("User(RUV Personalcode):"));
    EXPECT_EQ(child<QLabel>(&pass, "Label5")->geometry(), twipRect(&pass, 120, 165, 1920, 195));
    EXPECT_EQ(tabChain(pass.BPASSWORT), QStringList({"BPASSWORT", "BUSER", "BUSpeich", "BUAusst", "BUServer"}));
    EXPECT_TRUE(pass.BUSpeich->isDefault());

    pass.BPASSWORT->setText(QStringLiteral("geheim"));
    EXPECT_EQ(pass.BPASSWORT->displayText(), QStringLiteral("******"));
}

TEST_F(DialogsTest, SettingsDialogLayoutAndInitialState) {
    FMServer fresh; // the fixture's dialog has loopback values already
    EXPECT_EQ(fresh.windowTitle(), QStringLiteral("KORVEX Server"));
    expectFixedFrame(&fresh, 3720, 1815);
    expectButton(&fresh, "BUEdit", "Ändern", twipRect(&fresh, 120, 1320, 1695, 375));
    expectButton(&fresh, "BUZurück", "Zurück", twipRect(&fresh, 1920, 1320, 1695, 375));
    EXPECT_TRUE(fresh.BUEdit->isCheckable());
    EXPECT_TRUE(fresh.BUEdit->isChecked());

    struct Expected {
        const char *name;
        QString text;
        QRect rect;
    } fields[] = {{"BSERVERIP", kDefaultServer, twipRect(&fresh, 1080, 120, 1455, 285)},
                  {"BPORT", "1973", twipRect(&fresh, 3120, 120, 495, 285)},
                  {"BFIRMA", "1", twipRect(&fresh, 1080, 480, 375, 285)},
                  {"BFIL", "0", twipRect(&fresh, 2160, 480, 375, 285)},
                  {"BNAMESPACE", "KORVEX", twipRect(&fresh, 1080, 840, 1455, 285)}};
    for (const auto &e : fields) {
        auto *f = child<QLineEdit>(&fresh, e.name);
        EXPECT_EQ(f->text(), e.text) << e.name;
        EXPECT_EQ(f->geometry(), e.rect) << e.name;
        EXPECT_FALSE(f->isEnabled()) << e.name;
        EXPECT_EQ(f->palette().color(QPalette::Disabled, QPalette::Base),
                  f->palette().color(QPalette::Disabled, QPalette::Button));
    }
    const struct {
        const char *name;
        const char *caption;
        QRect rect;
    } labels[] = {{"Label6", "Port:", twipRect(&fresh, 2640, 165, 615, 255)},
                  {"Label4", "ServerIP:", twipRect(&fresh, 360, 165, 615, 255)},
                  {"Label2", "Filiale:", twipRect(&fresh, 1680, 525, 495, 255)},
                  {"Label1", "Firma:", twipRect(&fresh, 600, 525, 495, 255)},
                  {"Label3", "Namespace:", twipRect(&fresh, 120, 885, 900, 195)}};
    for (const auto &l : labels) {
        auto *label = child<QLabel>(&fresh, l.name);
        EXPECT_EQ(label->text(), QString::fromUtf8(l.caption));
        EXPECT_EQ(label->geometry(), l.rect) << l.name;
    }
    // Where a label reaches into its field, the field is on top and takes the click.
    for (const char *name : {"BPORT", "BFIL", "BFIRMA"}) {
        QWidget *field = child<QLineEdit>(&fresh, name);
        EXPECT_EQ(fresh.childAt(field->geometry().topLeft() + QPoint(0, field->height() / 2)), field) << name;
    }
    EXPECT_EQ(tabChain(fresh.BUEdit),
              QStringList({"BUEdit", "BSERVERIP", "BPORT", "BFIRMA", "BFIL", "BNAMESPACE", "BUZurück"}));
    EXPECT_FALSE(fresh.Lock->isActive());
}

TEST_F(DialogsTest, TheIdleTimerDropsTheConnectionThirtySecondsAfterTheLastUse) {
    ConnectServer();
    EndServerAccess(false);
    ASSERT_TRUE(serverDialog.Lock->isActive());
    // A coarse timer may be up to 5 % late.
    EXPECT_GT(serverDialog.Lock->remainingTime(), 29000);
    EXPECT_LE(serverDialog.Lock->remainingTime(), 31500);
    // Its tick, brought forward: the connection goes, and the timer stays stopped.
    serverDialog.Lock->start(1);
    EXPECT_TRUE(QTest::qWaitFor([this] { return !server->entries("disconnect").isEmpty(); }, 5000));
    EXPECT_FALSE(serverDialog.Lock->isActive());
    EXPECT_EQ(server->openConnections, 0);
}

TEST_F(DialogsTest, PersonnelCodeIsUpperCasedOnLeavingTheFieldAndOnEnter) {
    pass.BUSER->setText(QStringLiteral("müßig"));
    QFocusEvent popup(QEvent::FocusOut, Qt::PopupFocusReason);
    QApplication::sendEvent(pass.BUSER, &popup); // its own context menu: still in the field
    EXPECT_EQ(pass.BUSER->text(), QStringLiteral("müßig"));
    QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
    QApplication::sendEvent(pass.BUSER, &out);
    EXPECT_EQ(pass.BUSER->text(), QStringLiteral("MÜßIG"));

    // Enter in the field presses "Anmelden" without the field ever losing the focus.
    pass.show();
    pass.BUSER->setText(QStringLiteral("meier"));
    pass.BPASSWORT->setText(QStringLiteral("geheim"));
    QTest::keyClick(pass.BUSER, Qt::Key_Return);
    EXPECT_FALSE(pass.isVisible());
    EXPECT_EQ(pass.BUSER->text(), QStringLiteral("MEIER"));
    EXPECT_EQ(stored("Name"), QStringLiteral("MEIER"));
    EXPECT_EQ(MaskPassword(stored("Passwort")), QStringLiteral("geheim"));
    EXPECT_EQ(stored("Server"), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(stored("Namespace"), QStringLiteral("KORVEX"));
}

TEST_F(DialogsTest, EnteringAFieldSelectsItsWholeText) {
    pass.BUSER->setText(QStringLiteral("MEIER"));
    pass.BPASSWORT->setText(QStringLiteral("geheim"));
    pass.Form_Activate();
    EXPECT_EQ(pass.focusWidget(), pass.BPASSWORT);
    for (QLineEdit *field : {static_cast<QLineEdit *>(pass.BPASSWORT), static_cast<QLineEdit *>(pass.BUSER)}) {
        field->deselect();
        QFocusEvent in(QEvent::FocusIn, Qt::OtherFocusReason);
        QApplication::sendEvent(field, &in);
        EXPECT_EQ(field->selectionStart(), 0);
        EXPECT_EQ(field->selectionLength(), field->text().size());
    }
}

TEST_F(DialogsTest, TheLoginFieldsTakeTwentyCharactersFromTheClerkAndMoreFromTheProgram) {
    // Every way of putting text in: TextFieldTest.
    for (QLineEdit *field : {static_cast<QLineEdit *>(pass.BUSER), static_cast<QLineEdit *>(pass.BPASSWORT)}) {
        QTest::keyClicks(field, QString(25, u'x'));
        EXPECT_EQ(field->text(), QString(20, u'x')) << field->objectName().toStdString();
    }
    // A longer code the program puts in stays whole, refuses more typing, and is saved whole.
    const QString longCode = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXY");
    forms.setField(Field::BUSER, longCode);
    pass.BUSER->end(false);
    QTest::keyClick(pass.BUSER, Qt::Key_Z);
    EXPECT_EQ(pass.BUSER->text(), longCode);
    pass.Sichern();
    EXPECT_EQ(stored("Name"), longCode);
    QTest::keyClick(pass.BUSER, Qt::Key_Backspace);
    EXPECT_EQ(pass.BUSER->text(), longCode.left(24));
}

TEST_F(DialogsTest, ChangeButtonAsksBeforeOpeningAndBeforeSaving) {
    QStringList enabling;
    struct Spy : QObject {
        QStringList *log;
        bool eventFilter(QObject *o, QEvent *e) override {
            if (e->type() == QEvent::EnabledChange)
                *log << o->objectName() + (static_cast<QWidget *>(o)->isEnabled() ? "+" : "-");
            return false;
        }
    } spy;
    spy.log = &enabling;
    for (QWidget *f :
         {serverDialog.BSERVERIP, serverDialog.BPORT, serverDialog.BFIRMA, serverDialog.BFIL, serverDialog.BNAMESPACE})
        f->installEventFilter(&spy);
    const auto question = [this](int i) { return desktop.boxes.value(i).text; };

    // "No" to opening: locked as before, and the next click asks the same again.
    desktop.answers = {Desktop::Answer::No, Desktop::Answer::Yes};
    serverDialog.BUEdit->click();
    EXPECT_TRUE(serverDialog.BUEdit->isChecked());
    EXPECT_TRUE(enabling.isEmpty());
    serverDialog.BUEdit->click();
    EXPECT_EQ(question(0), QStringLiteral("Änderungen erlauben?"));
    EXPECT_EQ(question(1), QStringLiteral("Änderungen erlauben?"));
    for (const auto &box : desktop.boxes) {
        EXPECT_EQ(box.title, QStringLiteral("Anmeldung an Caché"));
        EXPECT_EQ(box.buttons, Desktop::Buttons::YesNo);
        EXPECT_EQ(box.icon, Desktop::Icon::None);
    }
    EXPECT_FALSE(serverDialog.BUEdit->isChecked());
    EXPECT_EQ(enabling, QStringList({"BPORT+", "BSERVERIP+", "BFIRMA+", "BFIL+", "BNAMESPACE+"}));

    // "No" to saving: the fields lock first, keep the edit, and nothing is stored.
    serverDialog.BFIRMA->setText(QStringLiteral("5"));
    enabling.clear();
    QStringList lockedWhenAsked;
    desktop.onBox = [&](const FakeDesktop::Box &) { lockedWhenAsked = enabling; };
    desktop.answers = {Desktop::Answer::No};
    serverDialog.BUEdit->click();
    EXPECT_EQ(question(2), QStringLiteral("Änderungen sichern?"));
    EXPECT_EQ(lockedWhenAsked, QStringList({"BPORT-", "BSERVERIP-", "BFIRMA-", "BFIL-", "BNAMESPACE-"}));
    EXPECT_TRUE(serverDialog.BUEdit->isChecked());
    EXPECT_EQ(serverDialog.BFIRMA->text(), QStringLiteral("5"));
    EXPECT_FALSE(QFile::exists(korvextest::SettingsFile()));

    // Open again and save: the connection goes, the values are stored and read back.
    gConnectString = BuildConnectString(QStringLiteral("127.0.0.1"), QStringLiteral("1972"));
    ConnectServer();
    desktop.answers = {Desktop::Answer::Yes, Desktop::Answer::Yes};
    serverDialog.BUEdit->click();
    serverDialog.BFIL->setText(QStringLiteral("3"));
    serverDialog.BUEdit->click();
    EXPECT_EQ(question(4), QStringLiteral("Änderungen sichern?"));
    EXPECT_TRUE(serverDialog.BUEdit->isChecked());
    EXPECT_FALSE(serverDialog.BFIL->isEnabled());
    EXPECT_EQ(server->entries("disconnect").size(), 1);
    EXPECT_FALSE(serverDialog.Lock->isActive());
    EXPECT_EQ(stored("Firma"), QStringLiteral("5"));
    EXPECT_EQ(stored("Filiale"), QStringLiteral("3"));
    EXPECT_EQ(gFirma, QStringLiteral("5"));
    EXPECT_EQ(gFiliale, QStringLiteral("3"));
    EXPECT_EQ(desktop.endCount, 0);
}

TEST_F(DialogsTest, BackFrameAndEscapeOnlyHideTheSettingsDialog) {
    desktop.answers = {Desktop::Answer::Yes};
    serverDialog.BUEdit->click(); // fields open
    const std::function<void()> ways[] = {[this] { serverDialog.BUZurueck->click(); }, [this] { serverDialog.close(); },
                                          [this] { QTest::keyClick(&serverDialog, Qt::Key_Escape); }};
    for (const auto &way : ways) {
        whenModal(&serverDialog, way);
        forms.showServerModal(); // returns once the dialog is hidden
        EXPECT_FALSE(timedOut);
        EXPECT_FALSE(serverDialog.isVisible());
        EXPECT_FALSE(serverDialog.BUEdit->isChecked());
        EXPECT_TRUE(serverDialog.BPORT->isEnabled());
    }
    EXPECT_FALSE(QFile::exists(korvextest::SettingsFile()));
    EXPECT_FALSE(ProgramEnded());
}

TEST_F(DialogsTest, FrameAndEscapeAreAbbruchWhileALoginWaitsAndOnlyHideOtherwise) {
    pass.BUSER->setText(QStringLiteral("MEIER"));
    const std::function<void()> ways[] = {[this] { pass.close(); },
                                          [this] { QTest::keyClick(pass.BPASSWORT, Qt::Key_Escape); }};
    for (const auto &way : ways) {
        // Shown modally, a login waits for the dialog: it ends the program as "Abbruch" does.
        whenModal(&pass, way);
        forms.showLoginModal();
        EXPECT_FALSE(timedOut);
        EXPECT_FALSE(pass.isVisible());
        EXPECT_TRUE(ProgramEnded());
        EXPECT_FALSE(EndedByError());
        EXPECT_EQ(desktop.endCount, 1);
        SetProgramEnded(false);
        desktop.endCount = 0;

        // Shown from the menu, it only goes away.
        pass.showModeless();
        way();
        EXPECT_FALSE(pass.isVisible());
        EXPECT_FALSE(ProgramEnded());
        EXPECT_EQ(desktop.endCount, 0);
    }
    EXPECT_FALSE(QFile::exists(korvextest::SettingsFile()));
}

TEST_F(DialogsTest, AnmeldenWithAStoreThatCannotBeWrittenReportsTheFile) {
    const QString blocker = korvextest::TempDir() + QStringLiteral("/keine-einstellungen");
    QFile file(blocker);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    SetSettingsFile(blocker + QStringLiteral("/Cache Login.ini"));
    pass.show();
    pass.BUSpeich->click();
    SetSettingsFile(korvextest::SettingsFile());
    QFile::remove(blocker);

    ASSERT_EQ(desktop.boxes.size(), 1);
    EXPECT_TRUE(desktop.boxes[0].text.contains(QStringLiteral("Die Anmeldeeinstellungen konnten nicht gespeichert "
                                                              "werden: ") +
                                               blocker + QStringLiteral("/Cache Login.ini")))
        << desktop.boxes[0].text.toStdString();
    EXPECT_TRUE(ProgramEnded());
    EXPECT_TRUE(EndedByError());
    EXPECT_FALSE(pass.isVisible());
}

TEST_F(DialogsTest, ThePasswordFieldTakesTheFocusOnlyWhenTheDialogIsShown) {
    // Activations are sent by hand: with or without a window manager, only their order counts.
    const auto activate = [this] {
        QEvent event(QEvent::WindowActivate);
        QApplication::sendEvent(&pass, &event);
    };
    pass.show();
    activate();
    EXPECT_EQ(pass.focusWidget(), pass.BPASSWORT);
    // Back from the settings dialog the clerk clicks the code field before the dialog is active again.
    pass.BUSER->setFocus(Qt::MouseFocusReason);
    activate();
    EXPECT_EQ(pass.focusWidget(), pass.BUSER);
    // Shown anew, the password field takes it again.
    pass.hide();
    pass.show();
    activate();
    EXPECT_EQ(pass.focusWidget(), pass.BPASSWORT);
}

TEST_F(DialogsTest, AbbruchInTheModalDialogEndsTheProgram) {
    gUserName = QStringLiteral("MEIER|Hans Meier");
    whenModal(&pass, [this] { pass.BUAusst->click(); });
    forms.showLoginModal(); // the modal showing returns once the program has ended
    EXPECT_FALSE(timedOut);
    EXPECT_EQ(desktop.endCount, 1);
    EXPECT_TRUE(ProgramEnded());
    EXPECT_TRUE(gUserName.isEmpty());
    EXPECT_FALSE(pass.isVisible());
    EXPECT_THROW(ThrowIfEnded(), ProgramEnd);
}

TEST_F(DialogsTest, NewLoginFromTheMenuSetsTheCaption) {
    addMeier();
    storeLogin("MEIER", "geheim");
    QWidget mainWindow;
    mainWindow.show();
    pass.setMainWindow(&mainWindow);
    LoadLoginSettings();
    gConnectString = BuildConnectString(gServer, gPort);
    ConnectServer();
    gFiliale = QStringLiteral("2");
    serverDialog.BFIL->setText(QStringLiteral("2"));

    pass.showModeless();
    pass.BUSpeich->click();

    EXPECT_EQ(server->entries("disconnect").size(), 1); // the old connection went first
    EXPECT_EQ(mainWindow.windowTitle(), QStringLiteral("KORVEX Update Hauptlieferanten              Firma: 1     "
                                                       "Filiale: 2     Benutzer: Hans Meier"));
    EXPECT_FALSE(pass.isVisible());
    EXPECT_TRUE(serverDialog.Lock->isActive());
}

TEST_F(DialogsTest, RejectedNewLoginShowsTheDialogAgainUntilALoginSucceeds) {
    addMeier();
    storeLogin("MEIER", "geheim");
    QWidget mainWindow;
    mainWindow.setWindowTitle(QStringLiteral("alt"));
    mainWindow.show();
    pass.setMainWindow(&mainWindow);
    LoadLoginSettings();

    pass.showModeless();
    pass.BPASSWORT->setText(QStringLiteral("falsch"));
    int modalShows = 0;
    whenModal(&pass, [&] {
        ++modalShows;
        pass.BPASSWORT->setText(QStringLiteral("geheim"));
        pass.BUSpeich->click();
    });
    pass.BUSpeich->click();

    EXPECT_FALSE(timedOut);
    EXPECT_EQ(modalShows, 1);
    ASSERT_EQ(desktop.boxes.size(), 1);
    EXPECT_EQ(desktop.boxes[0].text, QStringLiteral("Passwort Falsch oder Benutzer nicht Aktiv."));
    EXPECT_EQ(gUserName, QStringLiteral("MEIER|Hans Meier"));
    EXPECT_TRUE(mainWindow.windowTitle().endsWith(QStringLiteral("Benutzer: Hans Meier")));
    EXPECT_FALSE(pass.isVisible());
    EXPECT_EQ(MaskPassword(stored("Passwort")), QStringLiteral("geheim"));
}

TEST_F(DialogsTest, AbbruchInTheShownAgainDialogEndsTheProgram) {
    addMeier();
    storeLogin("MEIER", "geheim");
    QWidget mainWindow;
    mainWindow.setWindowTitle(QStringLiteral("alt"));
    mainWindow.show();
    pass.setMainWindow(&mainWindow);
    LoadLoginSettings();

    pass.showModeless();
    pass.BPASSWORT->setText(QStringLiteral("falsch"));
    qsizetype serverCallsAtEnd = -1;
    whenModal(&pass, [&] {
        pass.BUAusst->click();
        serverCallsAtEnd = server->log.size();
    });
    pass.BUSpeich->click();

    EXPECT_FALSE(timedOut);
    EXPECT_EQ(desktop.endCount, 1);
    EXPECT_EQ(server->log.size(), serverCallsAtEnd); // nothing more reached the server
    EXPECT_EQ(mainWindow.windowTitle(), QStringLiteral("alt"));
    EXPECT_FALSE(pass.isVisible());
}

TEST_F(DialogsTest, TheSettingsDialogChangesTheServerButNeverWhoIsLoggedIn) {
    addMeier();
    addClerk("2", "KOLLEGE", "kollege", "Karl Kollege");
    storeLogin("MEIER", "geheim");
    QWidget mainWindow;
    mainWindow.show();
    pass.setMainWindow(&mainWindow);
    ASSERT_TRUE(LoginUser());
    const QString caption = QStringLiteral("KORVEX Update Hauptlieferanten              Firma: 1     Filiale: 0     "
                                           "Benutzer: Hans Meier");
    mainWindow.setWindowTitle(caption);

    // Datei -> Login, another code, "Server" -> "Ändern" -> "Ja", company 2 and another port ->
    // "Ändern" -> "Ja" -> "Zurück", and Escape instead of "Anmelden".
    pass.showModeless();
    pass.BUSER->setText(QStringLiteral("KOLLEGE"));
    desktop.answers = {Desktop::Answer::Yes, Desktop::Answer::Yes};
    whenModal(&serverDialog, [this] {
        serverDialog.BUEdit->click();
        serverDialog.BFIRMA->setText(QStringLiteral("2"));
        serverDialog.BPORT->setText(QStringLiteral("1975"));
        serverDialog.BUEdit->click();
        serverDialog.BUZurueck->click();
    });
    pass.BUServer->click();
    QTest::keyClick(pass.BPASSWORT, Qt::Key_Escape);
    ASSERT_FALSE(timedOut);
    ASSERT_FALSE(pass.isVisible());
    ASSERT_EQ(desktop.boxes.size(), 2);
    EXPECT_EQ(desktop.boxes[1].text, QStringLiteral("Änderungen sichern?"));

    // Saved and shown as the next login's values; the connection went and the new port is dialled.
    EXPECT_EQ(stored("Firma"), QStringLiteral("2"));
    EXPECT_EQ(stored("Name"), QStringLiteral("KOLLEGE"));
    EXPECT_EQ(serverDialog.BFIRMA->text(), QStringLiteral("2"));
    EXPECT_EQ(pass.BUSER->text(), QStringLiteral("KOLLEGE"));
    EXPECT_FALSE(server->entries("disconnect").isEmpty());
    server->log.clear();
    ConnectServer();
    EXPECT_EQ(server->entries("connectTo"), QStringList({"connectTo cn_iptcp:127.0.0.1[1975]:KORVEX"}));
    // The session is still the one whose password was checked: what it sends, what it writes under.
    EXPECT_EQ(server->entries("call KX.Windows Xecute(S "),
              QStringList({"call KX.Windows Xecute(S FIRMA=1,FIL=0,PERSONAL=\"MEIER\")"}));
    EXPECT_EQ(gFirma, QStringLiteral("1"));
    EXPECT_EQ(gUser, QStringLiteral("MEIER"));
    EXPECT_EQ(gPassword, QStringLiteral("geheim"));
    EXPECT_EQ(mainWindow.windowTitle(), caption);

    // Only a login with the other clerk's password makes him the session.
    pass.showModeless();
    pass.BPASSWORT->setText(QStringLiteral("kollege"));
    pass.BUSpeich->click();
    EXPECT_EQ(gUserName, QStringLiteral("KOLLEGE|Karl Kollege"));
    EXPECT_EQ(mainWindow.windowTitle(), QStringLiteral("KORVEX Update Hauptlieferanten              Firma: 2     "
                                                       "Filiale: 0     Benutzer: Karl Kollege"));
    server->log.clear();
    Disconnect();
    ConnectServer();
    EXPECT_EQ(server->entries("call KX.Windows Xecute(S "),
              QStringList({"call KX.Windows Xecute(S FIRMA=2,FIL=0,PERSONAL=\"KOLLEGE\")"}));
}
