#include "server/lists/GroupSortedRows.h"

#include <algorithm>
#include <numeric>

namespace kxserver {

GroupSortedRows::GroupSortedRows(std::unique_ptr<DirectRows> rows, int columns, int group, int order)
    : m_rows(std::move(rows)), m_columns(columns), m_group(group), m_order(order) {}

bool GroupSortedRows::next() {
    if (!m_sorted.empty() && ++m_at < m_sorted.size())
        return true;
    // The buffers keep their room from group to group: a long read allocates for its largest group.
    m_cells.clear();
    m_bytes.clear();
    m_sorted.clear();
    m_at = 0;
    if (m_done)
        return false;
    if (!m_waiting && !m_rows->next()) {
        m_done = true;
        return false;
    }
    m_waiting = false;
    keepRow();
    while (m_rows->next()) {
        if (!sameGroup()) {
            m_waiting = true;
            break;
        }
        keepRow();
    }
    m_done = !m_waiting;
    m_sorted.resize(m_cells.size() / size_t(m_columns));
    std::iota(m_sorted.begin(), m_sorted.end(), size_t(0));
    const auto key = [this](size_t row) {
        const Cell &c = m_cells[row * size_t(m_columns) + size_t(m_order)];
        return std::pair(c.kind != Kind::Null, c.whole);
    };
    std::stable_sort(m_sorted.begin(), m_sorted.end(), [&key](size_t a, size_t b) { return key(a) < key(b); });
    return true;
}

void GroupSortedRows::keepRow() {
    for (int column = 0; column < m_columns; ++column) {
        const Value value = m_rows->value(column);
        Cell cell;
        cell.kind = value.kind;
        if (value.kind == Kind::Whole)
            cell.whole = value.whole;
        else if (value.kind == Kind::Text)
            keepBytes(cell, value.bytes);
        else if (value.kind == Kind::Other)
            keepBytes(cell, m_rows->text(column).toUtf8()); // kept as the reader's text of it
        m_cells.push_back(cell);
    }
}

void GroupSortedRows::keepBytes(Cell &cell, QByteArrayView bytes) {
    cell.at = qsizetype(m_bytes.size());
    cell.size = bytes.size();
    m_bytes.insert(m_bytes.end(), bytes.begin(), bytes.end());
}

bool GroupSortedRows::sameGroup() const {
    const Cell &first = m_cells[size_t(m_group)];
    if (m_rows->isNull(m_group))
        return first.kind == Kind::Null;
    const std::optional<QByteArrayView> bytes = m_rows->textBytes(m_group);
    if (first.kind == Kind::Text && bytes)
        return *bytes == bytesOf(first);
    if (first.kind == Kind::Whole)
        return m_rows->whole(m_group) == first.whole;
    return first.kind == Kind::Other && !bytes && m_rows->text(m_group).toUtf8() == bytesOf(first);
}

const GroupSortedRows::Cell &GroupSortedRows::cell(int column) const {
    return m_cells[m_sorted[m_at] * size_t(m_columns) + size_t(column)];
}

bool GroupSortedRows::isNull(int column) const {
    return cell(column).kind == Kind::Null;
}

QString GroupSortedRows::text(int column) const {
    const Cell &c = cell(column);
    switch (c.kind) {
    case Kind::Null:
        return QString();
    case Kind::Whole:
        return QString::number(c.whole);
    default:
        return QString::fromUtf8(bytesOf(c));
    }
}

std::optional<qint64> GroupSortedRows::whole(int column) const {
    const Cell &c = cell(column);
    return c.kind == Kind::Whole ? std::optional<qint64>(c.whole) : std::nullopt;
}

std::optional<QByteArrayView> GroupSortedRows::textBytes(int column) const {
    const Cell &c = cell(column);
    return c.kind == Kind::Text ? std::optional<QByteArrayView>(bytesOf(c)) : std::nullopt;
}

} // namespace kxserver
