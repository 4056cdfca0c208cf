#include "server/db/Dialect.h"

#include "server/db/JsonRows.h"

#include <QSqlError>

namespace kxserver {

namespace {

struct Meaning {
    const char *code; // SQLite: the primary code as a number; PostgreSQL: an SQLSTATE or its class (2 characters)
    const char *text;
};

// UTF-8 texts; the first match wins.
constexpr Meaning kSqliteMeanings[] = {
    {"8", "Die Datenbank nimmt keine Änderungen an: die Datei oder ihr Ordner ist schreibgeschützt."},
    {"11", "Die Datenbankdatei ist beschädigt."},
    {"26", "Die Datenbankdatei ist beschädigt oder keine KORVEX-Datenbank."},
    {"13", "Der Datenträger der Datenbank ist voll."},
    {"10", "Lese- oder Schreibfehler an der Datenbankdatei."},
    {"14", "Die Datenbankdatei oder ihre Begleitdateien lassen sich nicht öffnen."},
    {"3", "Der Zugriff auf die Datenbankdatei wurde verweigert."},
    {"7", "Dem Programm fehlt Arbeitsspeicher für die Datenbank."},
    {"19", "Die Änderung verletzt eine Regel der Datenbank."},
};

constexpr Meaning kPostgresMeanings[] = {
    {"57014", "Der Server hat die Anweisung abgebrochen, weil sie zu lange dauerte."},
    {"25006", "Der Server nimmt keine Änderungen an (nur lesbar)."},
    {"42501", "Dem Datenbankbenutzer fehlt das Recht für diesen Zugriff."},
    {"53100", "Der Datenträger des Servers ist voll."},
    {"XX001", "Die Daten auf dem Server sind beschädigt."},
    {"XX002", "Die Daten auf dem Server sind beschädigt."},
    {"57", "Der Server wurde beendet oder nimmt gerade nichts an."},
    {"53", "Dem Server fehlen Mittel (Speicher, Verbindungen)."},
    {"23", "Die Änderung verletzt eine Regel der Datenbank."},
    {"42", "Die Datenbank passt nicht zu diesem Programm (Tabelle oder Spalte fehlt)."},
    {"08", "Die Verbindung zum Server ist gestört."},
};

const char *const kRefused = "Die Datenbank hat den Zugriff abgelehnt.";

} // namespace

int SqlitePrimaryCode(const QSqlError &error) {
    bool ok = false;
    const int number = error.nativeErrorCode().toInt(&ok);
    return ok ? number & 0xff : 0;
}

QString DescribeDatabaseError(Backend backend, const QSqlError &error) {
    const char *text = kRefused;
    if (backend == Backend::Sqlite) {
        const QString code = QString::number(SqlitePrimaryCode(error));
        for (const Meaning &meaning : kSqliteMeanings)
            if (code == QLatin1String(meaning.code)) {
                text = meaning.text;
                break;
            }
    } else {
        const QString state = error.nativeErrorCode();
        for (const Meaning &meaning : kPostgresMeanings)
            if (state.startsWith(QLatin1String(meaning.code))) {
                text = meaning.text;
                break;
            }
    }
    // The first line only: PostgreSQL adds the statement's line with a pointer under it.
    QString detail = error.databaseText().trimmed().section(QLatin1Char('\n'), 0, 0);
    if (detail.isEmpty())
        detail = error.driverText().trimmed().section(QLatin1Char('\n'), 0, 0);
    const QString german = QString::fromUtf8(text);
    return detail.isEmpty() ? german : german + QLatin1Char('\n') + detail.simplified();
}

bool IsBusyError(Backend backend, const QSqlError &error) {
    if (backend == Backend::Sqlite) {
        const int code = SqlitePrimaryCode(error); // with the extended codes of both
        return code == kSqliteBusy || code == kSqliteLocked;
    }
    // lock_not_available, serialization_failure, deadlock_detected
    const QString code = error.nativeErrorCode();
    return code == QLatin1String("55P03") || code == QLatin1String("40001") || code == QLatin1String("40P01");
}

QString InTextList(Backend backend, const QString &column) {
    return backend == Backend::Sqlite ? column + QStringLiteral(" IN (SELECT value FROM json_each(?))")
                                      : column + QStringLiteral(" = ANY (CAST(? AS text[]))");
}

QVariant TextListValue(Backend backend, const QStringList &texts) {
    if (backend == Backend::Sqlite)
        return JsonTextList(texts);
    // An array literal: every element quoted, its quotes and backslashes escaped.
    QString array = QStringLiteral("{");
    for (const QString &text : texts) {
        if (array.size() > 1)
            array += QLatin1Char(',');
        QString quoted = text;
        quoted.replace(QLatin1Char('\\'), QStringLiteral("\\\\")).replace(QLatin1Char('"'), QStringLiteral("\\\""));
        array += QLatin1Char('"') + quoted + QLatin1Char('"');
    }
    return array + QLatin1Char('}');
}

QVariant TextLinesValue(Backend backend, QStringView lines) {
    if (backend == Backend::Sqlite)
        return JsonLineList(lines);
    return TextListValue(backend, lines.toString().split(QLatin1Char('\n'), Qt::SkipEmptyParts));
}

QString InIdList(Backend backend, const QString &column) {
    return backend == Backend::Sqlite ? column + QStringLiteral(" IN (SELECT value FROM json_each(?))")
                                      : column + QStringLiteral(" = ANY (CAST(? AS bigint[]))");
}

QVariant IdListValue(Backend backend, const std::vector<qint64> &ids) {
    const QString json = JsonIdList(ids);
    if (backend == Backend::Sqlite)
        return json;
    return QLatin1Char('{') + json.mid(1, json.size() - 2) + QLatin1Char('}');
}

QString KeyLookupJoin(Backend backend, const char *table, const QString &alias, const QString &condition, bool outer) {
    const QString join = outer ? QStringLiteral(" LEFT JOIN ") : QStringLiteral(" JOIN ");
    if (backend == Backend::Sqlite)
        return join + QStringLiteral("%1 %2 ON %3").arg(QLatin1String(table), alias, condition);
    return join + QStringLiteral("LATERAL (SELECT * FROM %1 %2 WHERE %3 LIMIT 1) %2 ON true")
                      .arg(QLatin1String(table), alias, condition);
}

} // namespace kxserver
