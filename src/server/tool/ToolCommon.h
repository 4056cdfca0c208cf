#pragma once

#include "server/db/SqlConnection.h"

#include <QString>
#include <QStringList>

#include <cstdio>

// What korvex-db's commands share: how they write to the terminal, their exit statuses, and how
// they read a PostgreSQL server's address.

void Print(FILE *stream, const QString &text);
// A wrong call: the message and where help is, on standard error; returns the exit status 2.
int UsageError(const QString &message);
// A refused or failed call: the message on standard error; returns the exit status 1.
int Failure(const QString &message);
// "HOST:PORT" of --pg (a host name or address, an IPv6 one in brackets, a port from 1 to 65535);
// false for anything else.
bool ParsePgServer(const QString &text, QString *host, int *port);
// The value after the option at `i`, which then moves on to it; false when the option is last.
bool TakeValue(const QStringList &arguments, int &i, QString *value);

// The database of a call: DATEI or --pg HOST:PORT, and --firma; the other arguments stay in `rest`.
struct DbArguments {
    kxserver::ConnectTarget target;
    int firma = 1;
    QStringList rest;
};
// Empty when the arguments name one database; otherwise what is wrong.
QString ParseDbArguments(const QStringList &arguments, DbArguments *common);
