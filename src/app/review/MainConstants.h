#pragma once

// Names the main window's files share: the server class of the update's lists and entries, the
// field separator of the list rows, the title of the window's boxes and the supplier list's two
// check columns.

#include <QString>

inline const QString kClass = QStringLiteral("UpdateVelka.Hauptlief");
inline const QString kLF = QStringLiteral("\n");
inline const QString kEditTitle = QStringLiteral("Korvex Update Hauptlieferant");

constexpr int kAktiv = 5;
constexpr int kHauptlieferant = 6;
