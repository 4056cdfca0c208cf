#pragma once

// Overwrites the password field (field 4 of the blank-separated command line) in the process's own
// argument list. The fields are counted as the login counts them: the arguments joined by single blanks, split at every blank.
void ScrubPasswordArgument(int argc, char **argv);
