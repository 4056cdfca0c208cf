#include "Exporter.h"

#include "Fields.h"
#include "UpdateLists.h"

#include <QDateTime>
#include <QFile>

namespace kxexchange {

namespace {

// "70012 Baustoffe M}ller GmbH" from number and name, in the program's letters.
QVariant numberOrNull(const QVariant &value) {
    return value.isNull() ? QVariant() : QVariant(value.toLongLong());
}

QVariant textOrNull(const QVariant &value) {
    return value.isNull() ? QVariant() : QVariant(FromServerText(value.toString()));
}

} // namespace

void ExportUpdate(kxserver::SqlConnection &connection, int firma, qint64 nr, TableSink &sink) {
    const QString key = kxserver::lists::ArtListe(connection, firma, nr).section(QLatin1Char('|'), 0, 0);
    sink.begin({{QStringLiteral("Artikel-Nr"), CellType::Text},
                {QStringLiteral("Bezeichnung"), CellType::Text},
                {QStringLiteral("Hauptlieferant-Nr"), CellType::Number},
                {QStringLiteral("Hauptlieferant"), CellType::Text},
                {QStringLiteral("Vorschlag-Lieferant-Nr"), CellType::Number},
                {QStringLiteral("Vorschlag-Lieferant"), CellType::Text},
                {QStringLiteral("Abweichend"), CellType::Text}});
    QSqlQuery rows = connection.run(kxserver::lists::ArticleListSql(), {key.toLongLong()});
    while (rows.next()) {
        const bool differs = rows.value(2).isNull() != rows.value(4).isNull() ||
                             rows.value(2).toLongLong() != rows.value(4).toLongLong();
        sink.row({rows.value(0).toString(), FromServerText(rows.value(1).toString()), numberOrNull(rows.value(2)),
                  textOrNull(rows.value(3)), numberOrNull(rows.value(4)), textOrNull(rows.value(5)),
                  differs ? QStringLiteral("J") : QStringLiteral("N")});
    }
}

void ExportProtokoll(kxserver::SqlConnection &connection, int firma, const std::optional<QDate> &since,
                     TableSink &sink) {
    sink.begin({{QStringLiteral("Gespeichert am"), CellType::DateTime},
                {QStringLiteral("Gespeichert von"), CellType::Text},
                {QStringLiteral("Geändert von"), CellType::Text},
                {QStringLiteral("Update-Nr"), CellType::Number},
                {QStringLiteral("Artikel-Nr"), CellType::Text},
                {QStringLiteral("Bezeichnung"), CellType::Text},
                {QStringLiteral("Lieferant-Nr"), CellType::Number},
                {QStringLiteral("Lieferant"), CellType::Text},
                {QStringLiteral("Aktiv neu"), CellType::Text},
                {QStringLiteral("Hauptlieferant neu"), CellType::Text}});
    // The save time is ISO text, so "on or after a day" compares as text from that day's start.
    QSqlQuery rows = connection.run(
        QStringLiteral("SELECT s.gesp_zeit, s.gesp_pers, s.aend_pers, r.nr, a.artnr, a.bez, f.liefnr, f.name,"
                       " s.laktiv, s.hlief FROM speicher_log s JOIN artliste l ON l.id = s.liste"
                       " JOIN upd_run r ON r.id = l.run JOIN artlief al ON al.id = s.artlief"
                       " JOIN artikel a ON a.id = al.artikel JOIN lieferant f ON f.id = al.lieferant"
                       " WHERE r.firma = ? AND s.gesp_zeit >= ? ORDER BY s.id"),
        {firma, since ? since->toString(Qt::ISODate) : QString()});
    while (rows.next()) {
        const QDateTime when = QDateTime::fromString(rows.value(0).toString(), Qt::ISODate);
        sink.row({when.isValid() ? QVariant(when) : QVariant(rows.value(0).toString()), rows.value(1).toString(),
                  rows.value(2).toString(), rows.value(3).toLongLong(), rows.value(4).toString(),
                  FromServerText(rows.value(5).toString()), rows.value(6).toLongLong(),
                  FromServerText(rows.value(7).toString()), rows.value(8).toString(), rows.value(9).toString()});
    }
}

} // namespace kxexchange
