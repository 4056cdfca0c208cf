#pragma once

#include "session/ServerError.h"

#include <QString>

namespace kxserver {

// The numbers of the stand-in server's errors. Each cause has its own number so that a clerk's
// report ("Fehler: 1002") tells the administrator what went wrong; the descriptions are German,
// because the program shows them as they stand.
enum ErrorCode : int {
    kUnknownClass = 1001,     // no such class
    kUnknownId = 1002,        // no stored object with that id
    kUnknownMember = 1003,    // no such property
    kUnknownMethod = 1004,    // no such method
    kUnknownQuery = 1005,     // no such class query
    kWrongArguments = 1006,   // wrong number of arguments or query parameters
    kBadCommand = 1007,       // Xecute with a command line the server does not run
    kNotConnected = 1008,     // the connection is closed or was lost
    kDatabase = 1009,         // the database refused a statement
    kBadValue = 1010,         // a property value of the wrong kind
    kRejected = 1011,         // a change would break the article's supplier rules (another clerk changed it)
    kClosed = 1012,           // the object was closed with SYS_Close
    kReadOnly = 1013,         // the property cannot be written
    kUnitState = 1014,        // unit begun twice, committed without a begin, or broken by an earlier error
    kNoSession = 1015,        // a write without the session's company and personnel code
    kUnknownUpdate = 1016,    // ArtListe for an update that does not exist
    kUnknownList = 1017,      // Speichern for a list key that does not exist (or of another company)
    kCursorState = 1018,      // column read without a current row, or a column number out of range
    kBusy = 1019,             // the data are locked by another workstation for too long
    kNoInstance = 1020,       // the class has no transient instances / no stored objects
    kUnusableDatabase = 1021, // a database file that cannot be written (read-only) or is damaged
    kOtherVersion = 1022,     // a KORVEX database of an older (to be upgraded) or newer schema version
};

inline cacheapi::ServerError Error(ErrorCode code, const QString &description) {
    return cacheapi::ServerError(code, description);
}

} // namespace kxserver
