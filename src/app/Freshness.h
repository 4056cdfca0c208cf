#pragma once

#include <QString>

class FMStart;

// Whether the supplier list on screen still shows what the server holds for its article. Another
// workstation may change the same article at any time; a change made on a stale screen would be
// refused by the server (or, worse, judged by rules that looked at old flags). So every change of
// flags first asks the server's cheap "changed since?" question, and a stale screen is brought up to
// date and the clerk asked to look again, instead of writing anything.
class Freshness {
public:
    explicit Freshness(FMStart &window) : m_window(window) {}

    // lief_such has filled the supplier list with article `articleNumber` of list `listKey`, as the
    // server's stamp `stamp` describes it (empty: the server cannot tell).
    void filled(const QString &listKey, const QString &articleNumber, const QString &stamp);
    // The supplier list shows no article.
    void cleared();
    // This program's change to the shown article was accepted: the screen shows what it wrote.
    void accepted();

    // To be called before every change of flags (a click, and every aid that changes flags), after
    // ConnectServer. True: the screen is current, go on. False: the article had changed; the supplier
    // list and the article row now show the server's state, the clerk has been told, and the change
    // must not run.
    bool beforeChange();
    // The answer to the server's refusal of a change because the article changed in the same moment:
    // the same refresh and box as a stale screen.
    void answerRefusal();
    // Brings the current article's row and supplier list up to the server's state, without a box.
    void refresh();

    // Whether an error is the server's refusal of a change to an article another workstation changed.
    static bool isRefusal(int errorNumber);

    static const QString &message();

private:
    FMStart &m_window;
    QString m_list;
    QString m_article;
    QString m_stamp;
};
