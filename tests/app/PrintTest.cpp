#include "app/controls/KxList.h"
#include "PdfText.h"
#include "QtPrinters.h"
#include "session/ServerError.h"

#include <QDir>
#include <QFileInfo>
#include <QPrinterInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

const QChar LF(u'\n');

QString pdfText(const QString &path) {
    return korvextest::PdfText(path);
}

// Every print goes to a PDF, whatever printers the machine has, and the viewer is a recorder.
class Printing : public ::testing::Test {
protected:
    void SetUp() override {
        documents = qEnvironmentVariable("XDG_DOCUMENTS_DIR");
        ASSERT_FALSE(documents.isEmpty());
        QDir(documents).removeRecursively(); // print() creates the folder when it is missing
        KxList::setPrinterLookup([] { return QPrinterInfo(); });
        KxList::setPdfOpener([this](const QString &path) { opened << path; });
        list.setColumns({"Art.Nr", "Bezeichnung", "Haupt-Lief", "VELKA-Haupt-Lief"}, {75, 250, 200, 200});
    }
    void TearDown() override {
        KxList::setPdfOpener({});
        KxList::setPrinterLookup({});
    }

    QString documents;
    QStringList opened;
    KxList list;
};

} // namespace

TEST_F(Printing, TitleHeadingsAndEveryRowOverSeveralPages) {
    const int rows = 200;
    for (int i = 0; i < rows; ++i)
        list.addRow(QString("A%1").arg(i, 5, 10, QChar('0')) + LF + "Zement Süd " + QString::number(i) + LF +
                    "4711 Baustoff Müller" + LF + "0815 Velka");
    const QString title = "KORVEX Update Hauptlieferanten       Update: 17    Datum: 08.12.2026 14:03:05";
    list.setPrintTitle(title);
    EXPECT_EQ(list.printTitle(), title);

    const QString path = list.print();
    ASSERT_FALSE(path.isEmpty());
    EXPECT_EQ(opened, QStringList{path});
    const QFileInfo file(path);
    EXPECT_TRUE(file.isFile());
    EXPECT_EQ(file.absolutePath(), QDir(documents).absolutePath());
    EXPECT_TRUE(QRegularExpression("^Artikelliste \\d{4}-\\d\\d-\\d\\d \\d\\d-\\d\\d-\\d\\d( \\(\\d+\\))?\\.pdf$")
                    .match(file.fileName())
                    .hasMatch())
        << file.fileName().toStdString();

    const QString text = pdfText(path);
    QStringList pages = text.split(QChar('\f'));
    if (!pages.isEmpty() && pages.last().trimmed().isEmpty())
        pages.removeLast();
    ASSERT_GE(pages.size(), 3) << text.toStdString();
    for (int p = 0; p < pages.size(); ++p) {
        const QString &page = pages[p];
        EXPECT_TRUE(page.contains("KORVEX Update Hauptlieferanten")) << "page " << p + 1;
        EXPECT_TRUE(page.contains("Datum: 08.12.2026 14:03:05")) << "page " << p + 1;
        for (const char *heading : {"Art.Nr", "Bezeichnung", "Haupt-Lief", "VELKA-Haupt-Lief"})
            EXPECT_TRUE(page.contains(heading)) << heading << " on page " << p + 1;
        EXPECT_TRUE(page.contains(QString("Seite %1 von %2").arg(p + 1).arg(pages.size()))) << "page " << p + 1;
    }
    // Every row exactly once, in order, with its columns on one line.
    int lastPos = -1;
    for (int i = 0; i < rows; ++i) {
        const QString number = QString("A%1").arg(i, 5, 10, QChar('0'));
        const QRegularExpression line(number + "\\s+Zement Süd " + QString::number(i) +
                                      "\\s+4711 Baustoff Müller\\s+0815 Velka\\s*\\n");
        const auto match = line.match(text);
        ASSERT_TRUE(match.hasMatch()) << number.toStdString();
        EXPECT_GT(match.capturedStart(), lastPos);
        EXPECT_EQ(text.count(number), 1);
        lastPos = int(match.capturedStart());
    }
}

// The page size pdfinfo reports, "595 x 842" for A4 portrait.
QString pageSize(const QString &path) {
    QProcess p;
    p.start("pdfinfo", {path});
    if (!p.waitForFinished(60000))
        return "<pdfinfo failed>";
    const auto m =
        QRegularExpression("Page size:\\s+([\\d.]+ x [\\d.]+)").match(QString::fromUtf8(p.readAllStandardOutput()));
    return m.hasMatch() ? m.captured(1) : "<no page size>";
}

TEST_F(Printing, EveryCellPrintsWholeTurningThePaperOrWrappingWhereNeeded) {
    const QString portrait = "595 x 842", landscape = "842 x 595";
    const QString longName = "Zementwerke Süd AG Niederlassung Nordost Abteilung Sackware und Lose Ware "
                             "für den Hoch- und Tiefbau sowie den Garten- und Landschaftsbau Lager 7";
    const struct {
        const char *what;
        QString description, mainSupplier;
        QString paper;
        bool oneLine;
    } cases[] = {
        {"short texts keep the portrait page", "Zement", "4711 Baustoff Müller", portrait, true},
        {"a supplier wider than its share turns the paper", "Portlandzement CEM I 42,5 R 25 kg Sack",
         "70015 Baustoff-Union VELKA eG", landscape, true},
        {"a text wider than landscape wraps in its cell", "Zement", longName, landscape, false},
    };
    for (const auto &c : cases) {
        list.clear();
        list.addRow(QString("100001") + LF + c.description + LF + c.mainSupplier + LF + c.mainSupplier);
        list.addRow(QString("100002") + LF + "Kalk" + LF + "0815 Velka" + LF + "0815 Velka");
        const QString path = list.print();
        EXPECT_EQ(pageSize(path), c.paper) << c.what;
        const QString text = pdfText(path);
        EXPECT_FALSE(text.contains(QChar(0x2026))) << c.what << ": " << text.toStdString();
        const QString first = text.split(LF).filter(QRegularExpression("^\\s*100001\\s")).value(0);
        if (c.oneLine) {
            EXPECT_EQ(first.simplified(), "100001 " + c.description + " " + c.mainSupplier + " " + c.mainSupplier)
                << c.what;
        } else {
            // Every word of both cells, in order, and the next row after all of them.
            QString words = text.left(text.indexOf("100002")).simplified();
            for (const QString &word : longName.split(' '))
                EXPECT_EQ(words.count(word), 2 * longName.split(' ').count(word))
                    << c.what << ": " << word.toStdString();
            EXPECT_TRUE(text.contains(QRegularExpression("\\n\\s*100002\\s+Kalk\\s+0815 Velka\\s+0815 Velka")))
                << text.toStdString();
        }
    }
}

TEST_F(Printing, EmptyListPrintsTitleAndHeadingsOnOnePage) {
    list.setPrintTitle("KORVEX Update Hauptlieferanten       Update:     Datum: 08.12.2026 14:03:05");
    const QString path = list.print();
    ASSERT_EQ(opened, QStringList{path});
    const QString text = pdfText(path);
    EXPECT_EQ(text.count(QChar('\f')), 1) << text.toStdString();
    EXPECT_TRUE(text.contains("KORVEX Update Hauptlieferanten"));
    EXPECT_TRUE(text.contains("VELKA-Haupt-Lief"));
    EXPECT_TRUE(text.contains("Seite 1 von 1"));
}

TEST_F(Printing, CheckColumnsPrintAsCrossesAndEachPrintGetsItsOwnFile) {
    KxList suppliers;
    suppliers.setColumns({"Lieferant", "EK-Netto  ", "per", "le. Einkauf", "Aktiv", "Hauptlieferant"},
                         {200, 70, 75, 75, 50, 75});
    suppliers.setCheckColumns({5, 6});
    suppliers.setPdfBaseName("Lieferanten");
    suppliers.addRow(QString("10 Erster") + LF + "1.234,50 €" + LF + "St" + LF + "01.02.2005");
    suppliers.addRow(QString("20 Zweiter") + LF + "9,99 €" + LF + "kg" + LF);
    suppliers.setCheckState(0, 5, 1);
    suppliers.setCheckState(0, 6, 1);
    suppliers.setCheckState(1, 5, 1);

    const QString first = suppliers.print();
    const QString second = suppliers.print(); // within the same second as a rule
    EXPECT_NE(first, second);
    EXPECT_EQ(opened, QStringList({first, second}));
    EXPECT_TRUE(QFileInfo(first).fileName().startsWith("Lieferanten "));

    const QStringList lines = pdfText(first).split(LF);
    auto lineOf = [&](const QString &start) {
        for (const QString &l : lines)
            if (l.trimmed().startsWith(start))
                return l.simplified();
        return QString();
    };
    EXPECT_EQ(lineOf("10 Erster"), "10 Erster 1.234,50 € St 01.02.2005 X X");
    EXPECT_EQ(lineOf("20 Zweiter"), "20 Zweiter 9,99 € kg X");
}

TEST_F(Printing, AFolderThatCannotBeMadeIsAnErrorNotASilentSuccess) {
    QTemporaryDir scratch;
    QFile blocker(scratch.filePath("file"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const QByteArray saved = qgetenv("XDG_DOCUMENTS_DIR");
    qputenv("XDG_DOCUMENTS_DIR", QFile::encodeName(scratch.filePath("file/Dokumente")));
    list.addRow("A1");
    try {
        list.print();
        ADD_FAILURE() << "no error";
    } catch (const cacheapi::ServerError &e) {
        EXPECT_EQ(e.number(), 482);
        EXPECT_TRUE(e.description().startsWith("Druckerfehler")) << e.description().toStdString();
    }
    qputenv("XDG_DOCUMENTS_DIR", saved);
    EXPECT_TRUE(opened.isEmpty());
}
