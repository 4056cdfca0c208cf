#include "app/review/UndoStack.h"

#include <algorithm>

void UndoStack::push(UndoStep step) {
    for (const ArticleBefore &article : step)
        ++m_rows[article.row];
    m_steps.push_back(std::move(step));
}

void UndoStack::pop() {
    if (m_steps.empty())
        return;
    for (const ArticleBefore &article : m_steps.back())
        uncount(article.row);
    m_steps.pop_back();
}

void UndoStack::forget(const std::vector<int> &rows) {
    if (m_steps.empty())
        return;
    UndoStep &top = m_steps.back();
    for (auto article = top.begin(); article != top.end();) {
        if (std::find(rows.begin(), rows.end(), article->row) == rows.end()) {
            ++article;
            continue;
        }
        uncount(article->row);
        article = top.erase(article);
    }
    if (top.empty())
        m_steps.pop_back();
}

void UndoStack::uncount(int row) {
    if (const auto found = m_rows.find(row); found != m_rows.end() && --found->second == 0)
        m_rows.erase(found);
}

void UndoStack::clear() {
    m_steps.clear();
    m_rows.clear();
}
