#pragma once
// Rows of another reader that come in groups (rows with the same text in one column follow each
// other), handed out group by group, each group in the order of a whole-number column: nulls
// first, equal values as they came. For an order the database would give only by a sort of every
// row, where each group holds a few rows (an article's supplier entries).

#include "server/db/rows/DirectRows.h"

#include <memory>
#include <vector>

namespace kxserver {

class GroupSortedRows : public DirectRows {
public:
    // `columns` columns of `rows` are kept; `group` names the group's column, `order` the order's.
    GroupSortedRows(std::unique_ptr<DirectRows> rows, int columns, int group, int order);

    bool next() override;
    bool isNull(int column) const override;
    QString text(int column) const override;
    std::optional<qint64> whole(int column) const override;
    std::optional<QByteArrayView> textBytes(int column) const override;

private:
    using Kind = Value::Kind;
    struct Cell {
        Kind kind = Kind::Null;
        qint64 whole = 0;
        qsizetype at = 0; // the text's bytes in m_bytes
        qsizetype size = 0;
    };

    void keepRow();
    void keepBytes(Cell &cell, QByteArrayView bytes);
    bool sameGroup() const;
    const Cell &cell(int column) const;
    QByteArrayView bytesOf(const Cell &cell) const { return QByteArrayView(m_bytes.data() + cell.at, cell.size); }

    std::unique_ptr<DirectRows> m_rows;
    const int m_columns;
    const int m_group;
    const int m_order;
    // The group being handed out: its cells row by row, their texts' bytes, the rows in order.
    std::vector<Cell> m_cells;
    std::vector<char> m_bytes;
    std::vector<size_t> m_sorted;
    size_t m_at = 0;
    bool m_waiting = false; // the reader stands on the first row of the next group
    bool m_done = false;
};

} // namespace kxserver
