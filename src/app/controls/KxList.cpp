#include "app/controls/KxList.h"

#include "app/controls/ListModel.h"
#include "app/controls/ListPrinter.h"
#include "app/controls/ListView.h"
#include "session/ServerError.h"

#include <QDateTime>
#include <QDesktopServices>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QHeaderView>
#include <QPdfWriter>
#include <QPointer>
#include <QPrinter>
#include <QPrinterInfo>
#include <QScrollBar>
#include <QUrl>
#include <QVBoxLayout>

#include <map>

namespace {

std::function<void(const QString &)> &pdfOpener() {
    static std::function<void(const QString &)> opener;
    return opener;
}

std::function<QPrinterInfo()> &printerLookup() {
    static std::function<QPrinterInfo()> lookup;
    return lookup;
}

const QMarginsF kPaperMargins(15, 15, 15, 15); // millimetres
// Below this a list is no longer readable; a column too narrow even then cuts its text.
constexpr qreal kSmallestPointSize = 6;

} // namespace

class KxList::Private : public QObject {
public:
    explicit Private(KxList *owner) : q(owner) {}

    // Keeps the columns in the shares of their design widths whenever the view changes its width.
    // A heading cut at its share ("Hauptlieferant" at 75) shows whole as the heading's tooltip;
    // widening its column would move every column right of the widened one away from its share.
    bool eventFilter(QObject *watched, QEvent *event) override {
        if (watched == view->viewport() && event->type() == QEvent::Resize)
            fitColumns();
        return false;
    }

    void fitColumns() {
        const int columns = model->columnCount();
        const int available = view->viewport()->width();
        if (columns == 0 || available <= 0)
            return;
        double total = 0;
        for (int c = 0; c < columns; ++c)
            total += designWidth(c);
        double share = 0;
        int x = 0;
        for (int c = 0; c < columns; ++c) {
            share += designWidth(c);
            const int right = c == columns - 1 ? available : int(available * share / total + 0.5);
            view->horizontalHeader()->resizeSection(c, std::max(right - x, 1));
            x = right;
        }
        fitFont();
    }

    // Halves of a point down from the list's own font until every text that must show whole fits
    // its column in bold, with the margins the style leaves beside a cell's text.
    void fitFont() {
        if (whole.isEmpty())
            return;
        const QFont base = q->font();
        qreal size = base.pointSizeF() > 0 ? base.pointSizeF() : QFontInfo(base).pointSizeF();
        const int margins = 2 * (view->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, view) + 1);
        QFont font = base;
        for (;; size -= 0.5) {
            font.setPointSizeF(size);
            QFont bold = font;
            bold.setBold(true);
            const QFontMetricsF metrics(bold, view);
            bool fits = true;
            for (auto it = whole.cbegin(); it != whole.cend(); ++it)
                fits = fits && metrics.horizontalAdvance(it.value()) + margins <=
                                   view->horizontalHeader()->sectionSize(it.key() - 1);
            if (fits || size <= kSmallestPointSize)
                break;
        }
        if (font != view->font())
            view->setFont(font);
    }

    double designWidth(int column) const {
        const int w = column < widths.size() ? widths[column] : 0;
        return w > 0 ? w : 100; // a column without a width gets an ordinary one
    }

    void toggle(const QModelIndex &cell) {
        // A switch that reaches the list while a handler of the last one still runs (it may show
        // a modal box) is dropped: the handler is looking at that cell's state.
        if (notifying || !cell.isValid())
            return;
        const int row = model->modelRow(cell.row());
        const int column = cell.column() + 1;
        if (!model->isCheckColumn(column))
            return;
        const int state = model->checkState(row, column) ? 0 : 1;
        model->setCheckState(row, column, state);

        QPointer<Private> alive(this);
        notifying = true;
        struct Reset {
            QPointer<Private> &p;
            ~Reset() {
                if (p)
                    p->notifying = false;
            }
        } reset{alive};
        emit q->checkCellChanged(row, column, state);
    }

    KxList *q;
    ListModel *model = nullptr;
    ListView *view = nullptr;
    QList<int> widths;
    QMap<int, QString> whole;
    QString title;
    QString pdfBaseName = QStringLiteral("Artikelliste");
    bool notifying = false;
    struct CheckKey {
        int column;
        bool onOnly;
    };
    std::map<int, CheckKey> checkKeys;
};

KxList::KxList(QWidget *parent) : QWidget(parent), d(new Private(this)) {
    d->model = new ListModel(this);
    d->model->setDeferredInserts(true);
    d->view = new ListView(this);
    d->view->setModel(d->model);
    d->view->viewport()->installEventFilter(d);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(d->view);
    setFocusProxy(d->view);

    connect(d->view->selectionModel(), &QItemSelectionModel::currentRowChanged, d, [this] {
        if (d->view->userActing())
            emit rowChanged();
    });
    connect(d->view, &QAbstractItemView::clicked, d, [this](const QModelIndex &index) {
        if (d->view->userActing())
            emit rowClicked(d->model->modelRow(index.row()));
    });
    d->view->onToggle = [this](const QModelIndex &cell) { d->toggle(cell); };
    d->view->onKey = [this](int key, int row) {
        const auto found = d->checkKeys.find(key);
        if (found == d->checkKeys.end())
            return false;
        const int column = found->second.column;
        row = d->model->modelRow(row);
        if (row < 0)
            return true;
        if (!found->second.onOnly || d->model->checkState(row, column) == 0)
            d->toggle(d->model->index(d->model->viewRow(row), column - 1));
        return true;
    };
    connect(d->view->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex &current) {
                emit currentRowMoved(current.isValid() ? d->model->modelRow(current.row()) : -1);
            });
}

KxList::~KxList() {
    d->view->onToggle = nullptr;
    d->view->onKey = nullptr;
    delete d;
}

void KxList::setColumns(const QStringList &headers, const QList<int> &widths) {
    ListView::Quiet quiet(d->view);
    d->widths = widths;
    d->model->setHeaders(headers);
    d->fitColumns();
}

void KxList::setWholeTexts(const QMap<int, QString> &widest) {
    d->whole = widest;
    d->fitColumns();
}

QFont KxList::cellFont() const {
    return d->view->font();
}

QStringList KxList::columnHeaders() const {
    return d->model->headers();
}

void KxList::setCheckColumns(const QList<int> &columns) {
    ListView::Quiet quiet(d->view);
    d->model->setCheckColumns(columns);
    d->fitColumns();
}

void KxList::clear() {
    ListView::Quiet quiet(d->view);
    d->model->clear();
}

int KxList::addRow(const QString &text) {
    return d->model->addRow(text);
}

int KxList::rowCount() const {
    return d->model->count();
}

int KxList::currentRow() const {
    const QModelIndex current = d->view->currentIndex();
    return current.isValid() ? d->model->modelRow(current.row()) : -1;
}

void KxList::setCurrentRow(int row) {
    ListView::Quiet quiet(d->view);
    d->model->flush();
    QItemSelectionModel *selection = d->view->selectionModel();
    const int shown = d->model->viewRow(row);
    if (shown < 0 || d->model->columnCount() == 0) {
        selection->clear();
        return;
    }
    // Keep the column the user is in, so that Space still reaches the same check column.
    const QModelIndex current = d->view->currentIndex();
    const QModelIndex cell = d->model->index(shown, current.isValid() ? current.column() : 0);
    selection->setCurrentIndex(cell, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    d->view->scrollTo(cell);
}

QString KxList::rowText(int row) const {
    return d->model->rowText(row);
}

void KxList::setRowText(int row, const QString &text) {
    d->model->setRowText(row, text);
    emit rowTextChanged(row);
}

QString KxList::hiddenText(int row) const {
    return d->model->hiddenText(row);
}

void KxList::setHiddenText(int row, const QString &text) {
    d->model->setHiddenText(row, text);
}

int KxList::checkState(int row, int column) const {
    return d->model->checkState(row, column);
}

void KxList::setCheckState(int row, int column, int state) {
    d->model->setCheckState(row, column, state);
}

void KxList::setRowBold(int row, bool bold) {
    d->model->setRowBold(row, bold);
}

bool KxList::isRowBold(int row) const {
    return d->model->isRowBold(row);
}

void KxList::setCellToolTip(int row, int column, const QString &text) {
    d->model->setToolTip(row, column, text);
}

QString KxList::cellToolTip(int row, int column) const {
    return d->model->toolTip(row, column);
}

void KxList::setHiddenRows(const std::vector<bool> &hidden) {
    ListView::Quiet quiet(d->view);
    const int current = currentRow();
    const int scrolled = d->model->modelRow(d->view->rowAt(0));
    d->model->setHidden(hidden);
    // The current row and the top of the view stay where they were, as far as they are shown.
    setCurrentRow(current);
    if (const int top = d->model->viewRow(scrolled); top >= 0)
        d->view->scrollTo(d->model->index(top, 0), QAbstractItemView::PositionAtTop);
    if (current >= 0 && !isRowHidden(current))
        d->view->scrollTo(d->model->index(d->model->viewRow(current), 0));
}

bool KxList::isRowHidden(int row) const {
    return d->model->isHidden(row);
}

int KxList::nextShownRow(int row) const {
    for (int r = std::max(row + 1, 0); r < rowCount(); ++r)
        if (!isRowHidden(r))
            return r;
    return -1;
}

void KxList::setCheckKey(int key, int column, bool onOnly) {
    d->checkKeys[key] = {column, onOnly};
}

// After the article list is filled the window applies three settings and then has the list lay
// itself out again:
//  1. whole rows are selected (true): a click anywhere in an article marks the whole article;
//  2. one row at a time (1): the supplier list always belongs to exactly one article;
//  3. the first row at the top (0): the list scrolls back to its first row and first column, so a
//     new update does not open where the last one was left;
// then the columns take their shares of the width again and the list stays in the order the
// server delivered (no sorting).
void KxList::applyListSettings() {
    ListView::Quiet quiet(d->view);
    d->model->flush();
    d->view->setSelectionBehavior(QAbstractItemView::SelectRows);
    d->view->setSelectionMode(QAbstractItemView::SingleSelection);
    d->view->setSortingEnabled(false);
    d->view->scrollToTop();
    d->view->horizontalScrollBar()->setValue(0);
    d->fitColumns();
}

void KxList::setPrintTitle(const QString &title) {
    d->title = title;
}

QString KxList::printTitle() const {
    return d->title;
}

void KxList::setPdfBaseName(const QString &name) {
    d->pdfBaseName = name;
}

QString KxList::pdfBaseName() const {
    return d->pdfBaseName;
}

QString KxList::print() {
    ListPrinter sheet;
    sheet.title = d->title;
    sheet.headers = d->model->headers();
    sheet.widths = d->widths;
    for (int c = 1; c <= sheet.headers.size(); ++c)
        sheet.checkColumn.append(d->model->isCheckColumn(c));
    sheet.rowCount = d->model->count();
    const ListModel *model = d->model;
    sheet.cell = [model](int row, int column) {
        return model->isCheckColumn(column) ? QString::number(model->checkState(row, column))
                                            : model->cellText(row, column);
    };

    const QPrinterInfo printerInfo = printerLookup() ? printerLookup()() : QPrinterInfo::defaultPrinter();
    if (!printerInfo.isNull()) {
        QPrinter printer(printerInfo, QPrinter::HighResolution);
        printer.setDocName(d->title.isEmpty() ? d->pdfBaseName : d->title);
        printer.setPageMargins(kPaperMargins, QPageLayout::Millimeter);
        sheet.render(printer);
        return QString();
    }

    const QString folder = ListPrinter::documentsFolder();
    if (!QDir().mkpath(folder))
        throw cacheapi::ServerError(482, QStringLiteral("Druckerfehler: Der Ordner %1 kann nicht angelegt werden.")
                                             .arg(QDir::toNativeSeparators(folder)));
    const QString path = ListPrinter::uniquePdfPath(folder, d->pdfBaseName, QDateTime::currentDateTime());
    {
        QPdfWriter pdf(path);
        pdf.setTitle(d->title);
        pdf.setCreator(QStringLiteral("KORVEX Update Hauptlieferanten"));
        pdf.setResolution(1200);
        pdf.setPageSize(QPageSize(QPageSize::A4));
        pdf.setPageMargins(kPaperMargins, QPageLayout::Millimeter);
        try {
            sheet.render(pdf);
        } catch (...) {
            QFile::remove(path);
            throw;
        }
    }
    if (pdfOpener())
        pdfOpener()(path);
    else
        QDesktopServices::openUrl(QUrl::fromLocalFile(path));
    return path;
}

void KxList::setPdfOpener(std::function<void(const QString &path)> opener) {
    pdfOpener() = std::move(opener);
}

void KxList::setPrinterLookup(std::function<QPrinterInfo()> lookup) {
    printerLookup() = std::move(lookup);
}

QWidget *KxList::view() const {
    return d->view;
}
