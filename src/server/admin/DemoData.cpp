#include "server/admin/DemoData.h"

#include "server/db/PasswordHash.h"
#include "server/db/PgLiteral.h"
#include "server/db/TypedNulls.h"

#include <QDate>
#include <QMetaType>
#include <QSqlError>

#include <algorithm>
#include <vector>

namespace kxserver {

// ---- Batch inserts ----------------------------------------------------------------------------

BatchInsert::BatchInsert(QSqlDatabase db, const QString &table, const QStringList &columns, int rowsPerStatement)
    : m_db(std::move(db)), m_table(table), m_columns(columns), m_rowsPerStatement(rowsPerStatement) {}

QString BatchInsert::statement(int rows) const {
    const QString row =
        QLatin1Char('(') + QStringList(m_columns.size(), QStringLiteral("?")).join(QLatin1Char(',')) + QLatin1Char(')');
    return QStringLiteral("INSERT INTO %1 (%2) VALUES ").arg(m_table, m_columns.join(QLatin1Char(','))) +
           QStringList(rows, row).join(QLatin1Char(','));
}

void BatchInsert::send(std::optional<QSqlQuery> &query, int rows) {
    for (BatchInsert *dependency : m_dependencies)
        dependency->flush();
    if (!query) {
        query.emplace(m_db);
        if (!query->prepare(statement(rows)))
            throw std::runtime_error(
                QStringLiteral("INSERT INTO %1: %2").arg(m_table, query->lastError().text()).toStdString());
    }
    for (int i = 0; i < rows * m_columns.size(); ++i)
        query->bindValue(i, BindValueFor(m_db, m_values.at(i)));
    if (!query->exec())
        throw std::runtime_error(
            QStringLiteral("INSERT INTO %1: %2").arg(m_table, query->lastError().text()).toStdString());
    m_values.erase(m_values.begin(), m_values.begin() + rows * m_columns.size());
}

void BatchInsert::add(const QVariantList &row) {
    if (row.size() != m_columns.size())
        throw std::logic_error("BatchInsert: row does not match the columns");
    m_values += row;
    if (m_values.size() >= m_rowsPerStatement * m_columns.size())
        send(m_full, m_rowsPerStatement);
}

void BatchInsert::flush() {
    const int rows = static_cast<int>(m_values.size() / m_columns.size());
    if (rows == 0)
        return;
    std::optional<QSqlQuery> rest;
    send(rest, rows);
}

void Exec(QSqlDatabase &db, const QString &sql) {
    QSqlQuery query(db);
    if (!query.exec(sql))
        throw std::runtime_error(QStringLiteral("%1: %2").arg(sql.left(60), query.lastError().text()).toStdString());
}

// ---- The demo merchant ------------------------------------------------------------------------

namespace {

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

// Names in the server's 7-bit form: { | } ~ [ \ ] are ä ö ü ß Ä Ö Ü.
const SupplierDef kSuppliers[] = {
    {1, 1, 70001, "Zementwerke S}d AG"},
    {2, 1, 70002, "Kalksandsteinwerk B|hm KG"},
    {3, 1, 70003, "Holzhandel Wei~ & S|hne"},
    {4, 1, 70004, "Kieswerk ]berland GmbH"},
    {5, 1, 70005, "Dachbaustoffe [hrenfeld GmbH"},
    {6, 1, 70006, "\\lmann Bauchemie GmbH"},
    {7, 1, 70007, "Stahlhandel K|nig KG"},
    {8, 1, 70008, "Gipswerke Br}ckner AG"},
    {9, 1, 70009, "D{mmstoffe Nord GmbH"},
    {10, 1, 70010, "Rohrsysteme Gro~ GmbH"},
    {11, 1, 70011, "Schrauben-Fuchs e.K."},
    {12, 1, 70012, "Baustoffe M}ller GmbH"},
    {13, 1, 70013, "Pflasterwerk M}nsterland GmbH"},
    {14, 1, 70014, "Porenbeton Schr|der KG"},
    {15, 1, 70015, "Baustoff-Union VELKA eG"},
    {16, 1, 70016, "Keramik Gr{fe GmbH"},
    {201, 2, 80001, "Fliesenhandel Nord GmbH"},
    {202, 2, 80002, "Keramik K}ste KG"},
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

const std::vector<Family> &families() {
    static const std::vector<Family> list{
        {"Zement",
         "Sack",
         "Pal",
         40,
         390,
         2490,
         {1, 15, 12},
         {"CEM II/A-LL 32,5 R 25 kg Sack", "CEM II/B-S 42,5 N 25 kg Sack", "CEM III/A 42,5 N 25 kg Sack",
          "Wei~zement CEM I 52,5 R 25 kg Sack", "Schnellzement 5 kg Eimer", "Tonerdezement 25 kg Sack",
          "Sulfatbest{ndig CEM I 42,5 R-SR 25 kg", "Tra~zement 25 kg Sack"},
         {2}},
        {"Kalksandstein KS L-R",
         "1000 Stk",
         "Pal",
         0.4,
         95000,
         189000,
         {2, 12, 15},
         {"3DF 240x175x113", "4DF 240x115x238", "5DF 300x240x113", "6DF 365x175x113", "8DF 240x240x238",
          "10DF 300x240x238", "12DF 365x240x238", "16DF 490x240x238", "Plan 11,5 cm", "Plan 17,5 cm", "Plan 24 cm",
          "Plan 30 cm", "Ratio 20 cm", "Vormauerstein 2DF wei~"},
         {2}},
        {"Dachlatte",
         "lfm",
         "100 lfm",
         100,
         55,
         180,
         {3, 5, 12},
         {"24x48 mm impr{gniert 4,0 m", "24x48 mm impr{gniert 4,5 m", "24x48 mm impr{gniert 5,0 m",
          "30x50 mm impr{gniert 4,5 m", "30x50 mm impr{gniert 5,0 m", "40x60 mm impr{gniert 4,0 m",
          "40x60 mm impr{gniert 5,0 m", "30x50 mm S10 sortiert 4,0 m", "30x50 mm S10 sortiert 5,0 m",
          "Konterlatte 24x48 mm 4,0 m", "Konterlatte 30x50 mm 4,0 m"},
         {1}},
        {"Bausand",
         "t",
         "cbm",
         1.6,
         1800,
         3200,
         {4, 12, 15},
         {"0/2 gewaschen", "0/4 gewaschen", "0/2 ungewaschen", "Quarzsand 0,1-0,5 mm", "Spielsand 0/1",
          "Estrichsand 0/8", "Mauersand 0/4 Big Bag", "Fugensand 0/2"},
         {}},
        {"Kies",
         "t",
         "cbm",
         1.7,
         1900,
         4200,
         {4, 13, 12},
         {"2/8 gewaschen", "8/16 gewaschen", "16/32 gewaschen", "Zierkies 8/16 wei~", "Rollkies 16/32",
          "Betonkies 0/16", "Betonkies 0/32", "Drainkies 8/16", "Schotter 0/45", "Splitt 2/5", "Splitt 5/8",
          "Mineralgemisch 0/32"},
         {}},
        {"Gipskartonplatte",
         "qm",
         "Pal",
         50,
         290,
         890,
         {8, 12, 15},
         {"GKB 9,5 mm", "GKB 12,5 mm", "GKB 15 mm", "GKF 12,5 mm Feuerschutz", "GKF 15 mm Feuerschutz",
          "GKBI 12,5 mm impr{gniert", "GKFI 12,5 mm", "Diamant 12,5 mm", "Akustikplatte 12,5 mm",
          "Gipsfaserplatte 10 mm", "Gipsfaserplatte 12,5 mm", "Bauplatte 2-fach 12,5 mm"},
         {}},
        {"Mineralwolle-D{mmplatte",
         "qm",
         "Pak",
         8,
         390,
         2400,
         {9, 12, 15},
         {"WLG 035 60 mm", "WLG 035 80 mm", "WLG 035 100 mm", "WLG 035 120 mm", "WLG 035 140 mm", "WLG 035 160 mm",
          "WLG 032 100 mm", "WLG 032 140 mm", "Trittschall 20 mm", "Trittschall 30 mm", "Klemmfilz 100 mm",
          "Klemmfilz 160 mm", "Klemmfilz 200 mm", "Fassade 100 mm", "Fassade 140 mm"},
         {1}},
        {"Mauerm|rtel",
         "Sack",
         "Pal",
         35,
         520,
         1490,
         {6, 1, 15},
         {"MG IIa 40 kg", "MG III 40 kg", "MG IIa 30 kg", "D}nnbettm|rtel 25 kg", "Leichtm|rtel LM 21 25 kg",
          "Vorsatzschale grau 30 kg", "Vorsatzschale anthrazit 30 kg", "Kalkzement 40 kg", "Reparatur 25 kg",
          "Schnellm|rtel 25 kg"},
         {2}},
        {"Putz",
         "Sack",
         "Pal",
         40,
         690,
         2890,
         {6, 15, 12},
         {"Kalkzement-Au~enputz 30 kg", "Kalk-Innenputz 30 kg", "Gips-Maschinenputz 30 kg", "Gips-Handputz 10 kg",
          "Scheibenputz 2 mm wei~ 25 kg", "Scheibenputz 3 mm wei~ 25 kg", "Kratzputz 3 mm 25 kg",
          "Sanierputz WTA 25 kg", "Leichtputz 30 kg", "Edelputz mineralisch 30 kg", "Sockelputz 30 kg",
          "Grundputz 30 kg"},
         {2}},
        {"Fliesenkleber",
         "Sack",
         "Pal",
         42,
         890,
         3490,
         {6, 16, 15},
         {"C1 Standard 25 kg", "C2TE flexibel 25 kg", "C2TE S1 flexibel 25 kg", "Flie~bettm|rtel 25 kg",
          "Natursteinkleber wei~ 25 kg", "Gro~format S1 20 kg", "Schnellkleber 25 kg", "Dispersion 15 kg",
          "Fugenm|rtel grau 5 kg", "Fugenm|rtel anthrazit 5 kg", "Fugenm|rtel silbergrau 5 kg"},
         {}},
        {"Betonstahl",
         "t",
         "Stk",
         0.01,
         89000,
         149000,
         {7, 12, 15},
         {"BSt 500 S 8 mm 12 m", "BSt 500 S 10 mm 12 m", "BSt 500 S 12 mm 12 m", "BSt 500 S 14 mm 12 m",
          "BSt 500 S 16 mm 12 m", "BSt 500 S 20 mm 12 m", "Matte Q188A", "Matte Q257A", "Matte Q335A", "Matte R188A",
          "Matte R257A", "B}gel 8 mm"},
         {}},
        {"Pflasterstein",
         "qm",
         "Pal",
         10,
         1490,
         4990,
         {13, 12, 15},
         {"grau 20x10x6 cm", "grau 20x10x8 cm", "anthrazit 20x10x8 cm", "rot 20x10x8 cm", "Rechteck 30x20x8 cm",
          "Quadrat 16x16x8 cm", "Verbund grau 8 cm", "Verbund rot 8 cm", "Rasengitter 60x40x8 cm", "\\kopflaster 8 cm",
          "Altstadt bunt 6 cm", "Tiefbord 100x30x8 cm", "Hochbord 100x15x30 cm", "Rasenkante 100x25x5 cm"},
         {}},
        {"Dachziegel",
         "100 Stk",
         "Pal",
         2.4,
         6900,
         24900,
         {5, 12, 15},
         {"Frankfurter Pfanne rot", "Frankfurter Pfanne schwarz", "Frankfurter Pfanne granit", "Doppel-S rot",
          "Doppel-S anthrazit", "Biberschwanz Segment naturrot", "Biberschwanz Rund naturrot",
          "Flachdachpfanne schiefergrau", "Firstziegel rot", "Firstziegel anthrazit", "Ortgang links rot",
          "Ortgang rechts rot", "L}fterziegel rot"},
         {1}},
        {"KG-Rohr",
         "Stk",
         "Pal",
         20,
         290,
         6900,
         {10, 12, 15},
         {"DN 110 0,5 m", "DN 110 1,0 m", "DN 110 2,0 m", "DN 110 5,0 m", "DN 125 1,0 m", "DN 125 2,0 m",
          "DN 160 1,0 m", "DN 160 2,0 m", "DN 160 5,0 m", "DN 200 1,0 m", "DN 200 5,0 m", "Bogen DN 110 45 Grad",
          "Bogen DN 160 45 Grad", "Abzweig DN 110/110 45 Grad", "Muffenstopfen DN 110"},
         {}},
        {"Spanplattenschraube verzinkt",
         "1000 Stk",
         "100 Stk",
         0.1,
         690,
         6900,
         {11, 12, 15},
         {"3,0x16", "3,0x20", "3,5x25", "3,5x30", "3,5x40", "4,0x30", "4,0x40", "4,0x50", "4,5x50", "4,5x60", "5,0x60",
          "5,0x80", "5,0x100", "6,0x120", "6,0x160"},
         {}},
        {"Estrich",
         "Sack",
         "Pal",
         40,
         450,
         1890,
         {1, 6, 15},
         {"CT-C25-F4 40 kg", "CT-C30-F5 40 kg", "Flie~estrich CA-C25-F5 25 kg", "Schnellestrich 25 kg",
          "Ausgleichsmasse 25 kg", "Bodenspachtel 25 kg", "Verbundestrich 40 kg", "Zementestrich 40 kg",
          "Leichtestrich 50 l"},
         {2}},
        {"Porenbeton-Planstein",
         "Stk",
         "Pal",
         40,
         290,
         1290,
         {14, 12, 15},
         {"PP2-0,35 11,5 cm", "PP2-0,35 17,5 cm", "PP2-0,35 24 cm", "PP2-0,35 30 cm", "PP2-0,35 36,5 cm",
          "PP4-0,55 17,5 cm", "PP4-0,55 24 cm", "Planbauplatte 5 cm", "Planbauplatte 7,5 cm", "Planbauplatte 10 cm",
          "U-Schale 24 cm", "Sturz 125 cm"},
         {}},
        {"Wandfliese",
         "qm",
         "Pal",
         40,
         1290,
         5990,
         {16, 12},
         {"wei~ gl{nzend 20x25", "wei~ matt 30x60", "grau matt 30x60", "beige 25x40", "anthrazit 30x60",
          "Metro wei~ 7,5x15", "Mosaik grau 30x30"},
         {}},
        {"Bodenfliese",
         "qm",
         "Pal",
         40,
         1490,
         7990,
         {16, 12},
         {"Feinsteinzeug grau 60x60", "Feinsteinzeug anthrazit 60x60", "Feinsteinzeug beige 30x60",
          "Holzoptik Eiche 20x120", "Terrassenplatte 2 cm 60x60", "Betonoptik 80x80", "Steing}t rot 30x30"},
         {}},
        {"Schalungsplatte",
         "qm",
         "Stk",
         0.2,
         890,
         3290,
         {3, 12, 15},
         {"3-Schicht gelb 21 mm", "3-Schicht gelb 27 mm", "Siebdruck 12 mm", "Siebdruck 18 mm", "Siebdruck 21 mm",
          "OSB/3 12 mm", "OSB/3 15 mm", "OSB/3 18 mm", "OSB/3 22 mm N+F"},
         {1}},
        {"Baufolie",
         "qm",
         "Rolle",
         100,
         19,
         149,
         {6, 12, 15},
         {"PE 0,2 mm transparent", "PE 0,3 mm schwarz", "Dampfbremse sd 100 m", "Dampfbremse feuchtevariabel",
          "Unterspannbahn diffusionsoffen", "Noppenbahn 8 mm", "Abdeckplane 4x5 m", "Bautenschutzmatte 6 mm"},
         {1}},
        {"Holzschutzlasur",
         "Stk",
         "4 Stk",
         4,
         890,
         5490,
         {6, 3},
         {"farblos 0,75 l", "farblos 2,5 l", "eiche 0,75 l", "eiche 2,5 l", "nussbaum 2,5 l", "teak 2,5 l",
          "kiefer 5 l", "palisander 5 l", "wei~ 2,5 l"},
         {1}},
        {"Abstandhalter Kunststoff",
         "100 Stk",
         "1000 Stk",
         10,
         390,
         2490,
         {7, 11},
         {"15 mm", "20 mm", "25 mm", "30 mm", "35 mm", "40 mm", "50 mm", "Schlange 25 mm 2 m", "Schlange 35 mm 2 m"},
         {}},
        {"Ziegel",
         "Stk",
         "Pal",
         60,
         120,
         690,
         {5, 12, 15},
         {"Hochlochziegel 2DF", "Hochlochziegel 3DF", "Planziegel T8 36,5 cm", "Planziegel T9 42,5 cm",
          "Planziegel T12 30 cm", "Planziegel T14 24 cm", "Verblender rot 2DF", "Verblender bunt NF",
          "Verblender wei~ NF", "Klinker anthrazit NF", "Schallschutzziegel 17,5 cm"},
         {}},
        {"Werkzeug",
         "Stk",
         "5 Stk",
         5,
         390,
         8900,
         {11, 12},
         {"Maurerkelle 180 mm", "Gl{ttkelle 280 mm", "Fugkelle 12 mm", "Wasserwaage 80 cm", "Wasserwaage 120 cm",
          "Zollstock 2 m", "Ma~band 20 m", "M|rtelk}bel 90 l", "Schubkarre 100 l", "Spaten geschmiedet", "Schaufel Alu",
          "Richtlatte Alu 2 m"},
         {}},
        {"Betonfertigteil",
         "Stk",
         "Pal",
         10,
         990,
         19900,
         {1, 13, 12},
         {"Sturz 11,5x7,1x100 cm", "Sturz 11,5x7,1x150 cm", "Sturz 17,5x11,3x125 cm", "Schachtring DN 1000 50 cm",
          "Schachtring DN 1000 25 cm", "Schachtabdeckung Klasse B", "Randstein 8x25x100", "Winkelst}tze 55 cm",
          "Winkelst}tze 105 cm", "Treppenstufe 100x35x15"},
         {}},
    };
    return list;
}

struct Writer {
    explicit Writer(QSqlDatabase &db)
        : suppliers(db, QStringLiteral("lieferant"),
                    {QStringLiteral("id"), QStringLiteral("firma"), QStringLiteral("liefnr"), QStringLiteral("name")}),
          articles(db, QStringLiteral("artikel"),
                   {QStringLiteral("id"), QStringLiteral("firma"), QStringLiteral("artnr"), QStringLiteral("bez"),
                    QStringLiteral("haupt_lief")}),
          pairs(db, QStringLiteral("artlief"),
                {QStringLiteral("id"), QStringLiteral("artikel"), QStringLiteral("lieferant"),
                 QStringLiteral("ek_cent"), QStringLiteral("pe"), QStringLiteral("le_einkauf"),
                 QStringLiteral("aktiv")}),
          runs(db, QStringLiteral("upd_run"),
               {QStringLiteral("id"), QStringLiteral("firma"), QStringLiteral("nr"), QStringLiteral("bez"),
                QStringLiteral("datum")}),
          runArticles(db, QStringLiteral("upd_artikel"),
                      {QStringLiteral("run"), QStringLiteral("artnr"), QStringLiteral("artikel"),
                       QStringLiteral("velka_lief")}) {
        articles.dependsOn(&suppliers);
        pairs.dependsOn(&articles);
        runArticles.dependsOn(&runs);
        runArticles.dependsOn(&articles);
    }

    void flush() {
        suppliers.flush();
        articles.flush();
        pairs.flush();
        runs.flush();
        runArticles.flush();
    }

    BatchInsert suppliers;
    BatchInsert articles;
    BatchInsert pairs;
    BatchInsert runs;
    BatchInsert runArticles;
    qint64 nextPair = 1;
};

struct PairDef {
    qint64 supplier;
    int cents;
    const char *unit;
    const char *lastPurchase; // ISO date or nullptr
    bool active;
};

struct ArticleRecord {
    qint64 id;
    QString artnr;
    qint64 velka; // 0: no proposal
    int family;   // -1: hand-written
};

void addArticle(Writer &writer, qint64 id, int firma, const QString &artnr, const QString &description,
                const std::vector<PairDef> &pairs) {
    writer.articles.add({id, firma, artnr, description, pairs.front().supplier});
    for (const PairDef &pair : pairs)
        writer.pairs.add({writer.nextPair++, id, pair.supplier, pair.cents, QString::fromLatin1(pair.unit),
                          pair.lastPurchase ? QVariant(QString::fromLatin1(pair.lastPurchase)) : NullText(),
                          pair.active ? QStringLiteral("J") : QStringLiteral("N")});
}

// A generated article: 2 to 8 suppliers (or exactly `fixedSuppliers`), the first is the main supplier
// and always active; returns the purchasing association's proposal (0 for none).
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
    writer.articles.add({id, 1, artnr, description, chosen.front()});
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
        const QVariant lastPurchase =
            rng.chance(15) ? NullText() : QVariant(QDate(2023, 1, 2).addDays(rng.range(0, 697)).toString(Qt::ISODate));
        writer.pairs.add({writer.nextPair++, id, chosen[i], cents, unit, lastPurchase,
                          active ? QStringLiteral("J") : QStringLiteral("N")});
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

QString demoPassword(const char *plain) {
    return HashPassword(QString::fromLatin1(plain), kDemoPasswordCost);
}

void addPersonnel(QSqlDatabase &db) {
    BatchInsert users(db, QStringLiteral("pers_edv"),
                      {QStringLiteral("firma"), QStringLiteral("code"), QStringLiteral("passwort"),
                       QStringLiteral("aktiv"), QStringLiteral("pname"), QStringLiteral("abtnr"), QStringLiteral("dw"),
                       QStringLiteral("bergrp"), QStringLiteral("pnr")});
    // Logins for trying every path of the login: the password is checked as written. Stored as
    // hashes like every password, but at kDemoPasswordCost: these passwords are printed in the
    // README anyway, and the tests build many demo databases.
    users.add({1, QStringLiteral("DEMO"), demoPassword("demo"), QStringLiteral("J"), QStringLiteral("J}rgen M}ller"),
               QStringLiteral("10"), QStringLiteral("214"), QStringLiteral("EK1"), QStringLiteral("1001")});
    users.add({1, QStringLiteral("KOLLEGE"), demoPassword("kollege"), QStringLiteral("J"),
               QStringLiteral("Sabine Wei~"), QStringLiteral("10"), QStringLiteral("215"), QStringLiteral("EK1"),
               QStringLiteral("1002")});
    users.add({1, QStringLiteral("INAKTIV"), demoPassword("demo"), QStringLiteral("N"),
               QStringLiteral("Otto \\lschl{ger"), QStringLiteral("10"), QStringLiteral("216"), QStringLiteral("EK2"),
               QStringLiteral("1003")});
    users.add({1, QStringLiteral("OHNEABT"), demoPassword("demo"), QStringLiteral("J"), QStringLiteral("Karl B{r"),
               QStringLiteral("99"), QStringLiteral("217"), QStringLiteral("EK2"), QStringLiteral("1004")});
    users.add({1, QStringLiteral("OHNEBASIS"), demoPassword("demo"), QStringLiteral("J"), QStringLiteral("Erika Sch|n"),
               QStringLiteral("20"), QStringLiteral("218"), QStringLiteral("VK"), QStringLiteral("1999")});
    users.add({2, QStringLiteral("DEMO"), demoPassword("demo2"), QStringLiteral("J"), QStringLiteral("Hanna K}ster"),
               QStringLiteral("10"), QStringLiteral("301"), QStringLiteral("EK1"), QStringLiteral("2001")});
    users.flush();

    BatchInsert departments(db, QStringLiteral("pers_abt"),
                            {QStringLiteral("firma"), QStringLiteral("abtnr"), QStringLiteral("abtbez")});
    departments.add({1, QStringLiteral("10"), QStringLiteral("Einkauf Hochbau / Geb{udeh}lle")});
    departments.add({1, QStringLiteral("20"), QStringLiteral("Verkauf Au~endienst")});
    departments.add({2, QStringLiteral("10"), QStringLiteral("Einkauf K}ste")});
    departments.flush();

    BatchInsert bases(db, QStringLiteral("pers_basis"),
                      {QStringLiteral("firma"), QStringLiteral("pnr"), QStringLiteral("fax"), QStringLiteral("email")});
    bases.add({1, QStringLiteral("1001"), QStringLiteral("0231 98765-19"),
               QStringLiteral("j.mueller@baustoffe-demo.example")});
    bases.add(
        {1, QStringLiteral("1002"), QStringLiteral("0231 98765-19"), QStringLiteral("s.weiss@baustoffe-demo.example")});
    bases.add({1, QStringLiteral("1003"), QStringLiteral("0231 98765-29"),
               QStringLiteral("o.oelschlaeger@baustoffe-demo.example")});
    bases.add({1, QStringLiteral("1004"), QStringLiteral("0231 98765-29"),
               QStringLiteral("B{r-Karl@baustoffe-demo.example")});
    bases.add(
        {2, QStringLiteral("2001"), QStringLiteral("0471 1234-5"), QStringLiteral("h.kuester@baustoffe-demo.example")});
    bases.flush();
}

void addBenchmark(Writer &writer, Rng &rng, int count) {
    // Fifty more suppliers, all carried by the first benchmark article.
    std::vector<qint64> benchmarkSuppliers;
    for (int i = 0; i < 50; ++i) {
        const qint64 id = 101 + i;
        writer.suppliers.add({id, 1, 71001 + i, QStringLiteral("Gro~handel Nr. %1 GmbH").arg(i + 1)});
        benchmarkSuppliers.push_back(id);
    }
    writer.runs.add({kBenchmarkRun, 1, kBenchmarkRun, QStringLiteral("Benchmark mit %1 Artikeln").arg(count), 1241231});

    std::vector<qint64> pool = benchmarkSuppliers;
    for (const SupplierDef &supplier : kSuppliers)
        if (supplier.firma == 1)
            pool.push_back(supplier.id);

    const qint64 firstId = 1000000;
    std::vector<PairDef> fifty;
    for (int i = 0; i < 50; ++i)
        fifty.push_back({benchmarkSuppliers[i], 1000 + i * 7, "Stk", i % 5 == 0 ? nullptr : "2024-06-01", true});
    addArticle(writer, firstId, 1, QString::fromLatin1(kBenchmarkFirstArticle),
               QStringLiteral("Sammelartikel mit 50 Lieferanten"), fifty);
    writer.runArticles.add(
        {kBenchmarkRun, QString::fromLatin1(kBenchmarkFirstArticle), firstId, benchmarkSuppliers[1]});

    const std::vector<Family> &all = families();
    for (int i = 1; i < count; ++i) {
        const Family &family = all.at(rng.next() % all.size());
        const char *variant = family.variants.at(rng.next() % family.variants.size());
        const qint64 id = firstId + i;
        const QString artnr = QString::number(5000000 + i);
        const QString description =
            QStringLiteral("%1 %2 (B%3)").arg(QLatin1String(family.base), QLatin1String(variant)).arg(i);
        const qint64 velka = addGeneratedArticle(writer, rng, id, artnr, description, family, pool, rng.range(2, 8));
        writer.runArticles.add({kBenchmarkRun, artnr, id, IdOrNull(velka)});
    }
}

} // namespace

void FillDemoData(QSqlDatabase &db, const DbContent &content) {
    Writer writer(db);
    addPersonnel(db);
    for (const SupplierDef &supplier : kSuppliers)
        writer.suppliers.add({supplier.id, supplier.firma, supplier.nr, QString::fromLatin1(supplier.name)});
    writer.suppliers.flush();

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
    std::vector<qint64> pool;
    for (const SupplierDef &supplier : kSuppliers)
        if (supplier.firma == 1)
            pool.push_back(supplier.id);
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
    writer.runs.add({1, 1, 1, QStringLiteral("Fr}hjahrsabgleich Dach und Holz"), 1240304});
    writer.runs.add({2, 1, 2, QStringLiteral("VELKA-Abgleich Zement, M|rtel, Putz, Kalksandstein"), 1240617});
    writer.runs.add({3, 1, 3, QStringLiteral("Jahresabgleich Gesamtsortiment"), 1241125});
    writer.runs.add({4, 1, 4, QStringLiteral("Leeres Update ohne Artikel"), 1241202});
    writer.runs.add({201, 2, 1, QStringLiteral("Fliesenabgleich K}ste"), 1240901});
    writer.runs.flush();
    for (const ArticleRecord &record : records) {
        const QVariant velka = IdOrNull(record.velka);
        const std::vector<int> runs = record.family >= 0 ? all[record.family].runs : std::vector<int>{};
        const bool inRun1 = record.id == 3 || std::find(runs.begin(), runs.end(), 1) != runs.end();
        const bool inRun2 = record.id == 1 || record.id == 2 || std::find(runs.begin(), runs.end(), 2) != runs.end();
        if (inRun1)
            writer.runArticles.add({1, record.artnr, record.id, velka});
        if (inRun2)
            writer.runArticles.add({2, record.artnr, record.id, velka});
        writer.runArticles.add({3, record.artnr, record.id, velka});
    }
    writer.runArticles.add({201, QStringLiteral("100001"), 900001, 201});
    writer.runArticles.add({201, QStringLiteral("200002"), 900002, NullNumber()});

    if (content.benchmarkArticles > 0)
        addBenchmark(writer, rng, content.benchmarkArticles);
    writer.flush();
}

} // namespace kxserver
