// korvex-db: creates the KORVEX tables in a new SQLite file (the embedded default of a single
// workstation) or in database "korvex" of a PostgreSQL server (shared by several workstations),
// with the demo merchant's data or a large generated update run on request.

#include "server/tool/AccessCommand.h"
#include "server/tool/DatanormCommand.h"
#include "server/tool/ExchangeCommands.h"
#include "server/admin/KorvexDb.h"
#include "session/ServerError.h"
#include "server/tool/ToolCommon.h"
#include "server/admin/Upgrade.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QStringList>

#include <exception>
#include <new>

namespace {

const char *const kHelp =
    "Aufruf:\n"
    "  korvex-db [--demo] [--articles N] [--force] DATEI\n"
    "  korvex-db [--demo] [--articles N] [--force] --pg HOST:PORT\n"
    "  korvex-db import (DATEI | --pg HOST:PORT) [--firma N] [--dry-run] [--encoding ENC] ART=CSV|XLSX|ODS...\n"
    "                   [--nr N --bez TEXT --datum TT.MM.JJJJ]   (die drei mit update=...)\n"
    "  korvex-db export (DATEI | --pg HOST:PORT) [--firma N] update NR [-o AUS.csv|AUS.xlsx]\n"
    "  korvex-db export (DATEI | --pg HOST:PORT) [--firma N] protokoll [--seit TT.MM.JJJJ] [-o AUS]\n"
    "  korvex-db export (DATEI | --pg HOST:PORT) [--firma N] preise [--seit TT.MM.JJJJ] [-o AUS]\n"
    "  korvex-db datanorm (DATEI | --pg HOST:PORT) [--firma N] [--dry-run] [--encoding ENC] [--rabatte DATEI]\n"
    "                     --lieferant NR DATEI...\n"
    "  korvex-db preise-faellig (DATEI | --pg HOST:PORT)\n"
    "  korvex-db upgrade (DATEI | --pg HOST:PORT)\n"
    "  korvex-db export (DATEI | --pg HOST:PORT) [--firma N] lieferanten|artikel|artlief|personal [-o AUS]\n"
    "  korvex-db zugang --pg HOST:PORT LOGIN --firma N --personal CODE[,CODE...] [--verbindungen N]\n"
    "                                                          (Passwort: 1. Zeile)\n"
    "  korvex-db zugang --pg HOST:PORT LOGIN --entfernen\n"
    "\n"
    "Legt die Tabellen einer KORVEX-Datenbank an:\n"
    "  DATEI             eine neue SQLite-Datei (eingebettete Datenbank eines Arbeitsplatzes).\n"
    "                    Im Programm als Server den Pfad mit einem Schr\xC3\xA4gstrich angeben,\n"
    "                    z. B. ./korvex.db oder /srv/korvex/korvex.db. Der Port muss dort eine Zahl\n"
    "                    sein (1 bis 5 Ziffern), sein Wert wird nicht verwendet.\n"
    "  --pg HOST:PORT    die Datenbank \"korvex\" auf einem PostgreSQL-Server (wird angelegt, wenn\n"
    "                    sie fehlt). Benutzer und Passwort kommen aus libpq (PGUSER, ~/.pgpass,\n"
    "                    PGSERVICE); das Programm speichert keine. Mit dem eigenen Login des\n"
    "                    Administrators aufrufen (CREATEDB und CREATEROLE, oder Superuser): er\n"
    "                    legt die Rollen korvex_owner (Eigent\xC3\xBCmer) und korvex_clerks an.\n"
    "\n"
    "Optionen:\n"
    "  --demo            Beispieldaten eines Baustoffh\xC3\xA4ndlers: Benutzer, Lieferanten, rund 280\n"
    "                    Artikel, Updates 1 bis 4. Anmeldung z. B. Firma 1, Personalcode DEMO,\n"
    "                    Passwort demo.\n"
    "  --articles N      zus\xC3\xA4tzlich Update 99 mit N erzeugten Artikeln (1 bis 5000000) f\xC3\xBCr\n"
    "                    Messungen; schlie\xC3\x9Ft --demo ein.\n"
    "  --force           eine vorhandene Datei bzw. vorhandene KORVEX-Tabellen ersetzen.\n"
    "  --help            diese Hilfe.\n"
    "\n"
    "\n"
    "import liest eigene Daten aus CSV-Dateien (Trennzeichen ;, UTF-8 oder Windows-1252) oder aus\n"
    "dem ersten Blatt einer Arbeitsmappe (.xlsx, .ods) ein, alle Dateien eines Aufrufs zusammen oder\n"
    "gar nicht. ART ist lieferanten, artikel, artlief,\n"
    "personal oder update; --firma ist sonst 1; --dry-run pr\xC3\xBC"
    "ft nur und nennt, was sich\n"
    "\xC3\xA4ndern w\xC3\xBCrde. export schreibt die Artikelliste eines Updates, das Speicherprotokoll\n"
    "oder die Stammdaten einer Art (mit den Spalten des Imports, Personal ohne Passw\xC3\xB6rter) als CSV\n"
    "(ohne -o auf die Standardausgabe) oder als Excel-Arbeitsmappe (.xlsx).\n"
    "Die Spalten der Dateien beschreibt docs/SERVER.md, \"Eigene Daten einspielen\".\n"
    "\n"
    "datanorm liest die Preisdateien eines Lieferanten (DATANORM 4 und 5, in beliebiger Reihenfolge)\n"
    "in die Einkaufspreise seiner Artikel ein, alle zusammen oder gar nicht: zugeordnet \xC3\xBC" "ber die\n"
    "Lieferanten-Artikel-Nr, sonst die EAN; Listenpreise abz\xC3\xBCglich Rabatt (--rabatte: eigene\n"
    "Tabelle Rabattgruppe;Rabatt). Jede Preis\xC3\xA4nderung bleibt in der Preishistorie (export preise);\n"
    "ein Preis mit sp\xC3\xA4terem G\xC3\xBCltigkeitstag gilt ab diesem Tag: preise-faellig \xC3\xBC" "bernimmt,\n"
    "was f\xC3\xA4llig ist (t\xC3\xA4glich aufrufen; jeder Import tut es auch).\n"
    "\n"
    "upgrade bringt eine Datenbank einer fr\xC3\xBCheren Version auf die dieses Programms, in einem\n"
    "Schritt oder gar nicht; von einer SQLite-Datei bleibt vorher eine Kopie daneben (DATEI.vN-DATUM).\n"

    "zugang legt den PostgreSQL-Login eines Sachbearbeiters an (oder \xC3\xA4ndert ihn): in der Gruppe\n"
    "korvex_clerks, mit dem Passwort aus der ersten Zeile der Standardeingabe (als scram-sha-256\n"
    "gespeichert), berechtigt f\xC3\xBCr die genannten Personalcodes der Firma, mit h\xC3\xB6" "chstens N\n"
    "gleichzeitigen Verbindungen (--verbindungen, ohne Angabe 5); --entfernen l\xC3\xB6scht ihn mit allem,\n"
    "was er in der Datenbank angelegt hat.\n"
    "\n"
    "Exit-Status: 0 erledigt, 1 Fehler oder abgelehnt (nichts ge\xC3\xA4ndert), 2 falscher Aufruf.\n";

// korvex-db upgrade (DATEI | --pg HOST:PORT)
int runUpgrade(const QStringList &arguments) {
    kxserver::DbTarget target;
    if (arguments.size() == 2 && arguments.at(0) == QLatin1String("--pg")) {
        if (!ParsePgServer(arguments.at(1), &target.host, &target.port))
            return UsageError(QStringLiteral("--pg: \"%1\" ist nicht von der Form HOST:PORT.").arg(arguments.at(1)));
        target.backend = kxserver::Backend::Postgres;
    } else if (arguments.size() == 1 && !arguments.at(0).startsWith(QLatin1Char('-'))) {
        target.path = QFileInfo(arguments.at(0)).absoluteFilePath();
    } else {
        return UsageError(QStringLiteral("upgrade braucht genau eines: eine Datei oder --pg HOST:PORT."));
    }
    const QString where = target.backend == kxserver::Backend::Sqlite
                              ? target.path
                              : QStringLiteral("korvex auf %1:%2").arg(target.host).arg(target.port);
    kxserver::UpgradeResult result;
    try {
        result = kxserver::UpgradeDatabase(target);
    } catch (const cacheapi::ServerError &e) {
        return Failure(e.description());
    }
    if (result.from == kxserver::kSchemaVersion) {
        Print(stdout, QStringLiteral("Die Datenbank %1 hat schon Version %2; nichts zu tun.\n")
                          .arg(where)
                          .arg(kxserver::kSchemaVersion));
        return 0;
    }
    Print(stdout, QStringLiteral("Die Datenbank %1 hat jetzt Version %2 (vorher %3).\n")
                      .arg(where)
                      .arg(kxserver::kSchemaVersion)
                      .arg(result.from));
    if (!result.copy.isEmpty())
        Print(stdout, QStringLiteral("Die Datei wie vorher: %1\n").arg(result.copy));
    return 0;
}
int run(const QStringList &arguments);

} // namespace

// Every error ends here at the latest, as a German message and exit status 1: an admin's tool
// that dies of an exception leaves him a core dump instead of a reason.
int main(int argc, char **argv) {
    try {
        QCoreApplication app(argc, argv);
        return run(app.arguments().mid(1));
    } catch (const cacheapi::ServerError &e) {
        return Failure(QStringLiteral("%1 (Fehler %2)").arg(e.description()).arg(e.number()));
    } catch (const std::bad_alloc &) {
        return Failure(QStringLiteral("der Arbeitsspeicher reicht nicht aus; nichts wurde geändert."));
    } catch (const std::exception &e) {
        return Failure(QStringLiteral("unerwarteter Fehler: %1").arg(QString::fromLocal8Bit(e.what())));
    } catch (...) {
        return Failure(QStringLiteral("unerwarteter Fehler; nichts wurde geändert."));
    }
}

namespace {

int run(const QStringList &arguments) {
    if (!arguments.isEmpty() && arguments.front() == QLatin1String("upgrade"))
        return runUpgrade(arguments.mid(1));
    if (!arguments.isEmpty() && arguments.front() == QLatin1String("import"))
        return RunImport(arguments.mid(1));
    if (!arguments.isEmpty() && arguments.front() == QLatin1String("export"))
        return RunExport(arguments.mid(1));
    if (!arguments.isEmpty() && arguments.front() == QLatin1String("datanorm"))
        return RunDatanorm(arguments.mid(1));
    if (!arguments.isEmpty() && arguments.front() == QLatin1String("preise-faellig"))
        return RunDuePrices(arguments.mid(1));
    if (!arguments.isEmpty() && arguments.front() == QLatin1String("zugang"))
        return RunAccess(arguments.mid(1));

    kxserver::DbTarget target;
    kxserver::DbContent content;
    bool force = false;
    QString file;
    QString server;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        const auto value = [&](QString *out) { return TakeValue(arguments, i, out); };
        if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) {
            Print(stdout, QString::fromUtf8(kHelp));
            return 0;
        } else if (argument == QLatin1String("--demo")) {
            content.demo = true;
        } else if (argument == QLatin1String("--force")) {
            force = true;
        } else if (argument == QLatin1String("--articles")) {
            QString text;
            if (!value(&text))
                return UsageError(QStringLiteral("--articles braucht eine Anzahl."));
            bool ok = false;
            const int count = text.toInt(&ok);
            if (!ok || count < 1 || count > 5000000)
                return UsageError(QStringLiteral("--articles: \"%1\" ist keine Anzahl von 1 bis 5000000.").arg(text));
            content.benchmarkArticles = count;
        } else if (argument == QLatin1String("--pg")) {
            if (!server.isEmpty())
                return UsageError(QStringLiteral("--pg ist doppelt angegeben."));
            if (!value(&server))
                return UsageError(QStringLiteral("--pg braucht HOST:PORT."));
        } else if (argument.startsWith(QLatin1Char('-')) && argument.size() > 1) {
            return UsageError(QStringLiteral("unbekannte Option \"%1\".").arg(argument));
        } else {
            if (!file.isEmpty())
                return UsageError(QStringLiteral("nur eine Datei angeben (\"%1\" und \"%2\").").arg(file, argument));
            file = argument;
        }
    }
    if (file.isEmpty() == server.isEmpty())
        return UsageError(QStringLiteral("genau eines angeben: eine Datei oder --pg HOST:PORT."));

    if (!server.isEmpty()) {
        if (!ParsePgServer(server, &target.host, &target.port))
            return UsageError(QStringLiteral("--pg: \"%1\" ist nicht von der Form HOST:PORT.").arg(server));
        target.backend = kxserver::Backend::Postgres;
    } else {
        target.backend = kxserver::Backend::Sqlite;
        target.path = file;
    }

    QElapsedTimer timer;
    timer.start();
    try {
        kxserver::CreateDatabase(target, content, force);
    } catch (const cacheapi::ServerError &e) {
        return Failure(e.description());
    }
    const QString what = content.benchmarkArticles > 0 ? QStringLiteral("mit Beispieldaten und Update %1 (%2 Artikel)")
                                                             .arg(kxserver::kBenchmarkRun)
                                                             .arg(content.benchmarkArticles)
                         : content.demo ? QStringLiteral("mit Beispieldaten")
                                        : QStringLiteral("leer");
    if (target.backend == kxserver::Backend::Sqlite)
        Print(stdout, QStringLiteral("Datenbank %1 angelegt, %2 (%3 s).\nVerbindung im Programm: Server %1\n")
                          .arg(QFileInfo(target.path).absoluteFilePath(), what)
                          .arg(timer.elapsed() / 1000.0, 0, 'f', 1));
    else
        Print(stdout, QStringLiteral("Datenbank korvex auf %1:%2 eingerichtet, %3 (%4 s).\n")
                          .arg(target.host)
                          .arg(target.port)
                          .arg(what)
                          .arg(timer.elapsed() / 1000.0, 0, 'f', 1));
    return 0;
}

} // namespace
