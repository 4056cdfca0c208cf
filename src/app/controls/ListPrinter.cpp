#include "app/controls/ListPrinter.h"

#include "app/controls/ColumnFit.h"
#include "session/ServerError.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QFontMetricsF>
#include <QPagedPaintDevice>
#include <QPainter>
#include <QStandardPaths>
#include <QTextLayout>

#include <algorithm>
#include <cmath>
#include <numeric>

namespace {

// The number the program has always shown for a failing print job.
constexpr int kPrinterError = 482;

struct Font {
    QFont font;
    QFontMetricsF metrics;
    const QPaintDevice *device;
    double maxCharWidth;
    Font(const QFont &f, QPaintDevice *d)
        : font(f, d), metrics(font, d), device(d), maxCharWidth(std::max(metrics.maxWidth(), 1.0)) {}

    // The cheap length test spares the measuring for the texts that fit anyway, which is nearly
    // all of them.
    bool fits(const QString &text, double width) const {
        return text.size() * maxCharWidth <= width || metrics.horizontalAdvance(text) <= width;
    }
    double width(const QString &text) const { return metrics.horizontalAdvance(text); }

    // The text cut to `width` with an ellipsis (only the title: a cell is never cut).
    QString fit(const QString &text, double width) const {
        return fits(text, width) ? text : metrics.elidedText(text, Qt::ElideRight, width);
    }

    // The text in lines of at most `width`: at word boundaries where it can, inside a word where
    // one word is wider than the column.
    QStringList wrap(const QString &text, double width) const {
        if (fits(text, width))
            return {text};
        QTextLayout layout(text, font, device);
        QTextOption option;
        option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
        layout.setTextOption(option);
        QStringList lines;
        layout.beginLayout();
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
            line.setLineWidth(std::max(width, 1.0));
            lines << text.mid(line.textStart(), line.textLength()).trimmed();
        }
        layout.endLayout();
        if (lines.isEmpty())
            lines << QString();
        return lines;
    }
};

QFont sized(double points, bool bold) {
    QFont f = QApplication::font();
    f.setPointSizeF(points);
    f.setBold(bold);
    // No ligatures: "Baustoff" must stay searchable and copyable from the PDF as typed. Skipping
    // the shaping also makes drawing the many short cell texts faster.
    f.setStyleStrategy(QFont::PreferNoShaping);
    return f;
}

} // namespace

void ListPrinter::render(QPagedPaintDevice &device) const {
    // Everything is measured before the painting starts: the paper turns to landscape when the
    // columns need the room, and that can only be set before the first page.
    const double mm = device.logicalDpiY() / 25.4;
    const double pad = 1.2 * mm;
    const Font titleFont(sized(11, true), &device);
    const Font headFont(sized(9, true), &device);
    const Font bodyFont(sized(9, false), &device);
    const Font footFont(sized(8, false), &device);

    const int columns = int(headers.size());
    const auto isCheck = [this](int c) { return c < checkColumn.size() && checkColumn[c]; };
    // What each column needs to show its heading and every cell whole on one line.
    QList<double> needs(columns, 0.0);
    for (int c = 0; c < columns; ++c) {
        needs[c] = headFont.width(headers[c]) + 2 * pad;
        if (isCheck(c)) {
            needs[c] = std::max(needs[c], bodyFont.width(QStringLiteral("X")) + 2 * pad);
            continue;
        }
        for (int row = 0; row < rowCount; ++row) {
            const QString text = cell(row, c + 1);
            if (!bodyFont.fits(text, needs[c] - 2 * pad))
                needs[c] = bodyFont.width(text) + 2 * pad;
        }
    }
    const double needed = std::accumulate(needs.begin(), needs.end(), 0.0);
    if (needed > device.width() && device.pageLayout().orientation() == QPageLayout::Portrait)
        device.setPageOrientation(QPageLayout::Landscape);
    const double pageWidth = device.width();
    const double pageHeight = device.height();

    // Column edges on paper: the design widths' shares, widened where a column needs it. Where
    // even landscape is too narrow, the shares stay and the long texts wrap in their cells.
    const QList<double> widths = FitColumns(this->widths, needs, pageWidth);
    QList<double> left(columns + 1, 0.0);
    for (int c = 0; c < columns; ++c)
        left[c + 1] = left[c] + widths[c];
    const auto room = [&](int c) { return left[c + 1] - left[c] - 2 * pad; };
    const bool wrapping = needed > pageWidth;
    const auto cellLines = [&](int row, int c) {
        return isCheck(c) ? QStringList{} : bodyFont.wrap(cell(row, c + 1), room(c));
    };

    QList<QStringList> headLines(columns);
    int headLineCount = 1;
    for (int c = 0; c < columns; ++c) {
        headLines[c] = headFont.wrap(headers[c], room(c));
        headLineCount = std::max(headLineCount, int(headLines[c].size()));
    }

    const double headTop = titleFont.metrics.height() + 2.5 * mm;
    const double ruleY = headTop + headLineCount * headFont.metrics.lineSpacing() + 0.8 * mm;
    const double bodyTop = ruleY + 1.2 * mm;
    const double lineHeight = bodyFont.metrics.lineSpacing() * 1.15;
    const double footTop = pageHeight - footFont.metrics.height();
    const int linesPerPage = std::max(1, int(std::floor((footTop - 2 * mm - bodyTop) / lineHeight)));

    // The first row of every page; a row's lines stay together on one page.
    QList<int> rowLines;
    if (wrapping) {
        rowLines.resize(rowCount, 1);
        for (int row = 0; row < rowCount; ++row)
            for (int c = 0; c < columns; ++c)
                rowLines[row] = std::max(rowLines[row], int(cellLines(row, c).size()));
    }
    const auto linesOf = [&](int row) { return wrapping ? std::min(rowLines[row], linesPerPage) : 1; };
    QList<int> pageStarts{0};
    for (int row = 0, used = 0; row < rowCount; ++row) {
        if (used + linesOf(row) > linesPerPage) {
            pageStarts << row;
            used = 0;
        }
        used += linesOf(row);
    }
    pageStarts << rowCount;
    const int pages = int(pageStarts.size()) - 1;

    QPainter painter;
    if (!painter.begin(&device))
        throw cacheapi::ServerError(kPrinterError,
                                    QStringLiteral("Druckerfehler: Der Druck konnte nicht begonnen werden."));
    QPen rule(Qt::black);
    rule.setWidthF(0.2 * mm);

    for (int page = 0; page < pages; ++page) {
        if (page > 0 && !device.newPage())
            throw cacheapi::ServerError(kPrinterError, QStringLiteral("Druckerfehler: Keine neue Seite möglich."));

        painter.setFont(titleFont.font);
        painter.drawText(QPointF(0, titleFont.metrics.ascent()), titleFont.fit(title, pageWidth));

        painter.setFont(headFont.font);
        for (int c = 0; c < columns; ++c)
            for (int l = 0; l < headLines[c].size(); ++l)
                painter.drawText(
                    QPointF(left[c] + pad, headTop + headFont.metrics.ascent() + l * headFont.metrics.lineSpacing()),
                    headLines[c][l]);
        painter.setPen(rule);
        painter.drawLine(QPointF(0, ruleY), QPointF(pageWidth, ruleY));

        painter.setFont(bodyFont.font);
        double baseline = bodyTop + bodyFont.metrics.ascent();
        for (int row = pageStarts[page]; row < pageStarts[page + 1]; ++row) {
            for (int c = 0; c < columns; ++c) {
                if (isCheck(c)) {
                    if (cell(row, c + 1).toInt() > 0) {
                        const double x = (left[c] + left[c + 1] - bodyFont.width(QStringLiteral("X"))) / 2;
                        painter.drawText(QPointF(x, baseline), QStringLiteral("X"));
                    }
                    continue;
                }
                const QStringList lines = cellLines(row, c);
                for (int l = 0; l < std::min(int(lines.size()), linesOf(row)); ++l)
                    if (!lines[l].isEmpty())
                        painter.drawText(QPointF(left[c] + pad, baseline + l * lineHeight), lines[l]);
            }
            baseline += linesOf(row) * lineHeight;
        }

        painter.setFont(footFont.font);
        const QString foot = QStringLiteral("Seite %1 von %2").arg(page + 1).arg(pages);
        painter.drawText(QPointF((pageWidth - footFont.width(foot)) / 2, footTop + footFont.metrics.ascent()), foot);
    }
    if (!painter.end())
        throw cacheapi::ServerError(kPrinterError,
                                    QStringLiteral("Druckerfehler: Der Druck konnte nicht abgeschlossen werden."));
}

QString ListPrinter::documentsFolder() {
    // Qt reads the documents folder only from xdg-user-dirs' file; the variable of the same name,
    // when set, wins as it does for xdg-user-dir itself.
    QString folder = qEnvironmentVariable("XDG_DOCUMENTS_DIR");
    if (folder.startsWith(QLatin1String("$HOME")))
        folder = QDir::homePath() + folder.mid(5);
    if (folder.isEmpty())
        folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (folder.isEmpty())
        folder = QDir::homePath();
    return QDir::cleanPath(folder);
}

QString ListPrinter::uniquePdfPath(const QString &folder, const QString &baseName, const QDateTime &when) {
    const QString stem = baseName + QLatin1Char(' ') + when.toString(QStringLiteral("yyyy-MM-dd HH-mm-ss"));
    QString path = QDir(folder).filePath(stem + QStringLiteral(".pdf"));
    for (int n = 2; QFileInfo::exists(path); ++n)
        path = QDir(folder).filePath(stem + QStringLiteral(" (%1).pdf").arg(n));
    return path;
}
