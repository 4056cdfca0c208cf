#pragma once

#include <QHash>
#include <QString>

#include <optional>

class KxList;

// Finds rows of the article list by article number. The list holds its articles in number order,
// and the server's rows come in that order too, so a search from the last row found finds them one
// after the other without an index of 100,000 numbers. A number out of that order (or one the list does not
// show) makes it build the index once, and every later question goes there.
class ArticleRows {
public:
    explicit ArticleRows(const KxList *list) : m_list(list) {}

    // The row of the article, -1 when the list does not show it.
    int find(const QString &number);

private:
    const KxList *m_list;
    int m_next = 0; // where the search goes on
    std::optional<QHash<QString, int>> m_index;
};
