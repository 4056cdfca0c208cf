#include "KorvexProgram.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSettings>

#include <algorithm>

#ifndef KORVEX_APP
#error "KORVEX_APP must name the program under test"
#endif

namespace e2e {

namespace {

constexpr int px(int twips) {
    return (twips + 7) / 15;
}

// The main window's client area is 11745 x 8760 twips; the menu bar stands above it.
constexpr int kClientHeight = px(8760);
constexpr int kStatusBarHeight = px(375); // fixed by the program
const QRect kArticleList(360, 720, 11295, 4095);
const QRect kSupplierList(360, 5280, 8775, 3375);
const QList<int> kSupplierWidths{200, 70, 75, 75, 50, 75};

const QString kLoginTitle = QStringLiteral("KORVEX Benutzeranmeldung");
const QString kMainTitle = QStringLiteral("KORVEX Update Hauptlieferanten {14}Firma: .*");

int luminance(QRgb c) {
    return (qRed(c) * 299 + qGreen(c) * 587 + qBlue(c) * 114) / 1000;
}

bool neutralGrey(QRgb c, int low, int high) {
    const int spread = std::max({qRed(c), qGreen(c), qBlue(c)}) - std::min({qRed(c), qGreen(c), qBlue(c)});
    return spread <= 6 && qRed(c) >= low && qRed(c) <= high;
}

} // namespace

KorvexProgram::KorvexProgram(XDisplay &display, const QString &workDir) : m_display(display), m_work(workDir) {
    QDir work(m_work);
    for (const char *dir : {"home", "config/KORVEX", "data", "cache", "documents", "runtime", "bin"})
        work.mkpath(QString::fromLatin1(dir));
    QFile::setPermissions(work.filePath(QStringLiteral("runtime")),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    // The program opens a printed PDF through xdg-open; this one only notes the request.
    QFile opener(work.filePath(QStringLiteral("bin/xdg-open")));
    if (opener.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        opener.write(QStringLiteral("#!/bin/sh\nprintf '%s\\n' \"$*\" >> '%1'\n")
                         .arg(work.filePath(QStringLiteral("opened.log")))
                         .toUtf8());
        opener.close();
        opener.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }
}

KorvexProgram::~KorvexProgram() {
    if (m_process && m_process->state() != QProcess::NotRunning) {
        m_process->kill();
        m_process->waitForFinished(5000);
    }
}

void KorvexProgram::writeSettings(const QString &server, const QString &port, const QString &name) {
    QSettings store(QDir(m_work).filePath(QStringLiteral("config/KORVEX/Cache Login.ini")), QSettings::IniFormat);
    store.beginGroup(QStringLiteral("Login"));
    store.setValue(QStringLiteral("Firma"), QStringLiteral("1"));
    store.setValue(QStringLiteral("Filiale"), QStringLiteral("0"));
    store.setValue(QStringLiteral("Server"), server);
    store.setValue(QStringLiteral("Port"), port);
    store.setValue(QStringLiteral("Namespace"), QStringLiteral("KORVEX"));
    store.setValue(QStringLiteral("Name"), name);
    store.endGroup();
    store.sync();
}

bool KorvexProgram::start(QString *error) {
    const QDir work(m_work);
    QProcessEnvironment environment = m_display.environment();
    // Nothing of the desktop the tests run from may reach the program: no session, no scaling,
    // no theme, no bus, no printer.
    for (const char *name :
         {"QT_QPA_PLATFORM", "QT_SCALE_FACTOR", "QT_SCREEN_SCALE_FACTORS", "QT_AUTO_SCREEN_SCALE_FACTOR",
          "QT_ENABLE_HIGHDPI_SCALING", "QT_FONT_DPI", "QT_STYLE_OVERRIDE", "QT_QPA_PLATFORMTHEME",
          "XDG_CURRENT_DESKTOP", "DESKTOP_SESSION", "KDE_FULL_SESSION", "GNOME_DESKTOP_SESSION_ID",
          "DBUS_SESSION_BUS_ADDRESS", "LC_ALL", "LANGUAGE", "PRINTER", "LPDEST", "KORVEX_AUTOTEST_QUIT_AFTER_SHOW"})
        environment.remove(QString::fromLatin1(name));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    environment.insert(QStringLiteral("LANG"), QStringLiteral("de_DE.UTF-8"));
    environment.insert(QStringLiteral("HOME"), work.filePath(QStringLiteral("home")));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), work.filePath(QStringLiteral("config")));
    environment.insert(QStringLiteral("XDG_DATA_HOME"), work.filePath(QStringLiteral("data")));
    environment.insert(QStringLiteral("XDG_CACHE_HOME"), work.filePath(QStringLiteral("cache")));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), work.filePath(QStringLiteral("runtime")));
    environment.insert(QStringLiteral("XDG_DOCUMENTS_DIR"), documentsDir());
    environment.insert(QStringLiteral("CUPS_SERVER"), work.filePath(QStringLiteral("no-cups.sock")));
    environment.insert(QStringLiteral("PATH"), work.filePath(QStringLiteral("bin")) + QLatin1Char(':') +
                                                   environment.value(QStringLiteral("PATH")));

    m_process = std::make_unique<QProcess>();
    m_process->setProcessEnvironment(environment);
    m_process->setWorkingDirectory(work.filePath(QStringLiteral("home")));
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    DieWithTestProcess(*m_process);
    m_process->start(QStringLiteral(KORVEX_APP), {});
    if (!m_process->waitForStarted(10000)) {
        if (error)
            *error = m_process->errorString();
        return false;
    }
    return true;
}

bool KorvexProgram::running() const {
    return m_process && m_process->state() != QProcess::NotRunning;
}

bool KorvexProgram::waitEnded(int timeoutMs) {
    return WaitUntil([this] { return !running(); }, timeoutMs);
}

int KorvexProgram::exitCode() const {
    if (!m_process || running() || m_process->exitStatus() != QProcess::NormalExit)
        return -1;
    return m_process->exitCode();
}

QString KorvexProgram::output() {
    if (m_process)
        m_output += QString::fromLocal8Bit(m_process->readAll());
    return m_output;
}

QString KorvexProgram::documentsDir() const {
    return QDir(m_work).filePath(QStringLiteral("documents"));
}

QString KorvexProgram::openedUrls() const {
    QFile log(QDir(m_work).filePath(QStringLiteral("opened.log")));
    return log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll()) : QString();
}

WindowId KorvexProgram::login(const QString &code, const QString &password, QString *why) {
    const WindowId dialog = m_display.waitWindow(kLoginTitle, 20000);
    if (!dialog) {
        if (why)
            *why = QStringLiteral("Kein Anmeldedialog; Fenster: %1; Ausgabe: %2")
                       .arg(m_display.describeWindows(), output());
        return 0;
    }
    const QPoint origin = m_display.geometry(dialog).topLeft();
    const auto at = [&](int left, int top, int width, int height) {
        return origin + QPoint(px(left + width / 2), px(top + height / 2));
    };
    // Personnel code (BUSER), password (BPASSWORT), then "Anmelden" (BUSpeich).
    m_display.click(at(2280, 120, 1455, 285));
    m_display.key(QStringLiteral("ctrl+a"));
    m_display.type(code);
    m_display.click(at(2280, 525, 1455, 285));
    m_display.key(QStringLiteral("ctrl+a"));
    m_display.type(password);
    m_display.click(at(120, 960, 1695, 375));
    const WindowId main = m_display.waitWindow(kMainTitle, 20000);
    if (!main && why)
        *why = QStringLiteral("Kein Hauptfenster nach der Anmeldung; Fenster: %1").arg(m_display.describeWindows());
    return main;
}

MainWindow::MainWindow(XDisplay &display, WindowId window) : m_display(display), m_window(window) {
    const QRect frame = display.geometry(window);
    // No window manager, no frame: the window's height is the menu bar, the client area and the
    // status bar.
    m_client = QPoint(frame.x(), frame.y() + frame.height() - kStatusBarHeight - kClientHeight);
}

QPoint MainWindow::point(int twipsX, int twipsY) const {
    return m_client + QPoint(px(twipsX), px(twipsY));
}

QPoint MainWindow::centre(int left, int top, int width, int height) const {
    return point(left + width / 2, top + height / 2);
}

QRect MainWindow::supplierListRect() const {
    return QRect(point(kSupplierList.x(), kSupplierList.y()),
                 QSize(px(kSupplierList.width()), px(kSupplierList.height())));
}

bool MainWindow::dropDownShown() {
    const QRect combo(point(1080, 240), QSize(px(975), px(300)));
    const QRect below(combo.bottomLeft() + QPoint(0, 1), QSize(combo.width(), px(180)));
    for (const WindowId window : m_display.visibleWindows()) {
        const QRect frame = m_display.geometry(window);
        if (window != m_window && frame.isValid() && (frame.intersects(combo) || frame.intersects(below)))
            return true;
    }
    return false;
}

bool MainWindow::pickUpdate(int index, const std::function<bool()> &picked, int timeoutMs, QString *why) {
    QElapsedTimer time;
    time.start();
    int attempts = 0;
    while (time.elapsed() < timeoutMs) {
        ++attempts;
        if (!dropDownShown()) {
            m_display.click(centre(1080, 240, 975, 300));
            if (!WaitUntil([&] { return dropDownShown(); }, 5000, 100))
                continue; // the click may still open it late: looked at again before the next click
        }
        // From the first row, also when an update was picked before; the open list has the keyboard.
        m_display.key(QStringLiteral("ctrl+Home"));
        for (int i = 0; i < index; ++i)
            m_display.key(QStringLiteral("Down"));
        m_display.key(QStringLiteral("Return"));
        WaitUntil([&] { return !dropDownShown(); }, 5000, 100);
        if (WaitUntil(picked, 15000, 250))
            return true;
    }
    if (why)
        *why = QStringLiteral("Update-Zeile %1 nach %2 Versuchen in %3 s nicht gewählt")
                   .arg(index)
                   .arg(attempts)
                   .arg(time.elapsed() / 1000);
    return false;
}

void MainWindow::clickDrucken() {
    m_display.click(centre(9960, 6720, 1215, 375));
}

void MainWindow::clickSpeichern() {
    m_display.click(centre(9960, 7440, 1215, 375));
}

void MainWindow::clickAusstieg() {
    m_display.click(centre(9960, 8160, 1215, 375));
}

int MainWindow::columnCentre(int column) const {
    // The list keeps its columns in the shares of their design widths across its inner width.
    const int inner = supplierListRect().width() - 2;
    const double total = 545.0;
    double share = 0;
    int left = 0;
    for (int c = 1; c <= column; ++c) {
        share += kSupplierWidths.at(c - 1);
        const int right = c == kSupplierWidths.size() ? inner : int(inner * share / total + 0.5);
        if (c == column)
            return 1 + (left + right) / 2;
        left = right;
    }
    return 0;
}

int MainWindow::rowCentre(int row) const {
    return m_headerBottom + row * m_rowHeight + m_rowHeight / 2;
}

void MainWindow::clickArticle(int row) {
    // Both lists are the same control in the same font: the supplier list's rows measure this one.
    m_display.click(point(kArticleList.x(), kArticleList.y()) + QPoint(40, rowCentre(row)));
}

void MainWindow::clickSupplierCell(int row, int column) {
    const QRect list = supplierListRect();
    m_display.click(list.topLeft() + QPoint(columnCentre(column), rowCentre(row)));
}

bool MainWindow::calibrate(int rows, QString *why) {
    const QImage screen = m_display.grab();
    const QRect list = supplierListRect();
    if (screen.isNull() || !screen.rect().contains(list)) {
        if (why)
            *why = QStringLiteral("Kein Bildschirmfoto der Lieferantenliste");
        return false;
    }
    // A line down the "Hauptlieferant" column left of its check boxes: the rows show as runs of
    // one colour each (alternating), the empty rest of the list as one run to the bottom.
    const int x = list.left() + columnCentre(6) - 20;
    struct Run {
        int top;
        int length;
    };
    QList<Run> runs;
    QRgb colour = 0;
    for (int y = 1; y < list.height() - 1; ++y) {
        const QRgb c = screen.pixel(x, list.top() + y);
        if (runs.isEmpty() || c != colour) {
            runs.append({y, 1});
            colour = c;
        } else {
            ++runs.last().length;
        }
    }
    if (runs.size() < 3) {
        if (why)
            *why = QStringLiteral("Die Lieferantenliste zeigt keine Zeilen");
        return false;
    }
    const Run empty = runs.last();
    const Run lastRow = runs.at(runs.size() - 2);
    m_rowHeight = lastRow.length;
    m_headerBottom = empty.top - rows * m_rowHeight;
    if (m_rowHeight < 10 || m_rowHeight > 60 || m_headerBottom < 8 || m_headerBottom > 60) {
        if (why)
            *why = QStringLiteral("Zeilen nicht erkannt (Zeilenhöhe %1, Kopf %2)").arg(m_rowHeight).arg(m_headerBottom);
        m_rowHeight = 0;
        return false;
    }
    // The check boxes of every row must be where the rows were found.
    const QString marks = supplierMarks(screen);
    if (marks.split(QLatin1Char(' '), Qt::SkipEmptyParts).size() != rows) {
        if (why)
            *why =
                QStringLiteral("Zeilen nicht erkannt: %1 statt %2 Zeilen (%3)").arg(marks).arg(rows).arg(m_rowHeight);
        m_rowHeight = 0;
        return false;
    }
    return true;
}

QString MainWindow::supplierMarks(const QImage &screen) const {
    if (!calibrated() || screen.isNull())
        return QStringLiteral("?");
    const QRect list = supplierListRect();
    QStringList rows;
    // A check box is a grey frame around a white square; ticked, it holds a dark mark.
    const auto box = [&](int cx, int cy, bool *ticked) {
        int frame = 0;
        int dark = 0;
        for (int dy = -7; dy <= 7; ++dy)
            for (int dx = -9; dx <= 9; ++dx) {
                const QRgb c = screen.pixel(cx + dx, cy + dy);
                if (neutralGrey(c, 150, 215))
                    ++frame;
                if (std::abs(dx) <= 4 && std::abs(dy) <= 4 && luminance(c) < 100)
                    ++dark;
            }
        *ticked = dark >= 3;
        return frame >= 10;
    };
    for (int row = 0;; ++row) {
        const int cy = list.top() + rowCentre(row);
        if (cy + m_rowHeight / 2 >= list.bottom())
            break;
        bool aktiv = false;
        bool haupt = false;
        if (!box(list.left() + columnCentre(5), cy, &aktiv))
            break;
        box(list.left() + columnCentre(6), cy, &haupt);
        rows << QStringLiteral("%1%2").arg(aktiv ? 1 : 0).arg(haupt ? 1 : 0);
    }
    return rows.join(QLatin1Char(' '));
}

QString MainWindow::supplierMarks() const {
    return supplierMarks(m_display.grab());
}

bool MainWindow::waitSupplierMarks(const QString &marks, int timeoutMs, QString *last) const {
    QString seen;
    const bool ok = WaitUntil(
        [&] {
            seen = supplierMarks();
            return seen == marks;
        },
        timeoutMs, 150);
    if (last)
        *last = seen;
    return ok;
}

QImage MainWindow::supplierListImage(const QImage &screen) const {
    return screen.copy(supplierListRect());
}

} // namespace e2e
