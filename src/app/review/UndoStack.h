#pragma once

#include <QString>

#include <map>
#include <optional>
#include <vector>

// The flags of one supplier entry before a change: only the ones the change wrote, and its change
// mark (aendsw): an entry taken back to where it was is no change, so its mark goes back too.
struct EntryFlags {
    QString id;
    std::optional<bool> active; // laktiv
    std::optional<bool> main;   // hlief
    int mark = 1;               // aendsw
};

// One article in a change: its row in the article list, the row's text and its entries' flags,
// all as they were before the change (the flags as read under the list's lock in the change's unit); and the server's stamp of the article as the change left it
// (empty when the server cannot tell), so that taking the change back first finds out whether
// another workstation changed the article since.
struct ArticleBefore {
    int row = -1;
    QString rowText;
    std::vector<EntryFlags> entries;
    QString stampAfter;
};

// One accepted change of the clerk: an "Aktiv" switch, a main-supplier change, or all proposals
// taken at once.
using UndoStep = std::vector<ArticleBefore>;

// The clerk's accepted changes since the last save or load, the latest on top.
class UndoStack {
public:
    void push(UndoStep step);
    bool isEmpty() const { return m_steps.empty(); }
    int depth() const { return int(m_steps.size()); }
    const UndoStep &top() const { return m_steps.back(); }
    void pop();
    // The articles at `rows` leave the top step (another workstation changed them since; taking the
    // step back would overwrite that); a step left without articles goes.
    void forget(const std::vector<int> &rows);
    void clear();
    // How many articles the steps on the stack changed (each article once).
    int changedArticles() const { return int(m_rows.size()); }

private:
    std::vector<UndoStep> m_steps;
    std::map<int, int> m_rows; // article row -> steps that changed it

    void uncount(int row);
};
