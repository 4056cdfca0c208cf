#include "app/review/ArticleRows.h"

#include "app/controls/KxList.h"
#include "app/review/MainConstants.h"

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
        // Galloping from the last row found: steps of 1, 2, 4, ... until a row at or past the
        // number, then halving that last step. The next of many changed articles (a take-all of
        // 20,000) is a row or two on and costs as many row texts; one of a look's few, far on,
        // costs some twice the logarithm of the distance, not a walk through the rows between.
        const auto before = [&](int r) { return numberOf(m_list->rowText(r)).compare(number) < 0; };
        int low = m_next; // every row before it is before the number
        int step = 1;
        while (low < rows && before(low)) {
            const int next = rows - low > step ? low + step : rows;
            if (next >= rows || !before(next)) {
                int high = next; // the first row at or past the number lies in (low, high]
                while (high - low > 1) {
                    const int middle = low + (high - low) / 2;
                    (before(middle) ? low : high) = middle;
                }
                low = high;
                break;
            }
            low = next;
            step *= 2;
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
