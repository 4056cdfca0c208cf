#pragma once

// Readable gtest messages for Qt strings and string lists.

#include <QString>
#include <QStringList>

#include <ostream>

inline void PrintTo(const QString &text, std::ostream *os) {
    *os << '"' << text.toStdString() << '"';
}

inline void PrintTo(const QStringList &list, std::ostream *os) {
    *os << "{";
    for (qsizetype i = 0; i < list.size(); ++i) {
        *os << (i ? ", " : " ");
        PrintTo(list.at(i), os);
    }
    *os << " }";
}
