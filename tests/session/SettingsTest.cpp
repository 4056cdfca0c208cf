#include "session/CacheApi.h"
#include "FakeDesktop.h"
#include "FakeLoginForms.h"
#include "TestEnv.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace cacheapi;
using Field = LoginForms::Field;

namespace {

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetSession();
        QFile::remove(korvextest::SettingsFile());
        gForms = &forms;
        gDesktop = &desktop;
    }
    void TearDown() override {
        SetSettingsFile(korvextest::SettingsFile());
        gForms = nullptr;
        gDesktop = nullptr;
        ResetSession();
        QFile::remove(korvextest::SettingsFile());
    }

    // Reads the file the way any other program would, past the routines under test.
    static QVariant stored(const QString &key) {
        QSettings file(korvextest::SettingsFile(), QSettings::IniFormat);
        return file.value(QStringLiteral("Login/") + key);
    }
    static void store(const QString &key, const QString &value) {
        QSettings file(korvextest::SettingsFile(), QSettings::IniFormat);
        file.setValue(QStringLiteral("Login/") + key, value);
    }
    // Stored values that make a complete login without the dialog.
    static void storeCompleteLogin() {
        store("Firma", "77");
        store("Filiale", "3");
        store("Name", "MUE");
        store("Passwort", MaskPassword("geheim"));
        store("Server", "127.0.0.1");
        store("Port", "1980");
        store("Namespace", "TEST");
    }
    static QStringList values() { return {gFirma, gFiliale, gUser, gPassword, gServer, gPort, gNamespace}; }
    QStringList settingsFields() const {
        return {forms.field(Field::BFIRMA),    forms.field(Field::BFIL),  forms.field(Field::BUSER),
                forms.field(Field::BSERVERIP), forms.field(Field::BPORT), forms.field(Field::BNAMESPACE)};
    }
    static int fileMode() {
        struct stat st {};
        if (::stat(QFile::encodeName(korvextest::SettingsFile()).constData(), &st) != 0)
            return -1;
        return int(st.st_mode & 0777);
    }

    static void writeFile(const QString &path, const QByteArray &content) {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(content);
    }

    FakeLoginForms forms;
    FakeDesktop desktop;
};

} // namespace

TEST_F(SettingsTest, CommandLineOfSevenFieldsWinsOutright) {
    storeCompleteLogin();
    forms.fields[Field::BPASSWORT] = "getippt";
    gLoginRejected = true;
    gLoginFailed = true;
    gCommandLine = "5 2 MUE falsch db-host 1975 NS";
    ReadCommandLine();

    EXPECT_EQ(values(), QStringList({"5", "2", "MUE", "falsch", "db-host", "1975", "NS"}));
    EXPECT_EQ(gConnectString, "cn_iptcp:db-host[1975]:KORVEX");
    EXPECT_EQ(forms.loginModalShows, 0);
    EXPECT_EQ(settingsFields(), QStringList({"5", "2", "MUE", "db-host", "1975", "NS"}));
    EXPECT_EQ(forms.fields[Field::BPASSWORT], "getippt");
}

TEST_F(SettingsTest, CommandLineDefaultsAndEmptyFields) {
    gCommandLine = "5";
    ReadCommandLine();
    EXPECT_EQ(values(), QStringList({"5", "", "", "", kDefaultServer, "1972", "KORVEX"}));
    EXPECT_EQ(gConnectString, "cn_iptcp:" + kDefaultServer + "[1972]:KORVEX");
    EXPECT_EQ(forms.loginModalShows, 0);

    // Two blanks make an empty field: everything after it moves one field on.
    gCommandLine = "5 2  MUE geheim db-host 1975 NS";
    ReadCommandLine();
    EXPECT_EQ(values(), QStringList({"5", "2", "", "MUE", "geheim", "db-host", "1975"}));

    // Empty server and port fields take the defaults; fields beyond the seventh are ignored.
    gCommandLine = "5 2 MUE geheim   NS extra";
    ReadCommandLine();
    EXPECT_EQ(values(), QStringList({"5", "2", "MUE", "geheim", kDefaultServer, "1972", "NS"}));
}

TEST_F(SettingsTest, OnlyAWholeNumberInFieldOneQualifies) {
    storeCompleteLogin();
    for (const char *firma : {"5", "+5", "-5", "007", "12345678901234567890"}) {
        gCommandLine = QString::fromUtf8(firma) + " 2 MUE";
        ReadCommandLine();
        EXPECT_EQ(gFirma, firma);
        EXPECT_EQ(gUser, "MUE");
    }
    for (const char *line :
         {"", " 5 2", "Firma 2 3", "5a 2", "1.5 2", "1,5 2", "+ 2", "- 2", "0x5 2", "1e3 2", "\t5 2", "١ 2", "５ 2"}) {
        gCommandLine = QString::fromUtf8(line);
        gFirma.clear();
        ReadCommandLine();
        EXPECT_EQ(gFirma, "77") << line;
        EXPECT_EQ(gPort, "1980") << line;
    }
    EXPECT_EQ(forms.loginModalShows, 0);

    // Once the login has dropped the command line, the stored settings count.
    gCommandLine = "5 2 MUE";
    gCommandLineDropped = true;
    ReadCommandLine();
    EXPECT_EQ(gFirma, "77");
    EXPECT_EQ(gConnectString, "cn_iptcp:127.0.0.1[1980]:KORVEX");
}

TEST_F(SettingsTest, NoStoredSettingsShowTheDialogWithDefaults) {
    ReadCommandLine();
    EXPECT_EQ(forms.loginModalShows, 1);
    EXPECT_EQ(values(), QStringList({"1", "0", "", "", kDefaultServer, "1973", "KORVEX"}));
    EXPECT_EQ(gConnectString, "cn_iptcp:" + kDefaultServer + "[1973]:KORVEX");
    EXPECT_EQ(settingsFields(), QStringList({"1", "0", "", kDefaultServer, "1973", "KORVEX"}));
}

TEST_F(SettingsTest, DialogShownWhenIncompleteOrRejected) {
    storeCompleteLogin();
    ReadCommandLine();
    EXPECT_EQ(forms.loginModalShows, 0);
    EXPECT_EQ(gPassword, "geheim");
    EXPECT_EQ(gConnectString, "cn_iptcp:127.0.0.1[1980]:KORVEX");

    gLoginRejected = true;
    ReadCommandLine();
    EXPECT_EQ(forms.loginModalShows, 1);

    // What the user saves in the dialog is what the login uses.
    forms.onLoginModal = [](FakeLoginForms &f) {
        f.fields[Field::BUSER] = "NEU";
        f.fields[Field::BPASSWORT] = "anders";
        f.fields[Field::BPORT] = "1990";
        SaveLoginSettings();
    };
    gLoginRejected = false;
    store("Passwort", QString());
    ReadCommandLine();
    EXPECT_EQ(forms.loginModalShows, 2);
    EXPECT_EQ(gUser, "NEU");
    EXPECT_EQ(gPassword, "anders");
    EXPECT_EQ(gConnectString, "cn_iptcp:127.0.0.1[1990]:KORVEX");

    // An already visible dialog is not shown again, but its saved values are read.
    forms.loginShown = true;
    gLoginRejected = true;
    store("Name", "WIEDER");
    ReadCommandLine();
    EXPECT_EQ(forms.loginModalShows, 2);
    EXPECT_EQ(gUser, "WIEDER");
}

TEST_F(SettingsTest, CancelInTheDialogEndsTheRoutine) {
    forms.onLoginModal = [](FakeLoginForms &) { SetProgramEnded(true); };
    EXPECT_THROW(ReadCommandLine(), ProgramEnd);
    EXPECT_EQ(gConnectString, "");
}

TEST_F(SettingsTest, StoredPasswordUntouchedWhileLoginFailed) {
    forms.fields[Field::BPASSWORT] = "alt";
    SaveLoginSettings();
    ASSERT_EQ(stored("Passwort").toString(), MaskPassword("alt"));

    gLoginFailed = true;
    forms.fields[Field::BPASSWORT] = "neu";
    forms.fields[Field::BUSER] = "MUE";
    SaveLoginSettings();
    EXPECT_EQ(stored("Passwort").toString(), MaskPassword("alt"));
    EXPECT_EQ(stored("Name").toString(), "MUE");

    // The typed password stays in force.
    LoadLoginSettings();
    EXPECT_EQ(gPassword, "neu");
    EXPECT_EQ(forms.fields[Field::BPASSWORT], "neu");
    // Incomplete while the flag is set: the dialog comes, the typed password survives it.
    storeCompleteLogin();
    ReadCommandLine();
    EXPECT_EQ(forms.loginModalShows, 1);
    EXPECT_EQ(gPassword, "neu");

    // Without the flag the stored password replaces the typed one, and saving stores the field.
    gLoginFailed = false;
    LoadLoginSettings();
    EXPECT_EQ(gPassword, "geheim");
    EXPECT_EQ(forms.fields[Field::BPASSWORT], "geheim");
    forms.fields[Field::BPASSWORT] = "neu";
    SaveLoginSettings();
    EXPECT_EQ(stored("Passwort").toString(), MaskPassword("neu"));
}

TEST_F(SettingsTest, SavedUnderTheKeysAndReadBackAsSaved) {
    forms.fields[Field::BFIRMA] = "5";
    forms.fields[Field::BFIL] = "2";
    forms.fields[Field::BUSER] = "MUE";
    forms.fields[Field::BPASSWORT] = "pw";
    forms.fields[Field::BSERVERIP] = "127.0.0.1";
    forms.fields[Field::BPORT] = "";
    forms.fields[Field::BNAMESPACE] = " NS ";
    SaveLoginSettings();

    QStringList raw;
    for (const char *key : {"Firma", "Filiale", "Name", "Passwort", "Server", "Port", "Namespace"})
        raw << stored(key).toString();
    EXPECT_EQ(raw, QStringList({"5", "2", "MUE", MaskPassword("pw"), "127.0.0.1", "", " NS "}));

    // A saved empty value exists: it reads back empty, not as the default.
    FakeLoginForms fresh;
    gForms = &fresh;
    LoadLoginSettings();
    EXPECT_EQ(gPort, "");
    EXPECT_EQ(gNamespace, " NS ");
    EXPECT_EQ(gPassword, "pw");
    EXPECT_EQ(fresh.fields[Field::BUSER], "MUE");
    EXPECT_EQ(fresh.fields[Field::BPORT], "");
    // The settings dialog's later loading leaves the connection string alone.
    EXPECT_EQ(gConnectString, "");
}

TEST_F(SettingsTest, FileIsOwnerOnly) {
    {
        QFile file(korvextest::SettingsFile());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("[Login]\nFirma=9\n");
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup |
                            QFileDevice::ReadOther);
    }
    forms.fields[Field::BPASSWORT] = "geheim";
    SaveLoginSettings();
    EXPECT_EQ(fileMode(), 0600);

    QFile::remove(korvextest::SettingsFile());
    SaveLoginSettings();
    EXPECT_EQ(fileMode(), 0600);
    SaveLoginSettings();
    EXPECT_EQ(fileMode(), 0600);
    EXPECT_EQ(stored("Passwort").toString(), MaskPassword("geheim"));
}

TEST_F(SettingsTest, MaskedPasswordRoundTripsThroughTheFile) {
    QString all;
    for (char16_t c = 0x20; c <= 0xFF; ++c) {
        if (c == 0x7F)
            c = 0xA0;
        all += QChar(c);
    }
    QStringList passwords;
    for (QChar c : all)
        passwords << QString(c);
    passwords << all << QString(all).repeated(4) << QStringLiteral(" a b ") << QStringLiteral("@Variant(x)")
              << QStringLiteral("a,b;c=d\"e");

    // Each value is read from a copy of the written file that this process has never opened, so it is
    // parsed from disk and not served from QSettings' in-process cache.
    QDir dir(korvextest::TempDir() + QStringLiteral("/roundtrip"));
    ASSERT_TRUE(dir.mkpath(QStringLiteral(".")));
    for (qsizetype i = 0; i < passwords.size(); ++i) {
        const QString &password = passwords.at(i);
        ASSERT_NE(MaskPassword(password), password);
        const QString written = dir.filePath(QString::number(i) + QStringLiteral(".ini"));
        const QString copy = dir.filePath(QString::number(i) + QStringLiteral("-copy.ini"));
        SetSettingsFile(written);
        forms.fields[Field::BPASSWORT] = password;
        SaveLoginSettings();
        ASSERT_TRUE(QFile::copy(written, copy));
        SetSettingsFile(copy);
        forms.fields[Field::BPASSWORT].clear();
        LoadLoginSettings();
        ASSERT_EQ(gPassword, password) << password.toStdString();
        ASSERT_EQ(forms.fields[Field::BPASSWORT], password);
    }
    SetSettingsFile(korvextest::SettingsFile());
    dir.removeRecursively();

    // Any 16-bit code masks and unmasks, surrogate pairs included.
    const QString wide = QStringLiteral("€ Ŝ ✓ 😀");
    EXPECT_EQ(MaskPassword(MaskPassword(wide)), wide);
    EXPECT_NE(MaskPassword(wide), wide);
    EXPECT_EQ(MaskPassword(QString()), "");
}

TEST_F(SettingsTest, ThePerUserStoreIsTheProgramsOwnFileAlone) {
    // The test main points the user's configuration into the temporary folder; the program's file and
    // the organisation-wide one another program might keep there.
    const QString own = korvextest::TempDir() + QStringLiteral("/config/KORVEX/Cache Login.ini");
    const QString foreign = korvextest::TempDir() + QStringLiteral("/config/KORVEX.ini");
    const QByteArray foreignContent = "[Login]\nServer=127.0.0.9\nName=FREMD\nPort=1999\n";
    writeFile(own, "[Login]\nFirma=5\n");
    writeFile(foreign, foreignContent);
    SetSettingsFile(QString());

    LoadLoginSettings();
    EXPECT_EQ(values(), QStringList({"5", "0", "", "", kDefaultServer, "1973", "KORVEX"}));

    forms.fields[Field::BUSER] = "MUE";
    SaveLoginSettings();
    EXPECT_EQ(QSettings(own, QSettings::IniFormat).value("Login/Name").toString(), "MUE");
    QFile file(foreign);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), foreignContent);
    SetSettingsFile(korvextest::SettingsFile());
    QFile::remove(own);
    QFile::remove(foreign);
}

TEST_F(SettingsTest, AStoreThatCannotBeWrittenOrReadIsAnErrorNamingItsFile) {
    // A folder where the file should be, and a file where its folder should be.
    const QString blocker = korvextest::TempDir() + QStringLiteral("/kein-ordner");
    writeFile(blocker, "x");
    const QString folder = korvextest::TempDir() + QStringLiteral("/ein-ordner.ini");
    ASSERT_TRUE(QDir().mkpath(folder));
    struct Case {
        QString path;
        bool readFails;
    };
    for (const Case &c : {Case{blocker + QStringLiteral("/Cache Login.ini"), false}, Case{folder, true}}) {
        SCOPED_TRACE(c.path.toStdString());
        SetSettingsFile(c.path);
        forms.fields[Field::BUSER] = "MUE";
        try {
            SaveLoginSettings();
            ADD_FAILURE() << "saved without an error";
        } catch (const std::runtime_error &error) {
            const QString text = QString::fromUtf8(error.what());
            EXPECT_TRUE(text.startsWith("Die Anmeldeeinstellungen konnten nicht gespeichert werden: " + c.path))
                << error.what();
        }
        if (c.readFails)
            EXPECT_THROW(LoadLoginSettings(), std::runtime_error);
        else
            EXPECT_NO_THROW(LoadLoginSettings());
    }
    // The folder in the file's place keeps its rights.
    EXPECT_TRUE(QFileInfo(folder).permission(QFileDevice::ExeOwner));
    SetSettingsFile(korvextest::SettingsFile());
    EXPECT_TRUE(desktop.boxes.isEmpty());
}

TEST_F(SettingsTest, ValuesBeyondAThousandCharactersAreMissing) {
    const QString longest(kMaxValueLength, u'7');
    const QString tooLong = longest + u'7';
    struct Case {
        const char *key;
        QString *value;
        QString fallback;
    };
    const Case cases[] = {
        {"Firma", &gFirma, "1"},     {"Filiale", &gFiliale, "0"},          {"Server", &gServer, kDefaultServer},
        {"Port", &gPort, "1973"},    {"Namespace", &gNamespace, "KORVEX"}, {"Name", &gUser, ""},
        {"Passwort", &gPassword, ""}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.key);
        const bool masked = QByteArray(c.key) == "Passwort";
        store(c.key, masked ? MaskPassword(longest) : longest);
        LoadLoginSettings();
        EXPECT_EQ(*c.value, longest);
        store(c.key, masked ? MaskPassword(tooLong) : tooLong);
        LoadLoginSettings();
        EXPECT_EQ(*c.value, c.fallback);
    }
    EXPECT_EQ(forms.fields[Field::BFIRMA], "1");
    EXPECT_EQ(forms.fields[Field::BPASSWORT], "");
}

TEST_F(SettingsTest, AnOverlongCommandLineFieldSetsTheCommandLineAsideWithAWord) {
    storeCompleteLogin();
    // Field 7 at the limit still counts.
    gCommandLine = "5 2 MUE pw 127.0.0.1 1975 " + QString(kMaxValueLength, u'N');
    EXPECT_TRUE(CommandLineInUse());
    ReadCommandLine();
    EXPECT_EQ(gFirma, "5");
    EXPECT_TRUE(desktop.boxes.isEmpty());

    for (int field : {1, 4, 7}) {
        SCOPED_TRACE(field);
        ResetSession();
        forms = FakeLoginForms();
        desktop.boxes.clear();
        QStringList fields{"5", "2", "MUE", "pw", "127.0.0.1", "1975", "NS"};
        fields[field - 1] = QString(100000, u'1');
        gCommandLine = fields.join(' ');
        EXPECT_FALSE(CommandLineInUse());
        ReadCommandLine();
        ReadCommandLine(); // the next login: no second word
        ASSERT_EQ(desktop.boxes.size(), 1);
        EXPECT_EQ(desktop.boxes[0].text, QStringLiteral("Die Befehlszeile wird nicht verwendet: Feld %1 ist länger "
                                                        "als 1000 Zeichen. Es gelten die gespeicherten Einstellungen.")
                                             .arg(field));
        EXPECT_EQ(desktop.boxes[0].icon, Desktop::Icon::Exclamation);
        // The stored settings count, so nothing of the command line reaches the fields or the store.
        EXPECT_EQ(values(), QStringList({"77", "3", "MUE", "geheim", "127.0.0.1", "1980", "TEST"}));
        EXPECT_EQ(settingsFields(), QStringList({"77", "3", "MUE", "127.0.0.1", "1980", "TEST"}));
        SaveLoginSettings();
        EXPECT_EQ(stored("Firma").toString(), "77");
        EXPECT_EQ(forms.loginModalShows, 0);
    }
}

TEST(SettingsConnectString, NamespaceNeverEntersIt) {
    EXPECT_EQ(BuildConnectString("127.0.0.1", "1972"), "cn_iptcp:127.0.0.1[1972]:KORVEX");
    EXPECT_EQ(BuildConnectString("", ""), "cn_iptcp:[]:KORVEX");
}
