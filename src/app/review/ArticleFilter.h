#pragma once

#include <vector>

class KxList;

// "Nur abweichende Artikel": which rows of the article list carry a proposed main supplier that
// differs from their main supplier, and hiding the others. Rows are only hidden, never removed, so
// row numbers, row texts and the printout stay the same whether the filter is on or off.
class ArticleFilter {
public:
    explicit ArticleFilter(KxList *articles) : m_articles(articles) {}

    // Reads every row anew (after a load) and applies the switch to the new rows. `known` holds each
    // row's mark when the rows' builder had them already (ProposalDiffers of every row, in order).
    void reload(std::vector<bool> known = {});
    // One row's text changed (a new main supplier): its mark and the count follow. The row stays
    // shown until the next switch or load, so the clerk sees what he just did.
    void rowChanged(int row);

    void setOn(bool on);
    int differing() const { return m_count; }

private:
    void apply();

    KxList *m_articles;
    std::vector<bool> m_differs;
    int m_count = 0;
    bool m_on = false;
};
