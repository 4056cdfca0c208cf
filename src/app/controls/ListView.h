#pragma once

#include <QHash>
#include <QHeaderView>
#include <QPersistentModelIndex>
#include <QPointer>
#include <QStyledItemDelegate>
#include <QTableView>

#include <functional>

// The table view inside KxList. It tells apart what the user does (key and mouse events) from
// what the program does, and switches check cells itself on a click or Space, so that every
// switch is reported exactly once and after the cell took its new state.
class ListView : public QTableView {
public:
    explicit ListView(QWidget *parent = nullptr);

    // True while a key or mouse event of the user is being handled and the program is not
    // changing the list meanwhile (a handler may do that inside the user's event).
    bool userActing() const { return m_userDepth > 0 && m_quietDepth == 0; }

    // Marks a change made by the program; while one lives, nothing counts as the user's doing.
    class Quiet {
    public:
        explicit Quiet(ListView *view) : m_view(view) { ++m_view->m_quietDepth; }
        ~Quiet() {
            if (m_view)
                --m_view->m_quietDepth;
        }
        Quiet(const Quiet &) = delete;
        Quiet &operator=(const Quiet &) = delete;

    private:
        QPointer<ListView> m_view;
    };

    // Called when the user switches the check cell `index` (mouse click or Space).
    std::function<void(const QModelIndex &index)> onToggle;
    // Called for a key without modifiers on the current row (-1 for a held key's repeats); true
    // when it was taken.
    std::function<bool(int key, int row)> onKey;

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    QModelIndex moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) override;
    void changeEvent(QEvent *event) override;

private:
    class UserInput;
    static bool isCheckCell(const QModelIndex &index);

    int m_userDepth = 0;
    int m_quietDepth = 0;
    QPersistentModelIndex m_pressedCheckCell;
};

// The column headings of a ListView. A heading's size from its text is measured once per text, font
// and style: a list refilled for every article (the supplier list) would otherwise lay its text out
// anew on each fill, because refilling resets the model and with it the header's size hint.
class ListHeader : public QHeaderView {
public:
    explicit ListHeader(QWidget *parent) : QHeaderView(Qt::Horizontal, parent) {}

protected:
    QSize sectionSizeFromContents(int logicalIndex) const override;
    void changeEvent(QEvent *event) override;

private:
    mutable QHash<QString, QSize> m_sizes; // heading text -> size, with the sort indicator as below
    mutable bool m_sortIndicatorShown = false;
};

// Draws a check cell as a check box in the middle of the cell, with no text. A text cell that is cut
// (and has no tooltip of its own) shows its whole text as its tooltip.
class CheckCellDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    bool helpEvent(QHelpEvent *event, QAbstractItemView *view, const QStyleOptionViewItem &option,
                   const QModelIndex &index) override;
    // Whether the cell's text is wider than the room the style leaves it in `option`.
    bool isCut(const QStyleOptionViewItem &option, const QModelIndex &index) const;
};
