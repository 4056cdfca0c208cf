#include "server/classes/ClassTable.h"

#include "server/classes/Personnel.h"
#include "server/classes/ServerObjects.h"
#include "server/lists/Proposals.h"
#include "server/lists/UpdateLists.h"
#include "session/ServerErrorCodes.h"
#include "text/TextHelpers.h"

#include <QRegularExpression>

#include <algorithm>
#include <optional>

namespace kxserver {

namespace {

// ---- "KX.Windows" -----------------------------------------------------------------------------

// Runs the two command lines the program sends and nothing else. No server code is evaluated, so
// no text a clerk typed can ever run on the server.
QVariant xecute(ClassObject &object, QVariantList &args) {
    const QString command = args.at(0).toString();
    if (command == QLatin1String("D ^%XTT"))
        return QString(); // the terminal set-up routine: nothing to do for this server
    // Company and branch as the session writes whole numbers: with a sign when the clerk gave one.
    static const QRegularExpression session(
        QStringLiteral("^S FIRMA=([-+]?[0-9]{1,9}),FIL=([-+]?[0-9]{1,9}),PERSONAL=\"((?:[^\"]|\"\")*)\"\\z"));
    const QRegularExpressionMatch match = session.match(command);
    if (!match.hasMatch())
        throw Error(kBadCommand, QStringLiteral("Der Befehl wird vom Server nicht ausgeführt: %1").arg(command));
    SqlConnection &connection = object.connection();
    connection.sessionFirma = match.captured(1).toInt();
    connection.sessionFiliale = match.captured(2).toInt();
    connection.sessionPersonal = match.captured(3).replace(QStringLiteral("\"\""), QStringLiteral("\""));
    return QString();
}

const MethodDef kWindowsMethods[] = {
    {.name = "Xecute", .arguments = 1, .call = xecute},
};

// ---- "UpdateVelka.Hauptlief" ------------------------------------------------------------------

// A transient object: the list methods.
const MethodDef kListMethods[] = {
    {.name = "ArtListe",
     .arguments = 2,
     .call = [](ClassObject &object, QVariantList &args) -> QVariant {
         return lists::ArtListe(object.connection(), args.at(0), args.at(1));
     }},
    {.name = "Speichern",
     .arguments = 2,
     .call = [](ClassObject &object, QVariantList &args) -> QVariant {
         return lists::Speichern(object.connection(), args.at(0), args.at(1));
     }},
    {.name = "VorschlaegeUebernehmen",
     .arguments = 2,
     .call = [](ClassObject &object, QVariantList &args) -> QVariant {
         return lists::TakeProposals(object.connection(), args.at(0), args.at(1));
     }},
};

// A stored object: one supplier entry of a list, by its id "<list key>||<pair id>".
const MemberDef kEntryMembers[] = {
    {.name = "laktiv", .column = "laktiv", .writable = true},
    {.name = "hlief", .column = "hlief", .writable = true},
    {.name = "aendsw", .column = "aendsw", .writable = true},
};

OpenedObject openEntry(SqlConnection &connection, const ClassDef &cls, const QString &id) {
    const std::optional<lists::Entry> entry = lists::OpenEntry(connection, id);
    if (!entry)
        throw UnknownId(QString::fromLatin1(cls.name), id);
    return {.values = {{QStringLiteral("laktiv"), entry->laktiv},
                       {QStringLiteral("hlief"), entry->hlief},
                       {QStringLiteral("aendsw"), entry->aendsw}},
            .kept = *entry};
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

// Writes the members changed in memory into the list.
void saveEntry(ClassObject &object) {
    const auto changed = [&](const char *member) -> std::optional<QVariant> {
        const QString name = QString::fromLatin1(member);
        if (!object.changed().contains(name))
            return std::nullopt;
        return object.values().value(name);
    };
    const std::optional<QVariant> laktiv = changed("laktiv");
    const std::optional<QVariant> hlief = changed("hlief");
    const std::optional<QVariant> aendsw = changed("aendsw");
    lists::SaveEntry(object.connection(), std::any_cast<const lists::Entry &>(object.kept()),
                     laktiv ? std::optional<QString>(laktiv->toString()) : std::nullopt,
                     hlief ? std::optional<QString>(hlief->toString()) : std::nullopt,
                     aendsw ? std::optional<int>(aendsw->toInt()) : std::nullopt);
}

const StoredDef kEntries{
    .members = kEntryMembers,
    .open = openEntry,
    .validate = validateEntryMember,
    .save = saveEntry,
};

// ---- Personnel: id company + "||" + key, read-only members -------------------------------------

// A method that returns its one argument in display form (the 7-bit German letters as letters).
QVariant displayForm(ClassObject &, QVariantList &args) {
    return cacheapi::ConvertText(args.at(0).toString(), QStringLiteral("KORVEX"), false);
}

const MemberDef kPersEdvMembers[] = {
    {.name = "AKTIV", .column = "aktiv"}, {.name = "PNAME", .column = "pname"},
    {.name = "ABTNR", .column = "abtnr"}, {.name = "DW", .column = "dw"},
    {.name = "BERGRP", .column = "bergrp"}, {.name = "PNR", .column = "pnr"},
};
const MethodDef kPersEdvMethods[] = {
    {.name = "PNAMELogicalToODBC", .arguments = 1, .call = displayForm},
    {.name = "PasswortPruefen", .arguments = 1, .call = CheckPassword},
};
const StoredDef kPersEdv{
    .table = "pers_edv",
    .key = "code",
    .members = kPersEdvMembers,
    .methods = kPersEdvMethods,
    .secret = "passwort",
    .serverHas = "korvex.personal_vorhanden",
    .serverCheck = "korvex.anmelden",
    .open = OpenPersonnel,
};

const MemberDef kPersAbtMembers[] = {{.name = "abtbez", .column = "abtbez"}};
const MethodDef kPersAbtMethods[] = {{.name = "ABTBEZlogicaltoodbc", .arguments = 1, .call = displayForm}};
const StoredDef kPersAbt{
    .table = "pers_abt",
    .key = "abtnr",
    .members = kPersAbtMembers,
    .methods = kPersAbtMethods,
    .open = OpenPersonnel,
};

const MemberDef kPersBasisMembers[] = {{.name = "fax", .column = "fax"}, {.name = "EMAIL", .column = "email"}};
const MethodDef kPersBasisMethods[] = {{.name = "EMAILLogicalToodbc", .arguments = 1, .call = displayForm}};
const StoredDef kPersBasis{
    .table = "pers_basis",
    .key = "pnr",
    .members = kPersBasisMembers,
    .methods = kPersBasisMethods,
    .open = OpenPersonnel,
};

// ---- The classes ------------------------------------------------------------------------------

std::span<const ClassDef> classes() {
    static const ClassDef table[] = {
        {.name = "KX.Windows", .instanceMethods = kWindowsMethods},
        {.name = "UpdateVelka.Hauptlief",
         .instanceMethods = kListMethods,
         .stored = &kEntries,
         .queries = HauptliefQueries()},
        {.name = "KX.ParPersEdv", .stored = &kPersEdv},
        {.name = "KX.ParPersAbt", .stored = &kPersAbt},
        {.name = "KX.PersBasis", .stored = &kPersBasis},
    };
    return table;
}

} // namespace

const ClassDef *FindClass(const QString &name) {
    for (const ClassDef &cls : classes())
        if (name == QLatin1String(cls.name))
            return &cls;
    return nullptr;
}

const QueryDef *FindQuery(const ClassDef &cls, const QString &name) {
    for (const QueryDef &query : cls.queries)
        if (name == QLatin1String(query.name))
            return &query;
    return nullptr;
}

const MethodDef *FindMethod(std::span<const MethodDef> methods, const QString &name) {
    for (const MethodDef &method : methods)
        if (name == QLatin1String(method.name))
            return &method;
    return nullptr;
}

} // namespace kxserver
