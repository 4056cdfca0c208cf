#pragma once

#include "session/Factory.h"
#include "session/ServerError.h"
#include "server/db/SqlConnection.h"

#include <QHash>
#include <QSet>
#include <QString>

#include <any>
#include <memory>

// The server's objects as the program sees them: one kind of object for every class of the class
// table (ClassTable.h), made by "new instance" or opened by id, and the class queries' cursors.
namespace kxserver {

struct ClassDef;
struct OpenedObject;
struct StoredDef;

cacheapi::ServerObjectPtr NewInstance(const std::shared_ptr<SqlConnection> &connection, const QString &className);
cacheapi::ServerObjectPtr OpenStored(const std::shared_ptr<SqlConnection> &connection, const QString &className,
                                     const QString &id);
cacheapi::QueryCursorPtr OpenQuery(const std::shared_ptr<SqlConnection> &connection, const QString &className,
                                   const QString &queryName);

// An object of a class: transient (methods only) or stored (its members read when it was opened,
// changed in memory by property writes and written by "sys_Save").
class ClassObject : public cacheapi::ServerObject {
public:
    ClassObject(std::shared_ptr<SqlConnection> connection, const ClassDef &cls);
    ClassObject(std::shared_ptr<SqlConnection> connection, const ClassDef &cls, OpenedObject opened);

    QVariant property(const QString &member) override;
    void setProperty(const QString &member, const QVariant &value) override;
    QVariant call(const QString &method, QVariantList &args) override;

    // For the methods of the class table.
    SqlConnection &connection() const { return *m_connection; }
    const ClassDef &classDef() const { return m_class; }
    const QString &className() const { return m_className; }
    const QHash<QString, QVariant> &values() const { return m_values; }
    const QSet<QString> &changed() const { return m_changed; }
    // A member's value as the server answered it (not a client's write).
    void setAnswered(const QString &member, const QVariant &value) { m_values[member] = value; }
    const std::any &kept() const { return m_kept; }

private:
    void ensureNotClosed() const;
    void ensureUsable() const;
    QVariant close(const QVariantList &args);

    std::shared_ptr<SqlConnection> m_connection;
    const ClassDef &m_class;
    const StoredDef *m_stored = nullptr; // a stored object's class; nullptr for a transient one
    QString m_className;
    QHash<QString, QVariant> m_values;
    QSet<QString> m_changed;
    std::any m_kept;
    bool m_closed = false;
};

// Throws kWrongArguments unless `args` holds `count` arguments.
void ExpectArguments(const QString &method, const QVariantList &args, int count);
cacheapi::ServerError UnknownId(const QString &className, const QString &id);

} // namespace kxserver
