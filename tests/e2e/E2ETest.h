#pragma once

#include "Database.h"
#include "KorvexProgram.h"
#include "XDisplay.h"

#include <gtest/gtest.h>

#include <QString>

#include <memory>
#include <vector>

namespace korvextest {
class PgCluster;
}

namespace e2e {

// Where screenshots are kept after the run (in the build folder).
QString ArtifactsDir();

// The fixture of the whole-program tests: X displays that are shot on failure and stopped at the
// end, a work folder per program, and the PostgreSQL cluster shared by the executable's tests.
class E2ETest : public ::testing::Test {
public:
    // Keeps a screenshot of every display, once per test: called at the first failure, while the
    // program still shows what went wrong.
    void shootDisplays();

protected:
    void SetUp() override;
    void TearDown() override;

    // A new X display; fails the test when none starts.
    XDisplay *newDisplay();
    // A new work folder (home, settings, documents) for one program.
    QString newWorkDir(const QString &name);
    // The test cluster, running, with a fresh demo database; null (and the test failed) otherwise.
    korvextest::PgCluster *freshPostgres();
    // A fresh demo database file in a work folder.
    QString freshSqlite(const QString &name);

    // The connections the program holds on the PostgreSQL cluster ("pid|backend_start" each).
    QStringList programConnections(korvextest::PgCluster &cluster) const;

    QString testName() const;

private:
    bool m_shot = false;
    QString m_name;
    std::vector<std::unique_ptr<XDisplay>> m_displays;
};

// A message box of the program, found by its title, answered with the key `key` (it has the focus).
bool AnswerBox(XDisplay &display, const QString &title, const QString &key, int timeoutMs, QString *why);

} // namespace e2e
