#include "Database.h"

#include "XDisplay.h"

#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QUuid>

#ifndef KORVEX_DB_TOOL
#error "KORVEX_DB_TOOL must name the korvex-db tool"
#endif

namespace e2e {

Database Database::sqlite(const QString &path) {
    Database db;
    db.m_path = path;
    return db;
}

Database Database::postgres(int port) {
    Database db;
    db.m_port = port;
    return db;
}

bool Database::createDemo(QString *error) const {
    QStringList arguments{QStringLiteral("--demo"), QStringLiteral("--force")};
    if (isSqlite())
        arguments << m_path;
    else
        arguments << QStringLiteral("--pg") << QStringLiteral("127.0.0.1:%1").arg(m_port);
    QString output;
    const int code = RunTool(QStringLiteral(KORVEX_DB_TOOL), arguments, &output, 120000);
    if (code != 0 && error)
        *error = QStringLiteral("korvex-db %1: %2").arg(arguments.join(QLatin1Char(' ')), output);
    return code == 0;
}

QStringList Database::rows(const QString &sql, const QVariantList &values) const {
    const QString name = QStringLiteral("e2e-%1").arg(QUuid::createUuid().toString(QUuid::Id128));
    QStringList result;
    {
        QSqlDatabase db =
            QSqlDatabase::addDatabase(isSqlite() ? QStringLiteral("QSQLITE") : QStringLiteral("QPSQL"), name);
        if (isSqlite()) {
            db.setDatabaseName(m_path);
            // Only ever reads; it must not create a file that the program is meant to miss.
            db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=5000"));
        } else {
            db.setHostName(QStringLiteral("127.0.0.1"));
            db.setPort(m_port);
            db.setDatabaseName(QStringLiteral("korvex"));
            db.setUserName(QStringLiteral("postgres"));
            db.setConnectOptions(QStringLiteral("connect_timeout=5;application_name=korvex-e2e-check"));
        }
        if (isSqlite() && !QFile::exists(m_path)) {
            result << QStringLiteral("(keine Datei)");
        } else if (!db.open()) {
            result << QStringLiteral("(keine Verbindung: %1)").arg(db.lastError().text());
        } else {
            QSqlQuery query(db);
            query.setForwardOnly(true);
            query.prepare(sql);
            for (int i = 0; i < values.size(); ++i)
                query.bindValue(i, values.at(i));
            if (!query.exec()) {
                result << QStringLiteral("(Fehler: %1)").arg(query.lastError().text());
            } else {
                while (query.next()) {
                    QStringList columns;
                    for (int c = 0; c < query.record().count(); ++c)
                        columns << query.value(c).toString();
                    result << columns.join(QLatin1Char('|'));
                }
            }
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return result;
}

QString Database::value(const QString &sql, const QVariantList &values) const {
    const QStringList all = rows(sql, values);
    return all.isEmpty() ? QString() : all.first().section(QLatin1Char('|'), 0, 0);
}

QString Database::supplierMarks(int update, const QString &artnr) const {
    const QStringList marks = rows(
        QStringLiteral("SELECT CASE WHEN COALESCE(o.laktiv, al.aktiv) = 'J' THEN '1' ELSE '0' END,"
                       " CASE WHEN COALESCE(o.hlief, CASE WHEN a.haupt_lief = al.lieferant THEN 'J' ELSE 'N' END)"
                       " = 'J' THEN '1' ELSE '0' END"
                       " FROM artikel a JOIN artlief al ON al.artikel = a.id JOIN lieferant f ON f.id = al.lieferant"
                       " LEFT JOIN artliste l ON l.run = (SELECT id FROM upd_run WHERE firma = 1 AND nr = ?)"
                       " LEFT JOIN liste_aend o ON o.liste = l.id AND o.artlief = al.id"
                       " WHERE a.firma = 1 AND a.artnr = ? ORDER BY f.liefnr"),
        {update, artnr});
    QStringList joined;
    for (const QString &row : marks)
        joined << QString(row).remove(QLatin1Char('|'));
    return joined.join(QLatin1Char(' '));
}

} // namespace e2e
