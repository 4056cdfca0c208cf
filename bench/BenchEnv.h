#pragma once

// What the benchmarks share: the databases (embedded files and a throwaway PostgreSQL cluster on
// 127.0.0.1), the program's main window started on them as the clerk starts it, and the bare SQL
// connection that measures each figure's floor.

#include "LiveDesktop.h"

#include <QSqlDatabase>
#include <QString>
#include <QStringList>

#include <memory>

class FMStart;
class FakeLoginForms;

namespace korvextest {
class PgCluster;
}

namespace bench {

// PostgresDelayed: the same PostgreSQL cluster reached through a relay on 127.0.0.1 that adds 1 ms
// to every round trip, as a clerk's network would.
enum class Backend { Sqlite, Postgres, PostgresDelayed };
const char *backendName(Backend backend);

// A database with the demo data and the benchmark update (number 99) of `articles` articles.
struct Database {
    Backend backend = Backend::Sqlite;
    int articles = 0;
    QString server; // the program's server field: the file, or 127.0.0.1
    QString port;
    QString path; // SQLite file
    int pgPort = 0;
};

// Made on first use and kept for the run. PostgreSQL holds one content at a time: asking for the
// other size rebuilds it (registering the benchmarks in order keeps that to once).
const Database &database(Backend backend, int articles);
// Something else (the import figures) replaced the PostgreSQL database: the next use builds it again.
void postgresReplaced();

// A connection of its own for the floor: the same rows read or written by bare SQL.
QSqlDatabase floorConnection(const Database &db);

// The main window after the program's own start-up (command-line login, update combo), shown.
// One program at a time, like the session values it runs on; asking for another database ends the
// one before.
FMStart &program(const Database &db);
void endProgram();
// Picks update 99 and loads it the way the update combo's timer does.
void loadBenchmarkUpdate(FMStart &window);
// The article row of liart whose number is `artnr`; -1 when it is not in the list.
int articleRow(FMStart &window, const QString &artnr);
// The number of the first article of update 99 with exactly `suppliers` suppliers.
QString articleWithSuppliers(const Database &db, int suppliers);

// The desktop of the benchmarks: message boxes reported and answered.
class BenchDesktop : public LiveDesktop {
public:
    Answer messageBox(const QString &title, const QString &text, Buttons buttons, Icon icon) override;
    int boxes = 0;
};
BenchDesktop &desktop();

// Environment and arguments for starting the real program on `db`.
QStringList programArguments(const Database &db);
QString tempDir();
// The throwaway PostgreSQL cluster of the run (started on first use).
korvextest::PgCluster &pgCluster();

// The child process behind the peak-memory figure: starts the main window on the database, loads
// update 99 and prints "maxrss_kb <n>". Returns the process's exit code.
int memoryProbe(const QString &server, const QString &port);

} // namespace bench
