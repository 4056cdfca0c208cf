#pragma once

#include <QAbstractTableModel>
#include <QList>
#include <QString>
#include <QStringList>

#include <vector>

// The rows behind the list and combo controls. A row is kept exactly as the program handed it in
// (one text, columns separated by line feeds) and is split only when a cell is drawn or printed,
// so 100,000 articles cost little more than their texts.
//
// Columns are numbered from 1 in this class's own interface (as the window counts them) and from
// 0 in the Qt model interface. Check columns take no field of the row text: the row's fields fill
// the other columns from left to right.
class ListModel : public QAbstractTableModel {
public:
    explicit ListModel(QObject *parent = nullptr);

    void setHeaders(const QStringList &headers);
    QStringList headers() const { return m_headers; }
    void setCheckColumns(const QList<int> &columns);
    bool isCheckColumn(int column) const;

    // With deferred inserts, rows added in a loop are announced to the views in one batch on the
    // next turn of the event loop (or at the next flush()), instead of one layout per row. The
    // operations of this class always see every row at once.
    void setDeferredInserts(bool deferred) { m_deferInserts = deferred; }
    void flush();

    void clear();
    int addRow(const QString &text);
    int count() const { return static_cast<int>(m_rows.size()); }
    bool isRow(int row) const { return row >= 0 && row < count(); }

    // Out-of-range rows read as empty and ignore writes.
    QString rowText(int row) const;
    void setRowText(int row, const QString &text);
    QString hiddenText(int row) const;
    void setHiddenText(int row, const QString &text);
    int checkState(int row, int column) const;
    void setCheckState(int row, int column, int state);
    // Hidden rows stay in the list (this class's row numbers, texts and the printout keep them) but
    // the views see only the shown ones, in order: view rows and the rows of this class then differ.
    // An empty vector shows every row. Rows added later are shown.
    void setHidden(const std::vector<bool> &hidden);
    bool isHidden(int row) const;
    int viewRow(int row) const;      // -1 when the row is hidden or not yet announced
    int modelRow(int viewRow) const; // -1 outside

    // A row drawn in bold, and one column's tooltip per row (the supplier list's price per unit).
    void setRowBold(int row, bool bold);
    bool isRowBold(int row) const;
    void setToolTip(int row, int column, const QString &text);
    QString toolTip(int row, int column) const;
    // The text a column shows for a row; empty for check columns.
    QString cellText(int row, int column) const;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

private:
    struct Row {
        QString text;
        quint64 checks = 0; // bit (column - 1) holds the state of check column `column`
        bool bold = false;
    };
    struct Tip {
        int column = 0;
        QString text;
    };

    void rebuildColumnMap();
    void cellChanged(int row, int column);
    // The row's place in a side vector, grown to it only when there is something to keep
    // (nullptr when the vector ends before the row and the value is empty).
    template <typename T> static T *sideSlot(std::vector<T> &side, int row, bool empty) {
        if (size_t(row) >= side.size()) {
            if (empty)
                return nullptr;
            side.resize(size_t(row) + 1);
        }
        return &side[size_t(row)];
    }

    static constexpr int kMaxCheckColumn = 64;

    std::vector<Row> m_rows;
    // Hidden texts and tooltips by row, as far as rows have them: the supplier list's few rows do,
    // the article list's 100,000 do not and so keep only their texts.
    std::vector<QString> m_hidden;
    std::vector<Tip> m_tips;
    int m_announced = 0;       // rows the views know of (shown or hidden)
    std::vector<int> m_viewOf; // empty: every row shown; else row -> view row, -1 when hidden
    std::vector<int> m_rowOf;  // with rows hidden: view row -> row
    bool m_deferInserts = false;
    bool m_flushQueued = false;
    QStringList m_headers;
    quint64 m_checkMask = 0;
    QList<int> m_fieldOfColumn; // per model column: the row text's field (from 0), -1 for a check column
};
