#include "server/classes/ServerObjects.h"

#include "server/classes/ClassTable.h"
#include "server/classes/ServerQueries.h"
#include "session/ServerErrorCodes.h"

#include <algorithm>

namespace kxserver {

namespace {

const QString kSave = QStringLiteral("sys_Save");
const QString kClose = QStringLiteral("SYS_Close");

cacheapi::ServerError unknownMember(const QString &className, const QString &member) {
    return Error(kUnknownMember,
                 QStringLiteral("Die Eigenschaft \"%1\" gibt es in der Klasse \"%2\" nicht.").arg(member, className));
}

cacheapi::ServerError unknownMethod(const QString &className, const QString &method) {
    return Error(kUnknownMethod,
                 QStringLiteral("Die Methode \"%1\" gibt es in der Klasse \"%2\" nicht.").arg(method, className));
}

cacheapi::ServerError unknownClass(const QString &className) {
    return Error(kUnknownClass, QStringLiteral("Die Klasse \"%1\" gibt es auf dem Server nicht.").arg(className));
}

const ClassDef &knownClass(const QString &className) {
    const ClassDef *cls = FindClass(className);
    if (!cls)
        throw unknownClass(className);
    return *cls;
}

} // namespace

void ExpectArguments(const QString &method, const QVariantList &args, int count) {
    if (args.size() != count)
        throw Error(kWrongArguments, QStringLiteral("Die Methode \"%1\" erwartet %2 Argument(e), erhalten: %3.")
                                         .arg(method)
                                         .arg(count)
                                         .arg(args.size()));
}

cacheapi::ServerError UnknownId(const QString &className, const QString &id) {
    return Error(kUnknownId,
                 QStringLiteral("Ein Objekt der Klasse \"%1\" mit der Id \"%2\" existiert nicht.").arg(className, id));
}

// ---- Objects ---------------------------------------------------------------------------------

ClassObject::ClassObject(std::shared_ptr<SqlConnection> connection, const ClassDef &cls)
    : m_connection(std::move(connection)), m_class(cls), m_className(QString::fromLatin1(cls.name)) {}

ClassObject::ClassObject(std::shared_ptr<SqlConnection> connection, const ClassDef &cls, OpenedObject opened)
    : ClassObject(std::move(connection), cls) {
    m_stored = cls.stored;
    m_values = std::move(opened.values);
    m_kept = std::move(opened.kept);
}

void ClassObject::ensureNotClosed() const {
    if (m_closed)
        throw Error(kClosed, QStringLiteral("Das Objekt der Klasse \"%1\" ist bereits geschlossen.").arg(m_className));
}

void ClassObject::ensureUsable() const {
    ensureNotClosed();
    m_connection->ensureOpen();
}

// SYS_Close: only marks the object; nothing on the server depends on it, so a lost connection does
// not make it fail.
QVariant ClassObject::close(const QVariantList &args) {
    ExpectArguments(kClose, args, 0);
    ensureNotClosed();
    m_closed = true;
    return 1;
}

QVariant ClassObject::property(const QString &member) {
    if (!m_stored)
        throw unknownMember(m_className, member); // a transient object has no members
    ensureUsable();
    const auto found = m_values.constFind(member);
    if (found == m_values.constEnd())
        throw unknownMember(m_className, member);
    return found.value();
}

void ClassObject::setProperty(const QString &member, const QVariant &value) {
    if (!m_stored)
        throw unknownMember(m_className, member);
    ensureUsable();
    if (!m_values.contains(member))
        throw unknownMember(m_className, member);
    const auto writable = std::find_if(m_stored->members.begin(), m_stored->members.end(), [&](const MemberDef &def) {
        return def.writable && member == QLatin1String(def.name);
    });
    if (writable == m_stored->members.end())
        throw Error(kReadOnly, QStringLiteral("Die Eigenschaft \"%1\" der Klasse \"%2\" kann nicht geändert werden.")
                                   .arg(member, m_className));
    m_values[member] = m_stored->validate(member, value);
    m_changed.insert(member);
}

QVariant ClassObject::call(const QString &method, QVariantList &args) {
    if (method == kClose)
        return close(args);
    if (m_stored && method == kSave) {
        ensureUsable();
        ExpectArguments(method, args, 0);
        if (!m_changed.isEmpty()) {
            m_stored->save(*this);
            m_changed.clear();
        }
        return 1;
    }
    const MethodDef *def = FindMethod(m_stored ? m_stored->methods : m_class.instanceMethods, method);
    if (!def)
        throw unknownMethod(m_className, method);
    ensureUsable();
    ExpectArguments(method, args, def->arguments);
    return def->call(*this, args);
}

// ---- The factory's questions ------------------------------------------------------------------

cacheapi::ServerObjectPtr NewInstance(const std::shared_ptr<SqlConnection> &connection, const QString &className) {
    connection->ensureOpen();
    const ClassDef &cls = knownClass(className);
    if (cls.instanceMethods.empty())
        throw Error(kNoInstance,
                    QStringLiteral("Von der Klasse \"%1\" können keine neuen Objekte angelegt werden.").arg(className));
    return std::make_unique<ClassObject>(connection, cls);
}

cacheapi::ServerObjectPtr OpenStored(const std::shared_ptr<SqlConnection> &connection, const QString &className,
                                     const QString &id) {
    connection->ensureOpen();
    const ClassDef &cls = knownClass(className);
    if (!cls.stored)
        throw Error(kNoInstance, QStringLiteral("Die Klasse \"%1\" hat keine gespeicherten Objekte.").arg(className));
    return std::make_unique<ClassObject>(connection, cls, cls.stored->open(*connection, cls, id));
}

cacheapi::QueryCursorPtr OpenQuery(const std::shared_ptr<SqlConnection> &connection, const QString &className,
                                   const QString &queryName) {
    connection->ensureOpen();
    if (const QueryDef *query = FindQuery(knownClass(className), queryName))
        return OpenCursor(connection, *query);
    throw Error(kUnknownQuery,
                QStringLiteral("Die Abfrage \"%1\" gibt es in der Klasse \"%2\" nicht.").arg(queryName, className));
}

} // namespace kxserver
