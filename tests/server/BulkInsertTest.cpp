// Bulk inserts (COPY on PostgreSQL, SQLite's own binding): every value arrives as it was given,
// past the size of one statement or COPY, and a failure in the middle leaves nothing behind; the
// long reads' rows as they come back, and regrouped; the dialect's lists of values as one parameter.

#include "server/db/BulkInsert.h"
#include "server/db/Dialect.h"
#include "server/lists/GroupSortedRows.h"
#include "server/db/JsonRows.h"
#include "server/db/rows/PgRows.h"
#include "server/db/rows/QtRows.h"
#include "session/ServerError.h"
#include "session/ServerErrorCodes.h"
#include "PgCluster.h"
#include "ServerFixture.h"
#include "server/db/rows/SqliteRows.h"
#include "server/lists/UpdateLists.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSqlError>
#include <QSqlQuery>

using kxserver::BulkInsert;

namespace {

class BulkInsertTest : public ServerTest {
protected:
    std::shared_ptr<kxserver::SqlConnection> open() const {
        return kxserver::SqlConnection::open(*kxserver::ParseConnectString(connectString()));
    }
    static QString name(qint64 id, const std::shared_ptr<kxserver::SqlConnection> &connection) {
        QSqlQuery query = connection->run(QStringLiteral("SELECT bez FROM artikel WHERE id = ?"), {id});
        return connection->next(query) ? query.value(0).toString() : QStringLiteral("(keine Zeile)");
    }
};

// Texts as one bound value: a JSON parser reads each back as it was, from a list and from lines
// (whose empty lines are no texts).
TEST(JsonValues, EveryTextComesBackFromAJsonParser) {
    const QStringList texts{"100001", "", "quote\"", "back\\slash\\", "tab\there\x01\x1f", "é€𝄞", "cr\r", "[]{},:"};
    const auto parsed = [](const QString &json) {
        QJsonParseError error;
        const QJsonArray array = QJsonDocument::fromJson(json.toUtf8(), &error).array();
        EXPECT_EQ(error.error, QJsonParseError::NoError) << json.toStdString();
        QStringList values;
        for (const QJsonValue &value : array)
            values << value.toString();
        return values;
    };
    QStringList lines = texts;
    lines.removeAll(QString());
    EXPECT_EQ(parsed(kxserver::JsonTextList(texts)), texts);
    EXPECT_EQ(parsed(kxserver::JsonLineList(texts.join('\n'))), lines);
    EXPECT_EQ(parsed(kxserver::JsonLineList("\n\n" + texts.join("\n\n") + '\n')), lines);
    EXPECT_EQ(kxserver::JsonLineList(u"\n\n"), QStringLiteral("[]"));
    EXPECT_EQ(kxserver::JsonTextList({}), QStringLiteral("[]"));
}

// Any number of values as one bound parameter (the dialect's lists): each value of the list is
// found as it stands and no other, however it is written; an empty line of lines is no value.
TEST_P(BulkInsertTest, AListAsOneParameterHoldsEachValueAsItIs) {
    using namespace kxserver;
    const auto connection = open();
    const Backend backend = connection->backend();
    const auto found = [&](const QString &condition, const QVariant &value, const QVariant &list) {
        QSqlQuery query = connection->run(QStringLiteral("SELECT 1 WHERE ") + condition, {value, list});
        return connection->next(query);
    };
    const QString text = InTextList(backend, QStringLiteral("CAST(? AS TEXT)"));
    const QStringList texts{"100001", "", "quote\"", "back\\slash\\", "a,b", "{x}", "NULL", " spaced ", "é€𝄞"};
    for (const QString &value : texts) {
        QStringList others = texts;
        others.removeAll(value);
        EXPECT_TRUE(found(text, value, TextListValue(backend, texts))) << value.toStdString();
        EXPECT_FALSE(found(text, value, TextListValue(backend, others))) << value.toStdString();
    }
    QStringList lines = texts;
    lines.removeAll(QString());
    const QString withEmptyLines = '\n' + lines.join(QStringLiteral("\n\n")) + '\n';
    for (const QString &value : lines)
        EXPECT_TRUE(found(text, value, TextLinesValue(backend, withEmptyLines))) << value.toStdString();
    EXPECT_FALSE(found(text, QString(), TextLinesValue(backend, withEmptyLines)));
    const QString id = InIdList(backend, QStringLiteral("CAST(? AS BIGINT)"));
    EXPECT_TRUE(found(id, qint64(9007199254740993), IdListValue(backend, {1, 9007199254740993, -5})));
    EXPECT_TRUE(found(id, qint64(-5), IdListValue(backend, {1, 9007199254740993, -5})));
    EXPECT_FALSE(found(id, qint64(2), IdListValue(backend, {1, -5})));
    EXPECT_FALSE(found(id, qint64(1), IdListValue(backend, {})));
}

// The characters that end a value, a row or COPY's data, quotes, letters beyond ASCII (one of them
// beyond 16 bits) and a null, in rows past one SQLite statement and one COPY.
TEST_P(BulkInsertTest, EveryValueArrivesIntact) {
    const QStringList odd{QStringLiteral("Tab\there"),
                          QStringLiteral("back\\slash \\N \\."),
                          QStringLiteral("two\nlines\r\nand CR\r"),
                          QStringLiteral("\"quoted\" 'single'"),
                          QStringLiteral("Größe \u20AC \U0001F600 end"),
                          QStringLiteral("\\.")};
    const auto connection = open();
    const qsizetype count = BulkInsert::kRowsPerCopy + 3;
    const qint64 base = rawSql(QStringLiteral("SELECT MAX(id) FROM artikel")).toLongLong() + 1;
    connection->beginUnit();
    {
        BulkInsert insert(*connection, QStringLiteral("artikel"),
                          {QStringLiteral("id"), QStringLiteral("firma"), QStringLiteral("artnr"),
                           QStringLiteral("bez"), QStringLiteral("aend_pers")});
        for (qsizetype i = 0; i < count; ++i) {
            insert.number(base + i).number(1).text(QStringLiteral("BI%1").arg(base + i)).text(odd.at(i % odd.size()));
            if (i % 2)
                insert.null();
            else
                insert.text(QString());
            insert.endRow();
        }
        insert.finish();
    }
    connection->commitUnit();
    EXPECT_EQ(rawSql(QStringLiteral("SELECT COUNT(*) || ' ' || SUM(id) || ' ' || COUNT(aend_pers) FROM artikel"
                                    " WHERE artnr = 'BI' || CAST(id AS TEXT)")),
              QStringLiteral("%1 %2 %3").arg(count).arg(base * count + count * (count - 1) / 2).arg((count + 1) / 2));
    for (const qint64 i : {qint64(0), qint64(1), qint64(2), qint64(3), qint64(4), qint64(5),
                           qint64(BulkInsert::kRowsPerStatement), qint64(BulkInsert::kRowsPerCopy), qint64(count - 1)})
        EXPECT_EQ(name(base + i, connection), odd.at(i % odd.size())) << i;

    // Read back through the database's own interface, as the long reads do, and through Qt's driver,
    // as the other class queries do: each value as it went in, whichever reader.
    enum class Reader { Own, Driver };
    const auto read = [&](Reader reader, const QString &sql,
                          const QVariantList &values) -> std::unique_ptr<kxserver::DirectRows> {
        if (reader == Reader::Driver)
            return std::make_unique<kxserver::QtRows>(*connection, connection->run(sql, values));
        if (sqlite())
            return std::make_unique<kxserver::SqliteRows>(*connection, sql, values);
        return std::make_unique<kxserver::PgRows>(*connection, sql, values);
    };
    for (const Reader reader : {Reader::Own, Reader::Driver}) {
        SCOPED_TRACE(reader == Reader::Own ? "the database's own interface" : "Qt's driver");
        std::unique_ptr<kxserver::DirectRows> rows =
            read(reader, QStringLiteral("SELECT id, bez, aend_pers FROM artikel WHERE id >= ? ORDER BY id"), {base});
        qint64 i = 0;
        for (; rows->next(); ++i) {
            const QString &text = odd.at(i % odd.size());
            EXPECT_EQ(rows->whole(0), base + i);
            EXPECT_EQ(rows->text(0), QString::number(base + i));
            EXPECT_EQ(rows->text(1), text) << i;
            // A text's bytes stay as they were while other columns are asked, up to the next row.
            const std::optional<QByteArrayView> bytes = rows->textBytes(1);
            EXPECT_EQ(rows->textBytes(2).has_value(), i % 2 == 0) << i;
            EXPECT_EQ(bytes.value_or(QByteArrayView()), text.toUtf8()) << i;
            EXPECT_EQ(rows->textBytes(1).value_or(QByteArrayView()), text.toUtf8()) << i;
            EXPECT_EQ(rows->whole(1), std::nullopt);
            EXPECT_EQ(rows->isNull(2), i % 2 == 1) << i;
            EXPECT_EQ(rows->text(2), QString()) << i;
        }
        EXPECT_EQ(i, count);
        EXPECT_FALSE(rows->next()) << "ever after";
        rows.reset();
        // The same texts as one bound value of article numbers, given as a list or as the lines of one
        // text (empty lines left out), come out of the database's array as they went in.
        QStringList lines;
        for (const QString &text : odd)
            if (!text.contains(QLatin1Char('\n')))
                lines << text;
        const QString elements = sqlite() ? QStringLiteral("SELECT value FROM json_each(?)")
                                          : QStringLiteral("SELECT unnest(CAST(? AS text[]))");
        for (const auto &[value, expected] :
             {std::pair(kxserver::lists::ArticleNumbersValue(*connection, odd), odd),
              std::pair(kxserver::lists::ArticleNumbersValue(*connection, QVariant(lines.join("\n\n") + "\n")),
                        lines)}) {
            QStringList back;
            for (const auto elementRows = read(reader, elements, {value}); elementRows->next();)
                back << elementRows->text(0);
            EXPECT_EQ(back, expected);
        }
        // A statement the database refuses, as it is prepared or while its rows come, and on
        // PostgreSQL a column type the database's own reader does not know: an error, never a short
        // result; the connection goes on.
        QStringList refused{QStringLiteral("SELECT no_such_column FROM artikel"),
                            sqlite() ? QStringLiteral("SELECT id, json_extract('[', '$') FROM artikel")
                                     : QStringLiteral("SELECT id, 1 / (id - id) FROM artikel")};
        if (!sqlite() && reader == Reader::Own)
            refused << QStringLiteral("SELECT 1.5");
        for (const QString &statement : refused) {
            EXPECT_THROW(
                {
                    const std::unique_ptr<kxserver::DirectRows> bad = read(reader, statement, {});
                    while (bad->next()) {
                    }
                },
                cacheapi::ServerError)
                << statement.toStdString();
            EXPECT_EQ(name(base, connection), odd.at(0)) << statement.toStdString();
        }
    }
}

// A row the table refuses (a key already there), after many good ones and before more: the unit
// fails as a whole, and the connection goes on working. The same on a plain connection of the
// admin's tool, in the transaction it opened: the failure names the table.
TEST_P(BulkInsertTest, AFailureInTheMiddleLeavesNothing) {
    const auto connection = open();
    const QString plainName = QStringLiteral("bulk-plain");
    const std::shared_ptr<void> removePlain(nullptr, [plainName](void *) { QSqlDatabase::removeDatabase(plainName); });
    QSqlDatabase plain =
        QSqlDatabase::addDatabase(sqlite() ? QStringLiteral("QSQLITE") : QStringLiteral("QPSQL"), plainName);
    if (sqlite()) {
        plain.setDatabaseName(m_file);
    } else {
        plain.setHostName(cluster().host());
        plain.setPort(cluster().port());
        plain.setDatabaseName(QStringLiteral("korvex"));
    }
    ASSERT_TRUE(plain.open()) << plain.lastError().text().toStdString();
    const QString before = rawSql(QStringLiteral("SELECT COUNT(*) FROM lieferant"));
    const qint64 taken = rawSql(QStringLiteral("SELECT MIN(id) FROM lieferant")).toLongLong();
    const QStringList columns{QStringLiteral("id"), QStringLiteral("firma"), QStringLiteral("liefnr"),
                              QStringLiteral("name")};
    const auto fill = [&](BulkInsert &insert, qsizetype bad) {
        for (qsizetype i = 0; i < bad + 20; ++i)
            insert.number(i == bad ? taken : 800000 + i).number(1).number(800000 + i).text(u"x").endRow();
        insert.finish();
    };
    for (const qsizetype bad :
         {qsizetype(7), qsizetype(BulkInsert::kRowsPerStatement + 1), qsizetype(BulkInsert::kRowsPerCopy + 1)}) {
        connection->beginUnit();
        connection->run(QStringLiteral("UPDATE lieferant SET name = 'geändert' WHERE id = ?"), {taken});
        EXPECT_THROW(
            {
                BulkInsert insert(*connection, QStringLiteral("lieferant"), columns);
                fill(insert, bad);
            },
            cacheapi::ServerError)
            << bad;
        connection->rollbackUnit();
        EXPECT_EQ(rawSql(QStringLiteral("SELECT COUNT(*) FROM lieferant")), before) << bad;
        EXPECT_NE(name(taken, connection), QStringLiteral("geändert")) << bad;

        ASSERT_TRUE(QSqlQuery(plain).exec(QStringLiteral("BEGIN")));
        const QString failure = ExpectServerError(kxserver::kDatabase, [&] {
            BulkInsert insert(plain, QStringLiteral("lieferant"), columns);
            fill(insert, bad);
        });
        EXPECT_TRUE(failure.startsWith(QStringLiteral("INSERT INTO lieferant: "))) << failure.toStdString();
        EXPECT_TRUE(QSqlQuery(plain).exec(QStringLiteral("ROLLBACK")));
        EXPECT_EQ(rawSql(QStringLiteral("SELECT COUNT(*) FROM lieferant")), before) << bad;
    }
}

// Rows regrouped as the proposals' read regroups them: each group (rows of one text in a column,
// following each other) in the order of a whole number, nulls first, equal numbers as they came;
// the values as the reader gave them, the groups never mixed.
TEST_P(BulkInsertTest, GroupsComeInTheOrderOfTheirColumn) {
    const auto connection = open();
    const auto read = [&](const QString &where) {
        const QString sql = QStringLiteral("SELECT column1, column2, column3 FROM (VALUES ('a', 3, 'drei', 1),"
                                           " ('a', NULL, 'ohne', 2), ('a', 1, 'eins', 3), ('a', 1, 'auch eins', 4),"
                                           " ('b', 2, 'é€𝄞', 5), ('c', NULL, NULL, 6), ('c', -5, 'minus', 7)) v%1"
                                           " ORDER BY column1, column4")
                                .arg(where);
        std::unique_ptr<kxserver::DirectRows> source;
        if (sqlite())
            source = std::make_unique<kxserver::SqliteRows>(*connection, sql, QVariantList{});
        else
            source = std::make_unique<kxserver::PgRows>(*connection, sql, QVariantList{});
        kxserver::GroupSortedRows rows(std::move(source), 3, 0, 1);
        QStringList found;
        while (rows.next()) {
            const std::optional<qint64> order = rows.whole(1);
            EXPECT_EQ(rows.text(1), order ? QString::number(*order) : QString());
            EXPECT_EQ(rows.isNull(2), !rows.textBytes(2));
            found << rows.text(0) + ' ' + (order ? QString::number(*order) : "null") + ' ' +
                         (rows.isNull(2) ? "NULL" : QString::fromUtf8(*rows.textBytes(2)));
        }
        EXPECT_FALSE(rows.next()) << "ever after";
        return found;
    };
    EXPECT_EQ(read(QString()), (QStringList{"a null ohne", "a 1 eins", "a 1 auch eins", "a 3 drei", "b 2 é€𝄞",
                                            "c null NULL", "c -5 minus"}));
    EXPECT_EQ(read(QStringLiteral(" WHERE column1 = 'b'")), QStringList{"b 2 é€𝄞"});
    EXPECT_EQ(read(QStringLiteral(" WHERE column1 = 'x'")), QStringList());
}

} // namespace

INSTANTIATE_TEST_SUITE_P(Backends, BulkInsertTest,
                         ::testing::Values(kxserver::Backend::Sqlite, kxserver::Backend::Postgres),
                         [](const ::testing::TestParamInfo<kxserver::Backend> &info) {
                             return info.param == kxserver::Backend::Sqlite ? std::string("SQLite")
                                                                            : std::string("PostgreSQL");
                         });
