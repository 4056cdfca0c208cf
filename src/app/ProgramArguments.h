#pragma once

#include <QStringList>

// The program's arguments without its own path, as given. Read before QApplication exists, which
// takes its own options (-style, -reverse, ...) out of the list: here they are field values.
QStringList ProgramArgumentsOf(int argc, char **argv);

// Overwrites the password field (field 4 of the blank-separated command line) in the process's own
// argument list. The fields are counted as the login counts them: the arguments joined by single blanks, split at every
// blank.
void ScrubPasswordArgument(int argc, char **argv);
