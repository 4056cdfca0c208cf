#include "server/tool/AccessCommand.h"

#include "server/admin/PgAccess.h"
#include "server/tool/ToolCommon.h"
#include "session/ServerError.h"

#include <iostream>
#include <string>

int RunAccess(const QStringList &arguments) {
    QString server;
    QString login;
    QString firmaText;
    QString personal;
    QString connectionsText;
    bool remove = false;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        QString *target = argument == QLatin1String("--pg")         ? &server
                          : argument == QLatin1String("--firma")    ? &firmaText
                          : argument == QLatin1String("--personal") ? &personal
                          : argument == QLatin1String("--verbindungen") ? &connectionsText
                                                                        : nullptr;
        if (target) {
            if (!target->isEmpty())
                return UsageError(QStringLiteral("zugang: %1 ist doppelt angegeben.").arg(argument));
            if (!TakeValue(arguments, i, target) || target->isEmpty())
                return UsageError(QStringLiteral("zugang: %1 braucht einen Wert.").arg(argument));
        } else if (argument == QLatin1String("--entfernen")) {
            remove = true;
        } else if (argument.startsWith(QLatin1Char('-'))) {
            return UsageError(QStringLiteral("zugang: unbekannte Option \"%1\".").arg(argument));
        } else if (!login.isEmpty()) {
            return UsageError(
                QStringLiteral("zugang: nur einen Login angeben (\"%1\" und \"%2\").").arg(login, argument));
        } else {
            login = argument;
        }
    }
    kxserver::DbTarget target;
    target.backend = kxserver::Backend::Postgres;
    if (server.isEmpty())
        return UsageError(QStringLiteral("zugang: --pg HOST:PORT angeben (Logins gibt es nur auf PostgreSQL)."));
    if (!ParsePgServer(server, &target.host, &target.port))
        return UsageError(QStringLiteral("zugang: --pg: \"%1\" ist nicht von der Form HOST:PORT.").arg(server));
    if (login.isEmpty())
        return UsageError(QStringLiteral("zugang: den Login angeben."));
    if (remove) {
        if (!firmaText.isEmpty() || !personal.isEmpty() || !connectionsText.isEmpty())
            return UsageError(
                QStringLiteral("zugang: --entfernen nicht zusammen mit --firma, --personal oder --verbindungen."));
        try {
            kxserver::RemovePgLogin(target, login);
        } catch (const cacheapi::ServerError &e) {
            return Failure(e.description());
        }
        Print(stdout, QStringLiteral("Login %1 entfernt.\n").arg(login));
        return 0;
    }
    if (firmaText.isEmpty() || personal.isEmpty())
        return UsageError(
            QStringLiteral("zugang: --firma N und --personal CODE[,CODE...] angeben (oder --entfernen)."));
    bool ok = false;
    const int firma = firmaText.toInt(&ok);
    if (!ok || firma < 1)
        return UsageError(QStringLiteral("zugang: --firma: \"%1\" ist keine ganze Zahl ab 1.").arg(firmaText));
    int connections = kxserver::kClerkConnections;
    if (!connectionsText.isEmpty()) {
        connections = connectionsText.toInt(&ok);
        if (!ok || connections < 1 || connections > 1000)
            return UsageError(
                QStringLiteral("zugang: --verbindungen: \"%1\" ist keine ganze Zahl von 1 bis 1000.").arg(connectionsText));
    }
    QStringList codes = personal.split(QLatin1Char(','), Qt::SkipEmptyParts);
    codes.removeDuplicates();
    if (codes.isEmpty())
        return UsageError(QStringLiteral("zugang: --personal: \"%1\" nennt keinen Personalcode.").arg(personal));

    // The password from the first line of standard input: never on the command line, where every
    // user of the machine could read it.
    std::string line;
    if (!std::getline(std::cin, line))
        line.clear();
    QString password = QString::fromLocal8Bit(line.c_str());
    if (password.endsWith(QLatin1Char('\r')))
        password.chop(1);
    if (password.isEmpty())
        return Failure(QStringLiteral("zugang: kein Passwort in der ersten Zeile der Standardeingabe."));
    bool created = false;
    try {
        kxserver::SetPgLogin(target, login, firma, codes, password, &created, connections);
    } catch (const cacheapi::ServerError &e) {
        return Failure(e.description());
    }
    Print(stdout, QStringLiteral("Login %1 %2: Firma %3, Personalcode(s) %4.\n")
                      .arg(login, created ? QStringLiteral("angelegt") : QStringLiteral("geändert"))
                      .arg(firma)
                      .arg(codes.join(QStringLiteral(", "))));
    return 0;
}
