#pragma once

#include <QString>
#include <QStringList>
#include <QVariantList>

namespace e2e {

// The test's own look into the database the program works on, past the program: plain SQL on the
// SQLite file or on database "korvex" of the PostgreSQL test cluster.
class Database {
public:
    static Database sqlite(const QString &path);
    static Database postgres(int port);

    // Creates the demo database with the real tool, `korvex-db --demo` (replacing what is there).
    bool createDemo(QString *error) const;

    // Every row, its columns joined by "|" (NULL as an empty text).
    QStringList rows(const QString &sql, const QVariantList &values = {}) const;
    // The first column of the first row; empty when there is none.
    QString value(const QString &sql, const QVariantList &values = {}) const;

    // What the supplier list of article `artnr` in update `update` must show: per supplier, in
    // supplier-number order, "Aktiv" and "Hauptlieferant" as 1 or 0, the list's unsaved changes
    // included ("11 00 10 10").
    QString supplierMarks(int update, const QString &artnr) const;

    bool isSqlite() const { return !m_path.isEmpty(); }
    QString path() const { return m_path; }
    int port() const { return m_port; }

private:
    QString m_path;
    int m_port = 0;
};

} // namespace e2e
