// The stored login settings with any values: a settings file written from the input is read by
// LoadLoginSettings, the dialogs show what the session holds, the password is unmasked exactly,
// and what SaveLoginSettings writes back reads back the same.

#include "session/CacheApi.h"
#include "FakeLoginForms.h"
#include "FuzzSupport.h"

#include <QCoreApplication>
#include <QFile>
#include <QSettings>
#include <QStringList>
#include <QTemporaryDir>

using namespace cacheapi;

namespace {

QTemporaryDir *gDir = nullptr;
QString gFile;

struct Loaded {
    QString firma, filiale, server, port, ns, user, password;
    bool operator==(const Loaded &) const = default;
    QString text() const { return QStringList{firma, filiale, server, port, ns, user, password}.join(u'|'); }
};

Loaded load(FakeLoginForms &forms) {
    gForms = &forms;
    LoadLoginSettings();
    gForms = nullptr;
    const Loaded loaded{gFirma, gFiliale, gServer, gPort, gNamespace, gUser, gPassword};
    FUZZ_CHECK(forms.field(LoginForms::Field::BFIRMA) == gFirma, loaded.text());
    FUZZ_CHECK(forms.field(LoginForms::Field::BFIL) == gFiliale, loaded.text());
    FUZZ_CHECK(forms.field(LoginForms::Field::BSERVERIP) == gServer, loaded.text());
    FUZZ_CHECK(forms.field(LoginForms::Field::BPORT) == gPort, loaded.text());
    FUZZ_CHECK(forms.field(LoginForms::Field::BNAMESPACE) == gNamespace, loaded.text());
    FUZZ_CHECK(forms.field(LoginForms::Field::BUSER) == gUser, loaded.text());
    FUZZ_CHECK(forms.field(LoginForms::Field::BPASSWORT) == gPassword, loaded.text());
    return loaded;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    static QCoreApplication app(*argc, *argv);
    gDir = new QTemporaryDir;
    gFile = gDir->filePath(QStringLiteral("Cache Login.ini"));
    SetSettingsFile(gFile);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    // The file: the group line, then each key with a value from the input (a value may hold line
    // breaks and so bring lines of its own), then whatever bytes are left.
    static const char *const keys[] = {"Firma", "Filiale", "Server", "Port", "Namespace", "Name", "Passwort"};
    QByteArray file = in.ConsumeBool() ? QByteArray("[Login]\n") : QByteArray();
    for (const char *key : keys) {
        if (in.ConsumeIntegralInRange<int>(0, 4) == 0)
            continue;
        file += key;
        file += '=';
        file += QByteArray::fromStdString(in.ConsumeRandomLengthString(64));
        file += '\n';
    }
    file += QByteArray::fromStdString(in.ConsumeRemainingBytesAsString());
    {
        QFile out(gFile);
        if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
            std::abort();
        out.write(file);
    }

    ResetSession();
    FakeLoginForms forms;
    const Loaded first = load(forms);
    {
        // The password is the stored value unmasked, and masking is its own inverse.
        QSettings store(gFile, QSettings::IniFormat);
        const QString stored = store.value(QStringLiteral("Login/Passwort")).toString();
        // A value beyond any real one reads as missing.
        const QString expected = stored.size() > kMaxValueLength ? QString() : stored;
        FUZZ_CHECK(first.password == MaskPassword(expected), first.text());
        FUZZ_CHECK(MaskPassword(first.password) == expected, first.text());
    }

    // The dialog's "Sichern" with the fields as loaded, then a fresh load: nothing changed on the way.
    gForms = &forms;
    SaveLoginSettings();
    gForms = nullptr;
    ResetSession();
    FakeLoginForms again;
    const Loaded second = load(again);
    FUZZ_CHECK(second == first, first.text() + QStringLiteral(" -> ") + second.text());
    return 0;
}
