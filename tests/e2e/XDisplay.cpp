#include "XDisplay.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QRegularExpression>
#include <QThread>

#include <csignal>
#include <sys/prctl.h>

namespace e2e {

bool WaitUntil(const std::function<bool()> &done, int timeoutMs, int intervalMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (true) {
        if (done())
            return true;
        if (deadline.hasExpired())
            return false;
        Pause(intervalMs);
    }
}

void Pause(int ms) {
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(std::min<qint64>(10, std::max<qint64>(deadline.remainingTime(), 0)));
    }
}

void DieWithTestProcess(QProcess &process) {
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
}

int RunTool(const QString &program, const QStringList &arguments, QString *output, int timeoutMs,
            const QProcessEnvironment &environment) {
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForStarted(10000)) {
        if (output)
            *output = process.errorString();
        return -1;
    }
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(3000);
        if (output)
            *output = QString::fromUtf8(process.readAll());
        return -1;
    }
    if (output)
        *output = QString::fromUtf8(process.readAll());
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

XDisplay::~XDisplay() {
    stop();
}

QProcessEnvironment XDisplay::environment() const {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), m_name);
    environment.remove(QStringLiteral("XAUTHORITY"));
    return environment;
}

bool XDisplay::start(QString *error) {
    for (int number = 90; number <= 130; ++number) {
        // A display that another X server (or another test run) holds is skipped.
        if (QFile::exists(QStringLiteral("/tmp/.X%1-lock").arg(number)) ||
            QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(number)))
            continue;
        const QString name = QStringLiteral(":%1").arg(number);
        auto server = std::make_unique<QProcess>();
        server->setProcessChannelMode(QProcess::MergedChannels);
        DieWithTestProcess(*server);
        server->start(QStringLiteral("Xvfb"),
                      {name, QStringLiteral("-nolisten"), QStringLiteral("tcp"), QStringLiteral("-screen"),
                       QStringLiteral("0"), QStringLiteral("1280x1024x24"), QStringLiteral("-dpi"),
                       QStringLiteral("96"), QStringLiteral("-noreset")});
        if (!server->waitForStarted(5000)) {
            if (error)
                *error = QStringLiteral("Xvfb startet nicht (%1); scripts/deps.sh installiert es.")
                             .arg(server->errorString());
            return false;
        }
        m_name = name;
        // Ready once a client gets an answer; a display taken in the meantime ends the server at once.
        const bool ready = WaitUntil(
            [&] {
                if (server->state() != QProcess::Running)
                    return true;
                return RunTool(QStringLiteral("xdpyinfo"), {QStringLiteral("-display"), name}, nullptr, 5000) == 0;
            },
            10000, 50);
        if (ready && server->state() == QProcess::Running) {
            m_server = std::move(server);
            return true;
        }
        server->kill();
        server->waitForFinished(3000);
        m_name.clear();
    }
    if (error)
        *error = QStringLiteral("Kein freies X-Display zwischen :90 und :130");
    return false;
}

void XDisplay::stop() {
    if (!m_server)
        return;
    m_server->terminate();
    if (!m_server->waitForFinished(3000)) {
        m_server->kill();
        m_server->waitForFinished(3000);
    }
    m_server.reset();
}

QString XDisplay::xdotool(const QStringList &arguments, int *exitCode) {
    QString output;
    const int code = RunTool(QStringLiteral("xdotool"), arguments, &output, 10000, environment());
    if (exitCode)
        *exitCode = code;
    return output;
}

QList<WindowId> XDisplay::visibleIds(const QString &by) {
    QList<WindowId> found;
    const QString ids = xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"), by, QStringLiteral(".")});
    for (const QString &line : ids.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        bool ok = false;
        const WindowId id = line.trimmed().toULongLong(&ok);
        if (ok)
            found << id;
    }
    return found;
}

QList<WindowId> XDisplay::windows(const QString &pattern) {
    const QRegularExpression exact(QRegularExpression::anchoredPattern(pattern));
    QList<WindowId> found;
    // xdotool's own search ignores letter case; it only narrows the list down.
    for (const WindowId id : visibleIds(QStringLiteral("--name")))
        if (exact.match(title(id)).hasMatch())
            found << id;
    return found;
}

QList<WindowId> XDisplay::visibleWindows() {
    return visibleIds(QStringLiteral("--class"));
}

QString XDisplay::describeWindows() {
    QStringList titles;
    for (const WindowId id : visibleIds(QStringLiteral("--name")))
        titles << QLatin1Char('"') + title(id) + QLatin1Char('"');
    return titles.isEmpty() ? QStringLiteral("(kein Fenster)") : titles.join(QStringLiteral(", "));
}

WindowId XDisplay::waitWindow(const QString &pattern, int timeoutMs) {
    WindowId window = 0;
    WaitUntil(
        [&] {
            const QList<WindowId> found = windows(pattern);
            window = found.isEmpty() ? 0 : found.first();
            return window != 0;
        },
        timeoutMs);
    return window;
}

bool XDisplay::waitNoWindow(const QString &pattern, int timeoutMs) {
    return WaitUntil([&] { return windows(pattern).isEmpty(); }, timeoutMs);
}

QString XDisplay::title(WindowId window) {
    QString name = xdotool({QStringLiteral("getwindowname"), QString::number(window)});
    if (name.endsWith(QLatin1Char('\n')))
        name.chop(1);
    return name;
}

QRect XDisplay::geometry(WindowId window) {
    const QString shell =
        xdotool({QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), QString::number(window)});
    int x = 0, y = 0, w = 0, h = 0;
    for (const QString &line : shell.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QString key = line.section(QLatin1Char('='), 0, 0);
        const int value = line.section(QLatin1Char('='), 1).toInt();
        if (key == QLatin1String("X"))
            x = value;
        else if (key == QLatin1String("Y"))
            y = value;
        else if (key == QLatin1String("WIDTH"))
            w = value;
        else if (key == QLatin1String("HEIGHT"))
            h = value;
    }
    return QRect(x, y, w, h);
}

void XDisplay::click(const QPoint &screenPoint) {
    xdotool({QStringLiteral("mousemove"), QString::number(screenPoint.x()), QString::number(screenPoint.y()),
             QStringLiteral("click"), QStringLiteral("1")});
}

void XDisplay::key(const QString &keys) {
    xdotool({QStringLiteral("key"), QStringLiteral("--delay"), QStringLiteral("40"), keys});
}

void XDisplay::type(const QString &text) {
    xdotool({QStringLiteral("type"), QStringLiteral("--delay"), QStringLiteral("30"), text});
}

void XDisplay::focus(WindowId window) {
    xdotool({QStringLiteral("windowfocus"), QString::number(window)});
}

QImage XDisplay::grab() {
    QProcess import;
    import.setProcessEnvironment(environment());
    import.start(QStringLiteral("import"), {QStringLiteral("-display"), m_name, QStringLiteral("-window"),
                                            QStringLiteral("root"), QStringLiteral("png:-")});
    if (!import.waitForFinished(15000)) {
        import.kill();
        import.waitForFinished(3000);
        return {};
    }
    return QImage::fromData(import.readAllStandardOutput(), "PNG").convertToFormat(QImage::Format_RGB32);
}

QImage XDisplay::grabWindow(WindowId window) {
    return grab().copy(geometry(window));
}

bool XDisplay::saveWindowShot(WindowId window, const QString &path) {
    return grabWindow(window).save(path);
}

} // namespace e2e
