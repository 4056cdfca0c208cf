#include "ArticleFilter.h"

#include "KxList.h"
#include "MainLogic.h"

void ArticleFilter::reload() {
    const int rows = m_articles->rowCount();
    m_differs.assign(size_t(rows), false);
    m_count = 0;
    for (int r = 0; r < rows; ++r) {
        m_differs[size_t(r)] = mainlogic::ProposalDiffers(m_articles->rowText(r));
        m_count += m_differs[size_t(r)] ? 1 : 0;
    }
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
