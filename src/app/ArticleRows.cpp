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
        // Halving what is left of the list behind the last row found: a look's few changed
        // articles among 10,000 cost a few dozen row texts, not a walk through most of them.
        int low = m_next;
        int high = rows;
        while (low < high) {
            const int middle = low + (high - low) / 2;
            if (numberOf(m_list->rowText(middle)).compare(number) < 0)
                low = middle + 1;
            else
                high = middle;
        }
        if (low < rows && numberOf(m_list->rowText(low)) == number) {
            m_next = low + 1;
            return low;
        }
        m_index.emplace();
        m_index->reserve(rows);
        for (int r = 0; r < rows; ++r)
            m_index->insert(numberOf(m_list->rowText(r)).toString(), r);
    }
    return m_index->value(number, -1);
}
