#include "app/controls/ListModel.h"

#include <QFont>
#include <QMetaObject>

#include <algorithm>

namespace {

// Field `index` (from 0) of a line-feed separated text, or an empty text.
QString field(const QString &text, int index) {
    qsizetype start = 0;
    for (int i = 0; i < index; ++i) {
        const qsizetype lf = text.indexOf(QLatin1Char('\n'), start);
        if (lf < 0)
            return QString();
        start = lf + 1;
    }
    qsizetype end = text.indexOf(QLatin1Char('\n'), start);
    if (end < 0)
        end = text.size();
    return text.mid(start, end - start);
}

} // namespace

ListModel::ListModel(QObject *parent) : QAbstractTableModel(parent) {}

void ListModel::setHeaders(const QStringList &headers) {
    flush();
    beginResetModel();
    m_headers = headers;
    rebuildColumnMap();
    endResetModel();
}

void ListModel::setCheckColumns(const QList<int> &columns) {
    flush();
    beginResetModel();
    m_checkMask = 0;
    for (int column : columns) {
        if (column >= 1 && column <= kMaxCheckColumn)
            m_checkMask |= quint64(1) << (column - 1);
    }
    rebuildColumnMap();
    endResetModel();
}

bool ListModel::isCheckColumn(int column) const {
    return column >= 1 && column <= kMaxCheckColumn && (m_checkMask & (quint64(1) << (column - 1))) != 0;
}

void ListModel::rebuildColumnMap() {
    m_fieldOfColumn.clear();
    int nextField = 0;
    for (int c = 1; c <= m_headers.size(); ++c)
        m_fieldOfColumn.append(isCheckColumn(c) ? -1 : nextField++);
}

void ListModel::flush() {
    const int total = count();
    if (m_announced >= total)
        return;
    if (!m_viewOf.empty()) {
        const int first = int(m_rowOf.size());
        beginInsertRows(QModelIndex(), first, first + (total - m_announced) - 1);
        for (int r = m_announced; r < total; ++r) {
            m_viewOf.push_back(int(m_rowOf.size()));
            m_rowOf.push_back(r);
        }
        m_announced = total;
        endInsertRows();
        return;
    }
    beginInsertRows(QModelIndex(), m_announced, total - 1);
    m_announced = total;
    endInsertRows();
}

void ListModel::setHidden(const std::vector<bool> &hidden) {
    flush();
    beginResetModel();
    m_viewOf.clear();
    m_rowOf.clear();
    if (std::find(hidden.begin(), hidden.end(), true) != hidden.end()) {
        m_viewOf.assign(size_t(m_announced), -1);
        for (int r = 0; r < m_announced; ++r) {
            if (size_t(r) < hidden.size() && hidden[size_t(r)])
                continue;
            m_viewOf[size_t(r)] = int(m_rowOf.size());
            m_rowOf.push_back(r);
        }
    }
    endResetModel();
}

bool ListModel::isHidden(int row) const {
    return isRow(row) && size_t(row) < m_viewOf.size() && m_viewOf[size_t(row)] < 0;
}

int ListModel::viewRow(int row) const {
    if (!isRow(row) || row >= m_announced)
        return -1;
    return m_viewOf.empty() ? row : m_viewOf[size_t(row)];
}

int ListModel::modelRow(int viewRow) const {
    if (m_viewOf.empty())
        return viewRow >= 0 && viewRow < m_announced ? viewRow : -1;
    return viewRow >= 0 && size_t(viewRow) < m_rowOf.size() ? m_rowOf[size_t(viewRow)] : -1;
}

void ListModel::clear() {
    beginResetModel();
    m_rows.clear();
    m_rows.shrink_to_fit();
    m_hidden.clear();
    m_tips.clear();
    m_announced = 0;
    m_viewOf.clear();
    m_rowOf.clear();
    endResetModel();
}

int ListModel::addRow(const QString &text) {
    const int row = count();
    if (!m_deferInserts) {
        flush();
        beginInsertRows(QModelIndex(), row, row);
        m_rows.push_back(Row{text, 0, false});
        m_announced = count();
        endInsertRows();
        return row;
    }
    m_rows.push_back(Row{text, 0, false});
    if (!m_flushQueued) {
        m_flushQueued = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                m_flushQueued = false;
                flush();
            },
            Qt::QueuedConnection);
    }
    return row;
}

QString ListModel::rowText(int row) const {
    return isRow(row) ? m_rows[size_t(row)].text : QString();
}

void ListModel::setRowText(int row, const QString &text) {
    if (!isRow(row))
        return;
    m_rows[size_t(row)].text = text;
    if (const int v = viewRow(row); v >= 0 && !m_headers.isEmpty())
        emit dataChanged(index(v, 0), index(v, int(m_headers.size()) - 1), {Qt::DisplayRole});
}

QString ListModel::hiddenText(int row) const {
    return size_t(row) < m_hidden.size() && isRow(row) ? m_hidden[size_t(row)] : QString();
}

void ListModel::setHiddenText(int row, const QString &text) {
    if (!isRow(row))
        return;
    if (QString *slot = sideSlot(m_hidden, row, text.isEmpty()))
        *slot = text;
}

int ListModel::checkState(int row, int column) const {
    if (!isRow(row) || !isCheckColumn(column))
        return 0;
    return (m_rows[size_t(row)].checks >> (column - 1)) & 1 ? 1 : 0;
}

void ListModel::setCheckState(int row, int column, int state) {
    if (!isRow(row) || !isCheckColumn(column))
        return;
    const quint64 bit = quint64(1) << (column - 1);
    quint64 &checks = m_rows[size_t(row)].checks;
    const quint64 before = checks;
    // Any state above 0 counts as on, the same rule the window applies when it reads a cell.
    checks = state > 0 ? (checks | bit) : (checks & ~bit);
    if (checks != before)
        cellChanged(row, column);
}

void ListModel::cellChanged(int row, int column) {
    if (const int v = viewRow(row); v >= 0 && column <= m_headers.size()) {
        const QModelIndex cell = index(v, column - 1);
        emit dataChanged(cell, cell, {Qt::CheckStateRole});
    }
}

void ListModel::setRowBold(int row, bool bold) {
    if (!isRow(row) || m_rows[size_t(row)].bold == bold)
        return;
    m_rows[size_t(row)].bold = bold;
    if (const int v = viewRow(row); v >= 0 && !m_headers.isEmpty())
        emit dataChanged(index(v, 0), index(v, int(m_headers.size()) - 1), {Qt::FontRole});
}

bool ListModel::isRowBold(int row) const {
    return isRow(row) && m_rows[size_t(row)].bold;
}

void ListModel::setToolTip(int row, int column, const QString &text) {
    if (!isRow(row))
        return;
    if (Tip *slot = sideSlot(m_tips, row, text.isEmpty()))
        *slot = Tip{text.isEmpty() ? 0 : column, text};
}

QString ListModel::toolTip(int row, int column) const {
    return isRow(row) && size_t(row) < m_tips.size() && m_tips[size_t(row)].column == column ? m_tips[size_t(row)].text
                                                                                             : QString();
}

QString ListModel::cellText(int row, int column) const {
    if (!isRow(row) || column < 1 || column > m_fieldOfColumn.size())
        return QString();
    const int f = m_fieldOfColumn[column - 1];
    return f < 0 ? QString() : field(m_rows[size_t(row)].text, f);
}

int ListModel::rowCount(const QModelIndex &parent) const {
    if (parent.isValid())
        return 0;
    return m_viewOf.empty() ? m_announced : int(m_rowOf.size());
}

int ListModel::columnCount(const QModelIndex &parent) const {
    return parent.isValid() ? 0 : int(m_headers.size());
}

QVariant ListModel::data(const QModelIndex &index, int role) const {
    const int row = index.isValid() ? modelRow(index.row()) : -1;
    if (row < 0 || index.column() >= m_headers.size())
        return QVariant();
    const int column = index.column() + 1;
    if (role == Qt::FontRole) {
        if (!isRowBold(row))
            return QVariant();
        QFont font;
        font.setBold(true);
        return font;
    }
    if (role == Qt::ToolTipRole) {
        const QString tip = toolTip(row, column);
        return tip.isEmpty() ? QVariant() : QVariant(tip);
    }
    if (isCheckColumn(column)) {
        if (role == Qt::CheckStateRole)
            return int(checkState(row, column) ? Qt::Checked : Qt::Unchecked);
        return QVariant();
    }
    if (role == Qt::DisplayRole)
        return cellText(row, column);
    return QVariant();
}

QVariant ListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    // The tooltip names the column where the heading does not fit a narrow list.
    if (orientation == Qt::Horizontal && (role == Qt::DisplayRole || role == Qt::ToolTipRole) && section >= 0 &&
        section < m_headers.size())
        return m_headers[section];
    return QAbstractTableModel::headerData(section, orientation, role);
}

Qt::ItemFlags ListModel::flags(const QModelIndex &index) const {
    // Not user-checkable on purpose: the list toggles its check cells itself, so that the
    // notification comes exactly once, after the cell changed, and never from the program.
    return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
}
