// The prepared article list: writing supplier entries, units, saving, and two clerks on one list.

#include "ServerFixture.h"

#include <QElapsedTimer>

using namespace kxserver;

namespace {

QString mainOf(const QVariantList &articleRow) {
    return articleRow.value(3).toString();
}

} // namespace

TEST_P(ServerTest, EntryWritesSurviveReloadAndSpeichernAppliesThem) {
    cacheapi::FactoryPtr factory = clerk();
    const QString key = listKey(*factory, "3");
    EXPECT_EQ(listKey(*factory, "3"), key) << "one list per update";
    EXPECT_NE(listKey(*factory, "2"), key);

    // Entries read the list's view and check what is written to them.
    const QString id = entryId(*factory, key, "100001", 70012);
    cacheapi::ServerObjectPtr entry = factory->openId("UpdateVelka.Hauptlief", id);
    EXPECT_EQ(entry->property("laktiv").toString(), "J");
    EXPECT_EQ(entry->property("hlief").toString(), "N");
    EXPECT_EQ(entry->property("aendsw").toInt(), 0);
    ExpectServerError(kBadValue, [&] { entry->setProperty("laktiv", "j"); });
    ExpectServerError(kBadValue, [&] { entry->setProperty("hlief", "JA"); });
    ExpectServerError(kBadValue, [&] { entry->setProperty("aendsw", "eins"); });
    ExpectServerError(kUnknownMember, [&] { entry->setProperty("LAKTIV", "N"); });
    entry->setProperty("laktiv", "N");
    EXPECT_EQ(entry->property("laktiv").toString(), "N") << "a write changes the object in memory";
    EXPECT_EQ(suppliers(*factory, key, "100001").at(2).at(5).toString(), "J") << "not yet saved";
    entry->setProperty("aendsw", 1);
    entry->call("sys_Save");
    entry->call("SYS_Close");
    EXPECT_EQ(suppliers(*factory, key, "100001").at(2).at(5).toString(), "N");

    // A main-supplier change shows in the article list, also after a reload on a new connection.
    makeMain(*factory, key, "100001", 70015);
    cacheapi::FactoryPtr later = clerk();
    EXPECT_EQ(artListe(*later, "3"), key + "|288|4");
    EXPECT_EQ(mainOf(article(*later, key, "100001")), "70015 Baustoff-Union VELKA eG");
    cacheapi::ServerObjectPtr newMain = later->openId("UpdateVelka.Hauptlief", entryId(*later, key, "100001", 70015));
    EXPECT_EQ(newMain->property("hlief").toString(), "J");
    EXPECT_EQ(newMain->property("aendsw").toInt(), 1);
    // Another update with the same article does not see this list's changes.
    EXPECT_EQ(mainOf(article(*later, listKey(*later, "2"), "100001")), "70001 Zementwerke S}d AG");

    // Speichern applies them to the master data, so every list shows them, and clears the marks.
    EXPECT_EQ(speichern(*later, key), 4);
    EXPECT_EQ(artListe(*later, "3"), key + "|288|0");
    EXPECT_EQ(mainOf(article(*later, listKey(*later, "2"), "100001")), "70015 Baustoff-Union VELKA eG");
    EXPECT_EQ(suppliers(*later, listKey(*later, "2"), "100001").at(2).at(5).toString(), "N");
    EXPECT_EQ(later->openId("UpdateVelka.Hauptlief", id)->property("aendsw").toInt(), 0);
    EXPECT_EQ(speichern(*later, key), 0) << "nothing left to apply";

    // Speichern checks what it is given.
    ExpectServerError(kUnknownList, [&] { speichern(*later, key, "2"); });
    ExpectServerError(kUnknownList, [&] { speichern(*later, "999"); });
    ExpectServerError(kUnknownList, [&] { speichern(*later, ""); });
    ExpectServerError(kUnknownUpdate, [&] { artListe(*later, "77"); });
    ExpectServerError(kUnknownUpdate, [&] { artListe(*later, "3", "2"); }); // company 2 has run 1 only
    EXPECT_NE(listKey(*later, "1"), artListe(*later, "1", "2").section('|', 0, 0));
}

TEST_P(ServerTest, WritesNeedTheSessionsPersonnelCode) {
    cacheapi::FactoryPtr factory = connect();
    const QString key = listKey(*factory, "3"); // preparing a list needs no session
    cacheapi::ServerObjectPtr entry = factory->openId("UpdateVelka.Hauptlief", entryId(*factory, key, "100002", 70012));
    entry->setProperty("aendsw", 1);
    ExpectServerError(kNoSession, [&] { entry->call("sys_Save"); });
    ExpectServerError(kNoSession, [&] { speichern(*factory, key); });
    session(*factory, 1, "");
    ExpectServerError(kNoSession, [&] { entry->call("sys_Save"); });
    session(*factory, 1, "KOLLEGE");
    EXPECT_EQ(entry->call("sys_Save").toInt(), 1);
}

TEST_P(ServerTest, AUnitCommitsTogetherOrNotAtAll) {
    cacheapi::FactoryPtr factory = clerk();
    const QString key = listKey(*factory, "3");
    const QList<QVariantList> before = suppliers(*factory, key, "100001");

    // Rolled back: nothing of it remains.
    factory->beginUnit();
    ExpectServerError(kUnitState, [&] { factory->beginUnit(); });
    for (const QVariantList &row : before)
        writeEntry(*factory, row.at(0).toString(), {{"aendsw", 1}, {"laktiv", "J"}});
    factory->rollbackUnit();
    EXPECT_EQ(suppliers(*factory, key, "100001"), before);
    EXPECT_EQ(artListe(*factory, "3"), key + "|288|0");
    ExpectServerError(kUnitState, [&] { factory->commitUnit(); });
    factory->rollbackUnit(); // nothing open: harmless

    // An error inside the unit breaks it: later writes are refused and the commit undoes all.
    factory->beginUnit();
    writeEntry(*factory, before.at(1).at(0).toString(), {{"aendsw", 1}, {"laktiv", "J"}});
    ExpectServerError(kUnknownList, [&] { speichern(*factory, "999"); });
    ExpectServerError(kUnitState, [&] { writeEntry(*factory, before.at(2).at(0).toString(), {{"aendsw", 1}}); });
    ExpectServerError(kUnitState, [&] { factory->commitUnit(); });
    EXPECT_EQ(suppliers(*factory, key, "100001"), before);

    // A unit whose end state breaks a rule is refused whole: two main suppliers.
    factory->beginUnit();
    writeEntry(*factory, before.at(3).at(0).toString(), {{"aendsw", 1}, {"hlief", "J"}});
    ExpectServerError(kRejected, [&] { factory->commitUnit(); });
    EXPECT_EQ(mainOf(article(*factory, key, "100001")), "70001 Zementwerke S}d AG");
    EXPECT_EQ(artListe(*factory, "3"), key + "|288|0");

    // Dropping the connection in the middle of a unit loses the unit, nothing else.
    factory->beginUnit();
    writeEntry(*factory, before.at(3).at(0).toString(), {{"aendsw", 1}});
    factory->disconnect();
    cacheapi::FactoryPtr again = clerk();
    EXPECT_EQ(artListe(*again, "3"), key + "|288|0");
    // A committed unit is there for everybody.
    makeMain(*again, key, "100001", 70012);
    EXPECT_EQ(mainOf(article(*clerk("KOLLEGE"), key, "100001")), "70012 Baustoffe M}ller GmbH");
}

TEST_P(ServerTest, TwoClerksOnOneListLoseNothingAndMixNothing) {
    cacheapi::FactoryPtr anna = clerk("DEMO");
    cacheapi::FactoryPtr ben = clerk("KOLLEGE");
    const QString key = listKey(*anna, "3");
    ASSERT_EQ(listKey(*ben, "3"), key) << "both work on the one list of the update";

    // Ben opened an entry before Anna saved hers: his save does not undo her flag.
    const QString id = entryId(*anna, key, "100001", 70012);
    cacheapi::ServerObjectPtr bens = ben->openId("UpdateVelka.Hauptlief", id);
    writeEntry(*anna, id, {{"laktiv", "N"}, {"aendsw", 1}});
    bens->setProperty("aendsw", 1);
    bens->call("sys_Save");
    EXPECT_EQ(suppliers(*ben, key, "100001").at(2).at(5).toString(), "N");

    // Anna deactivates 70015; Ben, from his stale screen, makes 70015 the main supplier:
    // the server refuses his whole change instead of leaving an inactive main supplier.
    writeEntry(*anna, entryId(*anna, key, "100001", 70015), {{"laktiv", "N"}, {"aendsw", 1}});
    const QString reason = ExpectServerError(kRejected, [&] { makeMain(*ben, key, "100001", 70015); });
    EXPECT_TRUE(reason.contains("100001")) << reason.toStdString();
    EXPECT_EQ(mainOf(article(*ben, key, "100001")), "70001 Zementwerke S}d AG");
    int mains = 0;
    for (const QVariantList &row : suppliers(*ben, key, "100001"))
        mains += ben->openId("UpdateVelka.Hauptlief", row.at(0).toString())->property("hlief").toString() == "J";
    EXPECT_EQ(mains, 1);

    // Anna moves the main supplier of 100003 to 70005. Ben's screen still shows 70003 as main, so
    // switching 70005 off looks allowed to him: the server refuses it.
    makeMain(*anna, key, "100003", 70005);
    ExpectServerError(kRejected, [&] {
        writeEntry(*ben, entryId(*ben, key, "100003", 70005), {{"laktiv", "N"}, {"aendsw", 1}});
    });
    // Two main-supplier changes of the same article one after the other: the later one wins whole.
    makeMain(*ben, key, "100003", 70003);
    EXPECT_EQ(mainOf(article(*anna, key, "100003")), "70003 Holzhandel Wei~ & S|hne");

    // Anna's Speichern applies Ben's changes too, recording who changed and who saved each entry;
    // his later Speichern finds nothing left.
    EXPECT_GT(speichern(*anna, key), 0);
    EXPECT_EQ(speichern(*ben, key), 0);
    EXPECT_EQ(rawSql("SELECT DISTINCT aend_pers || '/' || gesp_pers FROM speicher_log ORDER BY 1"),
              "DEMO/DEMO\nKOLLEGE/DEMO");
    EXPECT_EQ(rawSql("SELECT gesp_pers FROM artliste WHERE id = " + key), "DEMO");
    EXPECT_EQ(rawSql("SELECT aend_pers FROM artikel WHERE artnr = '100003' AND firma = 1"), "KOLLEGE");
    EXPECT_FALSE(rawSql("SELECT aend_zeit FROM artikel WHERE artnr = '100003' AND firma = 1").isEmpty());
    EXPECT_EQ(mainOf(article(*ben, listKey(*ben, "1"), "100003")), "70003 Holzhandel Wei~ & S|hne");
}

TEST_P(ServerTest, AWriterWaitsForAnotherWorkstationsUnitThenGetsAClearError) {
    cacheapi::FactoryPtr anna = clerk("DEMO");
    cacheapi::FactoryPtr ben = clerk("KOLLEGE");
    const QString key = listKey(*anna, "3");
    const QString id = entryId(*ben, key, "100001", 70012);
    anna->beginUnit();
    writeEntry(*anna, entryId(*anna, key, "100001", 70006), {{"laktiv", "J"}, {"aendsw", 1}});
    // Reading goes on while Anna's unit is open, and shows the state before it.
    EXPECT_EQ(suppliers(*ben, key, "100001").at(1).at(5).toString(), "N");
    QElapsedTimer timer;
    timer.start();
    ExpectServerError(kBusy, [&] { writeEntry(*ben, id, {{"aendsw", 1}}); });
    EXPECT_GE(timer.elapsed(), 3000) << "the writer waited for the lock before giving up";
    anna->commitUnit();
    EXPECT_EQ(suppliers(*ben, key, "100001").at(1).at(5).toString(), "J");
    writeEntry(*ben, id, {{"aendsw", 1}});
    EXPECT_EQ(artListe(*ben, "3"), key + "|288|2");
}

TEST_P(ServerTest, TakingProposalsIsWholeOrRefusedWithNothingWritten) {
    cacheapi::FactoryPtr factory = clerk();
    const QString key = listKey(*factory, QStringLiteral("2"));
    const auto take = [&](const QVariantList &arguments) {
        cacheapi::ServerObjectPtr list = factory->newInstance(QStringLiteral("UpdateVelka.Hauptlief"));
        QVariantList args = arguments;
        return list->call(QStringLiteral("VorschlaegeUebernehmen"), args);
    };
    // 100002 proposes its own main supplier; 100001 proposes 70015, made inactive for one case.
    const struct {
        const char *name;
        QVariantList args;
        int error;
        const char *setup;
    } bad[] = {
        {"one argument", {key}, kxserver::kWrongArguments, nullptr},
        {"a key that is no list", {QStringLiteral("abc"), QStringLiteral("100001")}, kxserver::kUnknownList, nullptr},
        {"an article the list does not hold", {key, QStringLiteral("100001\n999999")}, kxserver::kUnknownList, nullptr},
        {"100001's proposed supplier inactive",
         {key, QStringLiteral("100001")},
         kxserver::kRejected,
         "UPDATE artlief SET aktiv = 'N' WHERE artikel = 1 AND lieferant = 15"},
    };
    // Inside a unit that read the proposals under the list's lock to the last row, the take goes by
    // that read: it refuses the same.
    const auto readProposals = [&] {
        factory->beginUnit();
        cacheapi::QueryCursorPtr query = factory->openQuery("UpdateVelka.Hauptlief", "Vorschlaege");
        query->execute({key});
        while (query->next()) {
        }
    };
    // Asked before the question, "VorschlagsArtikel" names the articles of "Vorschlaege", each with
    // whether one of its entries is its proposed supplier and active, as the list shows them.
    const auto survey = [&] {
        QStringList expected;
        QString last;
        for (const QVariantList &row : rows(*factory, QStringLiteral("Vorschlaege"), {key})) {
            const QString number = row.at(0).toString();
            if (number != last)
                expected << number + "|N";
            last = number;
            if (row.at(2).toString() == "J" && row.at(4).toString() == "J")
                expected.last() = number + "|J";
        }
        QStringList articles;
        for (const QVariantList &row : rows(*factory, QStringLiteral("VorschlagsArtikel"), {key}))
            articles << row.at(0).toString() + "|" + row.at(1).toString();
        EXPECT_EQ(articles, expected);
        return articles;
    };
    EXPECT_TRUE(survey().contains("100001|J"));
    const QString proposed = entryId(*factory, key, QStringLiteral("100001"), 70015);
    writeEntry(*factory, proposed, {{"laktiv", "N"}, {"aendsw", 1}}); // the list's own flag
    EXPECT_TRUE(survey().contains("100001|N"));
    rawSql("DELETE FROM liste_aend");
    for (const auto &c : bad) {
        for (const bool afterRead : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (afterRead ? ", after the read in the unit" : ""));
            if (c.setup)
                rawSql(QString::fromLatin1(c.setup));
            if (afterRead)
                readProposals();
            ExpectServerError(c.error, [&] { take(c.args); });
            if (c.setup && !afterRead) {
                EXPECT_TRUE(survey().contains("100001|N"));
            }
            if (afterRead)
                factory->rollbackUnit();
            EXPECT_EQ(rawSql("SELECT COUNT(*) FROM liste_aend"), QStringLiteral("0"));
            EXPECT_EQ(rawSql("SELECT COUNT(*) FROM liste_haupt"), QStringLiteral("0"));
        }
    }
    rawSql("UPDATE artlief SET aktiv = 'J' WHERE artikel = 1 AND lieferant = 15");
    // An entry written in the unit after that read is part of what the unit's rules check: the
    // proposed supplier the unit itself made inactive does not become the main one, and nothing of
    // the unit is written.
    readProposals();
    writeEntry(*factory, proposed, {{"laktiv", "N"}, {"aendsw", 1}});
    ExpectServerError(kxserver::kRejected, [&] {
        take({key, QStringLiteral("100001")});
        factory->commitUnit();
    });
    factory->rollbackUnit(); // nothing open when the commit refused it: harmless
    EXPECT_EQ(rawSql("SELECT COUNT(*) FROM liste_aend"), QStringLiteral("0"));
    EXPECT_EQ(rawSql("SELECT COUNT(*) FROM liste_haupt"), QStringLiteral("0"));
    // Without a session's personnel code nothing is written either.
    cacheapi::FactoryPtr anonymous = connect();
    cacheapi::ServerObjectPtr list = anonymous->newInstance(QStringLiteral("UpdateVelka.Hauptlief"));
    QVariantList args{key, QStringLiteral("100001")};
    ExpectServerError(kxserver::kNoSession, [&] { list->call(QStringLiteral("VorschlaegeUebernehmen"), args); });

    // Taken: every entry of the article as a main-supplier change writes it, and the article row;
    // the same after the read in the unit (the stamps it leaves: FreshnessTest).
    readProposals();
    EXPECT_EQ(take({key, QStringLiteral("100001")}).toInt(), 1);
    factory->commitUnit();
    EXPECT_EQ(article(*factory, key, QStringLiteral("100001")).at(3).toString(),
              QStringLiteral("70015 Baustoff-Union VELKA eG"));
    EXPECT_FALSE(survey().join(' ').contains("100001")) << "its list's main supplier is its proposal now";
    EXPECT_EQ(rawSql("SELECT hlief || aendsw FROM liste_aend o JOIN artlief al ON al.id = o.artlief"
                     " ORDER BY al.lieferant"),
              QStringLiteral("N1\nN1\nN1\nJ1"));
    EXPECT_EQ(speichern(*factory, key), 4);
    EXPECT_EQ(rawSql("SELECT haupt_lief FROM artikel WHERE id = 1"), QStringLiteral("15"));
}
