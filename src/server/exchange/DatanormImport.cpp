#include "server/exchange/DatanormImport.h"

#include "server/exchange/DatanormRun.h"

#include "server/db/BulkInsert.h"
#include "server/db/Dialect.h"
#include "server/db/rows/PgRows.h"
#include "server/db/rows/SqliteRows.h"
#include "server/exchange/DatanormPrices.h"
#include "server/exchange/Fields.h"
#include "server/exchange/Importer.h"
#include "server/exchange/PriceHistory.h"
#include "server/lists/PriceNews.h"
#include "session/ServerError.h"

#include <QFileInfo>
#include <QHash>
#include <QLocale>

#include <algorithm>
#include <string>

namespace kxexchange {

namespace datanorm {

bool DatanormRun::loadPairs() {
    QSqlQuery supplier = m_db.run(QStringLiteral("SELECT id FROM lieferant WHERE firma = ? AND liefnr = ?"),
                                  {m_request.firma, m_request.supplier});
    if (!m_db.next(supplier)) {
        m_report.errors << QStringLiteral("--lieferant: der Lieferant %1 der Firma %2 ist unbekannt.")
                               .arg(m_request.supplier)
                               .arg(m_request.firma);
        return false;
    }
    m_supplierId = supplier.value(0).toLongLong();
    supplier.finish();
    // A million pairs are read through the database's own interface (libpq streaming row by row), not
    // held as the driver's result.
    // The supplier is the company's, and so are its pairs. In the order of their numbers (the index
    // on them), so that the sort below finds them sorted.
    const auto read = [&](const QString &sql) -> std::unique_ptr<kxserver::DirectRows> {
        if (m_db.backend() == kxserver::Backend::Sqlite)
            return std::make_unique<kxserver::SqliteRows>(m_db, sql, QVariantList{m_supplierId});
        return std::make_unique<kxserver::PgRows>(m_db, sql, QVariantList{m_supplierId});
    };
    QSqlQuery count = m_db.run(QStringLiteral("SELECT COUNT(*) FROM artlief WHERE lieferant = ?"), {m_supplierId});
    if (m_db.next(count)) { // room for them at once: growing would hold the old copy beside the new
        m_pairs.reserve(size_t(count.value(0).toLongLong()));
        m_numbers.reserve(size_t(count.value(0).toLongLong()));
    }
    count.finish();
    std::unique_ptr<kxserver::DirectRows> rows = read(QStringLiteral(
        "SELECT id, artikel, ek_cent, pe, lief_artnr FROM artlief WHERE lieferant = ? ORDER BY lieferant, lief_artnr"));
    QByteArray lastUnit;
    qint32 lastUnitIndex = -1;
    while (rows->next()) {
        const quint32 index = quint32(m_pairs.size());
        const QByteArrayView unit = rows->textBytes(3).value_or(QByteArrayView());
        if (lastUnitIndex < 0 || unit != lastUnit) {
            lastUnit = unit.toByteArray();
            lastUnitIndex = m_units.index(QString::fromUtf8(lastUnit));
        }
        m_pairs.push_back({rows->whole(0).value_or(0), rows->whole(1).value_or(0), rows->whole(2).value_or(0),
                           lastUnitIndex});
        if (const auto number = rows->textBytes(4); number && !number->isEmpty())
            m_numbers.add(*number, index);
    }
    rows.reset();
    // The EANs of the articles, by pair: the pairs are in the order of their numbers, not their ids.
    std::vector<std::pair<qint64, quint32>> byId;
    byId.reserve(m_pairs.size());
    for (quint32 i = 0; i < m_pairs.size(); ++i)
        byId.emplace_back(m_pairs[i].id, i);
    std::sort(byId.begin(), byId.end());
    rows = read(QStringLiteral("SELECT al.id, a.ean FROM artlief al JOIN artikel a ON a.id = al.artikel"
                               " WHERE al.lieferant = ? AND a.ean IS NOT NULL AND a.ean <> ''"));
    while (rows->next()) {
        const qint64 id = rows->whole(0).value_or(0);
        const auto at = std::lower_bound(byId.begin(), byId.end(), std::pair<qint64, quint32>(id, 0));
        if (const auto ean = rows->textBytes(1); ean && at != byId.end() && at->first == id)
            m_eans.add(*ean, at->second);
    }
    rows.reset();
    m_numbers.sort();
    m_eans.sort();
    m_offers.resize(m_pairs.size());
    return true;
}

namespace {

// The files in the order their contents need: discount groups first (a list price needs them), then
// articles, then prices (a price record holds over an article record). By the first record a file
// holds, not by its name. `charset` becomes the character set the look settled on, so that the
// file's reading does not detect it a second time (a pass over all of its bytes).
int Rank(const QString &path, datanorm::Charset &charset) {
    Reader reader;
    if (!reader.open(path, charset))
        return 1; // its error comes when it is read
    charset = reader.charset();
    Record record;
    while (reader.next(record)) {
        switch (record.kind) {
        case Record::Kind::Group:
            return 0;
        case Record::Kind::Price:
        case Record::Kind::PriceDate:
            return 2;
        default:
            return 1;
        }
    }
    return 1;
}

} // namespace

std::optional<quint32> DatanormRun::byNumber(const QString &number) const {
    if (const auto renumbered = m_renumbered.constFind(number); renumbered != m_renumbered.constEnd())
        return renumbered.value();
    return m_numbers.find(number);
}

std::optional<quint32> DatanormRun::byEan(const QString &ean) const {
    return m_eans.find(ean);
}

bool DatanormRun::readAll() {
    if (!m_request.discountFile.isEmpty()) {
        QString error;
        if (!ReadDiscountTable(m_request.discountFile, m_tableDiscounts, &error)) {
            m_report.errors << error;
            return false;
        }
    }
    if (!loadPairs())
        return false;
    std::vector<std::pair<int, int>> order; // rank, file
    std::vector<Charset> charsets(size_t(m_request.files.size()), m_request.charset);
    for (int i = 0; i < m_request.files.size(); ++i)
        order.emplace_back(Rank(m_request.files.at(i), charsets[size_t(i)]), i);
    std::stable_sort(order.begin(), order.end());
    for (const QString &path : m_request.files) {
        m_fileNames << QFileInfo(path).fileName();
        m_fileDates.emplace_back();
    }
    for (const auto &[rank, file] : order) {
        Reader reader;
        if (!reader.open(m_request.files.at(file), charsets[size_t(file)])) {
            m_report.errors << reader.error();
            return false;
        }
        m_fileDates[size_t(file)] = reader.date();
        if (!readFile(file, reader))
            return false;
    }
    for (auto it = m_waiting.constBegin(); it != m_waiting.constEnd(); ++it)
        unmatched(it->file, it->line, it.key());
    m_waiting.clear();
    return true;
}

bool DatanormRun::readFile(int file, Reader &reader) {
    m_priceDate = QDate();
    Record record;
    qint64 records = 0;
    while (reader.next(record)) {
        ++records;
        take(record, file, reader);
    }
    if (!reader.error().isEmpty()) {
        m_report.errors << reader.error();
        return false;
    }
    for (const auto &[type, count] : reader.skipped())
        m_report.skipped[type] += count;
    m_report.files << QStringLiteral("%1: Version %2 vom %3, %4, Sätze: %5")
                          .arg(m_fileNames.at(file))
                          .arg(reader.version())
                          .arg(Day(reader.date()), CharsetName(reader.charset()),
                               QLocale(QLocale::German).toString(records));
    return true;
}

void DatanormRun::unmatched(int file, qint64 line, const QString &number) {
    if (m_report.unmatchedListed.size() < kListedLines)
        m_report.unmatchedListed << QStringLiteral("%1, Zeile %2: %3").arg(m_fileNames.at(file)).arg(line).arg(number);
    ++m_report.unmatched;
}

void DatanormRun::take(const Record &record, int file, const Reader &reader) {
    const auto line = qint32(std::min<qint64>(record.line, std::numeric_limits<qint32>::max()));
    switch (record.kind) {
    case Record::Kind::Group:
        m_deliveryDiscounts.insert(record.group, record.discounts[0]);
        return;
    case Record::Kind::PriceDate:
        m_priceDate = record.validFrom;
        return;
    case Record::Kind::Renumber: {
        const std::optional<quint32> pair = byNumber(record.oldNumber);
        if (!pair)
            return; // a number the merchant does not list
        m_renumbered.insert(record.number, *pair);
        m_renumberings.emplace_back(*pair, record.number);
        ++m_report.renumbered;
        return;
    }
    case Record::Kind::Extra: {
        // Version 4's EAN of an article that its number did not find.
        const auto waiting = m_waiting.find(record.number);
        if (waiting == m_waiting.end())
            return;
        const Offer found = waiting.value();
        m_waiting.erase(waiting);
        if (const std::optional<quint32> pair = byEan(record.ean)) {
            learn(*pair, record.number);
            offer(*pair, found);
        } else
            unmatched(found.file, found.line, record.number);
        return;
    }
    case Record::Kind::Delete:
    case Record::Kind::Article:
    case Record::Kind::Price:
        break;
    }
    std::optional<quint32> pair = byNumber(record.number);
    if (!pair && !record.ean.isEmpty() && (pair = byEan(record.ean)))
        learn(*pair, record.number);
    const bool deletion = record.kind == Record::Kind::Delete || record.flag == QLatin1Char('L');
    if (deletion) {
        if (!pair)
            return; // nothing of ours
        if (m_report.deletedListed.size() < kListedLines)
            m_report.deletedListed << QStringLiteral("%1, Zeile %2: %3 (Paar %4)")
                                          .arg(m_fileNames.at(file))
                                          .arg(line)
                                          .arg(record.number)
                                          .arg(m_pairs[*pair].id);
        ++m_report.deleted;
        return;
    }
    Offer next;
    next.file = file;
    next.line = line;
    next.fromPrice = record.kind == Record::Kind::Price;
    QDate from = reader.date();
    if (next.fromPrice && m_priceDate.isValid())
        from = m_priceDate;
    if (record.validFrom.isValid())
        from = record.validFrom;
    next.validFrom = qint32(from.isValid() ? from.toJulianDay() : m_request.today.toJulianDay());
    if (record.kind == Record::Kind::Article) {
        // In the server's form, as the artlief import stores it (the reader let no control character by).
        const auto known = m_perTexts.constFind({record.priceUnit, record.unit});
        if (known != m_perTexts.constEnd()) {
            next.unit = known.value();
        } else {
            QString expected;
            next.unit = m_units.index(ToServerText(PerText(record.priceUnit, record.unit), &expected).value_or(QString()));
            m_perTexts.insert({record.priceUnit, record.unit}, next.unit);
        }
    }
    switch (record.priceType) {
    case PriceType::OnRequest:
        if (pair)
            ++m_report.onRequest;
        return;
    case PriceType::Net:
        next.kind = 2;
        next.cents = record.cents;
        break;
    case PriceType::List:
    case PriceType::Factory: {
        next.kind = 1;
        next.cents = record.cents;
        bool own = false;
        bool named = false;
        for (const Discount &discount : record.discounts) {
            own = own || discount.type != 0 || !discount.group.isEmpty();
            named = named || (discount.type == 0 && !discount.group.isEmpty());
        }
        if (!own && record.group.isEmpty() && next.fromPrice) {
            next.group = kArticleGroup; // a price record without a group: its article record's
        } else if (own && !named) {
            // Its own discounts say the price; nothing to wait for.
            const std::optional<qint64> net = NetOfList(record.cents, record.discounts, QString(), GroupDiscounts());
            next.group = net ? -1 : -2;
            next.cents = net.value_or(record.cents);
        } else if (own) {
            next.ownDiscounts = true;
        } else {
            next.group = m_groups.index(record.group);
        }
        if (pair && next.ownDiscounts)
            m_ownDiscounts.insert(*pair, record.discounts);
        break;
    }
    }
    if (pair) {
        offer(*pair, next);
    } else if (reader.version() == 4 && record.kind == Record::Kind::Article) {
        m_waiting.insert(record.number, next); // its "B" may bring the EAN
    } else {
        unmatched(file, line, record.number);
    }
}

void DatanormRun::offer(quint32 pair, Offer next) {
    // A delivery may give a price that holds now and one from a later day (a price file's date): the
    // pair takes the first and keeps the second as its coming price.
    Offer &current = m_offers[pair];
    if (next.group == kArticleGroup)
        next.group = current.group >= 0 ? current.group : m_groups.index(QString());
    const bool later = next.validFrom > qint32(m_request.today.toJulianDay());
    Offer &held = later ? m_later[pair] : current;
    if (next.unit < 0)
        next.unit = held.kind != 0 ? held.unit : current.unit;
    if (held.kind != 0) {
        // A net price holds over a list price, a price record over an article record; else the later.
        if (next.kind != held.kind ? next.kind < held.kind : (held.fromPrice && !next.fromPrice))
            return;
    }
    held = next;
}

} // namespace datanorm

DatanormReport ImportDatanorm(kxserver::SqlConnection &connection, const DatanormRequest &request) {
    datanorm::DatanormRun run(connection, request);
    return run.run();
}

DatanormReport ImportDatanorm(const kxserver::ConnectTarget &target, const DatanormRequest &request) {
    DatanormReport refused;
    std::shared_ptr<kxserver::SqlConnection> connection;
    try {
        connection = kxserver::SqlConnection::open(target);
    } catch (const cacheapi::ServerError &failure) {
        refused.errors << failure.description();
        return refused;
    }
    if (!connection) {
        refused.errors << UnreachableDatabase(target);
        return refused;
    }
    return ImportDatanorm(*connection, request);
}

} // namespace kxexchange