#include "server/tool/DatanormCommand.h"

#include "server/exchange/DatanormImport.h"
#include "server/exchange/Fields.h"
#include "server/exchange/Importer.h"
#include "server/exchange/PriceHistory.h"
#include "server/lists/PriceNews.h"
#include "server/tool/ToolCommon.h"
#include "session/ServerError.h"

#include <QLocale>

namespace {

QString Count(qint64 n) {
    return QLocale(QLocale::German).toString(n);
}

QString Euro(qint64 cents) {
    return kxexchange::CentsText(cents) + QStringLiteral(" €");
}

// The report's lines: what the delivery changed (or would), and what it left alone and why.
QString Summary(const kxexchange::DatanormReport &report) {
    QString text;
    for (const QString &file : report.files)
        text += QStringLiteral("  %1\n").arg(file);
    text += QStringLiteral("  Preise erhöht: %1, gesenkt: %2, unverändert: %3")
                .arg(Count(report.raised), Count(report.lowered), Count(report.unchanged));
    if (report.unitsChanged > 0)
        text += QStringLiteral(" (Preiseinheit geändert: %1)").arg(Count(report.unitsChanged));
    text += QLatin1Char('\n');
    if (report.coming > 0)
        text += QStringLiteral("  Kommende Preise (gültig ab einem späteren Tag): %1\n").arg(Count(report.coming));
    if (report.dueApplied > 0)
        text += QStringLiteral("  Fällig gewordene Preise früherer Lieferungen: %1\n").arg(Count(report.dueApplied));
    if (report.renumbered > 0)
        text += QStringLiteral("  Neue Lieferanten-Artikel-Nr: %1\n").arg(Count(report.renumbered));
    if (report.numbersLearned > 0)
        text += QStringLiteral("  Über die EAN gefunden (Lieferanten-Artikel-Nr übernommen): %1\n")
                    .arg(Count(report.numbersLearned));
    if (!report.largestRises.empty()) {
        text += QStringLiteral("  Größte Erhöhungen:\n");
        for (const kxexchange::PriceRise &rise : report.largestRises)
            text += QStringLiteral("    Artikel %1%2: %3 -> %4 (+%5 %)\n")
                        .arg(rise.article,
                             rise.catalogNumber.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(rise.catalogNumber),
                             Euro(rise.oldCents), Euro(rise.newCents),
                             QLocale(QLocale::German).toString(
                                 100.0 * double(rise.newCents - rise.oldCents) / double(rise.oldCents), 'f', 1));
    }
    const auto listed = [&](const QString &title, qint64 count, const QStringList &lines) {
        if (count == 0)
            return;
        text += QStringLiteral("  %1: %2\n").arg(title, Count(count));
        for (const QString &line : lines)
            text += QStringLiteral("    %1\n").arg(kxexchange::ShownText(line));
        if (count > lines.size())
            text += QStringLiteral("    … und %1 weitere\n").arg(Count(count - lines.size()));
    };
    listed(QStringLiteral("Nicht zugeordnet"), report.unmatched, report.unmatchedListed);
    listed(QStringLiteral("Listenpreis ohne Rabatt (Preis nicht übernommen)"), report.withoutDiscount,
           report.withoutDiscountListed);
    listed(QStringLiteral("Gelöschte Artikel (Preis bleibt)"), report.deleted, report.deletedListed);
    if (report.onRequest > 0)
        text += QStringLiteral("  Preis auf Anfrage (nichts übernommen): %1\n").arg(Count(report.onRequest));
    if (!report.skipped.empty()) {
        QStringList kinds;
        for (const auto &[type, count] : report.skipped)
            kinds << QStringLiteral("%1 %2").arg(type, Count(count));
        text += QStringLiteral("  Übersprungene Sätze: %1\n").arg(kinds.join(QStringLiteral(", ")));
    }
    return text;
}

} // namespace

int RunDatanorm(const QStringList &arguments) {
    DbArguments common;
    if (const QString error = ParseDbArguments(arguments, &common); !error.isEmpty())
        return UsageError(error);
    kxexchange::DatanormRequest request;
    request.firma = common.firma;
    const QStringList &rest = common.rest;
    for (int i = 0; i < rest.size(); ++i) {
        const QString &argument = rest.at(i);
        QString value;
        if (argument == QLatin1String("--dry-run")) {
            request.dryRun = true;
        } else if (argument == QLatin1String("--encoding")) {
            const auto charset = TakeValue(rest, i, &value) ? kxexchange::datanorm::CharsetByName(value) : std::nullopt;
            if (!charset)
                return UsageError(QStringLiteral("--encoding braucht cp850, windows-1252, iso-8859-1 oder utf-8."));
            request.charset = *charset;
        } else if (argument == QLatin1String("--rabatte")) {
            if (!TakeValue(rest, i, &request.discountFile))
                return UsageError(QStringLiteral("--rabatte braucht eine Datei (Rabattgruppe;Rabatt)."));
        } else if (argument == QLatin1String("--lieferant")) {
            QString expected;
            const std::optional<qint64> number =
                TakeValue(rest, i, &value) ? kxexchange::ParseWholeNumber(value, &expected) : std::nullopt;
            if (!number)
                return UsageError(QStringLiteral("--lieferant braucht die Lieferant-Nr."));
            request.supplier = *number;
        } else if (argument.startsWith(QLatin1Char('-'))) {
            return UsageError(QStringLiteral("unbekanntes Argument \"%1\".").arg(argument));
        } else {
            request.files << argument;
        }
    }
    if (request.supplier == 0)
        return UsageError(QStringLiteral("--lieferant NR fehlt: wessen Lieferung ist es?"));
    if (request.files.isEmpty())
        return UsageError(QStringLiteral("welche DATANORM-Dateien? (z. B. DATANORM.001 DATPREIS.001)"));
    const kxexchange::DatanormReport report = kxexchange::ImportDatanorm(common.target, request);
    if (!report.ok) {
        Print(stderr, QStringLiteral("Nichts wurde geändert:\n") + report.errors.join(QLatin1Char('\n')) +
                          QLatin1Char('\n'));
        return 1;
    }
    Print(stdout, (request.dryRun ? QStringLiteral("Probelauf (--dry-run), nichts wurde geändert. Es würden:\n")
                                  : QStringLiteral("Lieferung des Lieferanten %1 eingelesen in %2:\n")
                                        .arg(request.supplier)
                                        .arg(kxexchange::DatabaseName(common.target))) +
                      Summary(report));
    return 0;
}

int RunDuePrices(const QStringList &arguments) {
    DbArguments common;
    if (const QString error = ParseDbArguments(arguments, &common); !error.isEmpty())
        return UsageError(error);
    if (!common.rest.isEmpty())
        return UsageError(QStringLiteral("unbekanntes Argument \"%1\".").arg(common.rest.front()));
    try {
        const std::shared_ptr<kxserver::SqlConnection> connection = kxserver::SqlConnection::open(common.target);
        if (!connection)
            return Failure(kxexchange::UnreachableDatabase(common.target));
        connection->beginUnit();
        std::vector<qint64> articles;
        const qint64 applied = kxexchange::ApplyDuePrices(*connection, QDate::currentDate(), articles);
        kxserver::lists::TellPriceNews(*connection, articles);
        connection->commitUnit();
        Print(stdout, QStringLiteral("Fällige Preise übernommen: %1.\n").arg(Count(applied)));
    } catch (const cacheapi::ServerError &e) {
        return Failure(e.description());
    }
    return 0;
}
