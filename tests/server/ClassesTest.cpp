// The classes the login and the main window use: personnel data, the session command, the class
// queries, and the errors for names the server does not know.

#include "server/db/PasswordHash.h"
#include "server/db/SqlConnection.h"
#include "ServerFixture.h"

#include <vector>

using namespace kxserver;

TEST_P(ServerTest, PersonnelRecordsOfTheDemoLogins) {
    cacheapi::FactoryPtr factory = connect();
    cacheapi::ServerObjectPtr user = factory->openId("KX.ParPersEdv", "1||DEMO");
    // The password is checked by the server, exactly as typed, and never handed out.
    const auto check = [](const cacheapi::ServerObjectPtr &person, const QString &typed) {
        QVariantList args{typed};
        return person->call("PasswortPruefen", args).toString();
    };
    for (const QString &wrong : {QStringLiteral("Demo"), QStringLiteral("demo "), QString()})
        EXPECT_EQ(check(user, wrong), "0") << wrong.toStdString();
    EXPECT_EQ(check(user, "demo"), "1");
    ExpectServerError(kUnknownMember, [&] { user->property("Passwort"); });
    ExpectServerError(kWrongArguments, [&] { user->call("PasswortPruefen"); });
    EXPECT_EQ(user->property("AKTIV").toString(), "J");
    EXPECT_EQ(user->property("PNAME").toString(), "J}rgen M}ller");
    EXPECT_EQ(user->property("ABTNR").toString(), "10");
    EXPECT_EQ(user->property("DW").toString(), "214");
    EXPECT_EQ(user->property("BERGRP").toString(), "EK1");
    EXPECT_EQ(user->property("PNR").toString(), "1001");
    QVariantList name{user->property("PNAME")};
    EXPECT_EQ(user->call("PNAMELogicalToODBC", name).toString(), QStringLiteral("Jürgen Müller"));
    EXPECT_EQ(name.at(0).toString(), "J}rgen M}ller") << "the argument stays as it was";
    // Personnel data are read-only for this program.
    ExpectServerError(kReadOnly, [&] { user->setProperty("AKTIV", "N"); });
    EXPECT_EQ(user->call("sys_Save").toInt(), 1);
    EXPECT_EQ(user->call("SYS_Close").toInt(), 1);
    ExpectServerError(kClosed, [&] { user->property("PNAME"); });

    cacheapi::ServerObjectPtr department = factory->openId("KX.ParPersAbt", "1||10");
    QVariantList abt{department->property("abtbez")};
    EXPECT_EQ(department->call("ABTBEZlogicaltoodbc", abt).toString(),
              QStringLiteral("Einkauf Hochbau / Gebäudehülle"));
    cacheapi::ServerObjectPtr base = factory->openId("KX.PersBasis", "1||1001");
    EXPECT_EQ(base->property("fax").toString(), "0231 98765-19");
    QVariantList mail{QStringLiteral("B{r-Karl@x")};
    EXPECT_EQ(base->call("EMAILLogicalToodbc", mail).toString(), QStringLiteral("Bär-Karl@x"));

    // The other login paths: inactive, department missing, base record missing. A record's values
    // are there after its password check (PostgreSQL hands them out only then).
    const auto checked = [&](const char *code) {
        cacheapi::ServerObjectPtr person = factory->openId("KX.ParPersEdv", QStringLiteral("1||") + code);
        EXPECT_EQ(check(person, "demo"), "1") << code;
        return person;
    };
    EXPECT_EQ(checked("INAKTIV")->property("AKTIV").toString(), "N");
    const QString missingDepartment = checked("OHNEABT")->property("ABTNR").toString();
    ExpectServerError(kUnknownId, [&] { factory->openId("KX.ParPersAbt", "1||" + missingDepartment); });
    const cacheapi::ServerObjectPtr withoutBase = checked("OHNEBASIS");
    const QString missingBase = withoutBase->property("PNR").toString();
    EXPECT_NO_THROW(factory->openId("KX.ParPersAbt", "1||" + withoutBase->property("ABTNR").toString()));
    ExpectServerError(kUnknownId, [&] { factory->openId("KX.PersBasis", "1||" + missingBase); });
    // The same code in another company is another person.
    EXPECT_EQ(check(factory->openId("KX.ParPersEdv", "2||DEMO"), "demo2"), "1");
    EXPECT_EQ(check(factory->openId("KX.ParPersEdv", "2||DEMO"), "demo"), "0");
}

TEST_P(ServerTest, UnknownNamesAndIdsHaveTheirOwnErrors) {
    cacheapi::FactoryPtr factory = connect();
    ExpectServerError(kUnknownClass, [&] { factory->newInstance("KX.Nix"); });
    ExpectServerError(kUnknownClass, [&] { factory->newInstance("kx.windows"); });
    ExpectServerError(kUnknownClass, [&] { factory->openId("KX.Nix", "1||DEMO"); });
    ExpectServerError(kUnknownClass, [&] { factory->openQuery("updatevelka.hauptlief", "Updates"); });
    ExpectServerError(kUnknownQuery, [&] { factory->openQuery("UpdateVelka.Hauptlief", "updates"); });
    ExpectServerError(kUnknownQuery, [&] { factory->openQuery("KX.ParPersEdv", "Updates"); });
    ExpectServerError(kNoInstance, [&] { factory->newInstance("KX.ParPersEdv"); });
    ExpectServerError(kNoInstance, [&] { factory->openId("KX.Windows", "1"); });

    for (const QString &id :
         {QStringLiteral("1||demo"), QStringLiteral("1||NIEMAND"), QStringLiteral("DEMO"), QStringLiteral("x||DEMO"),
          QStringLiteral("1|DEMO"), QStringLiteral("9||DEMO"), QStringLiteral("1||"), QString()})
        ExpectServerError(kUnknownId, [&] { factory->openId("KX.ParPersEdv", id); });
    for (const QString &id : {QStringLiteral("1||1"), QStringLiteral("abc"), QStringLiteral("999||1"), QString()})
        ExpectServerError(kUnknownId, [&] { factory->openId("UpdateVelka.Hauptlief", id); });

    cacheapi::ServerObjectPtr user = factory->openId("KX.ParPersEdv", "1||DEMO");
    const QString description = ExpectServerError(kUnknownMember, [&] { user->property("passwort"); });
    EXPECT_TRUE(description.contains("passwort")) << description.toStdString();
    ExpectServerError(kUnknownMember, [&] { user->setProperty("Gehalt", 1); });
    ExpectServerError(kUnknownMethod, [&] { user->call("pnamelogicaltoodbc"); });
    ExpectServerError(kUnknownMethod, [&] { user->call("SYS_Save"); });
    ExpectServerError(kUnknownMethod, [&] { user->call("sys_Close"); });
    ExpectServerError(kWrongArguments, [&] { user->call("PNAMELogicalToODBC"); });

    cacheapi::ServerObjectPtr list = factory->newInstance("UpdateVelka.Hauptlief");
    ExpectServerError(kUnknownMethod, [&] { list->call("artliste"); });
    ExpectServerError(kUnknownMember, [&] { list->property("laktiv"); });
    QVariantList one{"1"};
    ExpectServerError(kWrongArguments, [&] { list->call("ArtListe", one); });
    cacheapi::ServerObjectPtr windows = factory->newInstance("KX.Windows");
    ExpectServerError(kUnknownMethod, [&] { windows->call("Execute", one); });
    // A transient object keeps nothing to save, and a stored one has none of the class's list methods.
    for (const cacheapi::ServerObjectPtr *transient : {&list, &windows})
        ExpectServerError(kUnknownMethod, [&] { (*transient)->call("sys_Save"); });
    ExpectServerError(kUnknownMethod, [&] { user->call("Xecute", one); });
}

TEST_P(ServerTest, XecuteRunsTheSessionCommandAndNothingElse) {
    cacheapi::FactoryPtr factory = connect();
    cacheapi::ServerObjectPtr windows = factory->newInstance("KX.Windows");
    const auto xecute = [&](const QString &command) {
        QVariantList args{command};
        return windows->call("Xecute", args);
    };
    EXPECT_NO_THROW(xecute("D ^%XTT"));
    EXPECT_NO_THROW(xecute("S FIRMA=2,FIL=0,PERSONAL=\"DEMO\""));
    // The session's company chooses the updates the clerk sees.
    ASSERT_EQ(rows(*factory, "Updates").size(), 1);
    EXPECT_EQ(rows(*factory, "Updates").at(0).at(2).toString(), "Fliesenabgleich K}ste");
    // A doubled quote is one quote of the personnel code; the code is only data.
    EXPECT_NO_THROW(xecute("S FIRMA=1,FIL=12,PERSONAL=\"O\"\"NEIL, X' OR '1'='1\""));
    EXPECT_EQ(rows(*factory, "Updates").size(), 4);
    EXPECT_NO_THROW(xecute("S FIRMA=1,FIL=0,PERSONAL=\"\""));

    for (const QString &bad :
         {QStringLiteral("S FIRMA=X,FIL=0,PERSONAL=\"DEMO\""), QStringLiteral("S FIRMA=\"1\",FIL=0,PERSONAL=\"DEMO\""),
          QStringLiteral("S FIRMA=1,FIL=,PERSONAL=\"DEMO\""), QStringLiteral("S FIRMA=1,FIL=0,PERSONAL=\"DEMO\" K ^X"),
          QStringLiteral("S FIRMA=1,FIL=0,PERSONAL=\"DE\"MO\""), QStringLiteral("S FIRMA=1,FIL=0,PERSONAL=DEMO"),
          QStringLiteral("s FIRMA=1,FIL=0,PERSONAL=\"DEMO\""), QStringLiteral("S FIRMA=1, FIL=0,PERSONAL=\"DEMO\""),
          QStringLiteral("D ^%XTT "), QStringLiteral("d ^%XTT"), QStringLiteral("K ^artikel"),
          QStringLiteral("S FIRMA=1,FIL=0,PERSONAL=\"DEMO\"\nK ^X"), QString()})
        ExpectServerError(kBadCommand, [&] { xecute(bad); });
    ExpectServerError(kWrongArguments, [&] { windows->call("Xecute"); });
    EXPECT_EQ(windows->call("SYS_Close").toInt(), 1);
    ExpectServerError(kClosed, [&] { xecute("D ^%XTT"); });
}

TEST_P(ServerTest, QueriesDeliverTheColumnsTheMainWindowReads) {
    cacheapi::FactoryPtr factory = clerk();
    const QList<QVariantList> updates = rows(*factory, "Updates");
    ASSERT_EQ(updates.size(), 4);
    EXPECT_EQ(updates.at(0), (QVariantList{"1||1", 1, "Fr}hjahrsabgleich Dach und Holz", 1240304}));
    EXPECT_EQ(updates.at(2).at(1).toInt(), 3);
    EXPECT_EQ(updates.at(3).at(3).toInt(), 1241202);

    const QString reply = artListe(*factory, "3");
    const QStringList fields = reply.split('|');
    ASSERT_EQ(fields.size(), 3);
    EXPECT_EQ(fields.at(1), "288"); // articles of run 3
    EXPECT_EQ(fields.at(2), "0");   // nothing pending
    const QString key = fields.at(0);

    const QList<QVariantList> articles = rows(*factory, "Artikel", {key});
    ASSERT_EQ(articles.size(), 288);
    EXPECT_EQ(articles.at(0), (QVariantList{key + "||100001", "100001", "Portlandzement CEM I 42,5 R 25 kg Sack",
                                            "70001 Zementwerke S}d AG", "70015 Baustoff-Union VELKA eG"}));
    EXPECT_EQ(articles.at(2).at(3).toString(), "70003 Holzhandel Wei~ & S|hne");
    EXPECT_EQ(articles.at(2).at(4).toString(), "") << "no proposal";
    // A supplier renamed meanwhile shows under its new name in the next read.
    rawSql("UPDATE lieferant SET name = 'Zementwerke Nord AG' WHERE liefnr = 70001");
    EXPECT_EQ(rows(*factory, "Artikel", {key}).at(0).at(3).toString(), "70001 Zementwerke Nord AG");
    // Any text the database holds arrives as it is, read for the whole list as for some rows.
    rawSql("UPDATE lieferant SET name = 'Zementwerke Nörd ÄG € 𝄞' WHERE liefnr = 70001");
    EXPECT_EQ(rows(*factory, "Artikel", {key}).at(0).at(3).toString(), "70001 Zementwerke Nörd ÄG € 𝄞");
    EXPECT_EQ(rows(*factory, "ArtikelZeilen", {key, "100001"}), rows(*factory, "Artikel", {key}).mid(0, 1));
    rawSql("UPDATE lieferant SET name = 'Zementwerke S}d AG' WHERE liefnr = 70001");
    for (int i = 1; i < articles.size(); ++i)
        ASSERT_LT(articles.at(i - 1).at(1).toString(), articles.at(i).at(1).toString()) << "article-number order";

    const QList<QVariantList> lief = suppliers(*factory, key, "100001");
    ASSERT_EQ(lief.size(), 4);
    EXPECT_EQ(lief.at(0).mid(1), (QVariantList{"70001 Zementwerke S}d AG", 4.85, "Sack", "12.02.2024", "J"}));
    EXPECT_EQ(lief.at(1).mid(1), (QVariantList{"70006 \\lmann Bauchemie GmbH", 5.35, "Sack", "20.11.2023", "N"}));
    EXPECT_EQ(lief.at(2).mid(1), (QVariantList{"70012 Baustoffe M}ller GmbH", 5.10, "Sack", "00:00:00", "J"}));
    EXPECT_EQ(lief.at(3).at(1).toString(), "70015 Baustoff-Union VELKA eG");
    EXPECT_TRUE(lief.at(0).at(0).toString().startsWith(key + "||"));
    EXPECT_EQ(suppliers(*factory, key, "100002").at(0).at(2).toDouble(), 1234.50);
    // An article's proposal rows: its entries in the supplier list's order with their flags as the
    // list shows them, whether each is the proposed supplier (70015), and the change mark as a number.
    QList<QVariantList> proposal;
    for (const QVariantList &row : rows(*factory, "Vorschlaege", {key}))
        if (row.at(0) == "100001")
            proposal << row;
    ASSERT_EQ(proposal.size(), lief.size());
    for (int i = 0; i < lief.size(); ++i) {
        EXPECT_EQ(proposal.at(i), (QVariantList{"100001", lief.at(i).at(0), lief.at(i).at(5), i == 0 ? "J" : "N",
                                                i == 3 ? "J" : "N", 0}))
            << i;
        EXPECT_EQ(proposal.at(i).at(5).typeId(), QMetaType::Int) << i;
    }
    EXPECT_EQ(rows(*factory, "VorschlagsArtikel", {key}).at(0), (QVariantList{"100001", lief.at(3).at(5)}));
    // Every demo article has two to eight suppliers.
    for (const QVariantList &row : articles) {
        const int count = static_cast<int>(suppliers(*factory, key, row.at(1).toString()).size());
        ASSERT_TRUE(count >= 2 && count <= 8) << row.at(1).toString().toStdString() << ": " << count;
    }

    // Some rows of the list, in one request: exactly "Artikel"'s rows of the numbers asked (in
    // article-number order, any number of them, unknown and hostile numbers matching nothing).
    QStringList some{"100003", "100001", "999999", "x\"]'", "\\\\\"{,}", "NULL", "tab\there\x01"};
    for (int i = 0; i < 1000; ++i)
        some << QString::number(200000 + i);
    const quint64 trips = kxserver::RoundTrips();
    EXPECT_EQ(rows(*factory, "ArtikelZeilen", {key, some.join('\n')}),
              (QList<QVariantList>{articles.at(0), articles.at(2)}));
    EXPECT_LE(kxserver::RoundTrips() - trips, 1u);
    // As few as a look of the live view brings (on PostgreSQL the statement kept prepared), twice.
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(rows(*factory, "ArtikelZeilen", {key, some.mid(0, 7).join('\n')}),
                  (QList<QVariantList>{articles.at(0), articles.at(2)}));
    EXPECT_EQ(rows(*factory, "ArtikelZeilen", {key, ""}), QList<QVariantList>());

    // The empty update and unknown lists give no rows.
    EXPECT_TRUE(rows(*factory, "Artikel", {listKey(*factory, "4")}).isEmpty());
    EXPECT_TRUE(rows(*factory, "Artikel", {"999"}).isEmpty());
    EXPECT_TRUE(rows(*factory, "Artikel", {""}).isEmpty());
    EXPECT_TRUE(suppliers(*factory, key, "999999").isEmpty());
}

TEST_P(ServerTest, CursorMisuseIsReportedNotUndefined) {
    cacheapi::FactoryPtr factory = clerk();
    cacheapi::QueryCursorPtr cursor = factory->openQuery("UpdateVelka.Hauptlief", "ArtikelLief");
    ExpectServerError(kCursorState, [&] { cursor->next(); });
    ExpectServerError(kWrongArguments, [&] { cursor->execute({"1"}); });
    cursor->execute({listKey(*factory, "3"), "100001"});
    ExpectServerError(kCursorState, [&] { cursor->column(1); });
    ASSERT_TRUE(cursor->next());
    ExpectServerError(kCursorState, [&] { cursor->column(0); });
    ExpectServerError(kCursorState, [&] { cursor->column(14); });
    EXPECT_FALSE(cursor->column(6).isNull());
    EXPECT_EQ(cursor->column(7).toString(), "J") << "the entry's main-supplier flag: 70001 is 100001's";
    while (cursor->next()) {
    }
    ExpectServerError(kCursorState, [&] { cursor->column(1); });
    EXPECT_FALSE(cursor->next());
    cursor->close();
    ExpectServerError(kCursorState, [&] { cursor->next(); });
    ExpectServerError(kWrongArguments, [&] { factory->openQuery("UpdateVelka.Hauptlief", "Updates")->execute({1}); });
    // The texts of a row: the same checks as for one column.
    cacheapi::QueryCursorPtr articles = factory->openQuery("UpdateVelka.Hauptlief", "Artikel");
    articles->execute({listKey(*factory, "3")});
    std::vector<QString> texts(2);
    ExpectServerError(kCursorState, [&] { articles->columnTexts(1, texts); });
    ASSERT_TRUE(articles->next());
    ExpectServerError(kCursorState, [&] { articles->columnTexts(0, texts); });
    ExpectServerError(kCursorState, [&] { articles->columnTexts(5, texts); });
    articles->columnTexts(4, texts);
    EXPECT_EQ(texts, (std::vector<QString>{"70001 Zementwerke S}d AG", "70015 Baustoff-Union VELKA eG"}));
    articles->close(); // in the middle of its rows: the connection serves the next statement all the same
    EXPECT_EQ(rows(*factory, "Updates").size(), 4);
    // On PostgreSQL the list's rows stream on the connection: a statement sent meanwhile cuts them,
    // and reading on is an error, never a short list.
    if (!sqlite()) {
        articles->execute({listKey(*factory, "3")});
        ASSERT_TRUE(articles->next());
        EXPECT_EQ(rows(*factory, "Updates").size(), 4);
        ExpectServerError(kDatabase, [&] {
            while (articles->next()) {
            }
        });
    }

    // Cursors of one query read in turn, and the query asked again meanwhile: each keeps its own
    // rows (the statement stays prepared on the connection, but never runs again under a reader).
    // PostgreSQL's driver streams one result at a time: there the next statement ends the last.
    if (!sqlite())
        return;
    const QString key = listKey(*factory, "3");
    const QList<QVariantList> first = suppliers(*factory, key, "100001");
    const QList<QVariantList> second = suppliers(*factory, key, "100002");
    ASSERT_NE(first, second);
    cacheapi::QueryCursorPtr other = factory->openQuery("UpdateVelka.Hauptlief", "ArtikelLief");
    cursor->execute({key, "100001"});
    other->execute({key, "100002"});
    QList<QVariantList> read[2];
    for (bool more = true; more;) {
        more = false;
        for (int i = 0; i < 2; ++i) {
            cacheapi::QueryCursor &c = i == 0 ? *cursor : *other;
            if (!c.next())
                continue;
            more = true;
            read[i].append({c.column(1), c.column(2), c.column(3), c.column(4), c.column(5), c.column(6)});
            EXPECT_EQ(suppliers(*factory, key, "100001"), first);
        }
    }
    EXPECT_EQ(read[0], first);
    EXPECT_EQ(read[1], second);
}

// Columns 8 to 13 of a supplier row: the latest price change applied since the pair's last purchase
// (any without one), and the earliest coming price, each with its unit and day.
TEST_P(ServerTest, TheSupplierRowsBringThePriceHistoryTheTooltipTells) {
    cacheapi::FactoryPtr factory = clerk();
    const QString key = listKey(*factory, "3");
    const auto history = [&] {
        QStringList shown;
        cacheapi::QueryCursorPtr cursor = factory->openQuery("UpdateVelka.Hauptlief", "ArtikelLief");
        cursor->execute({key, "100001"});
        while (cursor->next()) {
            QStringList columns{cursor->column(2).toString().section(' ', 0, 0)};
            for (int column = 8; column <= 13; ++column)
                columns << (cursor->column(column).isNull() ? QStringLiteral("-") : cursor->column(column).toString());
            shown << columns.join('|');
        }
        return shown;
    };
    const QStringList none{"70001|-|-|-|-|-|-", "70006|-|-|-|-|-|-", "70012|-|-|-|-|-|-", "70015|-|-|-|-|-|-"};
    EXPECT_EQ(history(), none) << "no history";
    // 100001's pairs: 70001 last bought 2024-02-12, 70006 2023-11-20, 70012 never.
    const auto pair = [](int supplier) {
        return QStringLiteral("(SELECT al.id FROM artlief al JOIN artikel a ON a.id = al.artikel JOIN lieferant f"
                              " ON f.id = al.lieferant WHERE a.firma = 1 AND a.artnr = '100001' AND f.liefnr = %1)")
            .arg(supplier);
    };
    QStringList rows;
    const auto add = [&](int supplier, const char *before, const char *after, const char *unit, const char *day,
                         int coming) {
        rows << QStringLiteral("(%1, %2, %3, %4, '%5', '%6', %7, 'Test', '2024-01-01T00:00:00', 'TEST')")
                    .arg(pair(supplier), QLatin1String(before), QLatin1String(coming ? "NULL" : "'Sack'"),
                         QLatin1String(after), QLatin1String(unit), QLatin1String(day))
                    .arg(coming);
    };
    add(70001, "440", "450", "Sack", "2024-01-10", 0); // before the last purchase
    add(70001, "450", "470", "Sack", "2024-05-01", 0); // the latest change since: 4,50 before it
    add(70001, "430", "450", "Sack", "2024-03-01", 0);
    add(70001, "NULL", "520", "Sack", "2027-04-01", 1);
    add(70001, "NULL", "5000", "10 Sack", "2027-03-01", 1); // the earliest coming one
    add(70006, "500", "535", "Sack", "2023-10-01", 0);      // before the last purchase
    add(70012, "400", "510", "Sack", "2020-01-01", 0);      // never bought: any change
    const QString stamp = factory->articleStamp(key, "100001");
    rawSql("INSERT INTO preis_hist (artlief, ek_alt, pe_alt, ek_neu, pe_neu, gueltig_ab, offen, quelle, erf_zeit,"
           " erf_pers) VALUES " +
           rows.join(", "));
    EXPECT_EQ(history(), (QStringList{"70001|4.5|Sack|01.05.2024|50|10 Sack|01.03.2027", "70006|-|-|-|-|-|-",
                                      "70012|4|Sack|01.01.2020|-|-|-", "70015|-|-|-|-|-|-"}));
    // The stamp is the entries' own: a price does not make a clerk's screen stale.
    EXPECT_EQ(factory->articleStamp(key, "100001"), stamp);
}

TEST_P(ServerTest, HostileInputIsOnlyData) {
    cacheapi::FactoryPtr factory = clerk();
    const QString hostile = QStringLiteral("X' OR '1'='1");
    ExpectServerError(kUnknownId, [&] { factory->openId("KX.ParPersEdv", "1||" + hostile); });
    ExpectServerError(kUnknownId, [&] { factory->openId("KX.ParPersEdv", "1 OR 1=1||DEMO"); });
    ExpectServerError(kUnknownId, [&] { factory->openId("KX.ParPersAbt", "1||10' --"); });
    ExpectServerError(kUnknownId, [&] { factory->openId("UpdateVelka.Hauptlief", "1||1 OR 1=1"); });
    const QString key = listKey(*factory, "3");
    EXPECT_TRUE(suppliers(*factory, key, "100001' OR '1'='1").isEmpty());
    EXPECT_TRUE(suppliers(*factory, key + " OR 1=1", "100001").isEmpty());
    EXPECT_TRUE(rows(*factory, "Artikel", {key + "; DELETE FROM artikel"}).isEmpty());
    ExpectServerError(kUnknownUpdate, [&] { artListe(*factory, "3; DROP TABLE artikel"); });
    ExpectServerError(kUnknownUpdate, [&] { artListe(*factory, "3", hostile); });
    ExpectServerError(kUnknownList, [&] { speichern(*factory, key + "'--"); });
    // A personnel code with quotes is stored as it stands in what the clerk saves.
    session(*factory, 1, hostile);
    writeEntry(*factory, entryId(*factory, key, "100001", 70012), {{"aendsw", 1}});
    EXPECT_EQ(speichern(*factory, key), 1);
    EXPECT_EQ(rows(*factory, "Artikel", {key}).size(), 288) << "nothing was dropped or deleted";
}

TEST(PasswordHash, OnlyTheExactPasswordMatchesItsSaltedHash) {
    const QString hash = kxserver::HashPassword(QStringLiteral("Kollege-ß1"), 4);
    EXPECT_TRUE(kxserver::IsPasswordHash(hash)) << hash.toStdString();
    EXPECT_NE(hash, kxserver::HashPassword(QStringLiteral("Kollege-ß1"), 4)) << "every hash has its own salt";
    EXPECT_TRUE(kxserver::VerifyPassword(QStringLiteral("Kollege-ß1"), hash));
    for (const char *wrong : {"kollege-ß1", "Kollege-ss1", "Kollege-ß", ""})
        EXPECT_FALSE(kxserver::VerifyPassword(QString::fromUtf8(wrong), hash)) << wrong;
    EXPECT_FALSE(kxserver::VerifyPassword(QStringLiteral("demo"), QStringLiteral("demo")))
        << "a stored plain text is no hash and never matches";
}
