#pragma once

#include "server/db/SqlConnection.h"

#include <QDate>
#include <QIODevice>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <memory>
#include <optional>
#include <vector>

// The clerks' decisions out again: an update run's article list as the main window shows it, and
// the save log. Rows go straight to a sink (CSV or Excel workbook), so an export of half a million
// articles is never held in memory whole.
namespace kxexchange {

enum class CellType { Text, Number, Money, Date, DateTime };

struct ColumnSpec {
    QString name;
    CellType type;
};

// Cells are QVariants: a null one is an empty cell; Money holds cents (qint64), Date a QDate,
// DateTime a QDateTime, Number a qint64.
class TableSink {
public:
    virtual ~TableSink() = default;
    virtual void begin(const std::vector<ColumnSpec> &columns) = 0;
    virtual void row(const QVariantList &cells) = 0;
    // Empty on success, otherwise why the output could not be written.
    virtual QString finish() = 0;
};

// A text cell of a CSV as no spreadsheet turns it into a formula (a tab before =, +, -, @, a tab or
// a carriage return); the import reads it back as it was.
QString NoFormula(const QString &text);

// CSV in the German spreadsheet dialect: UTF-8 with byte-order mark, ';', decimal comma, dates as
// dd.mm.yyyy, CRLF, quotes where a field needs them. `out` must be open for writing.
std::unique_ptr<TableSink> MakeCsvSink(QIODevice &out);
// An Excel workbook at `path`: one sheet, bold header row, columns sized to their contents,
// numbers as numbers, dates as dates.
std::unique_ptr<TableSink> MakeXlsxSink(const QString &path, const QString &sheetName);

// "update NR": the run's articles with the current main supplier (with the list's unsaved changes),
// the proposed one and whether they differ. Like picking the run in the main window, this prepares
// the run's list when nobody has yet. Throws cacheapi::ServerError (an unknown run among them).
void ExportUpdate(kxserver::SqlConnection &connection, int firma, qint64 nr, TableSink &sink);
// "protokoll": every saved change of the company's runs, on or after `since` when given.
void ExportProtokoll(kxserver::SqlConnection &connection, int firma, const std::optional<QDate> &since,
                     TableSink &sink);

// "preise": every recorded price of the company's pairs, coming ones included, whose day is `since`
// or later when given; in the order they were recorded.
void ExportPreise(kxserver::SqlConnection &connection, int firma, const std::optional<QDate> &since, TableSink &sink);

// "lieferanten", "artikel", "artlief", "personal": the master data of the company with the import's
// columns (personnel without passwords); the sheet name of each. Throws cacheapi::ServerError.
QStringList MasterDataKinds();
QString MasterDataSheet(const QString &kind);
void ExportMasterData(kxserver::SqlConnection &connection, int firma, const QString &kind, TableSink &sink);

} // namespace kxexchange
