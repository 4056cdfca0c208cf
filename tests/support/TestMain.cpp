// The main of every test executable: headless, German locale, settings in a temporary file.

#include "session/CacheApi.h"
#include "TestEnv.h"

#include <QApplication>
#include <QLocale>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>

namespace {
QTemporaryDir *gTempHome = nullptr;
}

QString korvextest::TempDir() { return gTempHome->path(); }

QString korvextest::SettingsFile() { return gTempHome->filePath(QStringLiteral("Cache Login.ini")); }

int main(int argc, char **argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QTemporaryDir home;
    gTempHome = &home;
    // Nothing a test starts may find or change the user's own configuration.
    ::setenv("XDG_CONFIG_HOME", qPrintable(home.filePath(QStringLiteral("config"))), 1);
    ::setenv("XDG_DATA_HOME", qPrintable(home.filePath(QStringLiteral("data"))), 1);
    ::setenv("XDG_DOCUMENTS_DIR", qPrintable(home.filePath(QStringLiteral("documents"))), 1);
    QApplication app(argc, argv);
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    cacheapi::SetSettingsFile(korvextest::SettingsFile());
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
