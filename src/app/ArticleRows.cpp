#include "ArticleRows.h"

#include "KxList.h"
#include "MainConstants.h"

namespace {

// The article number: a row's first field, read in place.
QStringView numberOf(const QString &rowText) {
    const qsizetype end = rowText.indexOf(kLF);
    return end < 0 ? QStringView(rowText) : QStringView(rowText).left(end);
}

} // namespace

int ArticleRows::find(const QString &number) {
    const int rows = m_list->rowCount();
    if (!m_index) {
        for (int r = m_next; r < rows; ++r) {
            const QString text = m_list->rowText(r);
            const int order = numberOf(text).compare(number);
            if (order == 0) {
                m_next = r + 1;
                return r;
            }
            if (order > 0)
                break;
        }
        m_index.emplace();
        m_index->reserve(rows);
        for (int r = 0; r < rows; ++r)
            m_index->insert(numberOf(m_list->rowText(r)).toString(), r);
    }
    return m_index->value(number, -1);
}
