#pragma once

#include "app/review/UndoStack.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

class KxList;

// Whether the supplier list on screen still shows what the server holds for its article. Another
// workstation may change the same article at any time; a change made on a stale screen would be
// refused by the server (or, worse, judged by rules that looked at old flags). So every change of
// flags first asks the server's cheap "changed since?" question, and a stale screen is brought up to
// date and the clerk asked to look again, instead of writing anything.
class Freshness {
public:
    // The window hands over its article list (whose current row is the shown article), the key of
    // the loaded list, and how it brings the screen up to the server's state: the rows of
    // `otherArticles` and the current article's row and suppliers, read anew.
    Freshness(const KxList &articles, const QString &listKey,
              std::function<void(const QStringList &otherArticles)> showServerState)
        : m_articles(articles), m_listKey(listKey), m_showServerState(std::move(showServerState)) {}

    // lief_such has filled the supplier list with article `articleNumber` of list `listKey`, as the
    // server's stamp `stamp` describes it (empty: the server cannot tell).
    void filled(const QString &listKey, const QString &articleNumber, const QString &stamp);
    // The supplier list shows no article.
    void cleared();

    // Every change of flags runs through here (a click, and every aid that changes flags), after
    // ConnectServer: one unit on the server, opened by the "changed since?" question, which takes the
    // list's lock, so that the answer holds until the unit commits. A current screen runs `body` (the
    // rules and the writes) and commits; true. A stale screen writes nothing: the supplier list and
    // the article row are brought up to the server's state, the clerk is told, and false is returned.
    // The server's refusal of the writes is answered the same way.
    bool change(const std::function<void()> &body);
    // "Rückgängig" of `step`, after ConnectServer, in the same kind of unit: it is opened by asking,
    // in one request under the list's lock, whether every article of the step still stands as this
    // program's change left it. Then `body` writes and the unit commits; true. Otherwise nothing is
    // written, `changed` holds the rows of the step's articles another workstation changed since,
    // those rows and the current article are brought up to the server's state, the clerk is told,
    // and false is returned. The server's refusal is answered the same way (`changed` empty).
    bool undo(const UndoStep &step, const std::function<void()> &body, std::vector<int> &changed);
    // The unit every change of flags runs in, after ConnectServer. `fresh` asks the server under the
    // list's lock whether the screen still shows what the change is meant for; `body` writes (false:
    // the clerk gave up, nothing is written and nothing said). Then the unit commits; true. A stale
    // screen, the server's refusal (1011) and another workstation holding the list too long (1019)
    // write nothing: the current article and the articles at `rows` are brought up to the server's
    // state, the clerk is told, and false is returned; the program goes on.
    bool inUnit(const std::function<bool()> &fresh, const std::function<bool()> &body, const std::vector<int> &rows);
    // Inside `body`: commits the writes so far (before the window moves on to another article).
    void commit();
    // Inside `body`: gives up the unit and its lock, before a message box waits for the clerk.
    void release();
    // Gives up the unit (as release) and tells the clerk why the change is not made.
    void refuse(const QString &message);

private:
    const KxList &m_articles;
    const QString &m_listKey;
    std::function<void(const QStringList &)> m_showServerState;
    QString m_list;
    QString m_article;
    QString m_stamp;
    int m_losses = 0;     // ConnectionLosses() when the list was filled
    bool m_lost = false;  // the last question found a connection lost since the list was filled
    bool m_unit = false;

    // False when the server's stamp differs from the one the screen was filled with.
    bool stampMatches();
    // The rows of the step's articles whose stamp on the server is no longer the one the step's
    // change left.
    std::vector<int> changedSince(const UndoStep &step);
    // This program's change to the shown article was accepted: the screen shows what it wrote.
    void accepted();
    // The answer to a stale screen and to the server's refusal: the current article and the rows
    // are brought up to the server's state, and the clerk is told `message`.
    void answerRefusal(const std::vector<int> &rows, const QString &message);
};
