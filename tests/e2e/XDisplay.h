#pragma once

#include <QImage>
#include <QList>
#include <QPoint>
#include <QProcess>
#include <QRect>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

namespace e2e {

using WindowId = qulonglong;

// Waits for `done` to hold, polling every `intervalMs`, at most `timeoutMs`. True when it held.
bool WaitUntil(const std::function<bool()> &done, int timeoutMs, int intervalMs = 100);
// Pauses without blocking the test process's own event loop.
void Pause(int ms);
// Makes the process end when the test process ends, whatever ends it (a crash, a timeout's kill).
void DieWithTestProcess(QProcess &process);
// Runs a program to its end (at most `timeoutMs`); the exit code, or -1 when it did not finish.
int RunTool(const QString &program, const QStringList &arguments, QString *output = nullptr, int timeoutMs = 20000,
            const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment());

// A private X server (Xvfb) on a free display, and the outside hand that works on it: the pointer,
// the keyboard, window titles and geometry (xdotool) and screenshots (ImageMagick's import). A
// window manager is not running: windows stand where the program puts them, without frames.
class XDisplay {
public:
    XDisplay() = default;
    ~XDisplay();
    XDisplay(const XDisplay &) = delete;
    XDisplay &operator=(const XDisplay &) = delete;

    // Starts Xvfb on the first free display from :90 to :130, listening on no TCP port.
    bool start(QString *error);
    void stop();
    QString name() const { return m_name; }

    // The windows on screen whose title matches `pattern` (case-sensitive, the whole title).
    QList<WindowId> windows(const QString &pattern);
    // Waits for one such window; 0 when none came within the time.
    WindowId waitWindow(const QString &pattern, int timeoutMs);
    // Waits until no window matches; false when one is still there.
    bool waitNoWindow(const QString &pattern, int timeoutMs);
    QString title(WindowId window);
    // Every visible window, titled or not (drop-down lists have no title).
    QList<WindowId> visibleWindows();
    QRect geometry(WindowId window);
    // Every visible titled window, as "title" lines, for failure messages.
    QString describeWindows();

    void click(const QPoint &screenPoint);
    // Key names as xdotool takes them ("Return", "ctrl+a", "F1").
    void key(const QString &keys);
    void type(const QString &text);
    // Gives the window the keyboard focus (no window manager does it for us).
    void focus(WindowId window);

    QImage grab();
    // The window's part of the screen, as the clerk sees it.
    QImage grabWindow(WindowId window);
    bool saveWindowShot(WindowId window, const QString &path);

    QProcessEnvironment environment() const;

private:
    QString xdotool(const QStringList &arguments, int *exitCode = nullptr);
    // The visible windows xdotool finds by `by` ("--name": titled ones, "--class": all).
    QList<WindowId> visibleIds(const QString &by);

    std::unique_ptr<QProcess> m_server;
    QString m_name;
};

} // namespace e2e
