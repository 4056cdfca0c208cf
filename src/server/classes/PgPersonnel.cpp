#include "server/classes/PgPersonnel.h"

#include "session/ServerErrorCodes.h"
#include "text/TextHelpers.h"

#include <QHash>
#include <QRegularExpression>

namespace kxserver {

namespace {

const QStringList kMembers{QStringLiteral("AKTIV"), QStringLiteral("PNAME"),  QStringLiteral("ABTNR"),
                           QStringLiteral("DW"),    QStringLiteral("BERGRP"), QStringLiteral("PNR")};

class PgPersonnelObject : public cacheapi::ServerObject {
public:
    PgPersonnelObject(std::shared_ptr<SqlConnection> connection, QString className, int firma, QString code)
        : m_connection(std::move(connection)), m_className(std::move(className)), m_firma(firma),
          m_code(std::move(code)) {
        for (const QString &member : kMembers)
            m_values.insert(member, QString());
    }

    QVariant property(const QString &member) override {
        ensureUsable();
        const auto found = m_values.constFind(member);
        if (found == m_values.constEnd())
            throw Error(
                kUnknownMember,
                QStringLiteral("Die Eigenschaft \"%1\" gibt es in der Klasse \"%2\" nicht.").arg(member, m_className));
        return found.value();
    }

    void setProperty(const QString &member, const QVariant &) override {
        ensureUsable();
        if (!m_values.contains(member))
            throw Error(
                kUnknownMember,
                QStringLiteral("Die Eigenschaft \"%1\" gibt es in der Klasse \"%2\" nicht.").arg(member, m_className));
        throw Error(kReadOnly, QStringLiteral("Die Eigenschaft \"%1\" der Klasse \"%2\" kann nicht geändert werden.")
                                   .arg(member, m_className));
    }

    QVariant call(const QString &method, QVariantList &args) override {
        if (method == QLatin1String("SYS_Close")) {
            expect(method, args, 0);
            ensureNotClosed();
            m_closed = true;
            return 1;
        }
        if (method == QLatin1String("sys_Save")) { // nothing of a personnel record is ever written
            ensureUsable();
            expect(method, args, 0);
            return 1;
        }
        if (method == QLatin1String("PNAMELogicalToODBC")) {
            ensureUsable();
            expect(method, args, 1);
            return cacheapi::ConvertText(args.at(0).toString(), QStringLiteral("KORVEX"), false);
        }
        if (method != QLatin1String("PasswortPruefen"))
            throw Error(
                kUnknownMethod,
                QStringLiteral("Die Methode \"%1\" gibt es in der Klasse \"%2\" nicht.").arg(method, m_className));
        ensureUsable();
        expect(method, args, 1);
        // The password travels as a parameter, never inside the statement's text.
        const SqlConnection::Rows rows = m_connection->runWithParameters(
            QStringLiteral("SELECT aktiv, pname, abtnr, dw, bergrp, pnr FROM korvex.anmelden($1::integer, $2, $3)"),
            {QString::number(m_firma), m_code, args.at(0).toString()});
        for (const QString &member : kMembers)
            m_values[member] = QString();
        if (rows.empty())
            return QStringLiteral("0");
        for (int i = 0; i < kMembers.size(); ++i)
            m_values[kMembers.at(i)] = rows.front().value(i).toString();
        return QStringLiteral("1");
    }

private:
    void ensureNotClosed() const {
        if (m_closed)
            throw Error(kClosed,
                        QStringLiteral("Das Objekt der Klasse \"%1\" ist bereits geschlossen.").arg(m_className));
    }
    void ensureUsable() const {
        ensureNotClosed();
        m_connection->ensureOpen();
    }
    void expect(const QString &method, const QVariantList &args, int count) const {
        if (args.size() != count)
            throw Error(kWrongArguments, QStringLiteral("Die Methode \"%1\" erwartet %2 Argument(e), erhalten: %3.")
                                             .arg(method)
                                             .arg(count)
                                             .arg(args.size()));
    }

    std::shared_ptr<SqlConnection> m_connection;
    QString m_className;
    int m_firma;
    QString m_code;
    QHash<QString, QVariant> m_values;
    bool m_closed = false;
};

} // namespace

cacheapi::ServerObjectPtr OpenPgPersonnel(const std::shared_ptr<SqlConnection> &connection, const QString &className,
                                          const QString &id) {
    const auto unknown = [&] {
        return Error(
            kUnknownId,
            QStringLiteral("Ein Objekt der Klasse \"%1\" mit der Id \"%2\" existiert nicht.").arg(className, id));
    };
    // The company as the session holds it: a whole number, with a sign when the clerk gave one.
    static const QRegularExpression pattern(QStringLiteral("^\\+?([0-9]{1,9})\\|\\|(.*)$"),
                                            QRegularExpression::DotMatchesEverythingOption);
    const QRegularExpressionMatch match = pattern.match(id);
    if (!match.hasMatch())
        throw unknown();
    const int firma = match.captured(1).toInt();
    const QString code = match.captured(2);
    const SqlConnection::Rows rows = connection->runWithParameters(
        QStringLiteral("SELECT korvex.personal_vorhanden($1::integer, $2)"), {QString::number(firma), code});
    if (rows.empty() || rows.front().value(0).toString() != QLatin1String("t"))
        throw unknown();
    return std::make_unique<PgPersonnelObject>(connection, className, firma, code);
}

} // namespace kxserver
