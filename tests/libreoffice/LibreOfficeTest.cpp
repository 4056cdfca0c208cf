// The merchant's spreadsheet program on our files, for real: LibreOffice Calc, headless, with a
// profile of its own set to German, opening our exports and the example files and saving them as a
// merchant does; what it saves imports again, and no cell became a formula on the way.

#include "server/exchange/Exporter.h"
#include "server/exchange/Importer.h"
#include "server/admin/KorvexDb.h"
#include "TestEnv.h"
#include "server/exchange/WorkbookReader.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QUuid>

#include <gtest/gtest.h>

using namespace kxexchange;

namespace {

// CSV as LibreOffice reads it with German defaults: ';', '"', UTF-8, from line 1, standard column
// types, German, numbers and dates recognised, formulas evaluated (the worst case for us).
const char *const kCsvIn = "CSV:59,34,76,1,,1031,false,true,false,false,false,-1,true";
// ... and as it saves one: the same, cells as shown (so dates with the German two-digit year).
const char *const kCsvOut = "csv:Text - txt - csv (StarCalc):59,34,76,1,,1031,false,true,true";

class Calc {
public:
    Calc()
        : m_profile(korvextest::TempDir() + QStringLiteral("/lo-profile-") +
                    QUuid::createUuid().toString(QUuid::Id128)) {
        QDir().mkpath(m_profile + QStringLiteral("/user"));
        QFile settings(m_profile + QStringLiteral("/user/registrymodifications.xcu"));
        if (settings.open(QIODevice::WriteOnly))
            settings.write(R"(<?xml version="1.0" encoding="UTF-8"?>
<oor:items xmlns:oor="http://openoffice.org/2001/registry" xmlns:xs="http://www.w3.org/2001/XMLSchema" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance">
<item oor:path="/org.openoffice.Setup/L10N"><prop oor:name="ooSetupSystemLocale" oor:op="fuse"><value>de-DE</value></prop></item>
<item oor:path="/org.openoffice.Setup/L10N"><prop oor:name="ooLocale" oor:op="fuse"><value>de-DE</value></prop></item>
</oor:items>
)");
    }
    // Converts the files into `folder` (created); the converted files' paths, in order. A busy
    // machine gets minutes, not seconds; a hung soffice is ended and the test fails.
    QStringList convert(const QStringList &files, const char *to, const QString &folder, const char *in = nullptr) {
        QDir().mkpath(folder);
        QStringList arguments{QStringLiteral("-env:UserInstallation=file://") + m_profile, QStringLiteral("--headless"),
                              QStringLiteral("--norestore"), QStringLiteral("--nolockcheck")};
        if (in)
            arguments << QStringLiteral("--infilter=") + QString::fromUtf8(in);
        arguments << QStringLiteral("--convert-to") << QString::fromUtf8(to) << QStringLiteral("--outdir") << folder
                  << files;
        QProcess soffice;
        soffice.setProcessChannelMode(QProcess::MergedChannels);
        soffice.start(QStringLiteral("soffice"), arguments);
        const bool ended = soffice.waitForFinished(300000);
        if (!ended) {
            soffice.kill();
            soffice.waitForFinished(30000);
        }
        EXPECT_TRUE(ended && soffice.exitCode() == 0) << soffice.readAll().toStdString();
        const QString extension = QString::fromUtf8(to).section(QLatin1Char(':'), 0, 0);
        QStringList converted;
        for (const QString &file : files) {
            converted << folder + QLatin1Char('/') + QFileInfo(file).completeBaseName() + QLatin1Char('.') + extension;
            EXPECT_TRUE(QFileInfo::exists(converted.back())) << converted.back().toStdString();
        }
        return converted;
    }

private:
    QString m_profile;
};

kxserver::ConnectTarget sqlite(const QString &path) {
    return {kxserver::Backend::Sqlite, path, {}, 0};
}

QString exportTo(const QString &db, const QString &kind, const QString &path) {
    const auto connection = kxserver::SqlConnection::open(sqlite(db));
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    const auto sink =
        path.endsWith(QLatin1String(".xlsx")) ? MakeXlsxSink(path, MasterDataSheet(kind)) : MakeCsvSink(file);
    ExportMasterData(*connection, 1, kind, *sink);
    EXPECT_TRUE(sink->finish().isEmpty());
    return path;
}

// Every master datum of company 1, as the CSV export writes it.
QByteArray contents(const QString &db) {
    const auto connection = kxserver::SqlConnection::open(sqlite(db));
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    for (const QString &kind : MasterDataKinds()) {
        const auto sink = MakeCsvSink(buffer);
        ExportMasterData(*connection, 1, kind, *sink);
        EXPECT_TRUE(sink->finish().isEmpty());
    }
    return buffer.data();
}

ImportReport importAll(const QString &db, const QStringList &kinds, const QStringList &paths) {
    ImportRequest request;
    for (qsizetype i = 0; i < kinds.size(); ++i)
        request.files.push_back({kinds.at(i), paths.at(i)});
    if (kinds.contains(QStringLiteral("update"))) {
        request.runNr = 1;
        request.runBez = QStringLiteral("Frühjahr");
        request.runDatum = QDate(2025, 3, 4);
    }
    return Import(sqlite(db), request);
}

QString errors(const ImportReport &report) {
    return report.errors.join(QLatin1Char('\n'));
}

} // namespace

TEST(LibreOffice, OurExportsOpenWithTheirTypesAndComeBackUnchanged) {
    ASSERT_FALSE(QStandardPaths::findExecutable(QStringLiteral("soffice")).isEmpty())
        << "LibreOffice (libreoffice-calc-nogui) is part of the test set of scripts/deps.sh";
    const QString dir = korvextest::TempDir() + QStringLiteral("/lo-ours");
    QDir(dir).removeRecursively();
    QDir().mkpath(dir);
    const QString db = dir + QStringLiteral("/korvex.sqlite");
    ASSERT_NO_THROW(kxserver::CreateDemoDatabase(db));
    QFile names(dir + QStringLiteral("/names.csv"));
    ASSERT_TRUE(names.open(QIODevice::WriteOnly));
    names.write("Lieferant-Nr;Name\n70201;=1+1\n70202;+49 Zentrale\n70203;-Rest-\n70204;@Rechnung\n"
                "70205;\"=HYPERLINK(\"\"http://x.example\"\";\"\"Rechnung\"\")\"\n");
    names.close();
    ASSERT_TRUE(importAll(db, {QStringLiteral("lieferanten")}, {names.fileName()}).ok);
    const QByteArray before = contents(db);

    QStringList csv;
    QStringList xlsx;
    for (const QString &kind : MasterDataKinds()) {
        csv << exportTo(db, kind, dir + QLatin1Char('/') + kind + QStringLiteral(".csv"));
        xlsx << exportTo(db, kind, dir + QLatin1Char('/') + kind + QStringLiteral(".xlsx"));
    }
    Calc calc;
    const QStringList fromCsv = calc.convert(csv, "xlsx", dir + QStringLiteral("/from-csv"), kCsvIn);
    const QStringList fromXlsx = calc.convert(xlsx, kCsvOut, dir + QStringLiteral("/from-xlsx"));
    const QStringList asOds = calc.convert(csv, "ods", dir + QStringLiteral("/ods"), kCsvIn);

    // Opened from our CSV, a price is a number cell, a date a date cell, a formula-looking name
    // a text cell holding what was typed.
    WorkbookReader prices;
    ASSERT_TRUE(prices.open(fromCsv.at(2), Encoding::Detect, {})) << prices.error().toStdString();
    ASSERT_TRUE(prices.next());
    EXPECT_EQ(prices.fields(), (QStringList{"100001", "70001", "4.85", "Sack", "2024-02-12", "J"}));
    WorkbookReader suppliers;
    ASSERT_TRUE(suppliers.open(fromCsv.at(0), Encoding::Detect, {}));
    QStringList formulaLooking;
    while (suppliers.next())
        if (suppliers.fields().value(0).toLongLong() > 70200)
            formulaLooking << suppliers.fields().value(1).trimmed();
    EXPECT_EQ(formulaLooking, (QStringList{"=1+1", "+49 Zentrale", "-Rest-", "@Rechnung",
                                           "=HYPERLINK(\"http://x.example\";\"Rechnung\")"}));

    // What LibreOffice saved, workbook (its own format too) or CSV, imports as no change at all.
    for (const QStringList &files : {fromCsv, fromXlsx, asOds}) {
        const ImportReport report = importAll(db, MasterDataKinds(), files);
        ASSERT_TRUE(report.ok) << errors(report).toStdString();
        for (const KindCount &count : report.counts)
            EXPECT_EQ(count.added + count.changed, 0) << count.kind.toStdString() << " " << files.front().toStdString();
    }
    EXPECT_EQ(contents(db), before);
}

TEST(LibreOffice, ExampleFilesSavedByLibreOfficeImport) {
    const QString dir = korvextest::TempDir() + QStringLiteral("/lo-examples");
    QDir(dir).removeRecursively();
    QDir().mkpath(dir);
    const QStringList kinds{QStringLiteral("lieferanten"), QStringLiteral("artikel"), QStringLiteral("artlief"),
                            QStringLiteral("personal"), QStringLiteral("update")};
    QStringList examples;
    for (const QString &kind : kinds)
        examples << qEnvironmentVariable("KORVEX_SOURCE_DIR") + QStringLiteral("/docs/examples/%1.csv").arg(kind);
    Calc calc;
    const QStringList saved[] = {examples, calc.convert(examples, kCsvOut, dir + QStringLiteral("/csv"), kCsvIn),
                                 calc.convert(examples, "xlsx", dir + QStringLiteral("/xlsx"), kCsvIn),
                                 calc.convert(examples, "ods", dir + QStringLiteral("/ods"), kCsvIn)};
    // The dates went out with two-digit years, as LibreOffice's German default shows them.
    QFile pairs(saved[1].at(2));
    ASSERT_TRUE(pairs.open(QIODevice::ReadOnly));
    EXPECT_TRUE(pairs.readAll().contains(";12.02.24;"));

    QByteArray first;
    for (const QStringList &files : saved) {
        SCOPED_TRACE(files.front().toStdString());
        const QString db = dir + QStringLiteral("/%1.sqlite").arg(QUuid::createUuid().toString(QUuid::Id128));
        ASSERT_NO_THROW(kxserver::CreateDatabase({kxserver::Backend::Sqlite, db, {}, 0}, {}, true));
        const ImportReport report = importAll(db, kinds, files);
        ASSERT_TRUE(report.ok) << errors(report).toStdString();
        if (first.isEmpty())
            first = contents(db);
        else
            EXPECT_EQ(contents(db), first) << "the same data as the examples as we wrote them";
    }
}
