#include "server/admin/DemoRows.h"

#include "server/admin/DemoData.h"
#include "server/admin/KorvexDb.h"

// The generated run for measurements: as many articles as asked, of the demo's families, with the
// demo's suppliers and fifty more.
namespace kxserver::demo {

void addBenchmark(Writer &writer, Rng &rng, int count) {
    // Fifty more suppliers, all carried by the first benchmark article.
    std::vector<qint64> benchmarkSuppliers;
    for (int i = 0; i < 50; ++i) {
        const qint64 id = 101 + i;
        writer.supplier(id, 1, 71001 + i, QStringLiteral("Gro~handel Nr. %1 GmbH").arg(i + 1));
        benchmarkSuppliers.push_back(id);
    }
    writer.run(kBenchmarkRun, 1, kBenchmarkRun, QStringLiteral("Benchmark mit %1 Artikeln").arg(count), 1241231);

    std::vector<qint64> pool = benchmarkSuppliers;
    for (const qint64 id : companyOneSuppliers())
        pool.push_back(id);

    const qint64 firstId = 1000000;
    std::vector<PairDef> fifty;
    for (int i = 0; i < 50; ++i)
        fifty.push_back({benchmarkSuppliers[i], 1000 + i * 7, "Stk", i % 5 == 0 ? nullptr : "2024-06-01", true});
    addArticle(writer, firstId, 1, QString::fromLatin1(kBenchmarkFirstArticle),
               QStringLiteral("Sammelartikel mit 50 Lieferanten"), fifty);
    writer.runArticle(kBenchmarkRun, QString::fromLatin1(kBenchmarkFirstArticle), firstId, benchmarkSuppliers[1]);

    const std::vector<Family> &all = families();
    for (int i = 1; i < count; ++i) {
        const Family &family = all.at(rng.next() % all.size());
        const char *variant = family.variants.at(rng.next() % family.variants.size());
        const qint64 id = firstId + i;
        const QString artnr = QString::number(5000000 + i);
        const QString description =
            QStringLiteral("%1 %2 (B%3)").arg(QLatin1String(family.base), QLatin1String(variant)).arg(i);
        const qint64 velka = addGeneratedArticle(writer, rng, id, artnr, description, family, pool, rng.range(2, 8));
        writer.runArticle(kBenchmarkRun, artnr, id, velka);
    }
}

} // namespace kxserver::demo
