// "Speichern" and "Drucken" of the main window against the stand-in server's demo database.

#include "AppFixture.h"
#include "app/controls/KxCombo.h"
#include "app/controls/KxList.h"
#include "PdfText.h"

#include <QDateTime>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>

using namespace cacheapi;

namespace {

QString pdfText(const QString &path) {
    return korvextest::PdfText(path);
}

const QStringList kHeadings{"Art.Nr", "Bezeichnung", "Haupt-Lief", "VELKA-Haupt-Lief"};

// "KORVEX Update Hauptlieferanten       Update: <u>    Datum: <date> <time>" and its moment.
QDateTime titleMoment(const QString &title, const QString &update) {
    const QRegularExpression pattern(
        QStringLiteral("^KORVEX Update Hauptlieferanten {7}Update: %1 {4}Datum: (\\d\\d\\.\\d\\d\\.\\d{4}) "
                       "(\\d\\d:\\d\\d:\\d\\d)$")
            .arg(QRegularExpression::escape(update)));
    const QRegularExpressionMatch match = pattern.match(title);
    if (!match.hasMatch())
        return {};
    return QDateTime(QDate::fromString(match.captured(1), QStringLiteral("dd.MM.yyyy")),
                     QTime::fromString(match.captured(2), QStringLiteral("HH:mm:ss")));
}

// The title as it reads back from the PDF: the words in order, the blanks between them as the
// text extraction spaces them.
QRegularExpression printedTitle(const QString &title) {
    QStringList words = title.split(' ', Qt::SkipEmptyParts);
    for (QString &w : words)
        w = QRegularExpression::escape(w);
    return QRegularExpression(words.join(" +"));
}

} // namespace

TEST_F(AppTest, SpeichernSavesTheRunOnceAndWhoSavedIt) {
    start();
    load(1);
    const QStringList ids = supplierIds();
    toggle(2, 5); // 70012 inactive for 100001
    toggle(3, 6); // 70015 main supplier of 100001; the list moves on to 100002
    ASSERT_TRUE(desktop.boxes.isEmpty()) << desktop.boxes.first().text.toStdString();
    ASSERT_TRUE(window->BUSpeich->isEnabled());
    const QStringList articles = rowTexts(window->liart);
    const QStringList suppliers = supplierRows();

    // The button is disabled and the hourglass up before the server is asked.
    QList<bool> disabledAtEvents, busyAtEvents, savedAtEvents;
    desktop.onProcessEvents = [&] {
        disabledAtEvents << !window->BUSpeich->isEnabled();
        busyAtEvents << desktop.busy;
        savedAtEvents << log->calls.contains(QStringLiteral("call Speichern"));
    };
    const qsizetype pointers = desktop.pointerLog.size();
    const qsizetype mark = log->calls.size();
    QTest::mouseClick(window->BUSpeich, Qt::LeftButton);

    EXPECT_TRUE(desktop.boxes.isEmpty()) << desktop.boxes.first().text.toStdString(); // no message on success
    EXPECT_EQ(log->work(mark), (QStringList{"newInstance UpdateVelka.Hauptlief", "call Speichern"}));
    EXPECT_EQ(disabledAtEvents, (QList<bool>{true, true}));
    EXPECT_EQ(busyAtEvents, (QList<bool>{true, false}));
    EXPECT_EQ(savedAtEvents, (QList<bool>{false, true}));
    EXPECT_EQ(desktop.pointerLog.mid(pointers), (QList<bool>{true, false}));
    EXPECT_FALSE(window->BUSpeich->isEnabled());
    // Neither list is reloaded or changed.
    EXPECT_EQ(rowTexts(window->liart), articles);
    EXPECT_EQ(supplierRows(), suppliers);

    // A second press is impossible until the next change.
    const qsizetype after = log->calls.size();
    QTest::mouseClick(window->BUSpeich, Qt::LeftButton);
    EXPECT_EQ(log->calls.size(), after);

    // The master data carry the changes, with who changed and who saved them.
    const QList<QVariantList> pair =
        sql.rows("SELECT aktiv, aend_pers, gesp_pers FROM artlief WHERE artikel = 1 AND lieferant = 12");
    ASSERT_EQ(pair.size(), 1);
    EXPECT_EQ(pair[0].at(0).toString(), "N");
    EXPECT_EQ(pair[0].at(1).toString(), "DEMO");
    EXPECT_EQ(pair[0].at(2).toString(), "DEMO");
    EXPECT_EQ(sql.value("SELECT haupt_lief FROM artikel WHERE id = 1").toInt(), 15);
    EXPECT_EQ(sql.value("SELECT aend_pers FROM artikel WHERE id = 1").toString(), "DEMO");
    EXPECT_EQ(sql.value("SELECT COUNT(*) FROM speicher_log WHERE gesp_pers = 'DEMO'").toInt(), 4);
    EXPECT_EQ(sql.value("SELECT COUNT(*) FROM speicher_log WHERE gesp_pers <> 'DEMO'").toInt(), 0);
    EXPECT_EQ(sql.value("SELECT gesp_pers FROM artliste WHERE id = ?", {window->artListKey}).toString(), "DEMO");
    EXPECT_EQ(sql.value("SELECT COUNT(*) FROM liste_aend").toInt(), 0);

    // The saved list shows the master data, and the entries start unchanged again.
    load(1);
    EXPECT_EQ(window->liart->rowText(0).section('\n', 2, 2), QStringLiteral("70015 Baustoff-Union VELKA eG"));
    EXPECT_EQ(supplierRows().at(2), QStringLiteral("70012 Baustoffe Müller GmbH\n5,10 €\nSack\n|0|0"));
    EXPECT_EQ(entry(ids[3]).aendsw, 0);
    EXPECT_FALSE(window->BUSpeich->isEnabled());
}

TEST_F(AppTest, DruckenPrintsTitleHeadingsAndEveryRow) {
    start();
    load(1);
    // The combo moves on to another update without a pick: the title names what it shows now.
    window->liupdate->setCurrentRow(2);
    const qsizetype calls = log->calls.size();
    const qsizetype pointers = desktop.pointerLog.size();
    const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
    QTest::mouseClick(window->BUDruck, Qt::LeftButton);
    const QDateTime after = QDateTime::currentDateTime().addSecs(1);
    ASSERT_TRUE(desktop.boxes.isEmpty()) << desktop.boxes.first().text.toStdString();
    EXPECT_EQ(log->calls.size(), calls); // printing asks nothing of the server
    EXPECT_EQ(desktop.pointerLog.size(), pointers);

    const QString title = window->liart->printTitle();
    const QDateTime moment = titleMoment(title, "3");
    ASSERT_TRUE(moment.isValid()) << title.toStdString();
    EXPECT_GE(moment, before.addMSecs(-before.time().msec()));
    EXPECT_LE(moment, after);

    ASSERT_EQ(openedPdfs.size(), 1);
    const QString text = pdfText(openedPdfs[0]);
    EXPECT_TRUE(printedTitle(title).match(text).hasMatch()) << text.left(400).toStdString();
    for (const QString &heading : kHeadings)
        EXPECT_TRUE(text.contains(heading)) << heading.toStdString();
    // Every article row, in order, whole, with its columns on one line: the clerk reviews the
    // paper, so "70015 Baustoff-Union VELKA eG" prints as it is, however long.
    qsizetype last = -1;
    for (const QString &row : rowTexts(window->liart)) {
        QStringList fields = row.split('\n', Qt::SkipEmptyParts); // an empty cell leaves just blanks
        for (QString &field : fields)
            field = QRegularExpression::escape(field);
        const QRegularExpression line("^ *" + fields.join(" +") + " *$", QRegularExpression::MultilineOption);
        const QRegularExpressionMatch match = line.match(text, last + 1);
        ASSERT_TRUE(match.hasMatch()) << row.toStdString();
        last = match.capturedStart();
    }
    EXPECT_TRUE(text.contains("70015 Baustoff-Union VELKA eG"));
    EXPECT_FALSE(text.contains(QChar(0x2026))) << "nothing cut";
    // Only the article list is printed.
    EXPECT_FALSE(text.contains("EK-Netto"));
}

TEST_F(AppTest, DruckenWithAnEmptyListPrintsTitleAndHeadings) {
    start();
    // Before any update is chosen: the title names an empty update.
    window->BUDruck->click();
    ASSERT_TRUE(desktop.boxes.isEmpty()) << desktop.boxes.first().text.toStdString();
    ASSERT_EQ(openedPdfs.size(), 1);
    const QString title = window->liart->printTitle();
    EXPECT_TRUE(titleMoment(title, QString()).isValid()) << title.toStdString();
    QString text = pdfText(openedPdfs[0]);
    EXPECT_TRUE(printedTitle(title).match(text).hasMatch()) << text.toStdString();
    for (const QString &heading : kHeadings)
        EXPECT_TRUE(text.contains(heading)) << heading.toStdString();

    // The empty update: title and headings, no rows.
    load(3);
    window->BUDruck->click();
    ASSERT_EQ(openedPdfs.size(), 2);
    EXPECT_TRUE(titleMoment(window->liart->printTitle(), "4").isValid()) << window->liart->printTitle().toStdString();
    text = pdfText(openedPdfs[1]);
    EXPECT_EQ(text.count('\f'), 1);
    for (const QString &heading : kHeadings)
        EXPECT_TRUE(text.contains(heading)) << heading.toStdString();
    EXPECT_FALSE(text.contains(QRegularExpression("\\b1\\d{5}\\b"))) << text.toStdString(); // no article number
}
