#pragma once

#include "server/admin/KorvexDb.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStringList>
#include <QVariantList>

#include <optional>
#include <stdexcept>
#include <vector>

namespace kxserver {

// The bcrypt cost of the demo users' passwords: the lowest libxcrypt takes. Their passwords are
// printed in the README, so a slow hash would protect nothing, and many test databases are built
// and logged into; real users' passwords get kPasswordCost.
constexpr int kDemoPasswordCost = 4;

// Inserts many rows with few statements: rows are gathered and sent as one multi-row INSERT, which
// keeps a 100,000-article database quick to build on both backends. Throws std::runtime_error.
class BatchInsert {
public:
    BatchInsert(QSqlDatabase db, const QString &table, const QStringList &columns, int rowsPerStatement = 200);
    ~BatchInsert() = default;
    void add(const QVariantList &row);
    void flush();
    // Rows of `other` are sent before any row of this table (foreign keys).
    void dependsOn(BatchInsert *other) { m_dependencies.push_back(other); }

private:
    QString statement(int rows) const;
    void send(std::optional<QSqlQuery> &query, int rows);

    QSqlDatabase m_db;
    QString m_table;
    QStringList m_columns;
    int m_rowsPerStatement;
    QVariantList m_values;
    std::optional<QSqlQuery> m_full;
    std::vector<BatchInsert *> m_dependencies;
};

// Runs one statement on db; throws std::runtime_error with the database's message.
void Exec(QSqlDatabase &db, const QString &sql);

// The demo merchant's data (and the benchmark run when asked), inserted into an empty schema.
void FillDemoData(QSqlDatabase &db, const DbContent &content);

} // namespace kxserver
