#pragma once

#include "session/Factory.h"

// The stand-in for the vendor's connection factory, on Qt SQL. The connection string
// "cn_iptcp:" + server + "[" + port + "]:KORVEX" chooses the backend: a server with a slash in it
// names an embedded SQLite database file (opened in-process, never created by a connect), any other
// a PostgreSQL server at that address and port, database "korvex", credentials from libpq's own
// sources. Every call makes a fresh, unconnected factory with a connection of its own:
//     cacheapi::gFactoryMaker = MakeSqlFactory;
cacheapi::FactoryPtr MakeSqlFactory();
