#include "server/admin/Schema.h"

#include <QSqlDatabase>
#include <QSqlQuery>

namespace kxserver {

namespace {

// Tables in dependency order; each statement uses a few placeholders that differ per backend:
//   %KEY%   a primary key whose values the creating tool assigns
//   %AUTO%  a primary key the database numbers itself
//   %CODE%  text compared and sorted byte by byte on both backends (article numbers)
//   %CLUSTER% SQLite's WITHOUT ROWID, so that a table is stored in its key order
const char *const kStatements[] = {
    "CREATE TABLE korvex_meta (key TEXT PRIMARY KEY, value TEXT NOT NULL)",

    // Personnel data read at login. No foreign keys between them: a user whose department or base
    // record is missing is a case the program must handle, so the data may hold it.
    "CREATE TABLE pers_edv (firma INTEGER NOT NULL, code TEXT NOT NULL, passwort TEXT NOT NULL DEFAULT '',"
    " aktiv TEXT NOT NULL DEFAULT 'N', pname TEXT NOT NULL DEFAULT '', abtnr TEXT NOT NULL DEFAULT '',"
    " dw TEXT NOT NULL DEFAULT '', bergrp TEXT NOT NULL DEFAULT '', pnr TEXT NOT NULL DEFAULT '',"
    " PRIMARY KEY (firma, code))",
    "CREATE TABLE pers_abt (firma INTEGER NOT NULL, abtnr TEXT NOT NULL, abtbez TEXT NOT NULL DEFAULT '',"
    " PRIMARY KEY (firma, abtnr))",
    "CREATE TABLE pers_basis (firma INTEGER NOT NULL, pnr TEXT NOT NULL, fax TEXT NOT NULL DEFAULT '',"
    " email TEXT NOT NULL DEFAULT '', PRIMARY KEY (firma, pnr))",

    // Master data: suppliers, articles with their main supplier, the article-supplier pairs.
    "CREATE TABLE lieferant (id %KEY%, firma INTEGER NOT NULL, liefnr INTEGER NOT NULL, name TEXT NOT NULL,"
    " UNIQUE (firma, liefnr))",
    // The article's EAN and the pair's number in its supplier's catalog came with version 6 (how a
    // supplier's price file finds the pair), hence at the end.
    "CREATE TABLE artikel (id %KEY%, firma INTEGER NOT NULL, artnr %CODE% NOT NULL, bez TEXT NOT NULL,"
    " haupt_lief BIGINT REFERENCES lieferant (id), aend_pers TEXT, aend_zeit TEXT, ean TEXT, UNIQUE (firma, artnr))",
    "CREATE TABLE artlief (id %KEY%, artikel BIGINT NOT NULL REFERENCES artikel (id),"
    " lieferant BIGINT NOT NULL REFERENCES lieferant (id), ek_cent BIGINT NOT NULL, pe TEXT NOT NULL,"
    " le_einkauf TEXT, aktiv TEXT NOT NULL DEFAULT 'J', aend_pers TEXT, aend_zeit TEXT, gesp_pers TEXT,"
    " lief_artnr %CODE%, UNIQUE (artikel, lieferant))",

    // Update runs and the articles of each run with the purchasing association's proposal.
    "CREATE TABLE upd_run (id %KEY%, firma INTEGER NOT NULL, nr INTEGER NOT NULL, bez TEXT NOT NULL,"
    " datum INTEGER NOT NULL, UNIQUE (firma, nr))",
    "CREATE TABLE upd_artikel (run BIGINT NOT NULL REFERENCES upd_run (id), artnr %CODE% NOT NULL,"
    " artikel BIGINT NOT NULL REFERENCES artikel (id), velka_lief BIGINT REFERENCES lieferant (id),"
    " PRIMARY KEY (run, artnr))%CLUSTER%",

    // The prepared article list of a run. It copies nothing: its entries are the master pairs seen
    // through the changes written to the list and not yet saved (liste_aend), and the main supplier
    // per article that those changes give (liste_haupt).
    "CREATE TABLE artliste (id %AUTO%, run BIGINT NOT NULL UNIQUE REFERENCES upd_run (id),"
    " version BIGINT NOT NULL DEFAULT 0, erst_pers TEXT, erst_zeit TEXT, gesp_pers TEXT, gesp_zeit TEXT)",
    "CREATE TABLE liste_aend (liste BIGINT NOT NULL REFERENCES artliste (id),"
    " artlief BIGINT NOT NULL REFERENCES artlief (id), artikel BIGINT NOT NULL REFERENCES artikel (id),"
    " laktiv TEXT, hlief TEXT, aendsw INTEGER, aend_pers TEXT, aend_zeit TEXT,"
    " aend_nr BIGINT NOT NULL DEFAULT 0, PRIMARY KEY (liste, artlief))%CLUSTER%",
    "CREATE INDEX liste_aend_artikel ON liste_aend (liste, artikel)",
    // The rows written since a given version (the live view's look); aend_nr came with version 3.
    "CREATE INDEX liste_aend_nr ON liste_aend (liste, aend_nr)",
    "CREATE TABLE liste_haupt (liste BIGINT NOT NULL REFERENCES artliste (id),"
    " artikel BIGINT NOT NULL REFERENCES artikel (id), haupt_lief BIGINT REFERENCES lieferant (id),"
    " PRIMARY KEY (liste, artikel))%CLUSTER%",

    // Every applied change: who changed it in the list, who saved it, when, and the flags it changed
    // as they were before the save (laktiv_alt, hlief_alt; empty where the change left the flag
    // alone, and in rows saved before version 2), and the list version of the save (aend_nr; 0 in
    // rows saved before version 3). Each came with its version, hence at the end.
    "CREATE TABLE speicher_log (id %AUTO%, liste BIGINT NOT NULL, artlief BIGINT NOT NULL, laktiv TEXT,"
    " hlief TEXT, aend_pers TEXT, gesp_pers TEXT NOT NULL, gesp_zeit TEXT NOT NULL, laktiv_alt TEXT,"
    " hlief_alt TEXT, aend_nr BIGINT NOT NULL DEFAULT 0)",
    // What a list's saves applied since a given version (the live view's look).
    "CREATE INDEX speicher_log_nr ON speicher_log (liste, aend_nr)",
};

} // namespace

namespace {

// Version 6: what a supplier's price file finds a pair by, and every price a pair had.
const char *const kPriceStatements[] = {
    "CREATE INDEX artlief_lief_artnr ON artlief (lieferant, lief_artnr)",
    "CREATE INDEX artikel_ean ON artikel (ean)",
    // Every change of a pair's price or unit: the price and unit before (empty while a coming price
    // waits: it takes the pair's price of its day) and after, the day from which the new one holds,
    // whether it is still coming (offen 1 until that day), its source (a catalog file with its
    // delivery's date, "Import" or "Hand"), and when and by whom it was recorded.
    "CREATE TABLE preis_hist (id %AUTO%, artlief BIGINT NOT NULL REFERENCES artlief (id), ek_alt BIGINT,"
    " pe_alt TEXT, ek_neu BIGINT NOT NULL, pe_neu TEXT NOT NULL, gueltig_ab TEXT NOT NULL,"
    " offen INTEGER NOT NULL DEFAULT 0, quelle TEXT NOT NULL, erf_zeit TEXT NOT NULL, erf_pers TEXT NOT NULL)",
    "CREATE INDEX preis_hist_artlief ON preis_hist (artlief, gueltig_ab)",
    // Only the coming prices: a delivery's million history rows do not feed it.
    "CREATE INDEX preis_hist_offen ON preis_hist (gueltig_ab) WHERE offen = 1",
    // The articles of a list whose prices the master data changed, with the list version of the
    // latest such change (the live view's look, as for the change rows).
    "CREATE TABLE liste_preis (liste BIGINT NOT NULL REFERENCES artliste (id),"
    " artikel BIGINT NOT NULL REFERENCES artikel (id), aend_nr BIGINT NOT NULL,"
    " PRIMARY KEY (liste, artikel))%CLUSTER%",
    "CREATE INDEX liste_preis_nr ON liste_preis (liste, aend_nr)",
};

} // namespace

QString SchemaText(const char *text, Backend backend) {
    const bool sqlite = backend == Backend::Sqlite;
    QString sql = QString::fromLatin1(text);
    sql.replace(QLatin1String("%KEY%"), sqlite ? QLatin1String("INTEGER PRIMARY KEY") : QLatin1String("BIGINT PRIMARY KEY"));
    sql.replace(QLatin1String("%AUTO%"), sqlite ? QLatin1String("INTEGER PRIMARY KEY")
                                                : QLatin1String("BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY"));
    sql.replace(QLatin1String("%CODE%"), sqlite ? QLatin1String("TEXT") : QLatin1String("TEXT COLLATE \"C\""));
    sql.replace(QLatin1String("%CLUSTER%"), sqlite ? QLatin1String(" WITHOUT ROWID") : QLatin1String(""));
    return sql;
}

QStringList PriceHistoryStatements(Backend backend) {
    QStringList statements;
    for (const char *text : kPriceStatements)
        statements << SchemaText(text, backend);
    return statements;
}

QStringList SchemaStatements(Backend backend) {
    const bool sqlite = backend == Backend::Sqlite;
    QStringList statements;
    for (const char *text : kStatements)
        statements << SchemaText(text, backend);
    statements << PriceHistoryStatements(backend);
    if (sqlite)
        statements << SqliteChangeNumberStatements();
    statements << QStringLiteral("INSERT INTO korvex_meta (key, value) VALUES ('schema', '%1')")
                      .arg(QLatin1String(kSchemaMarker))
               << QStringLiteral("INSERT INTO korvex_meta (key, value) VALUES ('version', '%1')").arg(kSchemaVersion);
    return statements;
}

QStringList SqliteChangeNumberStatements() {
    // Every writer of a list has raised its version (the writers' lock) before it writes; the row
    // takes that number. The update trigger names the columns a writer sets, so that its own update
    // of aend_nr does not call it again. A row that already carries the number is left alone: a
    // writer that sends it saves every row a second write, and one that sends another is put right
    // (one that sends none pays no more than the test of 0).
    const QString stamp =
        QStringLiteral("WHEN NEW.aend_nr = 0 OR NEW.aend_nr IS NOT (SELECT version FROM artliste WHERE id = NEW.liste)"
                       " BEGIN UPDATE liste_aend SET aend_nr = (SELECT version FROM artliste WHERE id ="
                       " NEW.liste) WHERE liste = NEW.liste AND artlief = NEW.artlief; END");
    return {QStringLiteral("CREATE TRIGGER liste_aend_nr_neu AFTER INSERT ON liste_aend ") + stamp,
            QStringLiteral("CREATE TRIGGER liste_aend_nr_aend AFTER UPDATE OF liste, artlief, laktiv, hlief, aendsw,"
                           " aend_pers, aend_zeit ON liste_aend ") +
                stamp};
}

QStringList SchemaTables() {
    return {QStringLiteral("liste_preis"),  QStringLiteral("preis_hist"),
            QStringLiteral("speicher_log"), QStringLiteral("liste_haupt"), QStringLiteral("liste_aend"),
            QStringLiteral("artliste"),     QStringLiteral("upd_artikel"), QStringLiteral("upd_run"),
            QStringLiteral("artlief"),      QStringLiteral("artikel"),     QStringLiteral("lieferant"),
            QStringLiteral("pers_basis"),   QStringLiteral("pers_abt"),    QStringLiteral("pers_edv"),
            QStringLiteral("korvex_meta")};
}


} // namespace kxserver
