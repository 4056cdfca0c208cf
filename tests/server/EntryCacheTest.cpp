// Entries opened inside a unit that holds its list's lock come from one read of their article: what
// they show must still be exactly what the list holds, also for entries this unit wrote.

#include "ServerFixture.h"

using namespace kxserver;

TEST_P(ServerTest, EntriesOpenedInAUnitShowWhatTheUnitWrote) {
    cacheapi::FactoryPtr factory = clerk();
    const QString key = listKey(*factory, "3");
    const QString first = entryId(*factory, key, "100001", 70001);
    const QString second = entryId(*factory, key, "100001", 70012);
    const QString third = entryId(*factory, key, "100001", 70015);
    const QString other = entryId(*factory, key, "100002", 70012);

    factory->beginUnit();
    writeEntry(*factory, first, {{"aendsw", 2}}); // takes the list's lock
    // Opened under the lock: the article's entries are read together, the unit's write included.
    EXPECT_EQ(factory->openId("UpdateVelka.Hauptlief", first)->property("aendsw").toInt(), 2);
    EXPECT_EQ(factory->openId("UpdateVelka.Hauptlief", second)->property("laktiv").toString(), "J");
    writeEntry(*factory, second, {{"laktiv", "N"}, {"aendsw", 1}});
    cacheapi::ServerObjectPtr again = factory->openId("UpdateVelka.Hauptlief", second);
    EXPECT_EQ(again->property("laktiv").toString(), "N") << "an entry written in the unit is read afresh";
    EXPECT_EQ(again->property("aendsw").toInt(), 1);
    EXPECT_EQ(factory->openId("UpdateVelka.Hauptlief", third)->property("hlief").toString(), "N");
    EXPECT_EQ(factory->openId("UpdateVelka.Hauptlief", other)->property("laktiv").toString(), "J");
    // An id of another list's entry, or of no entry at all, is still unknown under the lock.
    ExpectServerError(kUnknownId, [&] { factory->openId("UpdateVelka.Hauptlief", key + "||999999"); });
    factory->commitUnit();

    // After the unit: the same from a fresh connection.
    cacheapi::FactoryPtr later = clerk();
    EXPECT_EQ(later->openId("UpdateVelka.Hauptlief", second)->property("laktiv").toString(), "N");
    EXPECT_EQ(later->openId("UpdateVelka.Hauptlief", first)->property("aendsw").toInt(), 2);

    // A unit that is rolled back leaves nothing behind, in the list or in what the next unit reads.
    factory->beginUnit();
    writeEntry(*factory, third, {{"laktiv", "N"}, {"aendsw", 1}});
    EXPECT_EQ(factory->openId("UpdateVelka.Hauptlief", third)->property("laktiv").toString(), "N");
    factory->rollbackUnit();
    factory->beginUnit();
    writeEntry(*factory, first, {{"aendsw", 3}});
    EXPECT_EQ(factory->openId("UpdateVelka.Hauptlief", third)->property("laktiv").toString(), "J");
    factory->commitUnit();
}
