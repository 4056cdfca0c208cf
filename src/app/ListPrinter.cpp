#include "ListPrinter.h"

#include "ServerError.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QFontMetricsF>
#include <QPagedPaintDevice>
#include <QPainter>
#include <QStandardPaths>

#include <algorithm>
#include <cmath>

namespace {

// The number the program has always shown for a failing print job.
constexpr int kPrinterError = 482;

struct Font {
    QFont font;
    QFontMetricsF metrics;
    double maxCharWidth;
    Font(const QFont &f, QPaintDevice *device)
        : font(f, device), metrics(font, device), maxCharWidth(std::max(metrics.maxWidth(), 1.0)) {}

    // The text cut to `width` with an ellipsis; the cheap length test spares the measuring for
    // the texts that fit anyway, which is nearly all of them.
    QString fit(const QString &text, double width) const {
        if (text.size() * maxCharWidth <= width)
            return text;
        return metrics.elidedText(text, Qt::ElideRight, width);
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
    QPainter painter;
    if (!painter.begin(&device))
        throw cacheapi::ServerError(kPrinterError,
                                    QStringLiteral("Druckerfehler: Der Druck konnte nicht begonnen werden."));

    const double mm = device.logicalDpiY() / 25.4;
    const double pageWidth = device.width();
    const double pageHeight = device.height();
    const double pad = 1.2 * mm;

    const Font titleFont(sized(11, true), &device);
    const Font headFont(sized(9, true), &device);
    const Font bodyFont(sized(9, false), &device);
    const Font footFont(sized(8, false), &device);

    // Column edges on paper, in the shares of the design widths.
    const int columns = int(headers.size());
    QList<double> left(columns + 1, 0.0);
    double total = 0;
    for (int c = 0; c < columns; ++c)
        total += std::max(c < widths.size() ? widths[c] : 0, 0);
    for (int c = 0; c < columns; ++c) {
        const double share = total > 0 ? std::max(c < widths.size() ? widths[c] : 0, 0) / total : 1.0 / columns;
        left[c + 1] = left[c] + share * pageWidth;
    }
    const auto isCheck = [this](int c) { return c < checkColumn.size() && checkColumn[c]; };

    const double headTop = titleFont.metrics.height() + 2.5 * mm;
    const double ruleY = headTop + headFont.metrics.height() + 0.8 * mm;
    const double bodyTop = ruleY + 1.2 * mm;
    const double lineHeight = bodyFont.metrics.lineSpacing() * 1.15;
    const double footTop = pageHeight - footFont.metrics.height();
    const int rowsPerPage = std::max(1, int(std::floor((footTop - 2 * mm - bodyTop) / lineHeight)));
    const int pages = std::max(1, (rowCount + rowsPerPage - 1) / rowsPerPage);

    QPen rule(Qt::black);
    rule.setWidthF(0.2 * mm);

    for (int page = 0; page < pages; ++page) {
        if (page > 0 && !device.newPage())
            throw cacheapi::ServerError(kPrinterError, QStringLiteral("Druckerfehler: Keine neue Seite möglich."));

        painter.setFont(titleFont.font);
        painter.drawText(QPointF(0, titleFont.metrics.ascent()), titleFont.fit(title, pageWidth));

        painter.setFont(headFont.font);
        for (int c = 0; c < columns; ++c) {
            const double width = left[c + 1] - left[c] - 2 * pad;
            painter.drawText(QPointF(left[c] + pad, headTop + headFont.metrics.ascent()),
                             headFont.fit(headers[c], width));
        }
        painter.setPen(rule);
        painter.drawLine(QPointF(0, ruleY), QPointF(pageWidth, ruleY));

        painter.setFont(bodyFont.font);
        const int first = page * rowsPerPage;
        const int last = std::min(rowCount, first + rowsPerPage);
        double baseline = bodyTop + bodyFont.metrics.ascent();
        for (int row = first; row < last; ++row, baseline += lineHeight) {
            for (int c = 0; c < columns; ++c) {
                const QString text = cell(row, c + 1);
                if (isCheck(c)) {
                    if (text.toInt() > 0) {
                        const double x =
                            (left[c] + left[c + 1] - bodyFont.metrics.horizontalAdvance(QStringLiteral("X"))) / 2;
                        painter.drawText(QPointF(x, baseline), QStringLiteral("X"));
                    }
                    continue;
                }
                if (!text.isEmpty())
                    painter.drawText(QPointF(left[c] + pad, baseline),
                                     bodyFont.fit(text, left[c + 1] - left[c] - 2 * pad));
            }
        }

        painter.setFont(footFont.font);
        const QString foot = QStringLiteral("Seite %1 von %2").arg(page + 1).arg(pages);
        painter.drawText(
            QPointF((pageWidth - footFont.metrics.horizontalAdvance(foot)) / 2, footTop + footFont.metrics.ascent()),
            foot);
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
