#pragma once

#include <QString>
#include <stdexcept>

namespace cacheapi {

// The one error type of every failing server operation: a number and a German description,
// shown to the clerk as they stand.
class ServerError : public std::runtime_error {
public:
    ServerError(int number, const QString &description)
        : std::runtime_error(description.toStdString()), m_number(number), m_description(description) {}

    int number() const noexcept { return m_number; }
    const QString &description() const noexcept { return m_description; }

private:
    int m_number;
    QString m_description;
};

// Thrown by the end of the program (the desktop's quit) so that every handler up the stack stops
// at once and nothing touches the server afterwards. Handler guards let it through quietly.
class ProgramEnd : public std::exception {
public:
    const char *what() const noexcept override { return "program ended"; }
};

} // namespace cacheapi
