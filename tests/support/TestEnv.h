#pragma once

#include <QString>

namespace korvextest {
// A temporary folder that lives for the whole test run.
QString TempDir();
// The settings file the session routines use in tests.
QString SettingsFile();
} // namespace korvextest
