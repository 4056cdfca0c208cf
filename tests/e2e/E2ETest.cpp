#include "E2ETest.h"

#include "PgCluster.h"
#include "TestEnv.h"

#include <QDir>
#include <QStandardPaths>
#include <QUuid>

#include <iostream>

namespace e2e {

namespace {

// One PostgreSQL cluster for the whole executable: started by the first test that needs it,
// stopped after the last one.
class PgEnvironment : public ::testing::Environment {
public:
    korvextest::PgCluster *cluster(QString *error) {
        if (!m_cluster) {
            m_cluster = std::make_unique<korvextest::PgCluster>();
            m_started = m_cluster->start();
            if (m_started)
                m_cluster->setClientEnvironment();
        }
        if (!m_started) {
            *error = m_cluster->error();
            return nullptr;
        }
        if (!m_cluster->running() && !m_cluster->startServer()) {
            *error = m_cluster->error();
            return nullptr;
        }
        return m_cluster.get();
    }
    void TearDown() override { m_cluster.reset(); }

private:
    std::unique_ptr<korvextest::PgCluster> m_cluster;
    bool m_started = false;
};

PgEnvironment *gPg = static_cast<PgEnvironment *>(::testing::AddGlobalTestEnvironment(new PgEnvironment));

E2ETest *gCurrent = nullptr;

// Shoots the screens at a test's first failure, before the test's programs are ended.
class FailureShots : public ::testing::EmptyTestEventListener {
public:
    void OnTestPartResult(const ::testing::TestPartResult &result) override {
        if (result.failed() && gCurrent)
            gCurrent->shootDisplays();
    }
};

[[maybe_unused]] const bool gShotsListening = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new FailureShots);
    return true;
}();

} // namespace

QString ArtifactsDir() {
    const QString dir = QStringLiteral(KORVEX_E2E_ARTIFACTS);
    QDir().mkpath(dir);
    return dir;
}

void E2ETest::SetUp() {
    // Taken once here: gtest's own lock is held while a failure is being reported.
    const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
    m_name = QString::fromLatin1(info ? info->name() : "test");
    QDir artifacts(ArtifactsDir());
    for (const QString &old : artifacts.entryList({QStringLiteral("failure-%1-*.png").arg(testName())}, QDir::Files))
        artifacts.remove(old);
    gCurrent = this;
}

void E2ETest::TearDown() {
    gCurrent = nullptr;
    m_displays.clear();
}

void E2ETest::shootDisplays() {
    // What the screen showed when a step failed: the fastest way to see why.
    if (m_shot)
        return;
    m_shot = true;
    for (size_t i = 0; i < m_displays.size(); ++i) {
        const QImage screen = m_displays[i]->grab();
        const QString path =
            QDir(ArtifactsDir()).filePath(QStringLiteral("failure-%1-%2.png").arg(testName()).arg(i + 1));
        if (!screen.isNull() && screen.save(path))
            std::cout << "[ e2e      ] screen at the failure: " << path.toStdString() << std::endl;
    }
}

QString E2ETest::testName() const {
    return m_name;
}

XDisplay *E2ETest::newDisplay() {
    for (const char *tool : {"Xvfb", "xdpyinfo", "xdotool", "import", "pdftotext"}) {
        if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty()) {
            ADD_FAILURE() << tool << " is missing: scripts/deps.sh installs xvfb, x11-utils, xdotool, imagemagick"
                          << " and poppler-utils";
            return nullptr;
        }
    }
    auto display = std::make_unique<XDisplay>();
    QString error;
    if (!display->start(&error)) {
        ADD_FAILURE() << "No X server: " << error.toStdString();
        return nullptr;
    }
    m_displays.push_back(std::move(display));
    return m_displays.back().get();
}

QString E2ETest::newWorkDir(const QString &name) {
    const QString dir = QDir(korvextest::TempDir())
                            .filePath(QStringLiteral("e2e-%1-%2-%3")
                                          .arg(testName(), name, QUuid::createUuid().toString(QUuid::Id128).left(8)));
    QDir().mkpath(dir);
    return dir;
}

korvextest::PgCluster *E2ETest::freshPostgres() {
    QString error;
    korvextest::PgCluster *cluster = gPg->cluster(&error);
    if (!cluster) {
        ADD_FAILURE() << "PostgreSQL test cluster did not start: " << error.toStdString();
        return nullptr;
    }
    if (!Database::postgres(cluster->port()).createDemo(&error)) {
        ADD_FAILURE() << error.toStdString();
        return nullptr;
    }
    return cluster;
}

QString E2ETest::freshSqlite(const QString &name) {
    const QString path = QDir(newWorkDir(name)).filePath(QStringLiteral("korvex-demo.sqlite"));
    QString error;
    if (!Database::sqlite(path).createDemo(&error)) {
        ADD_FAILURE() << error.toStdString();
        return {};
    }
    return path;
}

QStringList E2ETest::programConnections(korvextest::PgCluster &cluster) const {
    return Database::postgres(cluster.port())
        .rows(QStringLiteral("SELECT pid, backend_start FROM pg_stat_activity"
                             " WHERE application_name = 'korvex-hauptlief' AND datname = 'korvex' ORDER BY pid"));
}

bool AnswerBox(XDisplay &display, const QString &title, const QString &key, int timeoutMs, QString *why) {
    const WindowId box = display.waitWindow(title, timeoutMs);
    if (!box) {
        if (why)
            *why = QStringLiteral("Kein Fenster \"%1\"; Fenster: %2").arg(title, display.describeWindows());
        return false;
    }
    display.focus(box);
    Pause(100);
    display.key(key);
    if (!WaitUntil([&] { return !display.windows(title).contains(box); }, 5000)) {
        if (why)
            *why = QStringLiteral("\"%1\" bleibt nach %2 offen").arg(title, key);
        return false;
    }
    return true;
}

} // namespace e2e
