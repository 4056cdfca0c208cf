#pragma once

// The "&Systeminfo..." lookup of the About box: find the system information tool and start it.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>

// A registry root key handle, kept as a plain number so this header needs no platform header. The
// predefined roots are 32-bit negative numbers widened with their sign, as the platform defines them.
using KeyRootHandle = std::uintptr_t;
inline constexpr KeyRootHandle kHKeyLocalMachine = KeyRootHandle(std::intptr_t(std::int32_t(-0x7ffffffe)));

// Registry value types the lookup understands.
inline constexpr unsigned long kRegSz = 1;    // string
inline constexpr unsigned long kRegDword = 4; // 32-bit number, little-endian

// The message title of the lookup: the program's own title.
extern const QString kSysInfoTitle;
extern const QString kSysInfoUnavailable;

// The rules for a registry value's bytes: a terminating zero is dropped; a string becomes the text,
// a 32-bit number its unsigned decimal text; any other type leaves keyVal unchanged (result false).
bool RegistryValueToText(unsigned long type, const QByteArray &data, QString &keyVal);

// Reads one registry value into KeyVal; true when a value was read. Where there is no registry,
// KeyVal becomes empty and the result is false.
bool GetKeyValue(KeyRootHandle KeyRoot, const QString &KeyName, const QString &SubKeyRef, QString &KeyVal);

// Starts the system information tool in a normal window, or tells the user it is not available.
void StartSysInfo();

// A system information program found on this machine.
struct SysInfoTool {
    QString path;
    QStringList arguments;
};

// The desktop tools looked for where there is no registry, in order of preference: program name
// and the arguments that open its system overview. The tool of the running desktop comes first
// (`currentDesktop` as in XDG_CURRENT_DESKTOP, a colon-separated list such as "ubuntu:GNOME"), then
// the dedicated system information programs, then the other desktops' tools.
struct SysInfoCandidate {
    QString program;
    QStringList arguments;
};
QList<SysInfoCandidate> SysInfoCandidates(const QString &currentDesktop);

// The tools found on this machine, in order of preference; empty when there is none.
QList<SysInfoTool> FindSysInfoTools();

// Starts a program to run on by itself and watches it for `settleMs` milliseconds: one that cannot
// be started, or that ends within that time with an error or a crash, counts as not started (a
// desktop's tool outside its desktop does that). One still running is left to run on.
bool StartToolProgram(const QString &path, const QStringList &arguments, int settleMs);

// What the lookup needs from the machine, replaceable by tests.
struct SysInfoHooks {
    // Full path of a program on the PATH, or empty.
    std::function<QString(const QString &program)> findProgram;
    // Whether a file exists (the tool's folder from the registry).
    std::function<bool(const QString &path)> fileExists;
    // Starts a program in a normal window; false when it could not be started or ended at once
    // with an error.
    std::function<bool(const QString &path, const QStringList &arguments)> startProgram;
};
SysInfoHooks &sysInfoHooks();
// Back to the machine's own PATH search, file test and program start.
void resetSysInfoHooks();
