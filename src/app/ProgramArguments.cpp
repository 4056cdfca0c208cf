#include "app/ProgramArguments.h"

#include <cstring>

QStringList ProgramArgumentsOf(int argc, char **argv) {
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return arguments;
}

void ScrubPasswordArgument(int argc, char **argv) {
    constexpr int kPasswordField = 4;
    int field = 1; // field number at the start of the current argument
    for (int i = 1; i < argc && field <= kPasswordField; ++i) {
        char *arg = argv[i];
        const std::size_t length = std::strlen(arg);
        // Blanks inside one argument start further fields of the joined command line.
        int fieldAtChar = field;
        for (std::size_t c = 0; c < length; ++c) {
            if (arg[c] == ' ') {
                ++fieldAtChar;
            } else if (fieldAtChar == kPasswordField) {
                arg[c] = '*';
            }
        }
        field = fieldAtChar + 1;
    }
}
