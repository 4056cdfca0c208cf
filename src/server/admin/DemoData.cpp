#include "server/admin/DemoData.h"

#include "server/admin/DemoRows.h"
#include "server/db/PasswordHash.h"

#include <algorithm>
#include <vector>

// The demo merchant: its clerks, departments, suppliers, a few hundred articles and update runs 1
// to 4, and company 2's small branch business.
namespace kxserver::demo {

namespace {

struct ArticleRecord {
    qint64 id;
    QString artnr;
    qint64 velka; // 0: no proposal
    int family;   // -1: hand-written
};

// A row of a personnel table: the company, then texts.
void companyRow(BulkInsert &insert, int firma, std::initializer_list<QString> texts) {
    insert.number(firma);
    for (const QString &text : texts)
        insert.text(text);
    insert.endRow();
}

QString demoPassword(const char *plain) {
    return HashPassword(QString::fromLatin1(plain), kDemoPasswordCost);
}

void addPersonnel(QSqlDatabase &db) {
    BulkInsert users(db, QStringLiteral("pers_edv"),
                     {QStringLiteral("firma"), QStringLiteral("code"), QStringLiteral("passwort"),
                      QStringLiteral("aktiv"), QStringLiteral("pname"), QStringLiteral("abtnr"), QStringLiteral("dw"),
                      QStringLiteral("bergrp"), QStringLiteral("pnr")});
    // Logins for trying every path of the login: the password is checked as written. Stored as
    // hashes like every password, but at kDemoPasswordCost: these passwords are printed in the
    // README anyway, and the tests build many demo databases.
    companyRow(users, 1,
               {QStringLiteral("DEMO"), demoPassword("demo"), QStringLiteral("J"), QStringLiteral("J}rgen M}ller"),
                QStringLiteral("10"), QStringLiteral("214"), QStringLiteral("EK1"), QStringLiteral("1001")});
    companyRow(users, 1,
               {QStringLiteral("KOLLEGE"), demoPassword("kollege"), QStringLiteral("J"), QStringLiteral("Sabine Wei~"),
                QStringLiteral("10"), QStringLiteral("215"), QStringLiteral("EK1"), QStringLiteral("1002")});
    companyRow(users, 1,
               {QStringLiteral("INAKTIV"), demoPassword("demo"), QStringLiteral("N"),
                QStringLiteral("Otto \\lschl{ger"), QStringLiteral("10"), QStringLiteral("216"), QStringLiteral("EK2"),
                QStringLiteral("1003")});
    companyRow(users, 1,
               {QStringLiteral("OHNEABT"), demoPassword("demo"), QStringLiteral("J"), QStringLiteral("Karl B{r"),
                QStringLiteral("99"), QStringLiteral("217"), QStringLiteral("EK2"), QStringLiteral("1004")});
    companyRow(users, 1,
               {QStringLiteral("OHNEBASIS"), demoPassword("demo"), QStringLiteral("J"), QStringLiteral("Erika Sch|n"),
                QStringLiteral("20"), QStringLiteral("218"), QStringLiteral("VK"), QStringLiteral("1999")});
    companyRow(users, 2,
               {QStringLiteral("DEMO"), demoPassword("demo2"), QStringLiteral("J"), QStringLiteral("Hanna K}ster"),
                QStringLiteral("10"), QStringLiteral("301"), QStringLiteral("EK1"), QStringLiteral("2001")});
    users.finish();

    BulkInsert departments(db, QStringLiteral("pers_abt"),
                           {QStringLiteral("firma"), QStringLiteral("abtnr"), QStringLiteral("abtbez")});
    companyRow(departments, 1, {QStringLiteral("10"), QStringLiteral("Einkauf Hochbau / Geb{udeh}lle")});
    companyRow(departments, 1, {QStringLiteral("20"), QStringLiteral("Verkauf Au~endienst")});
    companyRow(departments, 2, {QStringLiteral("10"), QStringLiteral("Einkauf K}ste")});
    departments.finish();

    BulkInsert bases(db, QStringLiteral("pers_basis"),
                     {QStringLiteral("firma"), QStringLiteral("pnr"), QStringLiteral("fax"), QStringLiteral("email")});
    companyRow(
        bases, 1,
        {QStringLiteral("1001"), QStringLiteral("0231 98765-19"), QStringLiteral("j.mueller@baustoffe-demo.example")});
    companyRow(
        bases, 1,
        {QStringLiteral("1002"), QStringLiteral("0231 98765-19"), QStringLiteral("s.weiss@baustoffe-demo.example")});
    companyRow(bases, 1,
               {QStringLiteral("1003"), QStringLiteral("0231 98765-29"),
                QStringLiteral("o.oelschlaeger@baustoffe-demo.example")});
    companyRow(
        bases, 1,
        {QStringLiteral("1004"), QStringLiteral("0231 98765-29"), QStringLiteral("B{r-Karl@baustoffe-demo.example")});
    companyRow(
        bases, 2,
        {QStringLiteral("2001"), QStringLiteral("0471 1234-5"), QStringLiteral("h.kuester@baustoffe-demo.example")});
    bases.finish();
}

void fill(QSqlDatabase &db, const DbContent &content) {
    addPersonnel(db);
    Writer writer(db);
    for (const SupplierDef &supplier : suppliers())
        writer.supplier(supplier.id, supplier.firma, supplier.nr, QString::fromLatin1(supplier.name));

    // Three hand-written articles that tests and the documentation name.
    addArticle(writer, 1, 1, QStringLiteral("100001"), QStringLiteral("Portlandzement CEM I 42,5 R 25 kg Sack"),
               {{1, 485, "Sack", "2024-02-12", true},
                {6, 535, "Sack", "2023-11-20", false},
                {12, 510, "Sack", nullptr, true},
                {15, 479, "Sack", "2024-09-03", true}});
    addArticle(writer, 2, 1, QStringLiteral("100002"), QStringLiteral("Kalksandstein KS L-R 2DF 240x115x113"),
               {{2, 123450, "1000 Stk", "2024-05-06", true}, {12, 128900, "1000 Stk", "2024-03-28", true}});
    addArticle(writer, 3, 1, QStringLiteral("100003"), QStringLiteral("Dachlatte 30x50 mm impr{gniert 4,0 m"),
               {{3, 89, "lfm", "2024-04-15", true}, {5, 9500, "100 lfm", nullptr, true}});
    std::vector<ArticleRecord> records{{1, QStringLiteral("100001"), 15, -1},
                                       {2, QStringLiteral("100002"), 2, -1},
                                       {3, QStringLiteral("100003"), 0, -1}};

    Rng rng(20240304);
    const std::vector<qint64> pool = companyOneSuppliers();
    const std::vector<Family> &all = families();
    qint64 nextArticle = 4;
    for (size_t f = 0; f < all.size(); ++f) {
        for (const char *variant : all[f].variants) {
            const qint64 id = nextArticle++;
            const QString artnr = QString::number(100000 + id);
            const QString description = QLatin1String(all[f].base) + QLatin1Char(' ') + QLatin1String(variant);
            const qint64 velka =
                addGeneratedArticle(writer, rng, id, artnr, description, all[f], pool, rng.range(2, 8));
            records.push_back({id, artnr, velka, static_cast<int>(f)});
        }
    }

    // Company 2: a small branch business with an article number that company 1 uses as well.
    addArticle(writer, 900001, 2, QStringLiteral("100001"), QStringLiteral("Wandfliese wei~ 30x60 (Firma 2)"),
               {{201, 2490, "qm", "2024-08-01", true}, {202, 2590, "qm", nullptr, true}});
    addArticle(writer, 900002, 2, QStringLiteral("200002"), QStringLiteral("Bodenfliese grau 60x60 (Firma 2)"),
               {{202, 3490, "qm", "2024-07-15", true}, {201, 3390, "qm", "2024-02-01", false}});

    // Update runs: 1 and 2 by topic, 3 with every article, 4 without any; company 2 has its run 1.
    writer.run(1, 1, 1, QStringLiteral("Fr}hjahrsabgleich Dach und Holz"), 1240304);
    writer.run(2, 1, 2, QStringLiteral("VELKA-Abgleich Zement, M|rtel, Putz, Kalksandstein"), 1240617);
    writer.run(3, 1, 3, QStringLiteral("Jahresabgleich Gesamtsortiment"), 1241125);
    writer.run(4, 1, 4, QStringLiteral("Leeres Update ohne Artikel"), 1241202);
    writer.run(201, 2, 1, QStringLiteral("Fliesenabgleich K}ste"), 1240901);
    for (const ArticleRecord &record : records) {
        const std::vector<int> runs = record.family >= 0 ? all[record.family].runs : std::vector<int>{};
        const bool inRun1 = record.id == 3 || std::find(runs.begin(), runs.end(), 1) != runs.end();
        const bool inRun2 = record.id == 1 || record.id == 2 || std::find(runs.begin(), runs.end(), 2) != runs.end();
        if (inRun1)
            writer.runArticle(1, record.artnr, record.id, record.velka);
        if (inRun2)
            writer.runArticle(2, record.artnr, record.id, record.velka);
        writer.runArticle(3, record.artnr, record.id, record.velka);
    }
    writer.runArticle(201, QStringLiteral("100001"), 900001, 201);
    writer.runArticle(201, QStringLiteral("200002"), 900002, 0);

    if (content.benchmarkArticles > 0)
        addBenchmark(writer, rng, content.benchmarkArticles);
    writer.flush();
}

} // namespace

} // namespace kxserver::demo

namespace kxserver {

void FillDemoData(QSqlDatabase &db, const DbContent &content) {
    demo::fill(db, content);
}

} // namespace kxserver
