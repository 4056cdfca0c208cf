#include "app/review/ArticleFilter.h"

#include "app/controls/KxList.h"
#include "app/review/MainLogic.h"

#include <utility>

void ArticleFilter::reload(std::vector<bool> known) {
    const int rows = m_articles->rowCount();
    m_count = 0;
    if (known.size() == size_t(rows)) {
        m_differs = std::move(known);
    } else {
        m_differs.assign(size_t(rows), false);
        for (int r = 0; r < rows; ++r)
            m_differs[size_t(r)] = mainlogic::ProposalDiffers(m_articles->rowText(r));
    }
    for (const bool differs : m_differs)
        m_count += differs ? 1 : 0;
    if (m_on)
        apply();
}

void ArticleFilter::rowChanged(int row) {
    if (row < 0 || size_t(row) >= m_differs.size())
        return;
    const bool now = mainlogic::ProposalDiffers(m_articles->rowText(row));
    m_count += (now ? 1 : 0) - (m_differs[size_t(row)] ? 1 : 0);
    m_differs[size_t(row)] = now;
}

void ArticleFilter::setOn(bool on) {
    if (on == m_on)
        return;
    m_on = on;
    apply();
}

void ArticleFilter::apply() {
    std::vector<bool> hidden;
    if (m_on) {
        hidden.reserve(m_differs.size());
        for (const bool d : m_differs)
            hidden.push_back(!d);
    }
    m_articles->setHiddenRows(hidden);
}
