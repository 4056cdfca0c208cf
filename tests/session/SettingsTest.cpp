#include "CacheApi.h"
#include "FakeLoginForms.h"
#include "TestEnv.h"

#include <QDir>
#include <QFile>
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
    }
    void TearDown() override {
        SetSettingsFile(korvextest::SettingsFile());
        gForms = nullptr;
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

    FakeLoginForms forms;
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
    EXPECT_EQ(MaskPassword("A"), QString(QChar(u'A' ^ kMaskConstant)));
    EXPECT_EQ(MaskPassword(QString()), "");
}

TEST_F(SettingsTest, PerUserStoreByDefault) {
    SetSettingsFile(QString());
    const auto store = OpenLoginStore();
    SetSettingsFile(korvextest::SettingsFile());
    EXPECT_EQ(store->format(), QSettings::IniFormat);
    EXPECT_EQ(store->scope(), QSettings::UserScope);
    EXPECT_EQ(store->organizationName(), "KORVEX");
    EXPECT_EQ(store->applicationName(), "Cache Login");
    EXPECT_EQ(store->group(), "Login");
    // The test main points the user's configuration into the temporary folder.
    EXPECT_TRUE(store->fileName().startsWith(korvextest::TempDir())) << store->fileName().toStdString();
}

TEST(SettingsConnectString, NamespaceNeverEntersIt) {
    EXPECT_EQ(BuildConnectString("127.0.0.1", "1972"), "cn_iptcp:127.0.0.1[1972]:KORVEX");
    EXPECT_EQ(BuildConnectString("", ""), "cn_iptcp:[]:KORVEX");
}
