#include "app/Freshness.h"

#include "session/CacheApi.h"
#include "app/controls/KxList.h"
#include "app/review/MainConstants.h"
#include "app/review/MainLogic.h"
#include "session/ServerErrorCodes.h"
#include "text/TextHelpers.h"

using namespace cacheapi;

namespace {

const QString kStaleText = QStringLiteral("Der Artikel wurde inzwischen an einem anderen Arbeitsplatz geändert. Die "
                                          "Anzeige ist jetzt aktuell; bitte prüfen Sie die Änderung erneut.");

QString currentArticleNumber(const KxList &articles) {
    const int r = articles.currentRow();
    return r < 0 ? QString() : Piece(articles.rowText(r), kLF, 1);
}

} // namespace

void Freshness::filled(const QString &listKey, const QString &articleNumber, const QString &stamp) {
    m_list = listKey;
    m_article = articleNumber;
    m_stamp = stamp;
    m_losses = ConnectionLosses();
}

void Freshness::cleared() {
    m_list.clear();
    m_article.clear();
    m_stamp.clear();
}

void Freshness::accepted() {
    if (m_stamp.isEmpty())
        return;
    // Without the written state the screen cannot be compared any more: the next change then goes
    // by the server's own check alone.
    m_stamp = gFactory->stampAfterWrite(m_list, m_article);
}

bool Freshness::stampMatches() {
    m_lost = false;
    // Only a list that belongs to the current article and whose state the server described can be
    // compared; anything else has nothing to be stale against.
    if (m_list != m_listKey || m_article != currentArticleNumber(m_articles))
        return true;
    // A step that lost its connection under this screen may have left it showing what the server
    // does not hold (a rolled-back change, or the state before a commit whose answer never came):
    // the screen is then brought up to the server's state first.
    if (m_losses != ConnectionLosses()) {
        m_lost = true;
        return false;
    }
    if (m_stamp.isEmpty())
        return true;
    ServerBusy busy;
    const QString now = gFactory->articleStamp(m_list, m_article);
    return now.isEmpty() || now == m_stamp;
}

std::vector<int> Freshness::changedSince(const UndoStep &step) {
    QStringList numbers;
    std::vector<const ArticleBefore *> asked;
    for (const ArticleBefore &article : step)
        if (!article.stampAfter.isEmpty()) {
            numbers << Piece(article.rowText, kLF, 1);
            asked.push_back(&article);
        }
    if (numbers.isEmpty())
        return {};
    ServerBusy busy;
    const QStringList now = gFactory->articleStamps(m_listKey, numbers);
    std::vector<int> changed;
    for (size_t i = 0; i < asked.size() && i < size_t(now.size()); ++i)
        if (!now[qsizetype(i)].isEmpty() && now[qsizetype(i)] != asked[i]->stampAfter)
            changed.push_back(asked[i]->row);
    return changed;
}

bool Freshness::change(const std::function<void()> &body) {
    return inUnit([this] { return stampMatches(); },
                  [&] {
                      body();
                      return true;
                  },
                  {});
}

bool Freshness::undo(const UndoStep &step, const std::function<void()> &body, std::vector<int> &changed) {
    changed.clear();
    m_lost = false;
    return inUnit(
        [&] {
            changed = changedSince(step);
            return changed.empty();
        },
        [&] {
            body();
            return true;
        },
        changed);
}

bool Freshness::inUnit(const std::function<bool()> &fresh, const std::function<bool()> &body,
                       const std::vector<int> &rows) {
    gFactory->beginUnit();
    m_unit = true;
    try {
        if (!fresh()) {
            release();
            answerRefusal(rows, m_lost ? QStringLiteral("Die Verbindung zum Server war unterbrochen; der letzte Schritt "
                                                        "ist vielleicht gespeichert, vielleicht nicht. Die Anzeige "
                                                        "zeigt jetzt den Stand des Servers; bitte prüfen Sie die "
                                                        "Änderung erneut.")
                                       : kStaleText);
            return false;
        }
        if (!body()) {
            release();
            return false;
        }
        commit();
        return true;
    } catch (const ServerError &error) {
        release();
        // The server's refusal of a change to an article another workstation changed, and another
        // workstation's unit that held the list too long: nothing was written either way.
        if (error.number() == kxserver::kRejected)
            answerRefusal(rows, kStaleText);
        else if (error.number() == kxserver::kBusy)
            answerRefusal(rows, error.description());
        else
            throw;
        return false;
    } catch (...) {
        release();
        throw;
    }
}

void Freshness::commit() {
    if (!m_unit)
        return;
    {
        ServerBusy busy;
        gFactory->commitUnit(); // a failed commit leaves the unit to release(), which ends it for sure
    }
    m_unit = false;
    accepted();
}

void Freshness::release() {
    if (!m_unit)
        return;
    m_unit = false;
    try {
        gFactory->rollbackUnit();
    } catch (const ServerError &) {
        // The unit is gone with the connection; the server keeps what it had.
    }
}

void Freshness::refuse(const QString &message) {
    release(); // no lock waits for the clerk
    gDesktop->messageBox(kEditTitle, message, Desktop::Buttons::Ok, Desktop::Icon::Information);
    ThrowIfEnded();
}

void Freshness::answerRefusal(const std::vector<int> &rows, const QString &message) {
    const int r = m_articles.currentRow();
    if (r >= 0 || !rows.empty())
        ConnectServer();
    QStringList others;
    for (const int row : rows)
        if (row != r && row >= 0 && row < m_articles.rowCount())
            others << Piece(m_articles.rowText(row), kLF, 1);
    m_showServerState(others);
    gDesktop->messageBox(kEditTitle, message, Desktop::Buttons::Ok, Desktop::Icon::Information);
    ThrowIfEnded();
}
