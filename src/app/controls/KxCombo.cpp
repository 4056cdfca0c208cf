#include "app/controls/KxCombo.h"

#include "app/controls/ListModel.h"

#include <QComboBox>
#include <QFocusEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QScrollBar>
#include <QTableView>

#include <functional>

namespace {

// The combo box proper; it reports a real loss of the focus, to another control of the window.
// Opening its own drop-down or a menu (a popup) takes the focus only for a while, and so does the
// window losing its activation (the clerk turns to another program, a message box comes up): the
// combo has the focus again when the window is back, so none of these is a leaving of the combo.
class ComboBox : public QComboBox {
public:
    using QComboBox::QComboBox;
    std::function<void()> onFocusLost;

protected:
    void focusOutEvent(QFocusEvent *event) override {
        QComboBox::focusOutEvent(event);
        const Qt::FocusReason reason = event->reason();
        if (reason != Qt::PopupFocusReason && reason != Qt::ActiveWindowFocusReason && onFocusLost)
            onFocusLost();
    }
};

} // namespace

class KxCombo::Private {
public:
    ComboBox *combo = nullptr;
    QTableView *popup = nullptr;
    ListModel *model = nullptr;

    // Restores the chosen row after a change of the program's: Qt chooses the first row by
    // itself when an empty combo gets one, but a filled combo starts with no row chosen.
    class Keep {
    public:
        explicit Keep(QComboBox *combo) : m_combo(combo), m_row(combo->currentIndex()) {}
        ~Keep() {
            if (m_combo->currentIndex() != m_row)
                m_combo->setCurrentIndex(m_row);
        }
        Keep(const Keep &) = delete;
        Keep &operator=(const Keep &) = delete;

    private:
        QComboBox *m_combo;
        int m_row;
    };
};

KxCombo::KxCombo(QWidget *parent) : QWidget(parent), d(new Private) {
    d->model = new ListModel(this);
    d->combo = new ComboBox(this);
    d->combo->setEditable(false);
    d->combo->setModel(d->model);
    d->combo->setModelColumn(0);
    d->combo->setMaxVisibleItems(15);

    d->popup = new QTableView;
    d->popup->setSelectionBehavior(QAbstractItemView::SelectRows);
    d->popup->setSelectionMode(QAbstractItemView::SingleSelection);
    d->popup->setEditTriggers(QAbstractItemView::NoEditTriggers);
    d->popup->setShowGrid(false);
    d->popup->setWordWrap(false);
    d->popup->setTextElideMode(Qt::ElideRight);
    d->popup->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    d->popup->verticalHeader()->hide();
    d->popup->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    d->popup->verticalHeader()->setMinimumSectionSize(1);
    d->popup->verticalHeader()->setDefaultSectionSize(d->popup->fontMetrics().height() + 4);
    d->popup->horizontalHeader()->setSectionsClickable(false);
    d->popup->horizontalHeader()->setHighlightSections(false);
    d->popup->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    d->combo->setView(d->popup); // the combo owns the view from here on

    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(d->combo);
    setFocusProxy(d->combo);

    // activated comes only from the user, and also when the chosen row is picked again.
    connect(d->combo, &QComboBox::activated, this, [this] { emit picked(); });
    d->combo->onFocusLost = [this] { emit focusLost(); };
}

KxCombo::~KxCombo() {
    d->combo->onFocusLost = nullptr;
    delete d;
}

void KxCombo::setColumns(const QStringList &headers, const QList<int> &widths) {
    Private::Keep keep(d->combo);
    d->model->setHeaders(headers);
    // The design widths are pixels at 96 dpi; the drop-down is as wide as its columns, however
    // narrow the combo itself is.
    const double scale = logicalDpiX() / 96.0;
    int total = 0;
    for (int c = 0; c < headers.size(); ++c) {
        const int w = int((c < widths.size() && widths[c] > 0 ? widths[c] : 100) * scale + 0.5);
        d->popup->horizontalHeader()->resizeSection(c, w);
        total += w;
    }
    d->popup->setMinimumWidth(total + 2 * d->popup->frameWidth() +
                              d->popup->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, d->popup));
}

void KxCombo::clear() {
    d->model->clear();
}

int KxCombo::addRow(const QString &text) {
    Private::Keep keep(d->combo);
    return d->model->addRow(text);
}

int KxCombo::rowCount() const {
    return d->model->count();
}

int KxCombo::currentRow() const {
    return d->combo->currentIndex();
}

void KxCombo::setCurrentRow(int row) {
    d->combo->setCurrentIndex(d->model->isRow(row) ? row : -1);
}

QString KxCombo::rowText(int row) const {
    return d->model->rowText(row);
}

QString KxCombo::text() const {
    return d->model->cellText(currentRow(), 1);
}

QWidget *KxCombo::view() const {
    return d->popup;
}
