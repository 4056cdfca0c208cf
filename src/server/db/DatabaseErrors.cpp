#include "server/db/DatabaseErrors.h"

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

} // namespace kxserver
