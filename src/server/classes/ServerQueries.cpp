#include "server/classes/ServerQueries.h"

#include "server/lists/ArticleStamp.h"
#include "server/db/Digits.h"
#include "server/db/PgRows.h"
#include "server/lists/Proposals.h"
#include "session/ServerErrorCodes.h"
#include "server/db/SqliteRows.h"
#include "server/lists/UpdateLists.h"

#include <QHash>
#include <QSqlQuery>
#include <QStringBuilder>

#include <optional>
#include <type_traits>
#include <vector>

namespace kxserver {

namespace {

using cacheapi::QueryCursor;

struct QueryDef {
    const char *name;
    int parameters;
    int columns;
    // Executes the query; `context` keeps what the columns need besides the row (the list key).
    std::shared_ptr<QSqlQuery> (*run)(SqlConnection &, const QVariantList &params, QString &context);
    QVariant (*column)(const QSqlQuery &, int column, const QString &context);
    // For the queries of one article's supplier entries: adds a row to the article's stamp.
    void (*stampPart)(ArticleStamp &, const QSqlQuery &) = nullptr;
    // For queries whose columns are texts: a column as column() gives it, without the QVariant.
    QString (*text)(const QSqlQuery &, int column, const QString &context) = nullptr;
    // For the long reads, in place of run and column: the rows read through the database's own
    // interface (DirectRows), and their columns as texts. Where runDirect gives no rows (a backend
    // read better through Qt's driver), run and column read them.
    std::unique_ptr<DirectRows> (*runDirect)(SqlConnection &, const QVariantList &params, QString &context) = nullptr;
    QString (*directText)(const DirectRows &, int column, const QString &context) = nullptr;
    // For the proposals' query: read inside a unit (under the list's lock) to its last row, what it
    // found is kept for taking the proposals in that unit (UnitBook::noteProposalsRead).
    bool recordsProposals = false;
    // For direct rows whose columns are not all texts: a column as column() gives it.
    QVariant (*directValue)(const DirectRows &, int column, const QString &context) = nullptr;
};

// "70012 Baustoffe M}ller GmbH" for supplier `key` named `name` (a QString, or the database's UTF-8
// bytes, compared unconverted). A list of 100,000 articles names a few hundred suppliers: each one's
// text is made once per thread (a pure function of number and name, so nothing can go stale) and
// then shared.
template <typename Name> QString sharedSupplierText(qint64 key, const Name &name) {
    constexpr bool bytes = std::is_same_v<Name, QByteArrayView>;
    struct Known {
        std::conditional_t<bytes, QByteArray, QString> name;
        QString text;
    };
    constexpr qsizetype kMostSuppliers = 4096;
    thread_local QHash<qint64, Known> known;
    if (const auto found = known.constFind(key); found != known.constEnd() && found->name == name)
        return found->text;
    // The number as toString writes it.
    QString result = QString::number(key) % QLatin1Char(' ');
    if constexpr (bytes)
        result += QString::fromUtf8(name.data(), name.size());
    else
        result += name;
    if (known.size() < kMostSuppliers || known.contains(key)) {
        if constexpr (bytes)
            known.insert(key, Known{name.toByteArray(), result});
        else
            known.insert(key, Known{name, result});
    }
    return result;
}

// The supplier number leads, so the program can match it.
QString supplierText(const QVariant &number, const QVariant &name) {
    if (number.isNull())
        return QString();
    const bool whole = number.typeId() == QMetaType::Int || number.typeId() == QMetaType::LongLong;
    if (!whole)
        return number.toString() % QLatin1Char(' ') % name.toString();
    return sharedSupplierText(number.toLongLong(), name.toString());
}

// The same from the database's own values.
QString supplierText(const DirectRows &row, int numberColumn, int nameColumn) {
    if (row.isNull(numberColumn))
        return QString();
    const std::optional<qint64> key = row.whole(numberColumn);
    const std::optional<QByteArrayView> name = row.textBytes(nameColumn);
    if (!key || !name)
        return row.text(numberColumn) % QLatin1Char(' ') % row.text(nameColumn);
    return sharedSupplierText(*key, *name);
}

// An ISO date as the program shows it; "00:00:00" when there was no purchase.
QString purchaseDate(const QVariant &iso) {
    const QString text = iso.toString();
    if (text.size() != 10)
        return QStringLiteral("00:00:00");
    const QStringView date(text);
    return date.sliced(8, 2) % QLatin1Char('.') % date.sliced(5, 2) % QLatin1Char('.') % date.first(4);
}

// A supplier entry's id, "list||pair", from the pair's column; empty when it is null. A whole
// number is written straight into the id: the proposals' read makes 100,000 of them.
QString pairId(const DirectRows &row, int column, const QString &list) {
    if (const std::optional<qint64> pair = row.whole(column))
        return list % QLatin1String("||") % Digits(*pair).latin1();
    return row.isNull(column) ? QString() : QString(list % QLatin1String("||") % row.text(column));
}

// A column of the article list's rows (ArticleListSql); each is a text.
QString articleText(const QSqlQuery &row, int column, const QString &context) {
    switch (column) {
    case 1:
        return context % QLatin1String("||") % row.value(0).toString();
    case 2:
        return row.value(0).toString();
    case 3:
        return row.value(1).toString();
    case 4:
        return supplierText(row.value(2), row.value(3));
    default:
        return supplierText(row.value(4), row.value(5));
    }
}

QString articleText(const DirectRows &row, int column, const QString &context) {
    switch (column) {
    case 1:
        return context % QLatin1String("||") % row.text(0);
    case 2:
        return row.text(0);
    case 3:
        return row.text(1);
    case 4:
        return supplierText(row, 2, 3);
    default:
        return supplierText(row, 4, 5);
    }
}

// The supplier rows of one article of a list (its number, then the list key), up to the list's own
// changes, which each backend joins its way.
const char *const kSupplierRowsFrom =
    "SELECT al.id, f.liefnr, f.name, al.ek_cent, al.pe, al.le_einkauf, COALESCE(o.laktiv, al.aktiv),"
    " COALESCE(o.hlief, CASE WHEN a.haupt_lief = al.lieferant THEN 'J' ELSE 'N' END)"
    " FROM artliste l JOIN upd_artikel u ON u.run = l.run AND u.artnr = ?"
    " JOIN artikel a ON a.id = u.artikel"
    " JOIN artlief al ON al.artikel = u.artikel"
    " JOIN lieferant f ON f.id = al.lieferant";

// Up to this many articles, "ArtikelZeilen" finds them by key with the statement kept prepared.
constexpr qsizetype kFewArticles = 100;

const std::vector<QueryDef> &hauptliefQueries() {
    static const std::vector<QueryDef> queries{
        {"Updates", 0, 4,
         [](SqlConnection &connection, const QVariantList &, QString &) {
             // A session that named its company sees that company's runs only.
             if (connection.sessionFirma)
                 return std::make_shared<QSqlQuery>(connection.run(
                     QStringLiteral("SELECT firma, nr, bez, datum FROM upd_run WHERE firma = ? ORDER BY nr"),
                     {*connection.sessionFirma}));
             return std::make_shared<QSqlQuery>(
                 connection.run(QStringLiteral("SELECT firma, nr, bez, datum FROM upd_run ORDER BY firma, nr")));
         },
         [](const QSqlQuery &row, int column, const QString &) -> QVariant {
             switch (column) {
             case 1:
                 return row.value(0).toString() + QStringLiteral("||") + row.value(1).toString();
             case 2:
                 return row.value(1).toInt();
             case 3:
                 return row.value(2).toString();
             default:
                 return row.value(3).toInt();
             }
         }},
        {"Artikel", 1, 5, nullptr, nullptr, nullptr, nullptr,
         [](SqlConnection &connection, const QVariantList &params, QString &context) -> std::unique_ptr<DirectRows> {
             const qint64 list = lists::ListKey(params.at(0));
             context = QString::number(list);
             // Once per list: preparing it costs nothing beside its rows, and a plan made once for any
             // list would not know how large this one is.
             const QString sql = lists::ArticleListSql(connection.backend());
             if (connection.backend() == Backend::Sqlite)
                 return std::make_unique<SqliteRows>(connection, sql, QVariantList{list});
             return std::make_unique<PgRows>(connection, sql, QVariantList{list});
         },
         articleText},
        // The rows of "Artikel" for some articles of the list only (their numbers joined by line
        // feeds), in one request however many: what a screen needs to show the rows that changed.
        {"ArtikelZeilen", 2, 5,
         [](SqlConnection &connection, const QVariantList &params, QString &context) {
             const qint64 list = lists::ListKey(params.at(0));
             context = QString::number(list);
             const QStringList numbers = params.at(1).toString().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
             const QString sql = lists::ArticleListSql(connection.backend(), lists::SomeArticles(connection));
             const QVariantList values{list, lists::ArticleNumbersValue(connection, numbers)};
             // A few articles (what a look of the live view brings, some 80 times a second with 32
             // watching clerks) go through the statement kept prepared, whose one plan finds them by
             // key and is made once per connection. Many go as they stand: PostgreSQL's planner must
             // see the array's length (see SomeArticles) to join 20,000 by hash.
             if (numbers.size() <= kFewArticles)
                 return connection.runCached(sql, values);
             return std::make_shared<QSqlQuery>(connection.run(sql, values));
         },
         [](const QSqlQuery &row, int column, const QString &context) -> QVariant {
             return articleText(row, column, context);
         },
         nullptr, articleText,
         [](SqlConnection &connection, const QVariantList &params, QString &context) -> std::unique_ptr<DirectRows> {
             if (connection.backend() != Backend::Sqlite)
                 return nullptr;
             const qint64 list = lists::ListKey(params.at(0));
             context = QString::number(list);
             return std::make_unique<SqliteRows>(
                 connection, lists::ArticleListSql(connection.backend(), lists::SomeArticles(connection)),
                 QVariantList{list, lists::ArticleNumbersValue(connection, params.at(1))});
         },
         articleText},
        // Column 7, the entry's main-supplier flag, is this server's own: with it a refreshed screen
        // learns the article's main supplier from the same read as its suppliers.
        {"ArtikelLief", 2, 7,
         [](SqlConnection &connection, const QVariantList &params, QString &context) {
             const qint64 list = lists::ListKey(params.at(0));
             context = QString::number(list);
             const QString article = params.at(1).toString();
             if (connection.backend() == Backend::Sqlite) {
                 static const QString sql =
                     QStringLiteral("%1%2 WHERE l.id = ? ORDER BY f.liefnr")
                         .arg(QLatin1String(kSupplierRowsFrom),
                              lists::ChangeJoin(Backend::Sqlite, QStringLiteral("l.id"), QStringLiteral("al.id")));
                 return connection.runCached(sql, {article, list});
             }
             // On PostgreSQL the list's changes of the article's entries are read once, into an array
             // joined by entry, instead of once per entry: a table of few pages (no one has unsaved
             // changes, or a handful) is scanned rather than looked up, and a scan per entry cost
             // more than all the rest of the statement. Many pages make it a lookup by entry, as the
             // per-entry join was (the list compared as an expression, for the reason ChangeJoin gives).
             static const QString sql =
                 QStringLiteral("%1 LEFT JOIN unnest((SELECT array_agg(x) FROM liste_aend x"
                                " WHERE x.liste + 0 = ? AND x.artlief = ANY (ARRAY(SELECT z.id FROM artliste lz"
                                " JOIN upd_artikel uz ON uz.run = lz.run AND uz.artnr = ?"
                                " JOIN artlief z ON z.artikel = uz.artikel WHERE lz.id = ?)))) o ON o.artlief = al.id"
                                " WHERE l.id = ? ORDER BY f.liefnr")
                     .arg(QLatin1String(kSupplierRowsFrom));
             return connection.runCached(sql, {article, list, article, list, list});
         },
         [](const QSqlQuery &row, int column, const QString &context) -> QVariant {
             switch (column) {
             case 1:
                 return QString(context % QLatin1String("||") % row.value(0).toString());
             case 2:
                 return supplierText(row.value(1), row.value(2));
             case 3:
                 return row.value(3).toLongLong() / 100.0;
             case 4:
                 return row.value(4).toString();
             case 5:
                 return purchaseDate(row.value(5));
             case 6:
                 return row.value(6).toString();
             default:
                 return row.value(7).toString();
             }
         },
         [](ArticleStamp &stamp, const QSqlQuery &row) {
             stamp.add(row.value(0).toString(), row.value(6).toString(), row.value(7).toString());
         }},
        {"Vorschlaege", 1, 6,
         [](SqlConnection &connection, const QVariantList &params, QString &context) {
             const qint64 list = lists::ListKey(params.at(0));
             context = QString::number(list);
             return std::make_shared<QSqlQuery>(lists::ProposalRows(connection, list));
         },
         [](const QSqlQuery &row, int column, const QString &context) -> QVariant {
             switch (column) {
             case 1:
                 return row.value(0).toString();
             case 2:
                 return row.value(1).isNull() ? QString() : context + QStringLiteral("||") + row.value(1).toString();
             case 3:
                 return row.value(2).toString();
             case 4:
                 return row.value(3).toString();
             case 5:
                 return row.value(4).toInt() ? QStringLiteral("J") : QStringLiteral("N");
             default:
                 return row.value(5).toInt();
             }
         },
         nullptr, nullptr,
         [](SqlConnection &connection, const QVariantList &params, QString &context) {
             const qint64 list = lists::ListKey(params.at(0));
             context = QString::number(list);
             return lists::ProposalDirectRows(connection, list);
         },
         nullptr, true,
         [](const DirectRows &row, int column, const QString &context) -> QVariant {
             switch (column) {
             case 1:
                 return row.text(0);
             case 2:
                 return pairId(row, 1, context);
             case 3:
                 return FlagText(row, 2);
             case 4:
                 return FlagText(row, 3);
             case 5:
                 return row.whole(4).value_or(0) ? QStringLiteral("J") : QStringLiteral("N");
             default:
                 return int(row.whole(5).value_or(0));
             }
         }},
        {"VorschlagsArtikel", 1, 2,
         [](SqlConnection &connection, const QVariantList &params, QString &) {
             return std::make_shared<QSqlQuery>(lists::ProposalArticleRows(connection, lists::ListKey(params.at(0))));
         },
         [](const QSqlQuery &row, int column, const QString &) -> QVariant { return row.value(column - 1).toString(); },
         nullptr, nullptr,
         [](SqlConnection &connection, const QVariantList &params, QString &) {
             return lists::ProposalArticleDirectRows(connection, lists::ListKey(params.at(0)));
         },
         [](const DirectRows &row, int column, const QString &) {
             return column == 2 ? FlagText(row, 1) : row.text(column - 1);
         }},
    };
    return queries;
}

class SqlCursor : public QueryCursor {
public:
    SqlCursor(std::shared_ptr<SqlConnection> connection, const QueryDef &def)
        : m_connection(std::move(connection)), m_def(def) {}

    void execute(const QVariantList &params) override {
        m_connection->ensureOpen();
        if (params.size() != m_def.parameters)
            throw Error(kWrongArguments, QStringLiteral("Die Abfrage \"%1\" erwartet %2 Parameter, erhalten: %3.")
                                             .arg(QLatin1String(m_def.name))
                                             .arg(m_def.parameters)
                                             .arg(params.size()));
        m_query.reset();
        m_rows.reset();
        m_row = false;
        m_done = false;
        m_stamp.reset();
        m_proposals.reset();
        if (m_def.runDirect)
            m_rows = m_def.runDirect(*m_connection, params, m_context);
        if (!m_rows)
            m_query = m_def.run(*m_connection, params, m_context);
        if (m_def.recordsProposals && m_connection->inUnit())
            m_proposals.emplace();
    }

    bool next() override {
        if (!m_query && !m_rows)
            throw Error(kCursorState,
                        QStringLiteral("Die Abfrage \"%1\" wurde nicht ausgeführt.").arg(QLatin1String(m_def.name)));
        m_connection->ensureOpen();
        try {
            // A failed fetch is an error, never a short result.
            m_row = m_rows ? m_rows->next() : m_connection->next(*m_query);
        } catch (...) {
            m_row = false;
            m_query.reset();
            m_rows.reset();
            m_proposals.reset();
            throw;
        }
        if (m_row && m_def.stampPart && m_query)
            m_def.stampPart(m_stamp, *m_query);
        if (m_row && m_proposals) {
            if (m_query)
                m_proposals->add(*m_query);
            else
                m_proposals->add(*m_rows);
        }
        if (!m_row) {
            m_done = true;
            if (m_proposals) {
                lists::Unit(*m_connection).book.noteProposalsRead(m_context.toLongLong(), m_proposals->take());
                m_proposals.reset();
            }
            if (m_query)
                m_query->finish(); // ends SQLite's read snapshot at once
        }
        return m_row;
    }

    QVariant column(int number) override {
        checkColumns(number, 1);
        if (m_rows)
            return m_def.directValue ? m_def.directValue(*m_rows, number, m_context)
                                     : QVariant(m_def.directText(*m_rows, number, m_context));
        return m_def.column(*m_query, number, m_context);
    }

    void columnTexts(int first, std::span<QString> texts) override {
        const bool direct = m_rows && m_def.directText;
        if (!direct && (m_rows || !m_def.text)) {
            QueryCursor::columnTexts(first, texts);
            return;
        }
        checkColumns(first, texts.size());
        for (QString &text : texts)
            text = direct ? m_def.directText(*m_rows, first++, m_context) : m_def.text(*m_query, first++, m_context);
    }

    void close() override {
        m_query.reset();
        m_rows.reset();
        m_proposals.reset();
        m_row = false;
    }

    QString stamp() const override { return m_def.stampPart && m_done ? m_stamp.result() : QString(); }

private:
    void checkColumns(int first, size_t count) const {
        if (!m_row)
            throw Error(kCursorState,
                        QStringLiteral("Die Abfrage \"%1\" steht auf keiner Zeile.").arg(QLatin1String(m_def.name)));
        for (int number : {first, first + int(count) - 1})
            if (count > 0 && (number < 1 || number > m_def.columns))
                throw Error(kCursorState, QStringLiteral("Die Abfrage \"%1\" hat keine Spalte %2.")
                                              .arg(QLatin1String(m_def.name))
                                              .arg(number));
    }

    // Declared first so that the statement below dies before the connection it belongs to.
    std::shared_ptr<SqlConnection> m_connection;
    const QueryDef &m_def;
    std::shared_ptr<QSqlQuery> m_query; // lent by the connection until the cursor lets go of it
    std::unique_ptr<DirectRows> m_rows; // instead of m_query, where the query reads the database's own way
    QString m_context;
    bool m_row = false;
    bool m_done = false; // the last row was read: the stamp covers everything delivered
    ArticleStamp m_stamp;
    std::optional<lists::ProposalRecorder> m_proposals; // reading the proposals inside a unit
};

const QueryDef &queryDef(const char *name) {
    for (const QueryDef &def : hauptliefQueries())
        if (qstrcmp(def.name, name) == 0)
            return def;
    throw Error(kUnknownQuery, QStringLiteral("Die Abfrage \"%1\" gibt es nicht.").arg(QLatin1String(name)));
}

} // namespace

cacheapi::QueryCursorPtr OpenHauptliefQuery(const std::shared_ptr<SqlConnection> &connection,
                                            const QString &queryName) {
    for (const QueryDef &def : hauptliefQueries())
        if (queryName == QLatin1String(def.name))
            return std::make_unique<SqlCursor>(connection, def);
    return nullptr;
}

QString StampOfArticle(SqlConnection &connection, const QString &listKey, const QString &articleNumber) {
    // The supplier list's own query, so that both stamps are made from exactly the same rows.
    const QueryDef &def = queryDef("ArtikelLief");
    QString context;
    const std::shared_ptr<QSqlQuery> query = def.run(connection, {listKey, articleNumber}, context);
    ArticleStamp stamp;
    while (connection.next(*query))
        def.stampPart(stamp, *query);
    return stamp.result();
}

QVariantList ArticleListColumns(const DirectRows &row, const QString &listKey) {
    QVariantList columns;
    columns.reserve(5);
    for (int column = 1; column <= 5; ++column)
        columns << articleText(row, column, listKey);
    return columns;
}

} // namespace kxserver
