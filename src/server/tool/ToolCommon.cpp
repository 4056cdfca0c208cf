#include "server/tool/ToolCommon.h"

#include <QFileInfo>

#include <QRegularExpression>

void Print(FILE *stream, const QString &text) {
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fflush(stream);
}

int UsageError(const QString &message) {
    Print(stderr, QStringLiteral("korvex-db: %1\nHilfe: korvex-db --help\n").arg(message));
    return 2;
}

int Failure(const QString &message) {
    Print(stderr, QStringLiteral("korvex-db: %1\n").arg(message));
    return 1;
}

bool ParsePgServer(const QString &text, QString *host, int *port) {
    static const QRegularExpression pattern(QStringLiteral("^\\[?([A-Za-z0-9._:-]+?)\\]?:([0-9]{1,5})$"));
    const QRegularExpressionMatch match = pattern.match(text);
    const int number = match.hasMatch() ? match.captured(2).toInt() : 0;
    if (!match.hasMatch() || number < 1 || number > 65535)
        return false;
    *host = match.captured(1);
    *port = number;
    return true;
}

bool TakeValue(const QStringList &arguments, int &i, QString *value) {
    if (i + 1 >= arguments.size())
        return false;
    *value = arguments.at(++i);
    return true;
}

// The database of the call: DATEI or --pg HOST:PORT, and --firma; the remaining arguments stay.
QString ParseDbArguments(const QStringList &arguments, DbArguments *common) {
    QString file;
    QString server;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (argument == QLatin1String("--pg") || argument == QLatin1String("--firma")) {
            QString value;
            if (!TakeValue(arguments, i, &value))
                return QStringLiteral("%1 braucht einen Wert.").arg(argument);
            if (argument == QLatin1String("--pg")) {
                if (!server.isEmpty())
                    return QStringLiteral("--pg ist doppelt angegeben.");
                server = value;
            } else {
                bool ok = false;
                common->firma = value.toInt(&ok);
                if (!ok || common->firma < 1)
                    return QStringLiteral("--firma: \"%1\" ist keine ganze Zahl ab 1.").arg(value);
            }
        } else if (file.isEmpty() && server.isEmpty() && !argument.startsWith(QLatin1Char('-')) &&
                   !argument.contains(QLatin1Char('=')) && common->rest.isEmpty()) {
            file = argument;
        } else {
            common->rest << argument;
        }
    }
    if (file.isEmpty() == server.isEmpty())
        return QStringLiteral("genau eines angeben: eine Datei oder --pg HOST:PORT.");
    if (!server.isEmpty()) {
        if (!ParsePgServer(server, &common->target.host, &common->target.port))
            return QStringLiteral("--pg: \"%1\" ist nicht von der Form HOST:PORT.").arg(server);
        common->target.backend = kxserver::Backend::Postgres;
    } else {
        common->target.backend = kxserver::Backend::Sqlite;
        common->target.path = QFileInfo(file).absoluteFilePath();
    }
    return QString();
}

