#pragma once
// What the demo merchant's data and the generated benchmark run are made of, and how their rows
// reach the tables (for the Demo*.cpp files alone).

#include "server/db/BulkInsert.h"

#include <QSqlDatabase>
#include <QString>

#include <optional>
#include <vector>

namespace kxserver::demo {

// A small deterministic generator (xorshift64): the same demo data on every machine and every run,
// so tests and documentation can name articles and suppliers.
class Rng {
public:
    explicit Rng(quint64 seed) : m_state(seed ? seed : 88172645463325252ULL) {}
    quint32 next() {
        m_state ^= m_state << 13;
        m_state ^= m_state >> 7;
        m_state ^= m_state << 17;
        return static_cast<quint32>(m_state >> 32);
    }
    int range(int low, int high) { return low + static_cast<int>(next() % static_cast<quint32>(high - low + 1)); }
    bool chance(int percent) { return static_cast<int>(next() % 100) < percent; }

private:
    quint64 m_state;
};

struct SupplierDef {
    qint64 id;
    int firma;
    int nr;
    const char *name;
};

struct Family {
    const char *base;
    const char *unit;
    const char *altUnit; // a unit some suppliers quote in instead
    double altFactor;    // price of one alt unit in units
    int lowCents;
    int highCents;
    std::vector<int> preferred; // supplier ids that usually carry the family
    std::vector<const char *> variants;
    std::vector<int> runs; // demo runs (besides run 3, which holds everything)
};

// The demo merchant's suppliers of both companies, and the families of its articles.
const std::vector<SupplierDef> &suppliers();
const std::vector<Family> &families();
// The ids of company 1's suppliers.
std::vector<qint64> companyOneSuppliers();

struct PairDef {
    qint64 supplier;
    int cents;
    const char *unit;
    const char *lastPurchase; // ISO date or nullptr
    bool active;
};

// The rows of the articles, their suppliers (artlief) and their places in update runs, written in
// the order of the foreign keys between these tables. One COPY runs at a time on a PostgreSQL
// connection, so the rows of a few thousand articles are gathered and each table's share goes out
// whole before the next one's. The suppliers and runs they name are written before (supplier(),
// run()).
class Writer {
public:
    explicit Writer(QSqlDatabase &db);

    void supplier(qint64 id, int firma, int nr, const QString &name);
    void run(qint64 id, int firma, int nr, const QString &description, int date);
    void article(qint64 id, int firma, const QString &artnr, const QString &description, qint64 mainSupplier);
    void pair(qint64 article, qint64 supplier, int cents, const QString &unit,
              const std::optional<QString> &lastPurchase, bool active);
    // velka 0: the purchasing association proposes nobody.
    void runArticle(qint64 run, const QString &artnr, qint64 article, qint64 velka);
    // Writes every row gathered.
    void flush();

private:
    struct ArticleRow {
        qint64 id;
        int firma;
        QString artnr;
        QString description;
        qint64 mainSupplier;
    };
    struct PairRow {
        qint64 id;
        qint64 article;
        qint64 supplier;
        int cents;
        QString unit;
        std::optional<QString> lastPurchase;
        bool active;
    };
    struct RunArticleRow {
        qint64 run;
        QString artnr;
        qint64 article;
        qint64 velka;
    };
    static constexpr size_t kArticlesAtOnce = 10000;

    BulkInsert m_suppliers;
    BulkInsert m_runs;
    BulkInsert m_articles;
    BulkInsert m_pairs;
    BulkInsert m_runArticles;
    std::vector<ArticleRow> m_articleRows;
    std::vector<PairRow> m_pairRows;
    std::vector<RunArticleRow> m_runArticleRows;
    qint64 m_nextPair = 1;
};

// A hand-written article with its suppliers, the first its main supplier.
void addArticle(Writer &writer, qint64 id, int firma, const QString &artnr, const QString &description,
                const std::vector<PairDef> &pairs);

// A generated article of company 1: 2 to 8 suppliers (exactly `supplierCount`) from the family's
// preferred ones and `pool`; the first is the main supplier and always active. Returns the
// purchasing association's proposal (0 for none).
qint64 addGeneratedArticle(Writer &writer, Rng &rng, qint64 id, const QString &artnr, const QString &description,
                           const Family &family, const std::vector<qint64> &pool, int supplierCount);

// The benchmark run kBenchmarkRun with `count` generated articles, and fifty more suppliers.
void addBenchmark(Writer &writer, Rng &rng, int count);

} // namespace kxserver::demo
