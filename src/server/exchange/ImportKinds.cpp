// The five kinds of import file, each read row by row into the state of the call and written at
// once (as long as the call has found no error; after the first one it only goes on checking).

#include "server/db/BulkInsert.h"
#include "server/exchange/Fields.h"
#include "server/exchange/ImportRun.h"
#include "server/exchange/PriceHistory.h"
#include "session/ServerErrorCodes.h"
#include "server/db/TypedNulls.h"

#include <algorithm>
#include <limits>

namespace kxexchange {

using kxserver::IdOrNull;
using kxserver::NullText;

// A text field: converted to the server's form or kept as it stands; a required one must not be
// empty, and none is longer than its column allows (Fields.h).
std::optional<QString> ImportRun::text(FileRows &file, const char *column, bool serverForm, bool required,
                                       int maxLength) {
    QString expected;
    const QString raw = file.value(column);
    const std::optional<QString> value = serverForm ? ToServerText(raw, &expected) : PlainText(raw, &expected);
    if (!value) {
        error(file, column, expected);
        return std::nullopt;
    }
    if (required && value->isEmpty()) {
        error(file, column, QStringLiteral("das Feld ist leer (erwartet: ein Wert)"));
        return std::nullopt;
    }
    if (value->size() > maxLength) {
        error(file, column,
              QStringLiteral("\"%1\" ist %2 Zeichen lang (erlaubt: höchstens %3)")
                  .arg(ShownText(*value, 40))
                  .arg(value->size())
                  .arg(maxLength));
        return std::nullopt;
    }
    // An empty field is an empty text, never NULL (the personnel columns are NOT NULL).
    return value->isNull() ? QStringLiteral("") : *value;
}

bool ImportRun::supplierNumber(FileRows &file, const char *column, qint64 *id, bool mayBeEmpty) {
    const QString raw = file.value(column).trimmed();
    *id = 0;
    if (raw.isEmpty() && mayBeEmpty)
        return true;
    QString expected;
    const std::optional<qint64> number = ParseWholeNumber(raw, &expected);
    if (!number) {
        error(file, column, expected);
        return false;
    }
    const auto found = m_suppliers.constFind(*number);
    if (found == m_suppliers.constEnd()) {
        error(file, column,
              QStringLiteral("der Lieferant %1 ist unbekannt (erwartet: eine Lieferant-Nr der Firma %2 aus der "
                             "Datenbank oder aus der Lieferantendatei)")
                  .arg(*number)
                  .arg(m_request.firma));
        return false;
    }
    *id = found->id;
    return true;
}

ImportRun::Article *ImportRun::knownArticle(FileRows &file, const char *column) {
    const QString number = file.value(column).trimmed();
    const auto found = m_articles.find(number);
    if (number.isEmpty() || found == m_articles.end()) {
        error(file, column,
              number.isEmpty() ? QStringLiteral("das Feld ist leer (erwartet: eine Artikel-Nr)")
                               : QStringLiteral("der Artikel \"%1\" ist unbekannt (erwartet: eine Artikel-Nr der Firma "
                                                "%2 aus der Datenbank oder aus der Artikeldatei)")
                                     .arg(number)
                                     .arg(m_request.firma));
        return nullptr;
    }
    return &found.value();
}

void ImportRun::lieferanten(FileRows &file) {
    if (!openFile(file))
        return;
    const auto fail = [&](const char *column, const QString &what) { error(file, column, what); };
    KindCount &counts = count(file.kind());
    qint64 nextSupplier = nextId("lieferant");
    Statement insert = prepare(QStringLiteral("INSERT INTO lieferant (id, firma, liefnr, name) VALUES (?, ?, ?, ?)"));
    Statement change = prepare(QStringLiteral("UPDATE lieferant SET name = ? WHERE id = ?"));
    qint64 rows = 0;
    while (nextRow(file, &rows)) {
        QString expected;
        const std::optional<qint64> number = ParseWholeNumber(file.value("Lieferant-Nr"), &expected);
        if (!number)
            fail("Lieferant-Nr", expected);
        const std::optional<QString> name = text(file, "Name", true, true);
        if (!number || !name)
            continue;
        Supplier &supplier = m_suppliers[*number];
        if (!firstNaming(file, "Lieferant-Nr", supplier.seenLine,
                         [&] { return QStringLiteral("der Lieferant %1").arg(*number); }))
            continue;
        if (supplier.id == 0) {
            supplier.id = nextSupplier++;
            supplier.name = *name;
            m_supplierNumbers.insert(supplier.id, *number);
            ++counts.added;
            if (clean())
                exec(insert, {supplier.id, m_request.firma, *number, *name});
        } else if (supplier.name != *name) {
            supplier.name = *name;
            ++counts.changed;
            if (clean())
                exec(change, {*name, supplier.id});
        } else {
            ++counts.unchanged;
        }
    }
}

void ImportRun::lockLists() {
    if (m_listsLocked)
        return;
    LockCompanyLists(m_db, m_request.firma);
    m_listsLocked = true;
}

namespace {

// Why a lock of the company's lists gave up: the first of them a lock of its own would have to wait
// for; the look takes the free ones' locks only for the moment of its statement.
QString ListInUse(kxserver::SqlConnection &db, int firma) {
    QSqlQuery held = db.run(
        QStringLiteral("SELECT r.nr, l.id FROM artliste l JOIN upd_run r ON r.id = l.run WHERE r.firma = ? AND l.id"
                       " NOT IN (SELECT f.id FROM artliste f JOIN upd_run fr ON fr.id = f.run WHERE fr.firma = ?"
                       " FOR UPDATE OF f SKIP LOCKED) ORDER BY l.id LIMIT 1"),
        {firma, firma});
    const QString retry = QStringLiteral(" (ein Sachbearbeiter speichert oder ändert sie); nichts wurde importiert. "
                                         "Später erneut versuchen.");
    if (db.next(held))
        return QStringLiteral("Die Artikelliste des Updates %1 (Liste %2) der Firma %3 ist gerade gesperrt")
                   .arg(held.value(0).toLongLong())
                   .arg(held.value(1).toLongLong())
                   .arg(firma) +
               retry;
    return QStringLiteral("Eine Artikelliste der Firma %1 war gesperrt").arg(firma) + retry;
}

} // namespace

void LockCompanyLists(kxserver::SqlConnection &db, int firma) {
    // A clerk's write checks the article's rules against the master data under its list's lock;
    // changing master data under the same locks keeps both from deciding on a state the other is
    // about to change. SQLite's write lock (BEGIN IMMEDIATE) covers that already.
    if (db.backend() != kxserver::Backend::Postgres)
        return;
    try {
        db.run(QStringLiteral("SELECT l.id FROM artliste l JOIN upd_run r ON r.id = l.run WHERE r.firma = ?"
                              " ORDER BY l.id FOR UPDATE OF l"),
               {firma});
    } catch (const cacheapi::ServerError &failure) {
        if (failure.number() != kxserver::kBusy)
            throw;
        // The wait for a list ran out: a clerk holds it, saving or changing it. The administrator
        // learns which one; the unit is rolled back already, nothing of the import was sent.
        throw cacheapi::ServerError(kxserver::kBusy, ListInUse(db, firma));
    }
}

void ImportRun::artikel(FileRows &file) {
    if (!openFile(file))
        return;
    loadPairs();
    KindCount &counts = count(file.kind());
    const bool withMain = file.has("Hauptlieferant-Nr");
    const bool withEan = file.has("EAN");
    qint64 nextArticle = nextId("artikel");
    Statement insert =
        prepare(QStringLiteral("INSERT INTO artikel (id, firma, artnr, bez, haupt_lief, ean) VALUES (?, ?, ?, ?, ?, ?)"));
    Statement change = prepare(QStringLiteral("UPDATE artikel SET bez = ?, haupt_lief = ?, ean = ? WHERE id = ?"));
    qint64 rows = 0;
    while (nextRow(file, &rows)) {
        const std::optional<QString> number = text(file, "Artikel-Nr", false, true, kCodeLength);
        const std::optional<QString> bez = text(file, "Bezeichnung", true, true);
        qint64 main = 0;
        const bool mainOk = !withMain || supplierNumber(file, "Hauptlieferant-Nr", &main, true);
        QString expected;
        std::optional<QString> ean;
        if (withEan && !(ean = ParseEan(file.value("EAN"), &expected)))
            error(file, "EAN", expected);
        if (!number || !bez || !mainOk || (withEan && !ean))
            continue;
        Article &article = m_articles[*number];
        if (!firstNaming(file, "Artikel-Nr", article.seenLine,
                         [&] { return QStringLiteral("der Artikel %1").arg(*number); }))
            continue;
        article.touchedFile = fileIndex(file);
        article.touchedLine = file.line();
        if (!withMain)
            main = article.main;
        // A file without the column keeps the EAN the article has.
        const QString newEan = withEan ? *ean : article.ean;
        const QVariant eanValue = newEan.isEmpty() ? NullText() : QVariant(newEan);
        if (article.id == 0) {
            article.id = nextArticle++;
            ++counts.added;
            if (clean())
                exec(insert, {article.id, m_request.firma, *number, *bez, IdOrNull(main), eanValue});
        } else if (article.bez != *bez || article.main != main || article.ean != newEan) {
            ++counts.changed;
            if (clean())
                exec(change, {*bez, IdOrNull(main), eanValue, article.id});
        } else {
            ++counts.unchanged;
        }
        article.bez = *bez;
        article.main = main;
        article.ean = newEan;
    }
}

// Every pair of the company, once per call: the artlief file changes them, and the rules of the
// articles an artikel or artlief file names are checked on them before anything is written.
void ImportRun::loadPairs() {
    if (m_pairsLoaded)
        return;
    m_pairsLoaded = true;
    QSqlQuery stored =
        m_db.run(QStringLiteral("SELECT al.id, al.artikel, al.lieferant, al.ek_cent, al.pe, al.le_einkauf, al.aktiv"
                                " FROM artlief al JOIN artikel a ON a.id = al.artikel WHERE a.firma = ?"),
                 {m_request.firma});
    while (m_db.next(stored)) {
        Pair pair;
        pair.id = stored.value(0).toLongLong();
        pair.cents = stored.value(3).toLongLong();
        pair.unit = m_units.index(stored.value(4).toString());
        const QDate date = QDate::fromString(stored.value(5).toString(), Qt::ISODate);
        pair.lastPurchase = date.isValid() ? qint32(date.toJulianDay()) : 0;
        pair.active = stored.value(6).toString() == QLatin1String("J") ? 'J' : 'N';
        m_pairs.insert({stored.value(1).toLongLong(), stored.value(2).toLongLong()}, pair);
    }
}

void ImportRun::loadCatalogNumbers() {
    if (m_catalogNumbersLoaded)
        return;
    m_catalogNumbersLoaded = true;
    QSqlQuery stored = m_db.run(QStringLiteral("SELECT al.id, al.lief_artnr FROM artlief al JOIN artikel a ON a.id ="
                                               " al.artikel WHERE a.firma = ? AND al.lief_artnr IS NOT NULL"),
                                {m_request.firma});
    while (m_db.next(stored))
        m_catalogNumbers.insert(stored.value(0).toLongLong(), stored.value(1).toString());
}

namespace {

// A pair's last purchase as the database holds it: an ISO date, or null.
QVariant PurchaseValue(qint64 julianDay) {
    return julianDay == 0 ? NullText() : QVariant(QDate::fromJulianDay(julianDay).toString(Qt::ISODate));
}

} // namespace

// The new pairs in id order (the order of the file), in one bulk insert: COPY on PostgreSQL.
void ImportRun::writeNewPairs() {
    // Where each new pair is, by id. The pairs lie in the hash's order, all over its memory: read in
    // id order, each one is asked for a few rows ahead so that the wait for it overlaps the others.
    std::vector<std::pair<const QPair<qint64, qint64> *, const Pair *>> fresh(static_cast<size_t>(m_newPairCount));
    for (auto it = m_pairs.constBegin(); it != m_pairs.constEnd(); ++it)
        if (it->id >= m_firstNewPair)
            fresh[size_t(it->id - m_firstNewPair)] = {&it.key(), &it.value()};
    constexpr size_t kAhead = 16;
    kxserver::BulkInsert insert(m_db, QStringLiteral("artlief"),
                                {QStringLiteral("id"), QStringLiteral("artikel"), QStringLiteral("lieferant"),
                                 QStringLiteral("ek_cent"), QStringLiteral("pe"), QStringLiteral("le_einkauf"),
                                 QStringLiteral("aktiv"), QStringLiteral("lief_artnr")});
    qint32 shownDay = 0; // the last purchase written last, mostly the same for many rows
    QString shownDate;
    for (size_t i = 0; i < fresh.size(); ++i) {
        if (i + kAhead < fresh.size()) {
            __builtin_prefetch(fresh[i + kAhead].first);
            __builtin_prefetch(fresh[i + kAhead].second);
        }
        const auto &[key, found] = fresh[i];
        const Pair &pair = *found;
        insert.number(pair.id).number(key->first).number(key->second).number(pair.cents);
        insert.text(m_units.at(pair.unit));
        if (pair.lastPurchase == 0) {
            insert.null();
        } else {
            if (pair.lastPurchase != shownDay) {
                shownDay = pair.lastPurchase;
                shownDate = QDate::fromJulianDay(shownDay).toString(Qt::ISODate);
            }
            insert.text(shownDate);
        }
        const QChar active = QLatin1Char(pair.active);
        insert.text(QStringView(&active, 1));
        if (const auto number = m_catalogNumbers.constFind(pair.id); number != m_catalogNumbers.constEnd())
            insert.text(*number);
        else
            insert.null();
        insert.endRow();
    }
    insert.finish();
}

void ImportRun::artlief(FileRows &file) {
    if (!openFile(file))
        return;
    const auto fail = [&](const char *column, const QString &what) { error(file, column, what); };
    KindCount &counts = count(file.kind());
    const bool withDate = file.has("Letzter Einkauf");
    const bool withActive = file.has("Aktiv");
    const bool withNumber = file.has("Lieferanten-Artikel-Nr");

    loadPairs();
    if (withNumber)
        loadCatalogNumbers();
    if (m_recorder.isEmpty())
        m_recorder = PriceRecorder(m_db);
    const QString today = QDate::currentDate().toString(Qt::ISODate);
    const QString now = RecordedNow();
    Statement history = prepare(QString::fromLatin1(kHistoryInsert));
    Statement renumber = prepare(QStringLiteral("UPDATE artlief SET lief_artnr = ? WHERE id = ?"));
    QHash<QPair<qint64, qint64>, Pair> &pairs = m_pairs;
    // Room for a pair per line at once: growing step by step would move every pair several times.
    pairs.reserve(pairs.size() + qsizetype(file.reader().lineCount()));
    m_firstNewPair = nextId("artlief");
    qint64 nextPair = m_firstNewPair;
    // The units as the file writes them, once found good: most rows repeat a handful.
    QHash<QString, qint32> checkedUnits;
    Statement change =
        prepare(QStringLiteral("UPDATE artlief SET ek_cent = ?, pe = ?, le_einkauf = ?, aktiv = ? WHERE id = ?"));
    qint64 rows = 0;
    while (nextRow(file, &rows)) {
        Article *article = knownArticle(file, "Artikel-Nr");
        qint64 supplier = 0;
        const bool supplierOk = supplierNumber(file, "Lieferant-Nr", &supplier, false);
        QString expected;
        const std::optional<qint64> cents = ParseCents(file.value("EK-Netto"), &expected);
        if (!cents)
            fail("EK-Netto", expected);
        const QString rawUnit = file.value("per");
        auto unit = checkedUnits.constFind(rawUnit);
        if (unit == checkedUnits.constEnd())
            if (const std::optional<QString> checked = text(file, "per", true, true, kCodeLength))
                unit = checkedUnits.insert(rawUnit, m_units.index(*checked));
        std::optional<qint32> date;
        if (withDate && !file.value("Letzter Einkauf").trimmed().isEmpty()) {
            const std::optional<QDate> parsed = ParseDate(file.value("Letzter Einkauf"), &expected);
            if (!parsed)
                fail("Letzter Einkauf", expected);
            else
                date = qint32(parsed->toJulianDay());
        } else if (withDate) {
            date = 0;
        }
        std::optional<QString> active;
        bool activeOk = true;
        if (withActive && !file.value("Aktiv").trimmed().isEmpty()) {
            active = ParseFlag(file.value("Aktiv"), &expected);
            if (!active) {
                fail("Aktiv", expected);
                activeOk = false;
            }
        }
        std::optional<QString> catalogNumber;
        if (withNumber)
            catalogNumber = text(file, "Lieferanten-Artikel-Nr", false, false, kCatalogNumberLength);
        if (!article || !supplierOk || !cents || unit == checkedUnits.constEnd() || (withDate && !date) || !activeOk ||
            (withNumber && !catalogNumber))
            continue;
        if (article->touchedLine == 0) {
            article->touchedFile = fileIndex(file);
            article->touchedLine = file.line();
        }
        Pair &pair = pairs[{article->id, supplier}];
        if (!firstNaming(file, "Lieferant-Nr", pair.seenLine, [&] {
                return QStringLiteral("der Lieferant %1 zum Artikel %2")
                    .arg(m_supplierNumbers.value(supplier))
                    .arg(file.value("Artikel-Nr").trimmed());
            }))
            continue;
        const bool isNew = pair.id == 0;
        Pair after = pair;
        after.cents = *cents;
        after.unit = unit.value();
        if (date)
            after.lastPurchase = *date;
        if (active)
            after.active = active->at(0).toLatin1();
        // A file without the column keeps the numbers the pairs have.
        const bool numberChanged = withNumber && !isNew && m_catalogNumbers.value(pair.id) != *catalogNumber;
        if (isNew) {
            after.id = nextPair++;
            ++counts.added;
        } else if (after.cents != pair.cents || after.unit != pair.unit || after.lastPurchase != pair.lastPurchase ||
                   after.active != pair.active || numberChanged) {
            ++counts.changed;
            if (clean()) {
                exec(change, {after.cents, m_units.at(after.unit), PurchaseValue(after.lastPurchase),
                              QString(QLatin1Char(after.active)), after.id});
                if (numberChanged)
                    exec(renumber, {catalogNumber->isEmpty() ? NullText() : QVariant(*catalogNumber), after.id});
                if (after.cents != pair.cents || after.unit != pair.unit) {
                    exec(history, {after.id, pair.cents, m_units.at(pair.unit), after.cents, m_units.at(after.unit),
                                   today, 0, QStringLiteral("Import"), now, m_recorder});
                    m_pricedArticles.push_back(article->id);
                }
            }
        } else {
            ++counts.unchanged;
        }
        if (withNumber) {
            if (catalogNumber->isEmpty())
                m_catalogNumbers.remove(after.id);
            else
                m_catalogNumbers.insert(after.id, *catalogNumber);
        }
        pair = after;
    }
    m_newPairCount = nextPair - m_firstNewPair;
    if (clean() && m_newPairCount > 0 && !m_request.dryRun)
        m_writes.emplace_back(QString(), QVariantList());
}

} // namespace kxexchange
