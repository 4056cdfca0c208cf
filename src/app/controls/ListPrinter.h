#pragma once

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

class QPagedPaintDevice;

// Prints a list: the title and the column headings on top of every page, the rows below them
// over as many pages as needed, "Seite n von m" at the foot. Every cell prints whole, since the
// clerk reviews the paper: the columns keep their design widths' shares where the texts fit, a
// column gets the width its longest text needs where they do not, the paper turns to landscape
// when portrait is too narrow for that, and where even landscape is too narrow the long texts wrap
// within their cells. Text is drawn straight with the painter, one call per cell line, so that
// even 100,000 rows print in seconds.
class ListPrinter {
public:
    QString title;
    QStringList headers;
    QList<int> widths;       // design widths; they give the columns' shares of the paper width
    QList<bool> checkColumn; // per column (from 0): printed as "X" or nothing
    int rowCount = 0;
    // The text of a cell (row from 0, column from 1); for a check column its state, 0 or 1, as text.
    std::function<QString(int row, int column)> cell;

    // Draws every page on the device, in landscape when the columns need it. Throws
    // cacheapi::ServerError when the device cannot be painted on (a printer that refuses the job, a
    // file that cannot be written).
    void render(QPagedPaintDevice &device) const;

    // Where the PDF goes when the system has no printer: the user's documents folder.
    static QString documentsFolder();
    // "<base> yyyy-MM-dd HH-mm-ss.pdf" in `folder`, with " (2)", " (3)", ... while the name is taken.
    static QString uniquePdfPath(const QString &folder, const QString &baseName, const QDateTime &when);
};
