#pragma once

// The working state of one DATANORM delivery (DatanormImport.h): reading and matching in
// DatanormImport.cpp, deciding and writing in DatanormWrite.cpp.

#include "server/exchange/DatanormImport.h"
#include "server/exchange/DatanormPrices.h"
#include "server/exchange/TextTable.h"
#include "session/ServerError.h"

#include <QHash>
#include <QPair>
#include <QStringList>

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <algorithm>
#include <utility>
#include <vector>

namespace kxexchange::datanorm {



// Offer::group of a price record that names no group: the group of its article record.
constexpr qint32 kArticleGroup = -3;

// A pair of the supplier, small: a delivery may name a million of them.
struct Pair {
    qint64 id = 0;
    qint64 article = 0;
    qint64 cents = 0;
    qint32 unit = 0; // index into the run's units
};

// The best price a delivery gives a pair so far. A list price waits for the discounts until every
// file is read (a discount file may come last).
struct Offer {
    qint64 cents = 0;      // a net price, or a list price
    qint32 group = -1;     // a list price without discounts of its own: its discount group
    qint32 unit = -1;      // -1: the unit the pair has (or the one an earlier record of the delivery gave)
    qint32 validFrom = 0;  // Julian day
    qint32 file = 0;
    qint32 line = 0;
    quint8 kind = 0;       // 0 none, 1 list, 2 net
    bool fromPrice = false; // a price record ("P"), which holds over an article record
    bool ownDiscounts = false; // a list price with discounts of its own, some naming a group
};

inline QString Day(const QDate &date) {
    return date.toString(QStringLiteral("dd.MM.yyyy"));
}

// Keys to pairs, compact: a million keys take their bytes, one after the other, and 12 bytes each.
class KeyIndex {
public:
    void add(QByteArrayView key, quint32 pair) {
        m_entries.push_back({quint32(m_bytes.size()), quint32(key.size()), pair});
        m_bytes.append(key.data(), size_t(key.size()));
    }
    void reserve(size_t keys) {
        m_entries.reserve(keys);
        m_bytes.reserve(keys * 8);
    }
    // Once every key is added.
    void sort() {
        const auto less = [this](const Entry &a, const Entry &b) { return view(a) < view(b); };
        if (!std::is_sorted(m_entries.begin(), m_entries.end(), less))
            std::sort(m_entries.begin(), m_entries.end(), less);
    }
    std::optional<quint32> find(const QString &key) const {
        if (key.isEmpty())
            return std::nullopt;
        const std::string wanted = key.toStdString();
        const auto at = std::lower_bound(m_entries.begin(), m_entries.end(), std::string_view(wanted),
                                         [this](const Entry &e, std::string_view k) { return view(e) < k; });
        if (at == m_entries.end() || view(*at) != wanted)
            return std::nullopt;
        return at->pair;
    }

private:
    struct Entry {
        quint32 offset;
        quint32 length;
        quint32 pair;
    };
    std::string_view view(const Entry &e) const { return std::string_view(m_bytes).substr(e.offset, e.length); }
    std::string m_bytes;
    std::vector<Entry> m_entries;
};

class DatanormRun {
public:
    DatanormRun(kxserver::SqlConnection &connection, const DatanormRequest &request)
        : m_db(connection), m_request(request) {}

    DatanormReport run() {
        try {
            if (readAll() && m_report.errors.isEmpty()) {
                resolve();
                if (!m_request.dryRun)
                    write();
            }
        } catch (const cacheapi::ServerError &failure) {
            m_db.rollbackUnit();
            m_report.errors << QStringLiteral("Datenbank: %1").arg(failure.description());
        }
        m_report.ok = m_report.errors.isEmpty();
        return m_report;
    }

private:
    bool readAll();
    bool loadPairs();
    bool readFile(int file, Reader &reader);
    void take(const Record &record, int file, const Reader &reader);
    std::optional<quint32> byNumber(const QString &number) const;
    std::optional<quint32> byEan(const QString &ean) const;
    void offer(quint32 pair, Offer next);
    // A pair found by its EAN takes the catalog's number: the delivery's later records (its prices)
    // find it by that number, and so do later deliveries.
    void learn(quint32 pair, const QString &number) {
        m_renumbered.insert(number, pair);
        m_renumberings.emplace_back(pair, number);
        ++m_report.numbersLearned;
    }
    void unmatched(int file, qint64 line, const QString &number);
    void resolve();
    void write();
    void writePrices();

    kxserver::SqlConnection &m_db;
    const DatanormRequest &m_request;
    DatanormReport m_report;
    qint64 m_supplierId = 0;
    std::vector<Pair> m_pairs;
    KeyIndex m_numbers; // the supplier's article number -> pair
    KeyIndex m_eans;    // the article's EAN -> pair
    QHash<QString, quint32> m_renumbered;                    // new numbers of this delivery
    std::vector<std::pair<quint32, QString>> m_renumberings; // pair, its new number
    std::vector<Offer> m_offers;                             // by pair: the price that holds now
    QHash<quint32, Offer> m_later;                           // by pair: a price from a later day
    QHash<quint32, std::array<Discount, 3>> m_ownDiscounts;  // of the offers that name a group in them
    QHash<QString, Offer> m_waiting; // version 4 articles not found by number, until their "B" gives the EAN
    TextTable m_units;
    QHash<QPair<qint64, QString>, qint32> m_perTexts; // an article record's price unit and unit -> its "per"
    TextTable m_groups;
    GroupDiscounts m_tableDiscounts;    // the merchant's own
    GroupDiscounts m_deliveryDiscounts; // the delivery's "R" records
    QStringList m_fileNames;
    std::vector<QDate> m_fileDates;
    QDate m_priceDate; // a version 4 price file's "C" date, for the prices after it
    // What resolve() decided: the pairs whose price changes now, and those with a coming one.
    struct Decided {
        qint64 cents;
        quint32 pair;
        qint32 unit;
        qint32 validFrom;
        qint32 file;
    };
    std::vector<Decided> m_now;
    std::vector<Decided> m_coming;
    // The net price of an offer, or empty (counted and listed as a list price without discount).
    std::optional<qint64> netOf(quint32 pair, const Offer &offer);
};

} // namespace kxexchange::datanorm
