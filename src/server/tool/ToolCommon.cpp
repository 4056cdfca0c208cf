#include "server/tool/ToolCommon.h"

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
