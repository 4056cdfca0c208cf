// The clerk's review aids of the main window: the menus "&Bearbeiten" and "&Ansicht", the undo
// stack, the filter and the status line. Each flag change they make runs the supplier list's own
// check-cell handler, or writes in one unit that first asks whether the screen is still current, as
// that handler does.

#include "app/ArticleDisplay.h"
#include "app/review/ArticleFilter.h"
#include "session/CacheApi.h"
#include "app/EntryWrites.h"
#include "app/FMStart.h"
#include "app/review/FindBar.h"
#include "app/Freshness.h"
#include "app/controls/KxList.h"
#include "app/review/MainConstants.h"
#include "app/review/MainLogic.h"
#include "app/review/ProposalTaking.h"
#include "text/TextHelpers.h"
#include "app/review/UndoStack.h"

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QStatusBar>

using namespace cacheapi;

namespace {

void inform(const QString &message) {
    gDesktop->messageBox(kEditTitle, message, Desktop::Buttons::Ok, Desktop::Icon::Information);
    ThrowIfEnded();
}

QAction *newAction(QMenu *menu, const char *name, const QString &text, const QKeySequence &keys = {}) {
    QAction *action = menu->addAction(text);
    action->setObjectName(QString::fromLatin1(name));
    if (!keys.isEmpty()) {
        action->setShortcut(keys);
        // The lists have the focus while the clerk works; the keys act wherever it is.
        action->setShortcutContext(Qt::WindowShortcut);
    }
    return action;
}

} // namespace

void FMStart::buildEditMenus() {
    m_filter = std::make_unique<ArticleFilter>(liart);
    m_undo = std::make_unique<UndoStack>();

    QMenu *bearbeiten = menuBar()->addMenu(QStringLiteral("&Bearbeiten"));
    bearbeiten->setObjectName(QStringLiteral("Bearbeiten"));
    mVorschlag = newAction(bearbeiten, "mVorschlag", QStringLiteral("&Vorschlag übernehmen"),
                           QKeySequence(Qt::CTRL | Qt::Key_Return));
    mAlleVorschlaege = newAction(bearbeiten, "mAlleVorschlaege", QStringLiteral("&Alle Vorschläge übernehmen …"));
    bearbeiten->addSeparator();
    mRueckgaengig =
        newAction(bearbeiten, "mRueckgaengig", QStringLiteral("&Rückgängig"), QKeySequence(Qt::CTRL | Qt::Key_Z));
    mRueckgaengig->setEnabled(false);
    bearbeiten->addSeparator();
    mSuchen = newAction(bearbeiten, "mSuchen", QStringLiteral("&Suchen …"), QKeySequence(Qt::CTRL | Qt::Key_F));
    mWeitersuchen = newAction(bearbeiten, "mWeitersuchen", QStringLiteral("Weitersuchen"), QKeySequence(Qt::Key_F3));

    QMenu *ansicht = menuBar()->addMenu(QStringLiteral("&Ansicht"));
    ansicht->setObjectName(QStringLiteral("Ansicht"));
    mNurAbweichende = newAction(ansicht, "mNurAbweichende", QStringLiteral("Nur &abweichende Artikel"),
                                QKeySequence(Qt::CTRL | Qt::Key_D));
    mNurAbweichende->setCheckable(true);

    const auto guardedAction = [this](QAction *action, void (FMStart::*handler)()) {
        connect(action, &QAction::triggered, this,
                [this, handler] { RunHandler([this, handler] { (this->*handler)(); }); });
    };
    guardedAction(mVorschlag, &FMStart::Vorschlag_Click);
    guardedAction(mAlleVorschlaege, &FMStart::AlleVorschlaege_Click);
    guardedAction(mRueckgaengig, &FMStart::Rueckgaengig_Click);
    guardedAction(mNurAbweichende, &FMStart::NurAbweichende_Click);
    guardedAction(mSuchen, &FMStart::Suchen_Click);
    guardedAction(mWeitersuchen, &FMStart::Weitersuchen_Click);

    // Keys in the supplier list: Space switches the row's "Aktiv", "H" ticks its "Hauptlieferant";
    // both reach the check-cell handler exactly as a click does.
    lilief->setCheckKey(Qt::Key_Space, kAktiv, false);
    lilief->setCheckKey(Qt::Key_H, kHauptlieferant, true);

    statusLine = new QLabel(this);
    statusLine->setObjectName(QStringLiteral("statusLine"));
    statusBar()->addWidget(statusLine, 1);
    statusBar()->setSizeGripEnabled(false);
    // The find bar sits in the status bar, under the lists: showing it leaves the client area as it is.
    findBar = new FindBar(this);
    statusBar()->addPermanentWidget(findBar);
    findBar->hide();
    connect(findBar, &FindBar::findNext, this, [this] { RunHandler([this] { Weitersuchen_Click(); }); });
    connect(findBar, &FindBar::closed, this, [this] { liart->view()->setFocus(); });
    connect(liart, &KxList::currentRowMoved, this, [this] { updateStatus(); });
    // Whoever rewrites an article row (a click, Rückgängig, a stale screen brought up to date, the live
    // view showing another workstation's change), the filter's marks and count follow it. The handlers
    // show the status once at their end; a change outside a handler shows at once.
    connect(liart, &KxList::rowTextChanged, this, [this](int row) {
        m_filter->rowChanged(row);
        if (!HandlerRunning())
            updateStatus();
    });
    updateStatus();
}

int FMStart::undoDepth() const {
    return m_undo->depth();
}

void FMStart::updateStatus() {
    statusLine->setText(mainlogic::StatusText(liart->currentRow(), liart->rowCount(), m_filter->differing(),
                                              m_undo->changedArticles()));
    mRueckgaengig->setEnabled(!m_undo->isEmpty());
}

void FMStart::reviewAfterLoad(std::vector<bool> differing) {
    m_undo->clear();
    m_filter->reload(std::move(differing));
    updateStatus();
}

void FMStart::reviewAfterSave() {
    m_undo->clear();
    updateStatus();
}

void FMStart::markPrices() {
    std::vector<mainlogic::Offer> offers;
    for (int i = 0; i < lilief->rowCount(); ++i)
        offers.push_back(mainlogic::OfferOfRow(lilief->rowText(i), lilief->checkState(i, kAktiv) > 0));
    const mainlogic::PriceMarks marks = mainlogic::MarkPrices(offers);
    for (int i = 0; i < lilief->rowCount(); ++i) {
        lilief->setRowBold(i, marks.bold[size_t(i)]);
        // The per-unit price, then what the pair's price history tells.
        QString tip = marks.perUnit[size_t(i)];
        if (const mainlogic::PriceHistory *history = display->priceHistory(lilief->hiddenText(i)))
            if (const QString lines = mainlogic::PriceHistoryText(offers[size_t(i)], *history); !lines.isEmpty())
                tip = tip.isEmpty() ? lines : tip + QLatin1Char('\n') + lines;
        lilief->setCellToolTip(i, 2, tip);
    }
}

void FMStart::recordChange(std::vector<ArticleBefore> before) {
    // Known from the commit, no request: the state this program left, which "Rückgängig" expects.
    for (ArticleBefore &article : before)
        article.stampAfter = gFactory->stampAfterWrite(artListKey, Piece(article.rowText, kLF, 1));
    m_undo->push(std::move(before));
    updateStatus();
}

void FMStart::NurAbweichende_Click() {
    const int current = liart->currentRow();
    m_filter->setOn(mNurAbweichende->isChecked());
    // The current article may just have been hidden: the next shown one takes its place, and the
    // supplier list follows it.
    if (current >= 0 && liart->isRowHidden(current)) {
        int next = liart->nextShownRow(current);
        for (int r = current - 1; next < 0 && r >= 0; --r)
            if (!liart->isRowHidden(r))
                next = r;
        liart->setCurrentRow(next);
        lief_such();
    }
    updateStatus();
}

void FMStart::Vorschlag_Click() {
    const int article = liart->currentRow();
    if (article < 0)
        return;
    const QString row = liart->rowText(article);
    const QString proposed = Piece(row, kLF, 4);
    if (proposed.trimmed().isEmpty()) {
        inform(QStringLiteral("Für den Artikel %1 gibt es keinen Vorschlag.").arg(Piece(row, kLF, 1)));
        return;
    }
    for (int i = 0; i < lilief->rowCount(); ++i) {
        if (!mainlogic::IsProposedSupplier(row, Piece(lilief->rowText(i), kLF, 1)))
            continue;
        if (lilief->checkState(i, kHauptlieferant) > 0)
            return; // already the main supplier: ticking it changes nothing
        // As the list reports a click: the cell takes the new state, then the handler runs.
        lilief->setCheckState(i, kHauptlieferant, 1);
        lilief_CheckCell(i, kHauptlieferant, 1);
        return;
    }
    inform(QStringLiteral("Der vorgeschlagene Lieferant %1 ist kein Lieferant des Artikels %2; es wurde nichts "
                          "geändert.")
               .arg(proposed, Piece(row, kLF, 1)));
}

void FMStart::AlleVorschlaege_Click() {
    if (liart->rowCount() == 0)
        return;
    ConnectServer();
    const ProposalPlan plan = SurveyProposals(artListKey, liart);
    if (plan.take.isEmpty()) {
        inform(plan.skipped.isEmpty() ? QStringLiteral("Es gibt keinen abweichenden Vorschlag.")
                                      : mainlogic::TakeAllReport(0, plan.skipped));
        return;
    }
    const Desktop::Answer answer =
        gDesktop->messageBox(kEditTitle, mainlogic::TakeAllQuestion(int(plan.take.size()), int(plan.skipped.size())),
                             Desktop::Buttons::YesNo, Desktop::Icon::Information);
    ThrowIfEnded();
    if (answer != Desktop::Answer::Yes)
        return;
    ConnectServer();
    std::vector<int> rows;
    for (const ArticleBefore &article : plan.before)
        rows.push_back(article.row);
    // What "Rückgängig" puts back is read again in the unit that writes, under the list's lock: a
    // colleague's change made while the question was open is then the state to go back to. When
    // the articles are no longer what the clerk confirmed, nothing is written and the screen shows
    // the server's state, as a stale click is answered.
    UndoStep before;
    gDesktop->setBusyPointer(true);
    const bool taken = freshness->inUnit(
        [&] {
            ProposalPlan now = PlanProposals(artListKey, liart);
            if (now.take != plan.take)
                return false;
            before = std::move(now.before);
            return true;
        },
        [&] { return TakeProposals(this, artListKey, plan.take); }, rows);
    gDesktop->setBusyPointer(false);
    if (!taken) {
        updateStatus();
        return;
    }
    display->showProposalsTaken(rows);
    recordChange(std::move(before));
    lief_such();
    BUSpeich->setEnabled(true);
    inform(mainlogic::TakeAllReport(int(plan.take.size()), plan.skipped));
}

void FMStart::Rueckgaengig_Click() {
    if (m_undo->isEmpty())
        return;
    ConnectServer();
    const UndoStep &step = m_undo->top();
    std::vector<EntryFlags> entries;
    QStringList numbers;
    for (const ArticleBefore &article : step) {
        entries.insert(entries.end(), article.entries.begin(), article.entries.end());
        numbers << Piece(article.rowText, kLF, 1);
    }
    // Taking back all proposals writes every entry of their articles again: that takes a while.
    gDesktop->setBusyPointer(true);
    std::vector<int> changed;
    const bool undone = freshness->undo(
        step, [&] { WriteEntries(entries); }, changed);
    gDesktop->setBusyPointer(false);
    if (!undone) {
        // Taking back an article another workstation changed since would overwrite that change: it
        // leaves the step, whose other articles can still be taken back. After the server's refusal
        // nothing is known to have changed, so the step stays for another try.
        m_undo->forget(changed);
        updateStatus();
        return;
    }
    m_undo->pop();
    display->showRows(numbers); // as the server now holds them, after the commit
    lief_such();
    updateStatus();
}

void FMStart::Suchen_Click() {
    findBar->open();
}

void FMStart::Weitersuchen_Click() {
    const QString term = findBar->text();
    if (term.trimmed().isEmpty()) {
        findBar->open();
        return;
    }
    // From the article after the current one on, round to the current one itself; hidden rows
    // are no articles the clerk looks at.
    const int rows = liart->rowCount();
    const int start = liart->currentRow();
    for (int k = 1; k <= rows; ++k) {
        const int r = ((start < 0 ? -1 : start) + k) % rows;
        if (liart->isRowHidden(r) || !mainlogic::MatchesSearch(liart->rowText(r), term))
            continue;
        if (r != start) {
            liart->setCurrentRow(r);
            lief_such();
        }
        return;
    }
    inform(QStringLiteral("Kein Artikel zu \"%1\" gefunden.").arg(term.trimmed()));
}
