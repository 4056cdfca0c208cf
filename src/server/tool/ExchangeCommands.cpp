#include "server/tool/ExchangeCommands.h"

#include "server/exchange/Exporter.h"
#include "server/exchange/Fields.h"
#include "server/exchange/Importer.h"
#include "server/exchange/OutputFile.h"
#include "session/ServerError.h"
#include "server/tool/ToolCommon.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <unistd.h>

namespace {

std::optional<QDate> germanDate(const QString &text) {
    QString expected;
    return kxexchange::ParseDate(text, &expected);
}

} // namespace

int RunImport(const QStringList &arguments) {
    DbArguments common;
    if (const QString error = ParseDbArguments(arguments, &common); !error.isEmpty())
        return UsageError(error);
    kxexchange::ImportRequest request;
    request.firma = common.firma;
    const QStringList &rest = common.rest;
    for (int i = 0; i < rest.size(); ++i) {
        const QString &argument = rest.at(i);
        const auto value = [&](QString *out) { return TakeValue(rest, i, out); };
        QString text;
        if (argument == QLatin1String("--dry-run")) {
            request.dryRun = true;
        } else if (argument == QLatin1String("--encoding")) {
            if (!value(&text) || !kxexchange::EncodingByName(text))
                return UsageError(QStringLiteral("--encoding braucht utf-8 oder windows-1252."));
            request.encoding = *kxexchange::EncodingByName(text);
        } else if (argument == QLatin1String("--nr")) {
            QString expected;
            const std::optional<qint64> nr =
                value(&text) ? kxexchange::ParseWholeNumber(text, &expected) : std::nullopt;
            if (!nr)
                return UsageError(QStringLiteral("--nr braucht eine Update-Nummer von 1 bis 999999999."));
            request.runNr = nr;
        } else if (argument == QLatin1String("--bez")) {
            if (!value(&request.runBez) || request.runBez.trimmed().isEmpty())
                return UsageError(QStringLiteral("--bez braucht eine Bezeichnung."));
        } else if (argument == QLatin1String("--datum")) {
            const std::optional<QDate> date = value(&text) ? germanDate(text) : std::nullopt;
            if (!date)
                return UsageError(QStringLiteral("--datum braucht ein Datum TT.MM.JJJJ, das es gibt."));
            request.runDatum = *date;
        } else if (argument.contains(QLatin1Char('=')) && !argument.startsWith(QLatin1Char('-'))) {
            request.files.push_back({argument.section(QLatin1Char('='), 0, 0), argument.section(QLatin1Char('='), 1)});
        } else {
            return UsageError(QStringLiteral("unbekanntes Argument \"%1\".").arg(argument));
        }
    }
    if (const QString error = kxexchange::CheckRequest(request); !error.isEmpty())
        return UsageError(error);

    // A progress line for a person watching; a log or a pipe gets none.
    const bool terminal = ::isatty(STDERR_FILENO) == 1;
    QElapsedTimer timer;
    timer.start();
    qint64 lastShown = -1000;
    if (terminal)
        request.progress = [&](const QString &file, qint64 bytes, qint64 size, qint64 rows) {
            if (timer.elapsed() - lastShown < 500)
                return;
            lastShown = timer.elapsed();
            const double seconds = std::max(timer.elapsed() / 1000.0, 0.001);
            Print(stderr, QStringLiteral("\r%1: %2 Zeilen, %3 Zeilen/s, %4 %\x1b[K")
                              .arg(kxexchange::ShownText(file))
                              .arg(rows)
                              .arg(qint64(rows / seconds))
                              .arg(size > 0 ? 100 * bytes / size : 100));
        };
    const kxexchange::ImportReport report = kxexchange::Import(common.target, request);
    if (terminal)
        Print(stderr, QStringLiteral("\r\x1b[K"));
    for (const QString &note : report.notes)
        Print(stderr, QStringLiteral("Hinweis: %1\n").arg(note));
    if (!report.ok) {
        QString text = QStringLiteral("korvex-db: Import abgelehnt, nichts wurde geändert:\n");
        for (const QString &error : report.errors)
            text += QStringLiteral("  %1\n").arg(error);
        if (report.errorCount > report.errors.size())
            text += QStringLiteral("  ... und %1 weitere Fehler (%2 insgesamt).\n")
                        .arg(report.errorCount - report.errors.size())
                        .arg(report.errorCount);
        Print(stderr, text);
        return 1;
    }
    QString text = request.dryRun ? QStringLiteral("Probelauf (--dry-run), nichts wurde geändert. Es würden:\n")
                                  : QStringLiteral("Importiert in %1:\n").arg(kxexchange::DatabaseName(common.target));
    for (const kxexchange::KindCount &count : report.counts)
        text += QStringLiteral("  %1: %2 neu, %3 geändert, %4 unverändert\n")
                    .arg(count.kind)
                    .arg(count.added)
                    .arg(count.changed)
                    .arg(count.unchanged);
    Print(stdout, text);
    return 0;
}

int RunExport(const QStringList &arguments) {
    DbArguments common;
    if (const QString error = ParseDbArguments(arguments, &common); !error.isEmpty())
        return UsageError(error);
    QString kind;
    qint64 nr = 0;
    std::optional<QDate> since;
    QString output;
    const QStringList &rest = common.rest;
    const QStringList masterKinds = kxexchange::MasterDataKinds();
    for (int i = 0; i < rest.size(); ++i) {
        const QString &argument = rest.at(i);
        if (argument == QLatin1String("-o") || argument == QLatin1String("--seit")) {
            QString value;
            if (!TakeValue(rest, i, &value))
                return UsageError(QStringLiteral("%1 braucht einen Wert.").arg(argument));
            if (argument == QLatin1String("-o")) {
                output = value;
            } else if (!(since = germanDate(value))) {
                return UsageError(QStringLiteral("--seit braucht ein Datum TT.MM.JJJJ, das es gibt."));
            }
        } else if (kind.isEmpty() && (argument == QLatin1String("update") || argument == QLatin1String("protokoll") ||
                                      argument == QLatin1String("preise") || masterKinds.contains(argument))) {
            kind = argument;
            if (kind == QLatin1String("update")) {
                QString expected;
                const std::optional<qint64> number =
                    i + 1 < rest.size() ? kxexchange::ParseWholeNumber(rest.at(++i), &expected) : std::nullopt;
                if (!number)
                    return UsageError(QStringLiteral("update braucht die Nummer des Updates."));
                nr = *number;
            }
        } else {
            return UsageError(QStringLiteral("unbekanntes Argument \"%1\".").arg(argument));
        }
    }
    if (kind.isEmpty())
        return UsageError(
            QStringLiteral("was ausgeben? update NR, protokoll, preise, %1.").arg(masterKinds.join(QStringLiteral(", "))));
    if (since && kind != QLatin1String("protokoll") && kind != QLatin1String("preise"))
        return UsageError(QStringLiteral("--seit gehört zu protokoll und preise."));

    std::shared_ptr<kxserver::SqlConnection> connection;
    try {
        connection = kxserver::SqlConnection::open(common.target);
    } catch (const cacheapi::ServerError &e) {
        return Failure(e.description()); // a damaged or read-only file, in the program's words
    }
    if (!connection)
        return Failure(kxexchange::UnreachableDatabase(common.target));
    const QString sheet = kind == QLatin1String("update")      ? QStringLiteral("Update %1").arg(nr)
                          : kind == QLatin1String("protokoll") ? QStringLiteral("Protokoll")
                          : kind == QLatin1String("preise")    ? QStringLiteral("Preise")
                                                               : kxexchange::MasterDataSheet(kind);
    // Written under a temporary name: a failed export leaves the name asked for as it was.
    std::optional<kxexchange::OutputFile> target;
    QFile standardOutput;
    std::unique_ptr<kxexchange::TableSink> sink;
    if (!output.isEmpty()) {
        target.emplace(output);
        const bool workbook = output.endsWith(QLatin1String(".xlsx"), Qt::CaseInsensitive);
        if (!(workbook ? target->openPath() : target->open()))
            return Failure(target->error() + QLatin1Char('.'));
        sink = workbook ? kxexchange::MakeXlsxSink(target->path(), sheet) : kxexchange::MakeCsvSink(target->device());
    } else {
        if (!standardOutput.open(stdout, QIODevice::WriteOnly))
            return Failure(QStringLiteral("die Standardausgabe kann nicht geschrieben werden (%1).")
                               .arg(standardOutput.errorString()));
        sink = kxexchange::MakeCsvSink(standardOutput);
    }
    QString error;
    try {
        if (kind == QLatin1String("update"))
            kxexchange::ExportUpdate(*connection, common.firma, nr, *sink);
        else if (kind == QLatin1String("protokoll"))
            kxexchange::ExportProtokoll(*connection, common.firma, since, *sink);
        else if (kind == QLatin1String("preise"))
            kxexchange::ExportPreise(*connection, common.firma, since, *sink);
        else
            kxexchange::ExportMasterData(*connection, common.firma, kind, *sink);
    } catch (const cacheapi::ServerError &e) {
        error = e.description();
    }
    const QString written = sink->finish();
    sink.reset();
    if (error.isEmpty())
        error = written;
    if (error.isEmpty() && standardOutput.isOpen() && !standardOutput.flush())
        error =
            QStringLiteral("die Standardausgabe kann nicht geschrieben werden (%1)").arg(standardOutput.errorString());
    if (error.isEmpty() && target && !target->commit())
        error = target->error();
    if (!error.isEmpty())
        return Failure(error);
    return 0;
}
