#include "server/exchange/DatanormRun.h"

#include "server/db/BulkInsert.h"
#include "server/db/Dialect.h"
#include "server/exchange/Importer.h"
#include "server/exchange/PriceHistory.h"
#include "server/lists/PriceNews.h"

#include <algorithm>

namespace kxexchange::datanorm {

std::optional<qint64> DatanormRun::netOf(quint32 pair, const Offer &o) {
    std::optional<qint64> cents = o.cents;
    if (o.kind == 1 && (o.group != -1 || o.ownDiscounts)) {
        // The merchant's table holds over the delivery's groups.
        GroupDiscounts groups = m_deliveryDiscounts;
        for (auto it = m_tableDiscounts.constBegin(); it != m_tableDiscounts.constEnd(); ++it)
            groups.insert(it.key(), it.value());
        cents = o.group == -2     ? std::nullopt
                : o.ownDiscounts ? NetOfList(o.cents, m_ownDiscounts.value(pair), QString(), groups)
                                 : NetOfList(o.cents, {}, m_groups.at(o.group), groups);
    }
    if (!cents) {
        if (m_report.withoutDiscountListed.size() < kListedLines)
            m_report.withoutDiscountListed << QStringLiteral("%1, Zeile %2").arg(m_fileNames.at(o.file)).arg(o.line);
        ++m_report.withoutDiscount;
    }
    return cents;
}

void DatanormRun::resolve() {
    std::vector<std::pair<double, size_t>> rises;
    for (quint32 i = 0; i < m_offers.size(); ++i) {
        const Offer &o = m_offers[i];
        if (o.kind == 0)
            continue;
        const std::optional<qint64> cents = netOf(i, o);
        if (!cents)
            continue;
        const Pair &pair = m_pairs[i];
        const qint32 unit = o.unit >= 0 ? o.unit : pair.unit;
        if (*cents == pair.cents && unit == pair.unit) {
            ++m_report.unchanged;
            continue;
        }
        if (*cents > pair.cents) {
            ++m_report.raised;
            if (pair.cents > 0)
                rises.emplace_back(double(*cents - pair.cents) / double(pair.cents), m_now.size());
        } else if (*cents < pair.cents) {
            ++m_report.lowered;
        } else {
            ++m_report.unchanged;
        }
        if (unit != pair.unit)
            ++m_report.unitsChanged;
        m_now.push_back({*cents, i, unit, o.validFrom, o.file});
    }
    for (auto it = m_later.constBegin(); it != m_later.constEnd(); ++it) {
        if (const std::optional<qint64> cents = netOf(it.key(), it.value())) {
            ++m_report.coming;
            m_coming.push_back({*cents, it.key(), it->unit >= 0 ? it->unit : m_pairs[it.key()].unit, it->validFrom,
                                it->file});
        }
    }
    std::sort(m_coming.begin(), m_coming.end(), [](const Decided &a, const Decided &b) { return a.pair < b.pair; });
    std::sort(rises.begin(), rises.end(), [](const auto &a, const auto &b) { return a.first > b.first; });
    rises.resize(std::min<size_t>(rises.size(), 10));
    for (const auto &[share, at] : rises) {
        const Decided &d = m_now[at];
        QSqlQuery names = m_db.run(QStringLiteral("SELECT a.artnr, al.lief_artnr FROM artlief al JOIN artikel a ON"
                                                  " a.id = al.artikel WHERE al.id = ?"),
                                   {m_pairs[d.pair].id});
        PriceRise rise;
        if (m_db.next(names)) {
            rise.article = names.value(0).toString();
            rise.catalogNumber = names.value(1).toString();
        }
        rise.oldCents = m_pairs[d.pair].cents;
        rise.newCents = d.cents;
        m_report.largestRises.push_back(rise);
    }
}

void DatanormRun::write() {
    m_db.beginUnit();
    LockCompanyLists(m_db, m_request.firma);
    std::vector<qint64> articles;
    m_report.dueApplied = ApplyDuePrices(m_db, m_request.today, articles);
    const QString recorder = PriceRecorder(m_db);
    const QString now = RecordedNow();

    writePrices();
    kxserver::BulkInsert history(m_db, QStringLiteral("preis_hist"),
                                 {QStringLiteral("artlief"), QStringLiteral("ek_alt"), QStringLiteral("pe_alt"),
                                  QStringLiteral("ek_neu"), QStringLiteral("pe_neu"), QStringLiteral("gueltig_ab"),
                                  QStringLiteral("offen"), QStringLiteral("quelle"), QStringLiteral("erf_zeit"),
                                  QStringLiteral("erf_pers")});
    // A million rows share a handful of sources and days: each written once.
    QStringList sources;
    for (int file = 0; file < m_fileNames.size(); ++file)
        sources << QStringLiteral("%1 vom %2").arg(m_fileNames.at(file), Day(m_fileDates.at(size_t(file))));
    const auto source = [&](const Decided &d) -> const QString & { return sources.at(d.file); };
    qint32 shownDay = 0;
    QString shownDayText;
    const auto day = [&](const Decided &d) -> const QString & {
        if (d.validFrom != shownDay) {
            shownDay = d.validFrom;
            shownDayText = QDate::fromJulianDay(d.validFrom).toString(Qt::ISODate);
        }
        return shownDayText;
    };
    for (const Decided &d : m_now) {
        const Pair &pair = m_pairs[d.pair];
        history.number(pair.id).number(pair.cents).text(m_units.at(pair.unit)).number(d.cents);
        history.text(m_units.at(d.unit)).text(day(d)).number(0).text(source(d)).text(now).text(recorder);
        history.endRow();
        articles.push_back(pair.article);
    }
    history.finish();
    if (!m_coming.empty()) {
        // A coming price of this delivery replaces those of earlier ones from its day on.
        QSqlQuery replaced = m_db.prepare(QStringLiteral("DELETE FROM preis_hist WHERE artlief = ? AND offen = 1"
                                                         " AND gueltig_ab >= ?"));
        for (const Decided &d : m_coming)
            m_db.execute(replaced, {m_pairs[d.pair].id, day(d)});
        for (const Decided &d : m_coming) {
            history.number(m_pairs[d.pair].id).null().null().number(d.cents).text(m_units.at(d.unit));
            history.text(day(d)).number(1).text(source(d)).text(now).text(recorder);
            history.endRow();
        }
        history.finish();
    }
    if (!m_renumberings.empty()) {
        QSqlQuery renumber = m_db.prepare(QStringLiteral("UPDATE artlief SET lief_artnr = ? WHERE id = ?"));
        for (const auto &[i, number] : m_renumberings)
            m_db.execute(renumber, {number, m_pairs[i].id});
    }
    kxserver::lists::TellPriceNews(m_db, articles);
    m_db.commitUnit();
}

void DatanormRun::writePrices() {
    if (m_now.empty())
        return;
    // The new prices into a temporary table by the one bulk write (SQLite's own binding, COPY), then
    // one UPDATE joined to it: a statement per pair would cost a round trip (or a driver's call) each.
    const bool sqlite = m_db.backend() == kxserver::Backend::Sqlite;
    bool temporary = sqlite;
    if (!sqlite) {
        QSqlQuery allowed = m_db.run(QStringLiteral("SELECT has_database_privilege(current_database(), 'TEMP')"));
        temporary = m_db.next(allowed) && allowed.value(0).toBool();
    }
    if (temporary) {
        m_db.run(sqlite ? QStringLiteral("CREATE TEMP TABLE kx_neue_preise (id INTEGER PRIMARY KEY, ek BIGINT NOT NULL,"
                                         " pe TEXT NOT NULL)")
                        : QStringLiteral("CREATE TEMP TABLE kx_neue_preise (id BIGINT NOT NULL, ek BIGINT NOT NULL,"
                                         " pe TEXT NOT NULL) ON COMMIT DROP"));
        kxserver::BulkInsert prices(m_db, QStringLiteral("kx_neue_preise"),
                                    {QStringLiteral("id"), QStringLiteral("ek"), QStringLiteral("pe")});
        for (const Decided &d : m_now)
            prices.number(m_pairs[d.pair].id).number(d.cents).text(m_units.at(d.unit)).endRow();
        prices.finish();
        if (!sqlite)
            m_db.run(QStringLiteral("ANALYZE kx_neue_preise"));
        m_db.run(QStringLiteral("UPDATE artlief SET ek_cent = n.ek, pe = n.pe FROM kx_neue_preise n"
                                " WHERE artlief.id = n.id"));
        if (sqlite)
            m_db.run(QStringLiteral("DROP TABLE temp.kx_neue_preise"));
        return;
    }
    // A login without temporary tables: a statement per 50,000 pairs, their values as three arrays.
    constexpr size_t kPart = 50000;
    const QString sql = QStringLiteral("UPDATE artlief AS al SET ek_cent = n.ek, pe = n.pe FROM unnest(CAST(? AS"
                                       " bigint[]), CAST(? AS bigint[]), CAST(? AS text[])) AS n(id, ek, pe)"
                                       " WHERE al.id = n.id");
    for (size_t start = 0; start < m_now.size(); start += kPart) {
        std::vector<qint64> ids;
        std::vector<qint64> cents;
        QStringList units;
        for (size_t k = start; k < std::min(m_now.size(), start + kPart); ++k) {
            ids.push_back(m_pairs[m_now[k].pair].id);
            cents.push_back(m_now[k].cents);
            units << m_units.at(m_now[k].unit);
        }
        m_db.run(sql, {kxserver::IdListValue(kxserver::Backend::Postgres, ids),
                       kxserver::IdListValue(kxserver::Backend::Postgres, cents),
                       kxserver::TextListValue(kxserver::Backend::Postgres, units)});
    }
}

} // namespace kxexchange::datanorm
