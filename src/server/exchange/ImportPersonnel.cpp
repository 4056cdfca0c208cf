// Personnel records (with their departments and base records, as the login reads them) and the
// purchasing association's proposal as a new update run.

#include "server/exchange/Fields.h"
#include "server/exchange/ImportRun.h"
#include "server/db/PasswordHash.h"
#include "server/db/TypedNulls.h"

#include <algorithm>

namespace kxexchange {

using kxserver::IdOrNull;

namespace {

constexpr int kLoginFieldLength = 20; // the login dialog's fields

struct Person {
    QStringList values; // passwort, aktiv, pname, abtnr, dw, bergrp, pnr
    qint64 seenLine = 0;
};
struct Record {
    QStringList values;
    bool stored = false;
    qint64 seenLine = 0; // the row of this file that set it
};

template <typename Map> void loadMap(kxserver::SqlConnection &db, const QString &sql, int firma, int values, Map &map) {
    QSqlQuery query = db.run(sql, {firma});
    while (db.next(query)) {
        auto &entry = map[query.value(0).toString()];
        for (int i = 1; i <= values; ++i)
            entry.values << query.value(i).toString();
        if constexpr (std::is_same_v<typename Map::mapped_type, Record>)
            entry.stored = true;
    }
}

} // namespace

void ImportRun::personal(FileRows &file) {
    if (!openFile(file))
        return;
    KindCount &counts = count(file.kind());
    QHash<QString, Person> people;
    QHash<QString, Record> departments;
    QHash<QString, Record> bases;
    loadMap(m_db,
            QStringLiteral("SELECT code, passwort, aktiv, pname, abtnr, dw, bergrp, pnr FROM pers_edv WHERE firma = ?"),
            m_request.firma, 7, people);
    loadMap(m_db, QStringLiteral("SELECT abtnr, abtbez FROM pers_abt WHERE firma = ?"), m_request.firma, 1,
            departments);
    loadMap(m_db, QStringLiteral("SELECT pnr, fax, email FROM pers_basis WHERE firma = ?"), m_request.firma, 2, bases);

    Statement person = prepare(
        QStringLiteral("INSERT INTO pers_edv (firma, code, passwort, aktiv, pname, abtnr, dw, bergrp, pnr)"
                       " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?) ON CONFLICT (firma, code) DO UPDATE SET"
                       " passwort = excluded.passwort, aktiv = excluded.aktiv, pname = excluded.pname,"
                       " abtnr = excluded.abtnr, dw = excluded.dw, bergrp = excluded.bergrp, pnr = excluded.pnr"));
    Statement department =
        prepare(QStringLiteral("INSERT INTO pers_abt (firma, abtnr, abtbez) VALUES (?, ?, ?)"
                               " ON CONFLICT (firma, abtnr) DO UPDATE SET abtbez = excluded.abtbez"));
    Statement base = prepare(QStringLiteral("INSERT INTO pers_basis (firma, pnr, fax, email) VALUES (?, ?, ?, ?)"
                                            " ON CONFLICT (firma, pnr) DO UPDATE SET fax = excluded.fax,"
                                            " email = excluded.email"));

    // A department or base record named by several rows must be described alike by all of them.
    const auto record = [&](QHash<QString, Record> &map, const QString &key, const QStringList &values,
                            const char *column, Statement &write, bool *changed) {
        Record &entry = map[key];
        if (entry.seenLine && entry.values != values) {
            error(file, column,
                  QStringLiteral("\"%1\" widerspricht Zeile %2 (dort: \"%3\")")
                      .arg(FromServerText(values.join(QStringLiteral("\", \""))))
                      .arg(entry.seenLine)
                      .arg(FromServerText(entry.values.join(QStringLiteral("\", \"")))));
            return false;
        }
        // Empty values for a record that does not exist create none: an exported person without a
        // department record comes back without one.
        const bool blank = std::all_of(values.begin(), values.end(), [](const QString &v) { return v.isEmpty(); });
        if (!entry.seenLine && (entry.stored ? entry.values != values : !blank)) {
            *changed = true;
            if (clean())
                exec(write, QVariantList{m_request.firma, key} + QVariantList(values.begin(), values.end()));
            entry.stored = true;
        }
        entry.seenLine = file.line();
        entry.values = values;
        return true;
    };

    qint64 rows = 0;
    while (nextRow(file, &rows)) {
        const std::optional<QString> code = text(file, "Personalcode", false, true, kLoginFieldLength);
        // Without a Passwort column the stored password stays (an exported list holds none). The
        // password is never quoted in a message: only what is wrong with it.
        std::optional<QString> password;
        if (file.has("Passwort")) {
            QString expected;
            password = PlainText(file.value("Passwort"), &expected);
            if (!password)
                error(file, "Passwort",
                      QStringLiteral("das Passwort enthält ein Steuerzeichen, das nicht gespeichert "
                                     "werden kann"));
            else if (password->size() > kLoginFieldLength)
                error(file, "Passwort",
                      QStringLiteral("das Passwort ist %1 Zeichen lang (erlaubt: höchstens %2)")
                          .arg(password->size())
                          .arg(kLoginFieldLength));
            if (password && password->size() > kLoginFieldLength)
                password.reset();
        }
        QString expected;
        const std::optional<QString> active = ParseFlag(file.value("Aktiv"), &expected);
        if (!active)
            error(file, "Aktiv", expected);
        const std::optional<QString> name = text(file, "Name", true, true);
        std::optional<QString> optional[7];
        const char *const columns[] = {"Abteilung-Nr", "Abteilung", "DW",    "Berechtigungsgruppe",
                                       "Personal-Nr",  "Fax",       "E-Mail"};
        const int lengths[] = {kCodeLength, kNameLength, kCodeLength, kCodeLength,
                               kCodeLength, kCodeLength, kMailLength};
        bool ok = code && (password || !file.has("Passwort")) && active && name;
        for (int i = 0; i < 7; ++i) {
            if (!file.has(columns[i]))
                continue;
            const bool serverForm = i == 1 || i == 6; // read through the server's conversions
            optional[i] = text(file, columns[i], serverForm, false, lengths[i]);
            ok = ok && optional[i].has_value();
        }
        if (!ok)
            continue;
        Person &entry = people[*code];
        if (!firstNaming(file, "Personalcode", entry.seenLine,
                         [&] { return QStringLiteral("der Personalcode %1").arg(*code); }))
            continue;
        const bool isNew = entry.values.isEmpty();
        // A new login's columns that the file does not have are empty, not NULL.
        QStringList before = isNew ? QStringList(7, QStringLiteral("")) : entry.values;
        const auto keep = [&](int column, int stored) {
            return optional[column] ? *optional[column] : before.at(stored);
        };
        // Only the hash leaves this program. A stored hash of the same password stays, so that an
        // unchanged person is not rewritten with a new salt by every import.
        const QString hash = !password ? before.at(0)
                             : kxserver::VerifyPassword(*password, before.at(0)) ? before.at(0)
                                                                                 : kxserver::HashPassword(*password);
        const QStringList after{hash, *active, *name, keep(0, 3), keep(2, 4), keep(3, 5), keep(4, 6)};
        bool changed = isNew || after != before;
        entry.values = after;
        if (changed && clean())
            exec(person, QVariantList{m_request.firma, *code} + QVariantList(after.begin(), after.end()));
        if (optional[1] && !after.at(3).isEmpty() &&
            !record(departments, after.at(3), {*optional[1]}, "Abteilung", department, &changed))
            continue;
        if ((optional[5] || optional[6]) && !after.at(6).isEmpty()) {
            const Record stored = bases.value(after.at(6));
            const QStringList values{optional[5] ? *optional[5] : stored.values.value(0, QStringLiteral("")),
                                     optional[6] ? *optional[6] : stored.values.value(1, QStringLiteral(""))};
            if (!record(bases, after.at(6), values, "Personal-Nr", base, &changed))
                continue;
        }
        ++(isNew ? counts.added : changed ? counts.changed : counts.unchanged);
    }
}

void ImportRun::update(FileRows &file) {
    const qint64 number = *m_request.runNr;
    QSqlQuery existing =
        m_db.run(QStringLiteral("SELECT 1 FROM upd_run WHERE firma = ? AND nr = ?"), {m_request.firma, number});
    if (m_db.next(existing)) {
        fileError(QStringLiteral("--nr %1").arg(number),
                  QStringLiteral("das Update %1 der Firma %2 gibt es schon; ein bestehendes Update wird nicht "
                                 "verändert (erwartet: eine neue Update-Nummer)")
                      .arg(number)
                      .arg(m_request.firma));
        return;
    }
    QString expected;
    const std::optional<QString> bez = ToServerText(m_request.runBez, &expected);
    if (!bez)
        fileError(QStringLiteral("--bez"), expected);
    else if (bez->size() > kNameLength)
        fileError(QStringLiteral("--bez"), QStringLiteral("die Bezeichnung ist %1 Zeichen lang (erlaubt: höchstens %2)")
                                               .arg(bez->size())
                                               .arg(kNameLength));
    if (!openFile(file) || !bez || !clean())
        return;
    KindCount &counts = count(file.kind());
    const qint64 run = nextId("upd_run");
    const QDate date = m_request.runDatum;
    // The server's date number: (year - 1900) * 10000 + month * 100 + day.
    const qint64 dateNumber = (date.year() - 1900) * 10000 + date.month() * 100 + date.day();
    Statement header =
        prepare(QStringLiteral("INSERT INTO upd_run (id, firma, nr, bez, datum) VALUES (?, ?, ?, ?, ?)"));
    exec(header, {run, m_request.firma, number, *bez, dateNumber});
    Statement insert =
        prepare(QStringLiteral("INSERT INTO upd_artikel (run, artnr, artikel, velka_lief) VALUES (?, ?, ?, ?)"));
    QHash<QString, qint64> seen;
    qint64 rows = 0;
    while (nextRow(file, &rows)) {
        Article *article = knownArticle(file, "Artikel-Nr");
        qint64 proposal = 0;
        const bool proposalOk =
            !file.has("Vorschlag-Lieferant-Nr") || supplierNumber(file, "Vorschlag-Lieferant-Nr", &proposal, true);
        if (!article || !proposalOk)
            continue;
        const QString artnr = file.value("Artikel-Nr").trimmed();
        if (!firstNaming(file, "Artikel-Nr", seen[artnr], [&] { return QStringLiteral("der Artikel %1").arg(artnr); }))
            continue;
        ++counts.added;
        if (clean())
            exec(insert, {run, artnr, article->id, IdOrNull(proposal)});
    }
}

} // namespace kxexchange
