#pragma once

#include "server/exchange/CsvReader.h"
#include "server/db/SqlConnection.h"

#include <QDate>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <vector>

// Bringing a merchant's own data into a KORVEX database: suppliers, articles, article-supplier
// pairs, personnel and the purchasing association's proposal as a new update run, each kind from one
// CSV file or the first sheet of one workbook (.xlsx). All files of one call go in as one transaction, in dependency order: any error, and
// nothing at all is changed. The prepared lists of the update runs and their unsaved changes are
// never touched.
namespace kxexchange {

// The kinds in the order in which they are applied.
QStringList ImportKinds();

struct ImportFile {
    QString kind;
    QString path;
};

struct ImportRequest {
    int firma = 1;
    bool dryRun = false;
    Encoding encoding = Encoding::Detect;
    std::vector<ImportFile> files;
    // The new update run of an "update" file.
    std::optional<qint64> runNr;
    QString runBez;
    QDate runDatum;
    // Called now and then while a file is read: bytes read of its size, and rows so far.
    std::function<void(const QString &file, qint64 bytes, qint64 size, qint64 rows)> progress;
};

// A wrong call (unknown or repeated kind, the run options missing or given without an update
// file); empty when the request can be tried.
QString CheckRequest(const ImportRequest &request);

struct KindCount {
    QString kind;
    qint64 added = 0;
    qint64 changed = 0;
    qint64 unchanged = 0;
};

struct ImportReport {
    bool ok = false;
    QStringList errors;    // the first 20, each naming file, line and column
    qint64 errorCount = 0; // all of them
    QStringList notes;     // columns that were not read
    std::vector<KindCount> counts;
};

constexpr int kMaxListedErrors = 20;

// How the tool's messages name a database: the SQLite file, or "korvex auf HOST:PORT".
QString DatabaseName(const kxserver::ConnectTarget &target);
// The message for a database that cannot be opened.
QString UnreachableDatabase(const kxserver::ConnectTarget &target);

ImportReport Import(const kxserver::ConnectTarget &target, const ImportRequest &request);

// Inside a unit that changes master data: on PostgreSQL the locks of the company's lists, which a
// clerk's write of a list holds while it checks the master data; refused with the list a clerk holds
// when the wait runs out. SQLite's write lock covers it already.
void LockCompanyLists(kxserver::SqlConnection &db, int firma);
// The same on an open connection (no unit may be open on it).
ImportReport Import(kxserver::SqlConnection &connection, const ImportRequest &request);

} // namespace kxexchange
