#pragma once
// The server's classes as data: one row per class name the program uses, saying what "new
// instance" makes of it, how its stored objects are found by id (table, key, members with their
// columns, methods) and which class queries it has (their parameters, columns and reading). Every
// name is matched exactly, letter case included; the factory, the objects and the cursors look a
// class up here and nowhere else.

#include "server/db/rows/DirectRows.h"
#include "server/db/SqlConnection.h"
#include "session/Factory.h"

#include <QString>
#include <QVariant>

#include <any>
#include <memory>
#include <span>

namespace kxserver {

class ArticleStamp;
class ClassObject;
struct ClassDef;

// A class query. Its statement and the reading of its rows exist once, through DirectRows, whichever
// way the backend reads them.
struct QueryDef {
    const char *name = nullptr;
    int parameters = 0;
    int columns = 0;
    // Executes the query; `context` keeps what the columns need besides the row (the list key).
    std::unique_ptr<DirectRows> (*run)(SqlConnection &, const QVariantList &params, QString &context) = nullptr;
    // Column `column` (counted from 1) of the current row: for queries whose columns are all texts,
    // as a text (the long reads hand them out without a QVariant each) ...
    QString (*text)(const DirectRows &, int column, const QString &context) = nullptr;
    // ... otherwise with its own kind.
    QVariant (*value)(const DirectRows &, int column, const QString &context) = nullptr;
    // For the queries of one article's supplier entries: adds a row to the article's stamp.
    void (*stampPart)(ArticleStamp &, const DirectRows &) = nullptr;
    // For the proposals' query: read inside a unit (under the list's lock) to its last row, what it
    // found is kept for taking the proposals in that unit (UnitBook::noteProposalsRead).
    bool recordsProposals = false;
};

// A member of a stored object: its name as the program spells it, the column it is read from.
struct MemberDef {
    const char *name = nullptr;
    const char *column = nullptr;
    bool writable = false;
};

// A method of an object, with the number of arguments it takes (checked before it runs).
struct MethodDef {
    const char *name = nullptr;
    int arguments = 0;
    QVariant (*call)(ClassObject &object, QVariantList &args) = nullptr;
};

// What opening a stored object read: its members' values, and what its methods need beside them
// that no client may read (a password's hash, the entry's keys).
struct OpenedObject {
    QHash<QString, QVariant> values;
    std::any kept;
};

// How the stored objects of a class are found and written. Besides its methods every stored object
// answers "sys_Save" (writes the members changed since it was opened) and "SYS_Close".
struct StoredDef {
    // The table read by company and key: an id "company||key" (the company as the session writes it)
    // names the row of `table` with firma = company and `key` = key.
    const char *table = nullptr;
    const char *key = nullptr;
    std::span<const MemberDef> members = {};
    std::span<const MethodDef> methods = {};
    // A column read beside the members that no member shows: a password's hash, which only the
    // class's password check compares (answering "1" or "0").
    const char *secret = nullptr;
    // Where PostgreSQL holds the line, its functions: whether the key exists, and the check that
    // answers the members' values when the password matches. The row itself is never read then.
    const char *serverHas = nullptr;
    const char *serverCheck = nullptr;
    // Reads the object of `id`; throws kUnknownId when there is none.
    OpenedObject (*open)(SqlConnection &, const ClassDef &, const QString &id) = nullptr;
    // The value a member takes when written; throws kBadValue for one it may not take.
    QVariant (*validate)(const QString &member, const QVariant &value) = nullptr;
    // Writes the changed members.
    void (*save)(ClassObject &object) = nullptr;
};

struct ClassDef {
    const char *name = nullptr;
    // "New instance" makes an object with these methods (and "SYS_Close"); a class without any
    // makes none.
    std::span<const MethodDef> instanceMethods = {};
    // Its stored objects; none without.
    const StoredDef *stored = nullptr;
    std::span<const QueryDef> queries = {};
};

// The class of that name; nullptr for a name the server does not know.
const ClassDef *FindClass(const QString &name);
// The query of that name of a class; nullptr when it has none.
const QueryDef *FindQuery(const ClassDef &cls, const QString &name);
const MethodDef *FindMethod(std::span<const MethodDef> methods, const QString &name);

// The class queries of "UpdateVelka.Hauptlief" (ServerQueries.cpp).
std::span<const QueryDef> HauptliefQueries();

} // namespace kxserver
