#pragma once

#include "XDisplay.h"

#include <QImage>
#include <QPoint>
#include <QProcess>
#include <QRect>
#include <QString>

#include <functional>
#include <memory>

namespace e2e {

// The real program, started on an X display with a home of its own: no stored settings but the
// ones the test writes, documents in a folder of the test, and a stand-in `xdg-open` first on the
// PATH that only notes what it was asked to open (no viewer starts), no printer.
class KorvexProgram {
public:
    KorvexProgram(XDisplay &display, const QString &workDir);
    ~KorvexProgram();
    KorvexProgram(const KorvexProgram &) = delete;
    KorvexProgram &operator=(const KorvexProgram &) = delete;

    // The stored settings: company 1, branch 0, the server and port, the personnel code; no password.
    void writeSettings(const QString &server, const QString &port, const QString &name);
    bool start(QString *error);
    bool running() const;
    // Waits for the program to end by itself; false when it still runs.
    bool waitEnded(int timeoutMs);
    int exitCode() const;
    // What the program wrote on stdout and stderr so far.
    QString output();

    QString documentsDir() const;
    // The arguments the stand-in xdg-open was called with, one call a line.
    QString openedUrls() const;
    XDisplay &display() const { return m_display; }

    // Types the personnel code and the password into the login dialog and presses "Anmelden".
    // Returns the main window once it shows, 0 otherwise (with the reason in `why`).
    WindowId login(const QString &code, const QString &password, QString *why);

private:
    XDisplay &m_display;
    QString m_work;
    std::unique_ptr<QProcess> m_process;
    QString m_output;
};

// Check marks of one supplier row as the screen shows them.
struct SupplierMarks {
    bool aktiv = false;
    bool haupt = false;
};

// The main window on the screen. Its controls stand at fixed places (twips, 15 to the pixel at
// 96 dpi, measured from the client area under the menu bar); the rows of the supplier list are
// found once in a screenshot.
class MainWindow {
public:
    MainWindow(XDisplay &display, WindowId window);

    WindowId id() const { return m_window; }
    // The screen point `twipsX`, `twipsY` from the client area's top left corner.
    QPoint point(int twipsX, int twipsY) const;
    // The centre of a control laid out at left, top, width, height (twips).
    QPoint centre(int left, int top, int width, int height) const;
    QRect supplierListRect() const;

    // Opens the update combo with the mouse and picks its row `index` (from 0) with the keyboard,
    // then waits until `picked` holds (the loaded update shows). A pick that did not take (a busy
    // program opened its drop-down list late and the keys went elsewhere) is repeated, for at most
    // `timeoutMs` in all. False with the reason otherwise.
    bool pickUpdate(int index, const std::function<bool()> &picked, int timeoutMs, QString *why);
    void clickDrucken();
    void clickSpeichern();
    void clickAusstieg();
    // Clicks article row `row` (from 0; the list is not scrolled) in its number column.
    void clickArticle(int row);
    // Clicks the check cell of supplier row `row` (from 0) in column 5 ("Aktiv") or 6 ("Hauptlieferant").
    void clickSupplierCell(int row, int column);

    // Finds the row height of the supplier list while it shows `rows` rows, the last one not
    // selected. False with the reason when the screen does not look like that.
    bool calibrate(int rows, QString *why);
    bool calibrated() const { return m_rowHeight > 0; }
    // The marks of every supplier row on the screen, as "11 00 10 10" (Aktiv, Hauptlieferant per
    // row; 1 = ticked); empty when the list is empty.
    QString supplierMarks(const QImage &screen) const;
    QString supplierMarks() const;
    // Waits until the supplier list shows `marks`; false (with what it showed last) otherwise.
    bool waitSupplierMarks(const QString &marks, int timeoutMs, QString *last = nullptr) const;
    // The supplier list's part of a screenshot, to tell whether the list changed.
    QImage supplierListImage(const QImage &screen) const;

private:
    int columnCentre(int column) const; // from 1, relative to the list's left edge
    int rowCentre(int row) const;       // from 0, relative to the list's top edge
    // Whether the combo's drop-down list (a window of its own) is on the screen.
    bool dropDownShown();

    XDisplay &m_display;
    WindowId m_window;
    QPoint m_client;
    int m_headerBottom = 0;
    int m_rowHeight = 0;
};

} // namespace e2e
