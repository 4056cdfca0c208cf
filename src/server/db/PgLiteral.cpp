#include "server/db/PgLiteral.h"

#include "session/ServerErrorCodes.h"

#include <QLocale>
#include <QMetaType>
#include <QSqlDriver>

#include <libpq-fe.h>

#include <cmath>

namespace kxserver {

namespace {

// A literal PgLiteral made, on its way through Qt's driver into the EXECUTE of a prepared statement.
struct QuotedLiteral {
    QString text;
};

bool isWholeNumber(int type) {
    switch (type) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Long:
    case QMetaType::ULong:
        return true;
    default:
        return false;
    }
}

QString quoteText(pg_conn *connection, const QString &text) {
    if (!connection)
        throw Error(kDatabase, QStringLiteral("Datenbankfehler: keine Verbindung zum Quoten eines Werts."));
    // libpq quotes for the connection's client encoding; the program sends UTF-8 and nothing else.
    // (Qt's driver asks for it as UNICODE, an alias that libpq reads as the same encoding.)
    static const int utf8 = pg_char_to_encoding("UTF8");
    if (PQclientEncoding(connection) != utf8)
        throw Error(kDatabase, QStringLiteral("Datenbankfehler: die Verbindung arbeitet nicht in UTF8 (%1).")
                                   .arg(QString::fromLatin1(pg_encoding_to_char(PQclientEncoding(connection)))));
    const QByteArray bytes = text.toUtf8();
    char *quoted = PQescapeLiteral(connection, bytes.constData(), static_cast<size_t>(bytes.size()));
    if (!quoted)
        throw Error(kDatabase, QStringLiteral("Datenbankfehler: ein Wert lässt sich nicht quoten: %1")
                                   .arg(QString::fromUtf8(PQerrorMessage(connection)).trimmed()));
    QString literal = QString::fromUtf8(quoted);
    PQfreemem(quoted);
    return literal;
}

} // namespace

QString PgLiteral(pg_conn *connection, const QVariant &value) {
    if (value.isNull())
        return QStringLiteral("NULL");
    const int type = value.metaType().id();
    if (isWholeNumber(type))
        return value.toString();
    if (type == QMetaType::Bool)
        return value.toBool() ? QStringLiteral("TRUE") : QStringLiteral("FALSE");
    if (type == QMetaType::Double || type == QMetaType::Float) {
        const double number = value.toDouble();
        if (std::isfinite(number))
            return QString::number(number, 'g', QLocale::FloatingPointShortest);
        return std::isnan(number) ? QStringLiteral("'NaN'")
                                  : (number < 0 ? QStringLiteral("'-Infinity'") : QStringLiteral("'Infinity'"));
    }
    // Everything else goes in as its text (dates as ISO text), which the server converts to the
    // column's type.
    return quoteText(connection, value.toString());
}

QString PgInlineValues(pg_conn *connection, const QString &sql, const QVariantList &values) {
    QString text;
    text.reserve(sql.size() + 16 * values.size());
    qsizetype next = 0;
    bool quoted = false;
    qsizetype copied = 0; // the text before this position is in `text` already
    for (qsizetype at = 0; at < sql.size(); ++at) {
        const QChar c = sql.at(at);
        if (c == QLatin1Char('\''))
            quoted = !quoted;
        if (c != QLatin1Char('?') || quoted)
            continue;
        if (next >= values.size())
            throw Error(
                kDatabase,
                QStringLiteral("Datenbankfehler: zu wenige Werte für die Platzhalter von %1").arg(sql.left(80)));
        text += QStringView(sql).mid(copied, at - copied);
        copied = at + 1;
        text += PgLiteral(connection, values.at(next++));
    }
    text += QStringView(sql).mid(copied);
    if (next != values.size())
        throw Error(kDatabase,
                    QStringLiteral("Datenbankfehler: zu viele Werte für die Platzhalter von %1").arg(sql.left(80)));
    return text;
}

QVariant PgBindValue(pg_conn *connection, const QVariant &value) {
    static const bool registered =
        QMetaType::registerConverter<QuotedLiteral, QString>([](const QuotedLiteral &l) { return l.text; });
    Q_UNUSED(registered);
    const int type = value.metaType().id();
    if (value.isNull() || isWholeNumber(type) || type == QMetaType::Bool || type == QMetaType::Double ||
        type == QMetaType::Float)
        return value;
    return QVariant::fromValue(QuotedLiteral{PgLiteral(connection, value)});
}

QVariant BindValueFor(const QSqlDatabase &db, const QVariant &value) {
    if (db.driverName() != QLatin1String("QPSQL"))
        return value;
    const QVariant handle = db.driver() ? db.driver()->handle() : QVariant();
    // Qt's driver hands out libpq's connection under its struct name.
    pg_conn *connection = nullptr;
    if (handle.isValid() && (qstrcmp(handle.typeName(), "pg_conn*") == 0 || qstrcmp(handle.typeName(), "PGconn*") == 0))
        connection = *static_cast<pg_conn *const *>(handle.constData());
    return PgBindValue(connection, value);
}

} // namespace kxserver
