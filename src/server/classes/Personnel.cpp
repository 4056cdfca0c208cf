#include "server/classes/Personnel.h"

#include "server/classes/ServerObjects.h"
#include "server/db/PasswordHash.h"
#include "server/db/rows/QtRows.h"

#include <QRegularExpression>
#include <QStringList>

namespace kxserver {

namespace {

// What a record opened on PostgreSQL keeps for its password check.
struct ServerKey {
    int firma = 0;
    QString key;
};

QString memberColumns(const StoredDef &stored) {
    QStringList columns;
    for (const MemberDef &member : stored.members)
        columns << QString::fromLatin1(member.column);
    return columns.join(QStringLiteral(", "));
}

} // namespace

OpenedObject OpenPersonnel(SqlConnection &connection, const ClassDef &cls, const QString &id) {
    const QString className = QString::fromLatin1(cls.name);
    const StoredDef &stored = *cls.stored;
    // The company as the session holds it: a whole number, with a sign when the clerk gave one.
    static const QRegularExpression pattern(QStringLiteral("^\\+?([0-9]{1,9})\\|\\|(.*)$"),
                                            QRegularExpression::DotMatchesEverythingOption);
    const QRegularExpressionMatch match = pattern.match(id);
    if (!match.hasMatch())
        throw UnknownId(className, id);
    const int firma = match.captured(1).toInt();
    const QString key = match.captured(2);
    OpenedObject opened;

    if (stored.serverHas && connection.backend() == Backend::Postgres) {
        const SqlConnection::Rows rows = connection.runWithParameters(
            QStringLiteral("SELECT %1($1::integer, $2)").arg(QLatin1String(stored.serverHas)),
            {QString::number(firma), key});
        if (rows.empty() || rows.front().value(0).toString() != QLatin1String("t"))
            throw UnknownId(className, id);
        for (const MemberDef &member : stored.members)
            opened.values.insert(QString::fromLatin1(member.name), QString());
        opened.kept = ServerKey{firma, key};
        return opened;
    }

    QString columns = memberColumns(stored);
    if (stored.secret)
        columns += QStringLiteral(", ") + QLatin1String(stored.secret);
    QtRows row(connection, connection.run(QStringLiteral("SELECT %1 FROM %2 WHERE firma = ? AND %3 = ?")
                                              .arg(columns, QLatin1String(stored.table), QLatin1String(stored.key)),
                                          {firma, key}));
    if (!row.next())
        throw UnknownId(className, id);
    int column = 0;
    for (const MemberDef &member : stored.members)
        opened.values.insert(QString::fromLatin1(member.name), row.text(column++));
    if (stored.secret)
        opened.kept = row.text(column);
    return opened;
}

QVariant CheckPassword(ClassObject &object, QVariantList &args) {
    const QString typed = args.at(0).toString();
    if (const QString *hash = std::any_cast<QString>(&object.kept()))
        return QVariant(VerifyPassword(typed, *hash) ? QStringLiteral("1") : QStringLiteral("0"));
    const StoredDef &stored = *object.classDef().stored;
    const ServerKey &key = std::any_cast<const ServerKey &>(object.kept());
    // The password travels as a parameter, never inside the statement's text.
    const SqlConnection::Rows rows = object.connection().runWithParameters(
        QStringLiteral("SELECT %1 FROM %2($1::integer, $2, $3)")
            .arg(memberColumns(stored), QLatin1String(stored.serverCheck)),
        {QString::number(key.firma), key.key, typed});
    for (const MemberDef &member : stored.members)
        object.setAnswered(QString::fromLatin1(member.name), QString());
    if (rows.empty())
        return QStringLiteral("0");
    int column = 0;
    for (const MemberDef &member : stored.members)
        object.setAnswered(QString::fromLatin1(member.name), rows.front().value(column++).toString());
    return QStringLiteral("1");
}

} // namespace kxserver
