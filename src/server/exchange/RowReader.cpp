#include "server/exchange/RowReader.h"

#include "server/exchange/CsvReader.h"
#include "server/exchange/WorkbookReader.h"

namespace kxexchange {

std::unique_ptr<RowReader> MakeRowReader(const QString &path) {
    if (path.endsWith(QLatin1String(".xlsx"), Qt::CaseInsensitive) ||
        path.endsWith(QLatin1String(".ods"), Qt::CaseInsensitive))
        return std::make_unique<WorkbookReader>();
    return std::make_unique<CsvReader>();
}

} // namespace kxexchange
