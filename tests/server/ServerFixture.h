#pragma once

#include "session/Factory.h"
#include "server/admin/KorvexDb.h"
#include "session/ServerErrorCodes.h"
#include "server/classes/SqlFactory.h"

#include <QList>
#include <QString>
#include <QVariant>
#include <QVariantList>

#include <ostream>

#include <gtest/gtest.h>

namespace korvextest {
class PgCluster;
}

// Readable failure messages.
inline void PrintTo(const QString &text, std::ostream *out) {
    *out << '"' << text.toStdString() << '"';
}
inline void PrintTo(const QVariant &value, std::ostream *out) {
    *out << value.typeName() << '(' << value.toString().toStdString() << ')';
}

// One suite, run against both backends: every test gets a fresh demo database, an embedded SQLite
// file or database "korvex" of a throwaway PostgreSQL cluster on 127.0.0.1.
class ServerTest : public ::testing::TestWithParam<kxserver::Backend> {
protected:
    void SetUp() override;
    // Runs SQL directly on the test database (behind the program's back) and returns the first
    // column of the rows, joined by line feeds.
    QString rawSql(const QString &sql) const;

    bool sqlite() const { return GetParam() == kxserver::Backend::Sqlite; }
    QString connectString() const;
    // The cluster of the PostgreSQL run (started on first use, stopped after the last test).
    static korvextest::PgCluster &cluster();

    // A new factory connected to the test database.
    cacheapi::FactoryPtr connect() const;

public:
    // Sends the session command as the program does after every connect.
    static void session(cacheapi::Factory &factory, int firma = 1, const QString &personal = QStringLiteral("DEMO"));
    // A factory with the session of company 1 and the given user.
    cacheapi::FactoryPtr clerk(const QString &personal = QStringLiteral("DEMO")) const;

    // All rows of a class query.
    static QList<QVariantList> rows(cacheapi::Factory &factory, const QString &query, const QVariantList &params = {});
    // ArtListe(company, update) and its key (field 1).
    static QString artListe(cacheapi::Factory &factory, const QString &update,
                            const QString &firma = QStringLiteral("1"));
    static QString listKey(cacheapi::Factory &factory, const QString &update);
    // The article row (columns 1 to 5) of article `artnr` in list `key`.
    static QVariantList article(cacheapi::Factory &factory, const QString &key, const QString &artnr);
    // The supplier rows of an article in list `key`.
    static QList<QVariantList> suppliers(cacheapi::Factory &factory, const QString &key, const QString &artnr);
    // The entry id of the supplier whose number is `liefnr`.
    static QString entryId(cacheapi::Factory &factory, const QString &key, const QString &artnr, int liefnr);
    // Opens an entry, writes the members and saves and closes it, as the main window does.
    static void writeEntry(cacheapi::Factory &factory, const QString &id, const QVariantMap &members);
    // The main-supplier change of the main window: every entry of the article, in one unit.
    static void makeMain(cacheapi::Factory &factory, const QString &key, const QString &artnr, int liefnr);
    static int speichern(cacheapi::Factory &factory, const QString &key, const QString &firma = QStringLiteral("1"));

protected:
    QString m_file; // SQLite run: the database file
};

// Runs `body` and expects a ServerError with `code`; returns its description.
template <typename Body> QString ExpectServerError(int code, Body &&body) {
    try {
        body();
    } catch (const cacheapi::ServerError &error) {
        EXPECT_EQ(error.number(), code) << error.description().toStdString();
        return error.description();
    }
    ADD_FAILURE() << "no ServerError, expected " << code;
    return QString();
}
