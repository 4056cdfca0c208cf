#pragma once

#include "app/review/UndoStack.h"

#include <QString>
#include <QStringList>

class KxList;
class QWidget;

// "Alle Vorschläge übernehmen": which differing articles can take their proposal, and taking them.
struct ProposalPlan {
    QStringList take;    // article numbers whose proposed supplier is an active supplier of theirs
    QStringList skipped; // the other differing articles
    UndoStep before;     // the articles to take, as they are now (for "Rückgängig")
};

// Before the clerk is asked: the same articles as PlanProposals finds, one row each from the server
// (query "VorschlagsArtikel"); `before` holds only their rows in the article list.
ProposalPlan SurveyProposals(const QString &listKey, const KxList *articles);

// Reads the differing articles of the list from the server (query "Vorschlaege"); inside a unit the
// server reads them under the list's lock. Articles the article list does not show are left out.
ProposalPlan PlanProposals(const QString &listKey, const KxList *articles);

// Takes the articles inside the caller's unit, a part at a time, with a progress dialog for runs
// that take longer than half a second. False when the clerk pressed "Abbrechen": the caller then
// gives the unit up, and nothing is written.
bool TakeProposals(QWidget *parent, const QString &listKey, const QStringList &articleNumbers);
