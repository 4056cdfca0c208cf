// The master data out, kind by kind, with exactly the import's column names: exported, edited in a
// spreadsheet and imported again, a file changes what was edited and nothing else.

#include "server/exchange/Exporter.h"
#include "server/exchange/Fields.h"

namespace kxexchange {

namespace {

QVariant text(const QSqlQuery &rows, int column) {
    return rows.value(column).isNull() ? QVariant() : QVariant(rows.value(column).toString());
}
QVariant shown(const QSqlQuery &rows, int column) {
    return rows.value(column).isNull() ? QVariant() : QVariant(FromServerText(rows.value(column).toString()));
}
QVariant number(const QSqlQuery &rows, int column) {
    return rows.value(column).isNull() ? QVariant() : QVariant(rows.value(column).toLongLong());
}

struct MasterKind {
    const char *name;
    const char *sheet;
    std::vector<ColumnSpec> columns;
    const char *sql;
    QVariantList (*cells)(const QSqlQuery &);
};

const std::vector<MasterKind> &masterKinds() {
    static const std::vector<MasterKind> kinds{
        {"lieferanten",
         "Lieferanten",
         {{QStringLiteral("Lieferant-Nr"), CellType::Number}, {QStringLiteral("Name"), CellType::Text}},
         "SELECT liefnr, name FROM lieferant WHERE firma = ? ORDER BY liefnr",
         [](const QSqlQuery &r) {
             return QVariantList{number(r, 0), shown(r, 1)};
         }},
        {"artikel",
         "Artikel",
         {{QStringLiteral("Artikel-Nr"), CellType::Text},
          {QStringLiteral("Bezeichnung"), CellType::Text},
          {QStringLiteral("Hauptlieferant-Nr"), CellType::Number},
          {QStringLiteral("EAN"), CellType::Text}},
         "SELECT a.artnr, a.bez, f.liefnr, a.ean FROM artikel a LEFT JOIN lieferant f ON f.id = a.haupt_lief"
         " WHERE a.firma = ? ORDER BY a.artnr",
         [](const QSqlQuery &r) {
             return QVariantList{text(r, 0), shown(r, 1), number(r, 2), text(r, 3)};
         }},
        {"artlief",
         "Artikel-Lieferanten",
         {{QStringLiteral("Artikel-Nr"), CellType::Text},
          {QStringLiteral("Lieferant-Nr"), CellType::Number},
          {QStringLiteral("EK-Netto"), CellType::Money},
          {QStringLiteral("per"), CellType::Text},
          {QStringLiteral("Letzter Einkauf"), CellType::Date},
          {QStringLiteral("Aktiv"), CellType::Text},
          {QStringLiteral("Lieferanten-Artikel-Nr"), CellType::Text}},
         "SELECT a.artnr, f.liefnr, al.ek_cent, al.pe, al.le_einkauf, al.aktiv, al.lief_artnr FROM artlief al"
         " JOIN artikel a ON a.id = al.artikel JOIN lieferant f ON f.id = al.lieferant WHERE a.firma = ?"
         " ORDER BY a.artnr, f.liefnr",
         [](const QSqlQuery &r) {
             const QDate date = QDate::fromString(r.value(4).toString(), Qt::ISODate);
             return QVariantList{text(r, 0),  number(r, 1),
                                 number(r, 2), shown(r, 3),
                                 date.isValid() ? QVariant(date) : QVariant(), text(r, 5),
                                 text(r, 6)};
         }},
        // No password: the list goes to a spreadsheet, and an import without the column keeps them.
        {"personal",
         "Personal",
         {{QStringLiteral("Personalcode"), CellType::Text},
          {QStringLiteral("Aktiv"), CellType::Text},
          {QStringLiteral("Name"), CellType::Text},
          {QStringLiteral("Abteilung-Nr"), CellType::Text},
          {QStringLiteral("Abteilung"), CellType::Text},
          {QStringLiteral("DW"), CellType::Text},
          {QStringLiteral("Berechtigungsgruppe"), CellType::Text},
          {QStringLiteral("Personal-Nr"), CellType::Text},
          {QStringLiteral("Fax"), CellType::Text},
          {QStringLiteral("E-Mail"), CellType::Text}},
         "SELECT e.code, e.aktiv, e.pname, e.abtnr, d.abtbez, e.dw, e.bergrp, e.pnr, b.fax, b.email FROM pers_edv e"
         " LEFT JOIN pers_abt d ON d.firma = e.firma AND d.abtnr = e.abtnr"
         " LEFT JOIN pers_basis b ON b.firma = e.firma AND b.pnr = e.pnr WHERE e.firma = ? ORDER BY e.code",
         [](const QSqlQuery &r) {
             return QVariantList{text(r, 0), text(r, 1), shown(r, 2), text(r, 3), shown(r, 4),
                                 text(r, 5), text(r, 6), text(r, 7),  text(r, 8), shown(r, 9)};
         }},
    };
    return kinds;
}

const MasterKind *masterKind(const QString &name) {
    for (const MasterKind &kind : masterKinds())
        if (name == QLatin1String(kind.name))
            return &kind;
    return nullptr;
}

} // namespace

QStringList MasterDataKinds() {
    QStringList names;
    for (const MasterKind &kind : masterKinds())
        names << QString::fromLatin1(kind.name);
    return names;
}

QString MasterDataSheet(const QString &kind) {
    const MasterKind *found = masterKind(kind);
    return found ? QString::fromUtf8(found->sheet) : QString();
}

void ExportMasterData(kxserver::SqlConnection &connection, int firma, const QString &kind, TableSink &sink) {
    const MasterKind *found = masterKind(kind);
    if (!found)
        return;
    sink.begin(found->columns);
    QSqlQuery rows = connection.run(QString::fromLatin1(found->sql), {firma});
    while (connection.next(rows))
        sink.row(found->cells(rows));
}

} // namespace kxexchange
