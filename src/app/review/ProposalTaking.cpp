#include "app/review/ProposalTaking.h"

#include "app/review/ArticleRows.h"
#include "session/CacheApi.h"
#include "app/controls/KxList.h"
#include "app/review/MainConstants.h"
#include "app/review/MainLogic.h"
#include "text/TextHelpers.h"

#include <QProgressDialog>

using namespace cacheapi;

namespace {

// Articles per server call: small enough for the progress dialog to move, large enough that the
// calls cost little beside the writes.
constexpr int kPart = 500;

} // namespace

ProposalPlan SurveyProposals(const QString &listKey, const KxList *articles) {
    ArticleRows rowOf(articles);
    ProposalPlan plan;
    ServerBusy busy;
    QueryCursorPtr query = gFactory->openQuery(kClass, QStringLiteral("VorschlagsArtikel"));
    query->execute({listKey});
    while (query->next()) {
        const QString number = mainlogic::CellText(query->column(1));
        const int row = rowOf.find(number);
        if (row < 0)
            continue; // an article the list does not show is no decision of this clerk
        if (mainlogic::CellText(query->column(2)) == QLatin1String("J")) {
            plan.take << number;
            ArticleBefore article;
            article.row = row;
            plan.before.push_back(std::move(article));
        } else {
            plan.skipped << number;
        }
    }
    query->close();
    return plan;
}

ProposalPlan PlanProposals(const QString &listKey, const KxList *articles) {
    ArticleRows rowOf(articles);
    ProposalPlan plan;
    ServerBusy busy;
    QueryCursorPtr query = gFactory->openQuery(kClass, QStringLiteral("Vorschlaege"));
    query->execute({listKey});
    QString current;
    ArticleBefore article;
    bool takeable = false;
    const auto finish = [&] {
        if (current.isEmpty())
            return;
        if (takeable) {
            plan.take << current;
            plan.before.push_back(std::move(article));
        } else {
            plan.skipped << current;
        }
    };
    while (query->next()) {
        const QString number = mainlogic::CellText(query->column(1));
        if (number != current) {
            finish();
            current.clear();
            article = ArticleBefore();
            takeable = false;
            const int row = rowOf.find(number);
            if (row < 0)
                continue; // an article the list does not show is no decision of this clerk
            current = number;
            article.row = row;
            article.rowText = articles->rowText(row);
        }
        if (current.isEmpty())
            continue;
        const QString id = mainlogic::CellText(query->column(2));
        if (id.isEmpty())
            continue;
        const bool active = mainlogic::CellText(query->column(3)) == QLatin1String("J");
        if (active && mainlogic::CellText(query->column(5)) == QLatin1String("J"))
            takeable = true;
        article.entries.push_back({id, std::nullopt, mainlogic::CellText(query->column(4)) == QLatin1String("J"),
                                   query->column(6).toInt()});
    }
    finish();
    query->close();
    return plan;
}

bool TakeProposals(QWidget *parent, const QString &listKey, const QStringList &articleNumbers) {
    const int parts = int((articleNumbers.size() + kPart - 1) / kPart);
    QProgressDialog progress(QStringLiteral("Vorschläge werden übernommen …"), QStringLiteral("Abbrechen"), 0, parts,
                             parent);
    progress.setWindowTitle(kEditTitle);
    progress.setWindowModality(Qt::WindowModal);
    progress.setMinimumDuration(500);
    progress.setAutoReset(false);
    progress.setAutoClose(false);

    ServerBusy busy;
    ServerObjectPtr list = gFactory->newInstance(kClass);
    for (int part = 0; part < parts; ++part) {
        QVariantList args{listKey,
                          QStringList(articleNumbers.mid(qsizetype(part) * kPart, kPart)).join(QLatin1Char('\n'))};
        list->call(QStringLiteral("VorschlaegeUebernehmen"), args);
        progress.setValue(part + 1); // lets the dialog's own events run once it shows
        ThrowIfEnded();
        if (progress.wasCanceled())
            return false;
    }
    return true;
}
