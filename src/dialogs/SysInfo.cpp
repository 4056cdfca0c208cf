#include "dialogs/SysInfo.h"

#include "session/CacheApi.h"

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
        // Long enough for a tool that refuses to run here to say so, short enough for a click.
        constexpr int kSettleMs = 1500;
        cacheapi::gDesktop->setBusyPointer(true);
        const bool started = StartToolProgram(path, arguments, kSettleMs);
        cacheapi::gDesktop->setBusyPointer(false);
        return started;
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

QList<SysInfoTool> FindSysInfoTools() {
    QString value;
    if (GetKeyValue(kHKeyLocalMachine, QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools\\MSINFO"),
                    QStringLiteral("PATH"), value))
        // Started without a file test: a wrong path shows up as a failed start.
        return {{value, {}}};
    if (!GetKeyValue(kHKeyLocalMachine, QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools Location"),
                     QStringLiteral("MSINFO"), value))
        return {};
    const QString path = value + QStringLiteral("\\MSINFO32.EXE");
    if (!sysInfoHooks().fileExists(path))
        return {};
    return {{path, {}}};
}

QList<SysInfoCandidate> SysInfoCandidates(const QString &) {
    return {};
}

#else

bool GetKeyValue(KeyRootHandle, const QString &, const QString &, QString &KeyVal) {
    KeyVal.clear();
    return false;
}

QList<SysInfoCandidate> SysInfoCandidates(const QString &currentDesktop) {
    struct DesktopTool {
        QStringList desktops; // the names a desktop gives itself in XDG_CURRENT_DESKTOP
        SysInfoCandidate tool;
    };
    QList<DesktopTool> others = {
        {{QStringLiteral("KDE")}, {QStringLiteral("kinfocenter"), {}}},
        {{QStringLiteral("GNOME"), QStringLiteral("Unity")},
         {QStringLiteral("gnome-control-center"), {QStringLiteral("info-overview")}}},
        {{QStringLiteral("XFCE")}, {QStringLiteral("xfce4-about"), {}}},
        {{QStringLiteral("MATE")}, {QStringLiteral("mate-system-monitor"), {QStringLiteral("--show-system-tab")}}},
        {{QStringLiteral("X-Cinnamon"), QStringLiteral("Cinnamon")},
         {QStringLiteral("cinnamon-settings"), {QStringLiteral("info")}}},
        {{QStringLiteral("LXQt")}, {QStringLiteral("lxqt-about"), {}}},
    };

    QList<SysInfoCandidate> order;
    // The running desktop's own tool knows it best, and one of another desktop may refuse to run.
    for (const QString &name : currentDesktop.split(QLatin1Char(':'), Qt::SkipEmptyParts))
        for (auto tool = others.begin(); tool != others.end();)
            if (tool->desktops.contains(name.trimmed(), Qt::CaseInsensitive)) {
                order.append(tool->tool);
                tool = others.erase(tool);
            } else {
                ++tool;
            }
    order.append({QStringLiteral("hardinfo2"), {}});
    order.append({QStringLiteral("hardinfo"), {}});
    for (const DesktopTool &other : others)
        order.append(other.tool);
    return order;
}

QList<SysInfoTool> FindSysInfoTools() {
    QList<SysInfoTool> tools;
    for (const SysInfoCandidate &candidate : SysInfoCandidates(qEnvironmentVariable("XDG_CURRENT_DESKTOP"))) {
        const QString path = sysInfoHooks().findProgram(candidate.program);
        if (!path.isEmpty())
            tools.append({path, candidate.arguments});
    }
    return tools;
}

#endif

bool StartToolProgram(const QString &path, const QStringList &arguments, int settleMs) {
    // Not detached, so that an early end can be seen; not owned by anything either, so that the
    // tool stays open when this program ends. A tool that ends later deletes its watcher.
    auto *process = new QProcess;
    process->setProgram(path);
    process->setArguments(arguments);
    process->setStandardInputFile(QProcess::nullDevice());
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setStandardErrorFile(QProcess::nullDevice());
    process->start();
    // Starting is quick even on a busy machine; the bound only keeps a hanging start from
    // freezing the window.
    if (!process->waitForStarted(10000)) {
        delete process;
        return false;
    }
    if (process->waitForFinished(settleMs)) {
        const bool ran = process->exitStatus() == QProcess::NormalExit && process->exitCode() == 0;
        delete process;
        return ran;
    }
    QObject::connect(process, &QProcess::finished, process, &QObject::deleteLater);
    return true;
}

void StartSysInfo() {
    bool started = false;
    try {
        // A tool that will not run here makes way for the next one.
        for (const SysInfoTool &tool : FindSysInfoTools()) {
            started = sysInfoHooks().startProgram(tool.path, tool.arguments);
            if (started)
                break;
        }
    } catch (const cacheapi::ProgramEnd &) {
        throw;
    } catch (...) {
        // Whatever went wrong on the way, the user gets the one message below.
        started = false;
    }
    if (!started)
        showUnavailable();
}
