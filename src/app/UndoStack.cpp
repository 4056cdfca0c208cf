#include "UndoStack.h"

void UndoStack::push(UndoStep step) {
    for (const ArticleBefore &article : step)
        ++m_rows[article.row];
    m_steps.push_back(std::move(step));
}

void UndoStack::pop() {
    if (m_steps.empty())
        return;
    for (const ArticleBefore &article : m_steps.back()) {
        const auto found = m_rows.find(article.row);
        if (found != m_rows.end() && --found->second == 0)
            m_rows.erase(found);
    }
    m_steps.pop_back();
}

void UndoStack::clear() {
    m_steps.clear();
    m_rows.clear();
}
