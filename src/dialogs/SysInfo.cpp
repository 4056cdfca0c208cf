#include "SysInfo.h"

#include "CacheApi.h"

#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QtGlobal>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

const QString kSysInfoTitle = QStringLiteral("KORVEX Update Hauptlieferanten");
const QString kSysInfoUnavailable = QString::fromUtf8("Systeminformationen sind momentan nicht verf\u00fcgbar");

namespace {

SysInfoHooks machineHooks() {
    SysInfoHooks h;
    h.findProgram = [](const QString &program) { return QStandardPaths::findExecutable(program); };
    h.fileExists = [](const QString &path) { return QFileInfo(path).isFile(); };
    h.startProgram = [](const QString &path, const QStringList &arguments) {
        return QProcess::startDetached(path, arguments);
    };
    return h;
}

void showUnavailable() {
    cacheapi::gDesktop->messageBox(kSysInfoTitle, kSysInfoUnavailable, cacheapi::Desktop::Buttons::Ok,
                                   cacheapi::Desktop::Icon::None);
}

} // namespace

SysInfoHooks &sysInfoHooks() {
    static SysInfoHooks hooks = machineHooks();
    return hooks;
}

void resetSysInfoHooks() {
    sysInfoHooks() = machineHooks();
}

bool RegistryValueToText(unsigned long type, const QByteArray &data, QString &keyVal) {
    QByteArray kept = data;
    if (!kept.isEmpty() && kept.back() == '\0')
        kept.chop(1);
    switch (type) {
    case kRegSz:
        // Read through the single-byte API, so the bytes are in the system's code page.
        keyVal = QString::fromLocal8Bit(kept);
        return true;
    case kRegDword: {
        // Little-endian; bytes a dropped "terminating zero" took away were high zero bytes.
        quint32 value = 0;
        for (qsizetype i = qMin<qsizetype>(kept.size(), 4) - 1; i >= 0; --i)
            value = (value << 8) | quint8(kept.at(i));
        keyVal = QString::number(value);
        return true;
    }
    default:
        return false;
    }
}

#ifdef Q_OS_WIN

bool GetKeyValue(KeyRootHandle KeyRoot, const QString &KeyName, const QString &SubKeyRef, QString &KeyVal) {
    HKEY key = nullptr;
    const QByteArray keyName = KeyName.toLocal8Bit();
    // Reading needs only read access; asking for all rights fails for every user without
    // administrator rights on the local-machine keys.
    if (RegOpenKeyExA(reinterpret_cast<HKEY>(KeyRoot), keyName.constData(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        KeyVal.clear();
        return false;
    }
    char buffer[1024];
    DWORD size = sizeof(buffer);
    DWORD type = 0;
    const QByteArray valueName = SubKeyRef.toLocal8Bit();
    bool read = RegQueryValueExA(key, valueName.constData(), nullptr, &type, reinterpret_cast<LPBYTE>(buffer), &size) ==
                ERROR_SUCCESS;
    if (read)
        RegistryValueToText(type, QByteArray(buffer, qsizetype(qMin<DWORD>(size, sizeof(buffer)))), KeyVal);
    else
        KeyVal.clear();
    RegCloseKey(key);
    return read;
}

bool FindSysInfoTool(SysInfoTool &tool) {
    QString value;
    if (GetKeyValue(kHKeyLocalMachine, QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools\\MSINFO"),
                    QStringLiteral("PATH"), value)) {
        // Started without a file test: a wrong path shows up as a failed start.
        tool = {value, {}};
        return true;
    }
    if (!GetKeyValue(kHKeyLocalMachine, QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools Location"),
                     QStringLiteral("MSINFO"), value))
        return false;
    const QString path = value + QStringLiteral("\\MSINFO32.EXE");
    if (!sysInfoHooks().fileExists(path))
        return false;
    tool = {path, {}};
    return true;
}

QList<SysInfoCandidate> SysInfoCandidates() {
    return {};
}

#else

bool GetKeyValue(KeyRootHandle, const QString &, const QString &, QString &KeyVal) {
    KeyVal.clear();
    return false;
}

QList<SysInfoCandidate> SysInfoCandidates() {
    // Dedicated system information programs first, then the desktops' own overview pages.
    return {
        {QStringLiteral("hardinfo2"), {}},
        {QStringLiteral("hardinfo"), {}},
        {QStringLiteral("kinfocenter"), {}},
        {QStringLiteral("gnome-control-center"), {QStringLiteral("info-overview")}},
        {QStringLiteral("xfce4-about"), {}},
    };
}

bool FindSysInfoTool(SysInfoTool &tool) {
    for (const SysInfoCandidate &candidate : SysInfoCandidates()) {
        const QString path = sysInfoHooks().findProgram(candidate.program);
        if (!path.isEmpty()) {
            tool = {path, candidate.arguments};
            return true;
        }
    }
    return false;
}

#endif

void StartSysInfo() {
    bool started = false;
    try {
        SysInfoTool tool;
        started = FindSysInfoTool(tool) && sysInfoHooks().startProgram(tool.path, tool.arguments);
    } catch (const cacheapi::ProgramEnd &) {
        throw;
    } catch (...) {
        // Whatever went wrong on the way, the user gets the one message below.
        started = false;
    }
    if (!started)
        showUnavailable();
}
