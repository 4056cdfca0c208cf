#include "app/controls/ListView.h"

#include <QApplication>
#include <QHeaderView>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QToolTip>

class ListView::UserInput {
public:
    explicit UserInput(ListView *view) : m_view(view) { ++m_view->m_userDepth; }
    ~UserInput() {
        if (m_view)
            --m_view->m_userDepth;
    }
    UserInput(const UserInput &) = delete;
    UserInput &operator=(const UserInput &) = delete;

private:
    QPointer<ListView> m_view;
};

ListView::ListView(QWidget *parent) : QTableView(parent) {
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setTabKeyNavigation(false); // Tab moves on to the window's next control
    setSortingEnabled(false);
    setWordWrap(false);
    setShowGrid(false);
    setAlternatingRowColors(true);
    setTextElideMode(Qt::ElideRight);
    setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    // No scrolling by a timer while the mouse is dragged past the edge: the current row would then
    // move outside any event of the user, and the move would go unreported.
    setAutoScroll(false);

    // One fixed height for every row: the view then never measures rows, which keeps a list of
    // 100,000 rows as quick as a short one.
    QHeaderView *rows = verticalHeader();
    rows->hide();
    rows->setSectionResizeMode(QHeaderView::Fixed);
    rows->setMinimumSectionSize(1);
    rows->setDefaultSectionSize(fontMetrics().height() + 4);

    auto *columns = new ListHeader(this);
    setHorizontalHeader(columns);
    columns->setHighlightSections(false);
    columns->setSectionsClickable(false);
    columns->setSectionsMovable(false);
    columns->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    columns->setMinimumSectionSize(8);

    setItemDelegate(new CheckCellDelegate(this));
}

bool ListView::isCheckCell(const QModelIndex &index) {
    return index.isValid() && index.data(Qt::CheckStateRole).isValid();
}

void ListView::mousePressEvent(QMouseEvent *event) {
    UserInput user(this);
    const QModelIndex cell = indexAt(event->position().toPoint());
    m_pressedCheckCell = (event->button() == Qt::LeftButton && isCheckCell(cell)) ? cell : QModelIndex();
    QTableView::mousePressEvent(event);
}

void ListView::mouseDoubleClickEvent(QMouseEvent *event) {
    // The second click of a double click switches the cell again, as on any check box.
    UserInput user(this);
    const QModelIndex cell = indexAt(event->position().toPoint());
    m_pressedCheckCell = (event->button() == Qt::LeftButton && isCheckCell(cell)) ? cell : QModelIndex();
    QTableView::mouseDoubleClickEvent(event);
}

void ListView::mouseMoveEvent(QMouseEvent *event) {
    UserInput user(this);
    QTableView::mouseMoveEvent(event);
}

void ListView::mouseReleaseEvent(QMouseEvent *event) {
    QPointer<ListView> alive(this);
    UserInput user(this);
    const QPersistentModelIndex pressed = m_pressedCheckCell;
    m_pressedCheckCell = QModelIndex();
    // The view finishes its own click handling (selection, clicked()) first; the switch comes
    // last, so a handler that shows a modal box runs with the view in a settled state.
    QTableView::mouseReleaseEvent(event);
    if (!alive || event->button() != Qt::LeftButton || !pressed.isValid())
        return;
    // A handler of the click may have emptied or refilled the list: the cell must still be there
    // and still be under the pointer.
    if (indexAt(event->position().toPoint()) == QModelIndex(pressed) && onToggle)
        onToggle(pressed);
}

void ListView::keyPressEvent(QKeyEvent *event) {
    UserInput user(this);
    if (event->key() == Qt::Key_Space && event->modifiers() == Qt::NoModifier && isCheckCell(currentIndex())) {
        event->accept();
        if (!event->isAutoRepeat() && onToggle)
            onToggle(currentIndex());
        return;
    }
    // Shift is let through: "H" ticks as "h" does.
    const Qt::KeyboardModifiers plain = event->modifiers() & ~(Qt::ShiftModifier | Qt::KeypadModifier);
    // A known key held down switches once: its repeats reach no row.
    if (plain == Qt::NoModifier && currentIndex().isValid() && onKey &&
        onKey(event->key(), event->isAutoRepeat() ? -1 : currentIndex().row())) {
        event->accept();
        return;
    }
    QTableView::keyPressEvent(event);
}

void ListView::focusInEvent(QFocusEvent *event) {
    // Taking the focus may make the first row current; that is no move of the user.
    Quiet quiet(this);
    QTableView::focusInEvent(event);
}

void ListView::changeEvent(QEvent *event) {
    QTableView::changeEvent(event);
    // The one row height follows the font the list was given.
    if (event->type() == QEvent::FontChange)
        verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
}

QModelIndex ListView::moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) {
    // Home and End go to the first and last row, as in any list box, not to the row's first and
    // last column.
    if (action == MoveHome || action == MoveEnd)
        modifiers |= Qt::ControlModifier;
    return QTableView::moveCursor(action, modifiers);
}

QSize ListHeader::sectionSizeFromContents(int logicalIndex) const {
    // Only a heading that is its text alone is kept: anything else the model gives a section (a
    // size of its own, a font, an icon) is measured as Qt measures it.
    const QAbstractItemModel *data = model();
    if (!data || data->headerData(logicalIndex, orientation(), Qt::SizeHintRole).isValid() ||
        data->headerData(logicalIndex, orientation(), Qt::FontRole).isValid() ||
        data->headerData(logicalIndex, orientation(), Qt::DecorationRole).isValid())
        return QHeaderView::sectionSizeFromContents(logicalIndex);
    if (m_sortIndicatorShown != isSortIndicatorShown()) {
        m_sizes.clear();
        m_sortIndicatorShown = isSortIndicatorShown();
    }
    const QString text = data->headerData(logicalIndex, orientation(), Qt::DisplayRole).toString();
    if (const auto found = m_sizes.constFind(text); found != m_sizes.constEnd())
        return found.value();
    const QSize size = QHeaderView::sectionSizeFromContents(logicalIndex);
    m_sizes.insert(text, size);
    return size;
}

void ListHeader::changeEvent(QEvent *event) {
    // What a heading's size depends on besides its text.
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange ||
        event->type() == QEvent::LayoutDirectionChange)
        m_sizes.clear();
    QHeaderView::changeEvent(event);
}

void CheckCellDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const {
    const QVariant state = index.data(Qt::CheckStateRole);
    if (!state.isValid()) {
        QStyledItemDelegate::paint(painter, option, index);
        return;
    }
    QStyleOptionViewItem cell = option;
    initStyleOption(&cell, index);
    const QWidget *widget = cell.widget;
    QStyle *style = widget ? widget->style() : QApplication::style();

    QStyleOptionViewItem background = cell;
    background.features &= ~QStyleOptionViewItem::HasCheckIndicator;
    background.text.clear();
    style->drawControl(QStyle::CE_ItemViewItem, &background, painter, widget);

    QStyleOptionViewItem box = cell;
    const QSize size(style->pixelMetric(QStyle::PM_IndicatorWidth, &cell, widget),
                     style->pixelMetric(QStyle::PM_IndicatorHeight, &cell, widget));
    box.rect = QStyle::alignedRect(cell.direction, Qt::AlignCenter, size, cell.rect);
    box.state &= ~(QStyle::State_HasFocus | QStyle::State_On | QStyle::State_Off | QStyle::State_NoChange);
    box.state |= state.toInt() == Qt::Checked ? QStyle::State_On : QStyle::State_Off;
    style->drawPrimitive(QStyle::PE_IndicatorItemViewItemCheck, &box, painter, widget);
}

bool CheckCellDelegate::isCut(const QStyleOptionViewItem &option, const QModelIndex &index) const {
    QStyleOptionViewItem cell = option;
    initStyleOption(&cell, index);
    if (cell.text.isEmpty())
        return false;
    const QWidget *widget = cell.widget;
    const QStyle *style = widget ? widget->style() : QApplication::style();
    const int margins = 2 * (style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, widget) + 1);
    return QFontMetricsF(cell.font).horizontalAdvance(cell.text) + margins > cell.rect.width();
}

bool CheckCellDelegate::helpEvent(QHelpEvent *event, QAbstractItemView *view, const QStyleOptionViewItem &option,
                                  const QModelIndex &index) {
    if (event && view && event->type() == QEvent::ToolTip && index.isValid() &&
        !index.data(Qt::ToolTipRole).isValid() && isCut(option, index)) {
        QToolTip::showText(event->globalPos(), index.data(Qt::DisplayRole).toString(), view->viewport(), option.rect);
        return true;
    }
    return QStyledItemDelegate::helpEvent(event, view, option, index);
}
