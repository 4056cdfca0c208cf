#pragma once

#include "server/db/rows/DirectRows.h"
#include "session/Factory.h"
#include "server/db/SqlConnection.h"
#include "server/lists/UnitBook.h"

#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantList>

#include <array>
#include <functional>
#include <optional>
#include <set>

// What the server does for class "UpdateVelka.Hauptlief": the prepared article list of an update
// run, its supplier entries and saving it into the master data.
//
// A prepared list copies nothing. Its entries are the master article-supplier pairs of the run's
// articles, seen through the changes written to the list and not yet saved. So preparing the list of
// 100,000 articles costs one row, a reload shows every change written since, and "Speichern" applies
// the changes to the master data and drops them, leaving a list that shows the master data again.
namespace kxserver::lists {

// "ArtListe"(company, update number): the key of the update's list, created on first use, as field 1
// of "key|articles|pending changes".
QString ArtListe(SqlConnection &connection, const QVariant &firma, const QVariant &update);

// "Speichern"(company, list key): applies every entry marked as changed to the master data, records
// who changed and who saved it and when, and clears the marks. Returns the number of entries applied.
int Speichern(SqlConnection &connection, const QVariant &firma, const QVariant &listKey);

// One supplier entry of a list, by its id "<list key>||<pair id>".
struct Entry {
    qint64 list = 0;
    qint64 pair = 0;    // artlief id
    qint64 article = 0; // artikel id
    QString laktiv;
    QString hlief;
    int aendsw = 0;
};
std::optional<Entry> OpenEntry(SqlConnection &connection, const QString &id);

// Writes the given members of an entry (the ones changed in memory) into the list.
void SaveEntry(SqlConnection &connection, const Entry &entry, const std::optional<QString> &laktiv,
               const std::optional<QString> &hlief, const std::optional<int> &aendsw);

// Inside a unit: takes the list's lock and reads the articles' entries under it, in one request,
// and returns each article's stamp as that read found it (the state the
// unit's writes are checked against), in the order asked. An article the list does not hold has the
// stamp of no entries.
QStringList LockedArticleStamps(SqlConnection &connection, const QVariant &listKey, const QStringList &articleNumbers);

// The articles of a list whose entries another workstation changed since the last call (see
// Factory::takeChanges).
QStringList TakeChanges(SqlConnection &connection, const QVariant &listKey, QVariantMap &since);
// The same look with the named articles' rows read at once (Factory::takeChangedArticles); `columns`
// makes a row's columns from a row whose first six columns are ArticleListSql's.
using ArticleColumns = std::function<QVariantList(const DirectRows &row)>;
cacheapi::ChangedArticles TakeChangedArticles(SqlConnection &connection, const QVariant &listKey, QVariantMap &since,
                                              const ArticleColumns &columns);

// The article list of a list key (one parameter), as the main window shows it: article number,
// description, main supplier number and name (with the list's unsaved changes), proposed main
// supplier number and name; ordered by article number. The export reads the same rows.
// With `filter`, an SQL condition on the run's article u with one more parameter after the key,
// only those articles.
QString ArticleListSql(Backend backend, const QString &filter = QString());
// Its columns (u the run's article, a the article, h and v the two suppliers), and the joins of those
// suppliers on the list's own main supplier o, for statements that read the same rows otherwise.
extern const char *const kArticleListColumns;
extern const char *const kArticleSupplierJoins;
// The list's own row of liste_aend for entry `entry` (ChangeJoin) or of liste_haupt for article
// `article` (MainSupplierJoin), as `alias`, joined on the list key `list` (both are SQL of the
// joining statement): " LEFT JOIN liste_aend o ON o.liste = … AND o.artlief = …" on SQLite. On
// PostgreSQL each row is looked up by its key, whatever the statistics say: a list that Speichern
// emptied leaves the table's pages full of dead rows, and analysed so it is "empty" for good, however
// many changes follow; the planner then compared every joined row with all of the list's changes
// (a part of 500 articles of a take-all: 20 s instead of 30 ms, with 100,000 changes). Asked per
// row, a scan costs what the table's pages do, so a key wins.
QString ChangeJoin(Backend backend, const QString &list, const QString &entry, const char *alias = "o",
                   bool outer = true);
QString MainSupplierJoin(Backend backend, const QString &list, const QString &article, const char *alias);
// Whether the list `list` holds a change of an entry of article `article` (SQL of the asking
// statement): on PostgreSQL asked for each row through the article, like ChangeJoin.
QString ArticleHasChange(Backend backend, const QString &list, const QString &article);
// The statement that marks as changed the entries of these articles that were written back with
// mark 0 ("no change") but whose flags now differ from the master data's.
SqlConnection::Statement MarkMovedEntries(Backend backend, qint64 list, const std::set<qint64> &articles);

// The condition of ArticleListSql that picks the articles whose numbers ArticleNumbersValue gives,
// as one bound value (InTextList): any number of them in one statement on either backend.
QString SomeArticles(const SqlConnection &connection);
QVariant ArticleNumbersValue(const SqlConnection &connection, const QVariant &numbers);
QVariant ArticleNumbersValue(const SqlConnection &connection, const QStringList &numbers);

// A list key as the server knows it: a positive whole number, or -1 for any other text (which
// matches no list).
qint64 ListKey(const QVariant &value);

// Takes the list's row lock for the current transaction (once): every writer of a list queues here.
void LockList(SqlConnection &connection, qint64 list);
// The personnel code a write is recorded under; throws kNoSession without a logged-in session.
QString SessionPersonal(const SqlConnection &connection);

} // namespace kxserver::lists
