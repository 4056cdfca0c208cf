#include "server/admin/DemoRows.h"

#include <QDate>

#include <algorithm>

namespace kxserver::demo {

namespace {

QStringList columns(std::initializer_list<const char *> names) {
    QStringList list;
    for (const char *name : names)
        list << QString::fromLatin1(name);
    return list;
}

QString flag(bool on) {
    return on ? QStringLiteral("J") : QStringLiteral("N");
}

} // namespace

std::vector<qint64> companyOneSuppliers() {
    std::vector<qint64> ids;
    for (const SupplierDef &supplier : suppliers())
        if (supplier.firma == 1)
            ids.push_back(supplier.id);
    return ids;
}

Writer::Writer(QSqlDatabase &db)
    : m_suppliers(db, QStringLiteral("lieferant"), columns({"id", "firma", "liefnr", "name"})),
      m_runs(db, QStringLiteral("upd_run"), columns({"id", "firma", "nr", "bez", "datum"})),
      m_articles(db, QStringLiteral("artikel"), columns({"id", "firma", "artnr", "bez", "haupt_lief"})),
      m_pairs(db, QStringLiteral("artlief"),
              columns({"id", "artikel", "lieferant", "ek_cent", "pe", "le_einkauf", "aktiv"})),
      m_runArticles(db, QStringLiteral("upd_artikel"), columns({"run", "artnr", "artikel", "velka_lief"})) {}

// Suppliers and runs are few: they wait in their inserts until the next flush.
void Writer::supplier(qint64 id, int firma, int nr, const QString &name) {
    m_suppliers.number(id).number(firma).number(nr).text(name).endRow();
}

void Writer::run(qint64 id, int firma, int nr, const QString &description, int date) {
    m_runs.number(id).number(firma).number(nr).text(description).number(date).endRow();
}

void Writer::article(qint64 id, int firma, const QString &artnr, const QString &description, qint64 mainSupplier) {
    m_articleRows.push_back({id, firma, artnr, description, mainSupplier});
}

void Writer::pair(qint64 article, qint64 supplier, int cents, const QString &unit,
                  const std::optional<QString> &lastPurchase, bool active) {
    m_pairRows.push_back({m_nextPair++, article, supplier, cents, unit, lastPurchase, active});
}

void Writer::runArticle(qint64 run, const QString &artnr, qint64 article, qint64 velka) {
    m_runArticleRows.push_back({run, artnr, article, velka});
    if (m_articleRows.size() >= kArticlesAtOnce)
        flush();
}

void Writer::flush() {
    m_suppliers.finish();
    m_runs.finish();
    for (const ArticleRow &row : m_articleRows)
        m_articles.number(row.id)
            .number(row.firma)
            .text(row.artnr)
            .text(row.description)
            .number(row.mainSupplier)
            .endRow();
    m_articles.finish();
    for (const PairRow &row : m_pairRows) {
        m_pairs.number(row.id).number(row.article).number(row.supplier).number(row.cents).text(row.unit);
        m_pairs.textOrNull(row.lastPurchase).text(flag(row.active)).endRow();
    }
    m_pairs.finish();
    for (const RunArticleRow &row : m_runArticleRows) {
        m_runArticles.number(row.run).text(row.artnr).number(row.article);
        m_runArticles.numberOrNull(row.velka ? std::optional<qint64>(row.velka) : std::nullopt).endRow();
    }
    m_runArticles.finish();
    m_articleRows.clear();
    m_pairRows.clear();
    m_runArticleRows.clear();
}

void addArticle(Writer &writer, qint64 id, int firma, const QString &artnr, const QString &description,
                const std::vector<PairDef> &pairs) {
    writer.article(id, firma, artnr, description, pairs.front().supplier);
    for (const PairDef &pair : pairs)
        writer.pair(id, pair.supplier, pair.cents, QString::fromLatin1(pair.unit),
                    pair.lastPurchase ? std::optional<QString>(QString::fromLatin1(pair.lastPurchase)) : std::nullopt,
                    pair.active);
}

qint64 addGeneratedArticle(Writer &writer, Rng &rng, qint64 id, const QString &artnr, const QString &description,
                           const Family &family, const std::vector<qint64> &pool, int supplierCount) {
    std::vector<qint64> chosen;
    for (int preferred : family.preferred)
        if (rng.chance(70))
            chosen.push_back(preferred);
    while (static_cast<int>(chosen.size()) < supplierCount) {
        const qint64 candidate = pool.at(rng.next() % pool.size());
        if (std::find(chosen.begin(), chosen.end(), candidate) == chosen.end())
            chosen.push_back(candidate);
    }
    chosen.resize(supplierCount);
    for (int i = static_cast<int>(chosen.size()) - 1; i > 0; --i)
        std::swap(chosen[i], chosen[rng.next() % (i + 1)]);

    const int baseCents = rng.range(family.lowCents, family.highCents);
    writer.article(id, 1, artnr, description, chosen.front());
    std::vector<qint64> activeOthers;
    for (size_t i = 0; i < chosen.size(); ++i) {
        const bool active = i == 0 || !rng.chance(12);
        int cents = baseCents * rng.range(90, 115) / 100;
        QString unit = QString::fromLatin1(family.unit);
        if (rng.chance(15)) {
            unit = QString::fromLatin1(family.altUnit);
            cents = static_cast<int>(cents * family.altFactor + 0.5);
        }
        cents = std::max(cents, 1);
        const std::optional<QString> lastPurchase =
            rng.chance(15) ? std::nullopt
                           : std::optional<QString>(QDate(2023, 1, 2).addDays(rng.range(0, 697)).toString(Qt::ISODate));
        writer.pair(id, chosen[i], cents, unit, lastPurchase, active);
        if (i > 0 && active)
            activeOthers.push_back(chosen[i]);
    }
    const int pick = rng.range(0, 99);
    if (pick < 55 || (pick < 85 && activeOthers.empty()))
        return chosen.front();
    if (pick < 85)
        return activeOthers.at(rng.next() % activeOthers.size());
    return 0;
}

} // namespace kxserver::demo
