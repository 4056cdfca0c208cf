#include "server/classes/ServerObjects.h"

#include "server/db/PasswordHash.h"
#include "server/classes/PgPersonnel.h"
#include "server/lists/Proposals.h"
#include "session/ServerErrorCodes.h"
#include "server/classes/ServerQueries.h"
#include "text/TextHelpers.h"
#include "server/lists/UpdateLists.h"

#include <QHash>
#include <QRegularExpression>
#include <QSet>

#include <functional>
#include <optional>

namespace kxserver {

namespace {

using cacheapi::QueryCursor;
using cacheapi::ServerObject;

const QString kWindows = QStringLiteral("KX.Windows");
const QString kHauptlief = QStringLiteral("UpdateVelka.Hauptlief");
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

void expectArguments(const QString &method, const QVariantList &args, int count) {
    if (args.size() != count)
        throw Error(kWrongArguments, QStringLiteral("Die Methode \"%1\" erwartet %2 Argument(e), erhalten: %3.")
                                         .arg(method)
                                         .arg(count)
                                         .arg(args.size()));
}

// ---- Objects ---------------------------------------------------------------------------------

class BaseObject : public ServerObject {
public:
    BaseObject(std::shared_ptr<SqlConnection> connection, QString className)
        : m_connection(std::move(connection)), m_className(std::move(className)) {}

protected:
    void ensureUsable() const {
        if (m_closed)
            throw Error(kClosed,
                        QStringLiteral("Das Objekt der Klasse \"%1\" ist bereits geschlossen.").arg(m_className));
        m_connection->ensureOpen();
    }
    // SYS_Close: only marks the object; nothing on the server depends on it, so a lost
    // connection does not make it fail.
    QVariant close(const QVariantList &args) {
        expectArguments(kClose, args, 0);
        if (m_closed)
            throw Error(kClosed,
                        QStringLiteral("Das Objekt der Klasse \"%1\" ist bereits geschlossen.").arg(m_className));
        m_closed = true;
        return 1;
    }

    std::shared_ptr<SqlConnection> m_connection;
    QString m_className;
    bool m_closed = false;
};

// "KX.Windows": runs the two command lines the program sends and nothing else. No server code is
// evaluated, so no text a clerk typed can ever run on the server.
class WindowsObject : public BaseObject {
public:
    using BaseObject::BaseObject;

    QVariant property(const QString &member) override { throw unknownMember(m_className, member); }
    void setProperty(const QString &member, const QVariant &) override { throw unknownMember(m_className, member); }

    QVariant call(const QString &method, QVariantList &args) override {
        if (method == kClose)
            return close(args);
        if (method != QLatin1String("Xecute"))
            throw unknownMethod(m_className, method);
        ensureUsable();
        expectArguments(method, args, 1);
        const QString command = args.at(0).toString();
        if (command == QLatin1String("D ^%XTT"))
            return QString(); // the terminal set-up routine: nothing to do for this server
        // Company and branch as the session writes whole numbers: with a sign when the clerk gave one.
        static const QRegularExpression session(
            QStringLiteral("^S FIRMA=([-+]?[0-9]{1,9}),FIL=([-+]?[0-9]{1,9}),PERSONAL=\"((?:[^\"]|\"\")*)\"\\z"));
        const QRegularExpressionMatch match = session.match(command);
        if (!match.hasMatch())
            throw Error(kBadCommand, QStringLiteral("Der Befehl wird vom Server nicht ausgeführt: %1").arg(command));
        m_connection->sessionFirma = match.captured(1).toInt();
        m_connection->sessionFiliale = match.captured(2).toInt();
        m_connection->sessionPersonal = match.captured(3).replace(QStringLiteral("\"\""), QStringLiteral("\""));
        return QString();
    }
};

// A transient "UpdateVelka.Hauptlief": the list methods.
class HauptliefObject : public BaseObject {
public:
    using BaseObject::BaseObject;

    QVariant property(const QString &member) override { throw unknownMember(m_className, member); }
    void setProperty(const QString &member, const QVariant &) override { throw unknownMember(m_className, member); }

    QVariant call(const QString &method, QVariantList &args) override {
        if (method == kClose)
            return close(args);
        const bool artListe = method == QLatin1String("ArtListe");
        const bool speichern = method == QLatin1String("Speichern");
        if (!artListe && !speichern && method != QLatin1String("VorschlaegeUebernehmen"))
            throw unknownMethod(m_className, method);
        ensureUsable();
        expectArguments(method, args, 2);
        if (artListe)
            return lists::ArtListe(*m_connection, args.at(0), args.at(1));
        if (speichern)
            return lists::Speichern(*m_connection, args.at(0), args.at(1));
        return lists::TakeProposals(*m_connection, args.at(0), args.at(1));
    }
};

// A stored object: its members read when it was opened, changed in memory by property writes and
// written by "sys_Save".
class StoredObject : public BaseObject {
public:
    using Validator = std::function<QVariant(const QString &member, const QVariant &value)>;
    using Saver = std::function<void(StoredObject &object)>;

    StoredObject(std::shared_ptr<SqlConnection> connection, QString className, QHash<QString, QVariant> values)
        : BaseObject(std::move(connection), std::move(className)), m_values(std::move(values)) {}

    // A method that returns its one argument in display form (the 7-bit German letters as letters).
    void addConversion(const QString &method) { m_conversions.insert(method); }
    // A method of one argument answered by `method` (for example a check against a value the object
    // keeps to itself).
    void addMethod(const QString &name, std::function<QVariant(const QVariant &argument)> method) {
        m_methods.insert(name, std::move(method));
    }
    void makeWritable(const QSet<QString> &members, Validator validator, Saver saver) {
        m_writable = members;
        m_validator = std::move(validator);
        m_saver = std::move(saver);
    }

    const QHash<QString, QVariant> &values() const { return m_values; }
    const QSet<QString> &dirty() const { return m_dirty; }

    QVariant property(const QString &member) override {
        ensureUsable();
        const auto found = m_values.constFind(member);
        if (found == m_values.constEnd())
            throw unknownMember(m_className, member);
        return found.value();
    }

    void setProperty(const QString &member, const QVariant &value) override {
        ensureUsable();
        if (!m_values.contains(member))
            throw unknownMember(m_className, member);
        if (!m_writable.contains(member))
            throw Error(kReadOnly,
                        QStringLiteral("Die Eigenschaft \"%1\" der Klasse \"%2\" kann nicht geändert werden.")
                            .arg(member, m_className));
        m_values[member] = m_validator(member, value);
        m_dirty.insert(member);
    }

    QVariant call(const QString &method, QVariantList &args) override {
        if (method == kClose)
            return close(args);
        if (method == kSave) {
            ensureUsable();
            expectArguments(method, args, 0);
            if (!m_dirty.isEmpty()) {
                m_saver(*this);
                m_dirty.clear();
            }
            return 1;
        }
        if (m_conversions.contains(method)) {
            ensureUsable();
            expectArguments(method, args, 1);
            return cacheapi::ConvertText(args.at(0).toString(), QStringLiteral("KORVEX"), false);
        }
        if (const auto found = m_methods.constFind(method); found != m_methods.constEnd()) {
            ensureUsable();
            expectArguments(method, args, 1);
            return found.value()(args.at(0));
        }
        throw unknownMethod(m_className, method);
    }

private:
    QHash<QString, QVariant> m_values;
    QSet<QString> m_writable;
    QSet<QString> m_dirty;
    QSet<QString> m_conversions;
    QHash<QString, std::function<QVariant(const QVariant &)>> m_methods;
    Validator m_validator;
    Saver m_saver;
};

// ---- Stored classes ---------------------------------------------------------------------------

// Personnel classes: id company + "||" + key, read-only members in the order of the select. A class
// with a password check selects the stored hash after its members; the hash is no member, so no
// client can read it, and the check answers only "1" or "0".
struct PersonnelClass {
    const char *name;
    const char *sql;
    QStringList members;
    const char *conversion;
    const char *passwordCheck;
};

const PersonnelClass kPersonnelClasses[] = {
    {"KX.ParPersEdv",
     "SELECT aktiv, pname, abtnr, dw, bergrp, pnr, passwort FROM pers_edv WHERE firma = ? AND code = ?",
     {QStringLiteral("AKTIV"), QStringLiteral("PNAME"), QStringLiteral("ABTNR"), QStringLiteral("DW"),
      QStringLiteral("BERGRP"), QStringLiteral("PNR")},
     "PNAMELogicalToODBC",
     "PasswortPruefen"},
    {"KX.ParPersAbt",
     "SELECT abtbez FROM pers_abt WHERE firma = ? AND abtnr = ?",
     {QStringLiteral("abtbez")},
     "ABTBEZlogicaltoodbc",
     nullptr},
    {"KX.PersBasis",
     "SELECT fax, email FROM pers_basis WHERE firma = ? AND pnr = ?",
     {QStringLiteral("fax"), QStringLiteral("EMAIL")},
     "EMAILLogicalToodbc",
     nullptr},
};

const PersonnelClass *personnelClass(const QString &className) {
    for (const PersonnelClass &personnel : kPersonnelClasses)
        if (className == QLatin1String(personnel.name))
            return &personnel;
    return nullptr;
}

cacheapi::ServerError unknownId(const QString &className, const QString &id) {
    return Error(kUnknownId,
                 QStringLiteral("Ein Objekt der Klasse \"%1\" mit der Id \"%2\" existiert nicht.").arg(className, id));
}

cacheapi::ServerObjectPtr openPersonnel(const std::shared_ptr<SqlConnection> &connection,
                                        const PersonnelClass &personnel, const QString &className, const QString &id) {
    // The company as the session holds it: a whole number, with a sign when the clerk gave one.
    static const QRegularExpression pattern(QStringLiteral("^\\+?([0-9]{1,9})\\|\\|(.*)$"),
                                            QRegularExpression::DotMatchesEverythingOption);
    const QRegularExpressionMatch match = pattern.match(id);
    if (!match.hasMatch())
        throw unknownId(className, id);
    QSqlQuery query =
        connection->run(QString::fromLatin1(personnel.sql), {match.captured(1).toInt(), match.captured(2)});
    if (!connection->next(query))
        throw unknownId(className, id);
    QHash<QString, QVariant> values;
    for (int i = 0; i < personnel.members.size(); ++i)
        values.insert(personnel.members.at(i), query.value(i).toString());
    auto object = std::make_unique<StoredObject>(connection, className, values);
    object->addConversion(QString::fromLatin1(personnel.conversion));
    if (personnel.passwordCheck) {
        // Exactly as typed, letter case included; a stored value that is no hash never matches.
        const QString hash = query.value(personnel.members.size()).toString();
        object->addMethod(QString::fromLatin1(personnel.passwordCheck), [hash](const QVariant &typed) {
            return QVariant(VerifyPassword(typed.toString(), hash) ? QStringLiteral("1") : QStringLiteral("0"));
        });
    }
    return object;
}

QVariant validateEntryMember(const QString &member, const QVariant &value) {
    if (member == QLatin1String("aendsw")) {
        bool ok = false;
        const int number = value.toInt(&ok);
        if (!ok || number < -32768 || number > 32767)
            throw Error(kBadValue, QStringLiteral("Ungültiger Wert für \"aendsw\": \"%1\" (erwartet: eine ganze Zahl).")
                                       .arg(value.toString()));
        return number;
    }
    const QString text = value.toString();
    if (text != QLatin1String("J") && text != QLatin1String("N"))
        throw Error(kBadValue,
                    QStringLiteral("Ungültiger Wert für \"%1\": \"%2\" (erlaubt: J oder N).").arg(member, text));
    return text;
}

cacheapi::ServerObjectPtr openEntry(const std::shared_ptr<SqlConnection> &connection, const QString &id) {
    const std::optional<lists::Entry> entry = lists::OpenEntry(*connection, id);
    if (!entry)
        throw unknownId(kHauptlief, id);
    const QHash<QString, QVariant> values{{QStringLiteral("laktiv"), entry->laktiv},
                                          {QStringLiteral("hlief"), entry->hlief},
                                          {QStringLiteral("aendsw"), entry->aendsw}};
    auto object = std::make_unique<StoredObject>(connection, kHauptlief, values);
    const lists::Entry where = *entry;
    std::weak_ptr<SqlConnection> weak = connection;
    object->makeWritable({QStringLiteral("laktiv"), QStringLiteral("hlief"), QStringLiteral("aendsw")},
                         validateEntryMember, [where, weak](StoredObject &self) {
                             const std::shared_ptr<SqlConnection> owner = weak.lock();
                             if (!owner)
                                 throw Error(kNotConnected, QStringLiteral("Keine Verbindung zum Server."));
                             const auto pick = [&](const char *member) -> std::optional<QVariant> {
                                 const QString name = QString::fromLatin1(member);
                                 if (!self.dirty().contains(name))
                                     return std::nullopt;
                                 return self.values().value(name);
                             };
                             const std::optional<QVariant> laktiv = pick("laktiv");
                             const std::optional<QVariant> hlief = pick("hlief");
                             const std::optional<QVariant> aendsw = pick("aendsw");
                             lists::SaveEntry(*owner, where,
                                              laktiv ? std::optional<QString>(laktiv->toString()) : std::nullopt,
                                              hlief ? std::optional<QString>(hlief->toString()) : std::nullopt,
                                              aendsw ? std::optional<int>(aendsw->toInt()) : std::nullopt);
                         });
    return object;
}

cacheapi::ServerError unknownClass(const QString &className) {
    return Error(kUnknownClass, QStringLiteral("Die Klasse \"%1\" gibt es auf dem Server nicht.").arg(className));
}

} // namespace

cacheapi::ServerObjectPtr NewInstance(const std::shared_ptr<SqlConnection> &connection, const QString &className) {
    connection->ensureOpen();
    if (className == kWindows)
        return std::make_unique<WindowsObject>(connection, className);
    if (className == kHauptlief)
        return std::make_unique<HauptliefObject>(connection, className);
    if (personnelClass(className))
        throw Error(kNoInstance,
                    QStringLiteral("Von der Klasse \"%1\" können keine neuen Objekte angelegt werden.").arg(className));
    throw unknownClass(className);
}

cacheapi::ServerObjectPtr OpenStored(const std::shared_ptr<SqlConnection> &connection, const QString &className,
                                     const QString &id) {
    connection->ensureOpen();
    if (className == QLatin1String("KX.ParPersEdv") && connection->backend() == Backend::Postgres)
        return OpenPgPersonnel(connection, className, id); // checked by the server, never read
    if (const PersonnelClass *personnel = personnelClass(className))
        return openPersonnel(connection, *personnel, className, id);
    if (className == kHauptlief)
        return openEntry(connection, id);
    if (className == kWindows)
        throw Error(kNoInstance, QStringLiteral("Die Klasse \"%1\" hat keine gespeicherten Objekte.").arg(className));
    throw unknownClass(className);
}

cacheapi::QueryCursorPtr OpenQuery(const std::shared_ptr<SqlConnection> &connection, const QString &className,
                                   const QString &queryName) {
    connection->ensureOpen();
    if (className == kHauptlief) {
        if (cacheapi::QueryCursorPtr cursor = OpenHauptliefQuery(connection, queryName))
            return cursor;
    } else if (className != kWindows && !personnelClass(className)) {
        throw unknownClass(className);
    }
    throw Error(kUnknownQuery,
                QStringLiteral("Die Abfrage \"%1\" gibt es in der Klasse \"%2\" nicht.").arg(queryName, className));
}

} // namespace kxserver
