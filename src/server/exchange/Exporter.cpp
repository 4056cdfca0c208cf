#include "server/exchange/Exporter.h"

#include "server/exchange/Fields.h"
#include "server/lists/UpdateLists.h"

#include <QDateTime>
#include <QFile>

#include <functional>
#include <initializer_list>
#include <utility>

namespace kxexchange {

namespace {

// A null column stays an empty cell; a number goes out as a number, a name from the server's 7-bit
// letters ("M}ller") as the clerk reads it.
QVariant numberOrNull(const QVariant &value) {
    return value.isNull() ? QVariant() : QVariant(value.toLongLong());
}

QVariant textOrNull(const QVariant &value) {
    return value.isNull() ? QVariant() : QVariant(FromServerText(value.toString()));
}

// A table out of a query: the header row, then the cells `cells` makes of each row of the query
// that `keep` (when given) keeps, one at a time.
void writeTable(kxserver::SqlConnection &connection, TableSink &sink,
                std::initializer_list<std::pair<const char *, CellType>> columns, QSqlQuery rows,
                const std::function<QVariantList(const QSqlQuery &)> &cells,
                const std::function<bool(const QSqlQuery &)> &keep = {}) {
    std::vector<ColumnSpec> header;
    for (const auto &[name, type] : columns)
        header.push_back({QString::fromUtf8(name), type});
    sink.begin(header);
    // A fetch that fails is an error, not the end of the table: a cut-short export must not pass.
    while (connection.next(rows))
        if (!keep || keep(rows))
            sink.row(cells(rows));
}

// The day of a save time as the program writes it (yyyy-MM-ddTHH:mm:ss, local time); an invalid
// date for any other text. The column is text, and a clerk's own program may write what it likes.
QDate savedOn(const QString &when) {
    if (when.size() != 19 || when.at(10) != QLatin1Char('T') ||
        !QTime::fromString(when.mid(11), QStringLiteral("HH:mm:ss")).isValid())
        return QDate();
    return QDate::fromString(when.left(10), QStringLiteral("yyyy-MM-dd"));
}

} // namespace

void ExportUpdate(kxserver::SqlConnection &connection, int firma, qint64 nr, TableSink &sink) {
    const QString key = kxserver::lists::ArtListe(connection, firma, nr).section(QLatin1Char('|'), 0, 0);
    writeTable(connection, sink,
               {{"Artikel-Nr", CellType::Text},
                {"Bezeichnung", CellType::Text},
                {"Hauptlieferant-Nr", CellType::Number},
                {"Hauptlieferant", CellType::Text},
                {"Vorschlag-Lieferant-Nr", CellType::Number},
                {"Vorschlag-Lieferant", CellType::Text},
                {"Abweichend", CellType::Text}},
               connection.run(kxserver::lists::ArticleListSql(connection.backend()), {key.toLongLong()}),
               [](const QSqlQuery &rows) {
                   const bool differs =
                       !rows.value(4).isNull() &&
                       (rows.value(2).isNull() || rows.value(2).toLongLong() != rows.value(4).toLongLong());
                   return QVariantList{rows.value(0).toString(),
                                       FromServerText(rows.value(1).toString()),
                                       numberOrNull(rows.value(2)),
                                       textOrNull(rows.value(3)),
                                       numberOrNull(rows.value(4)),
                                       textOrNull(rows.value(5)),
                                       differs ? QStringLiteral("J") : QStringLiteral("N")};
               });
}

void ExportProtokoll(kxserver::SqlConnection &connection, int firma, const std::optional<QDate> &since,
                     TableSink &sink) {
    // The save time is ISO text: the comparison as text narrows the rows on the server, and only a
    // row whose text is a time of that day or later counts as saved since (text such as "x" or
    // "9999" sorts after every day, but is no time at all).
    writeTable(
        connection, sink,
        {{"Gespeichert am", CellType::DateTime},
         {"Gespeichert von", CellType::Text},
         {"Geändert von", CellType::Text},
         {"Update-Nr", CellType::Number},
         {"Artikel-Nr", CellType::Text},
         {"Bezeichnung", CellType::Text},
         {"Lieferant-Nr", CellType::Number},
         {"Lieferant", CellType::Text},
         {"Aktiv alt", CellType::Text},
         {"Aktiv neu", CellType::Text},
         {"Hauptlieferant alt", CellType::Text},
         {"Hauptlieferant neu", CellType::Text}},
        connection.run(
            QStringLiteral(
                "SELECT s.gesp_zeit, s.gesp_pers, s.aend_pers, r.nr, a.artnr, a.bez, f.liefnr, f.name,"
                " s.laktiv_alt, s.laktiv, s.hlief_alt, s.hlief FROM speicher_log s JOIN artliste l ON l.id = s.liste"
                " JOIN upd_run r ON r.id = l.run JOIN artlief al ON al.id = s.artlief"
                " JOIN artikel a ON a.id = al.artikel JOIN lieferant f ON f.id = al.lieferant"
                " WHERE r.firma = ? AND s.gesp_zeit >= ? ORDER BY s.id"),
            // Empty, not null: a null text would bind as NULL, and nothing compares >= NULL.
            {firma, since ? since->toString(Qt::ISODate) : QStringLiteral("")}),
        [](const QSqlQuery &rows) {
            const QDateTime when = QDateTime::fromString(rows.value(0).toString(), Qt::ISODate);
            return QVariantList{when.isValid() ? QVariant(when) : QVariant(rows.value(0).toString()),
                                rows.value(1).toString(),
                                rows.value(2).toString(),
                                rows.value(3).toLongLong(),
                                rows.value(4).toString(),
                                FromServerText(rows.value(5).toString()),
                                rows.value(6).toLongLong(),
                                FromServerText(rows.value(7).toString()),
                                rows.value(8).toString(),
                                rows.value(9).toString(),
                                rows.value(10).toString(),
                                rows.value(11).toString()};
        },
        [&since](const QSqlQuery &rows) {
            if (!since)
                return true;
            const QDate day = savedOn(rows.value(0).toString());
            return day.isValid() && day >= *since;
        });
}

void ExportPreise(kxserver::SqlConnection &connection, int firma, const std::optional<QDate> &since, TableSink &sink) {
    const auto day = [](const QVariant &value) {
        const QDate date = QDate::fromString(value.toString(), Qt::ISODate);
        return date.isValid() ? QVariant(date) : QVariant();
    };
    writeTable(connection, sink,
               {{"Artikel-Nr", CellType::Text},
                {"Lieferant-Nr", CellType::Number},
                {"Lieferanten-Artikel-Nr", CellType::Text},
                {"EK-Netto alt", CellType::Money},
                {"per alt", CellType::Text},
                {"EK-Netto neu", CellType::Money},
                {"per neu", CellType::Text},
                {"Gültig ab", CellType::Date},
                {"Kommend", CellType::Text},
                {"Quelle", CellType::Text},
                {"Erfasst am", CellType::DateTime},
                {"Erfasst von", CellType::Text}},
               connection.run(QStringLiteral("SELECT a.artnr, f.liefnr, al.lief_artnr, h.ek_alt, h.pe_alt, h.ek_neu,"
                                             " h.pe_neu, h.gueltig_ab, h.offen, h.quelle, h.erf_zeit, h.erf_pers"
                                             " FROM preis_hist h JOIN artlief al ON al.id = h.artlief"
                                             " JOIN artikel a ON a.id = al.artikel JOIN lieferant f ON f.id ="
                                             " al.lieferant WHERE a.firma = ? AND h.gueltig_ab >= ? ORDER BY h.id"),
                              {firma, since ? since->toString(Qt::ISODate) : QStringLiteral("")}),
               [&](const QSqlQuery &rows) {
                   const QDateTime when = QDateTime::fromString(rows.value(10).toString(), Qt::ISODate);
                   return QVariantList{rows.value(0).toString(),
                                       rows.value(1).toLongLong(),
                                       rows.value(2).isNull() ? QVariant() : QVariant(rows.value(2).toString()),
                                       numberOrNull(rows.value(3)),
                                       textOrNull(rows.value(4)),
                                       rows.value(5).toLongLong(),
                                       FromServerText(rows.value(6).toString()),
                                       day(rows.value(7)),
                                       rows.value(8).toInt() == 1 ? QStringLiteral("J") : QStringLiteral("N"),
                                       rows.value(9).toString(),
                                       when.isValid() ? QVariant(when) : QVariant(rows.value(10).toString()),
                                       rows.value(11).toString()};
               });
}

} // namespace kxexchange
