#include "server/exchange/PriceHistory.h"

#include <QDateTime>

#include <pwd.h>
#include <unistd.h>

namespace kxexchange {

const char *const kHistoryInsert =
    "INSERT INTO preis_hist (artlief, ek_alt, pe_alt, ek_neu, pe_neu, gueltig_ab, offen, quelle, erf_zeit, erf_pers)"
    " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";

QString PriceRecorder(kxserver::SqlConnection &connection) {
    if (connection.backend() == kxserver::Backend::Postgres) {
        QSqlQuery who = connection.run(QStringLiteral("SELECT session_user"));
        if (connection.next(who))
            return who.value(0).toString();
    }
    if (const passwd *user = ::getpwuid(::geteuid()))
        return QString::fromLocal8Bit(user->pw_name);
    return QString::number(::geteuid());
}

QString RecordedNow() {
    return QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss"));
}

qint64 ApplyDuePrices(kxserver::SqlConnection &connection, const QDate &today, std::vector<qint64> &articles) {
    const QString day = today.toString(Qt::ISODate);
    // Round by round, the earliest due price of each pair (a pair with several due ones takes them
    // in the order of their days, each keeping the price the one before left). Marked 2 while the
    // round writes the pairs.
    const QString earliest = QStringLiteral(
        "UPDATE preis_hist SET offen = 2, ek_alt = (SELECT al.ek_cent FROM artlief al WHERE al.id = preis_hist.artlief),"
        " pe_alt = (SELECT al.pe FROM artlief al WHERE al.id = preis_hist.artlief)"
        " WHERE id IN (SELECT h.id FROM preis_hist h WHERE h.offen = 1 AND h.gueltig_ab <= ? AND NOT EXISTS"
        " (SELECT 1 FROM preis_hist e WHERE e.artlief = h.artlief AND e.offen = 1 AND e.gueltig_ab <= ?"
        " AND (e.gueltig_ab < h.gueltig_ab OR (e.gueltig_ab = h.gueltig_ab AND e.id < h.id))))");
    qint64 applied = 0;
    for (;;) {
        const int round = connection.run(earliest, {day, day}).numRowsAffected();
        if (round <= 0)
            break;
        applied += round;
        connection.run(QStringLiteral(
            "UPDATE artlief SET ek_cent = (SELECT h.ek_neu FROM preis_hist h WHERE h.artlief = artlief.id AND h.offen = 2),"
            " pe = (SELECT h.pe_neu FROM preis_hist h WHERE h.artlief = artlief.id AND h.offen = 2)"
            " WHERE id IN (SELECT artlief FROM preis_hist WHERE offen = 2)"));
        QSqlQuery touched = connection.run(QStringLiteral(
            "SELECT DISTINCT al.artikel FROM preis_hist h JOIN artlief al ON al.id = h.artlief WHERE h.offen = 2"));
        while (connection.next(touched))
            articles.push_back(touched.value(0).toLongLong());
        connection.run(QStringLiteral("UPDATE preis_hist SET offen = 0 WHERE offen = 2"));
    }
    return applied;
}

} // namespace kxexchange
