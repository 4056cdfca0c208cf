// The About box: its controls and keys, the single box of the Help menu, the system information
// lookup and the rules for registry value bytes.

#include "session/CacheApi.h"
#include "FakeDesktop.h"
#include "dialogs/SysInfo.h"
#include "dialogs/frmAbout.h"

#include <QApplication>
#include <QFileInfo>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

namespace {

void flushDeletes() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

int aboutBoxesAlive() {
    int n = 0;
    for (QWidget *w : QApplication::topLevelWidgets())
        if (qobject_cast<frmAbout *>(w))
            ++n;
    return n;
}

struct Started {
    QString path;
    QStringList arguments;
};

class AboutFixture : public ::testing::Test {
protected:
    void SetUp() override {
        m_previous = cacheapi::gDesktop;
        cacheapi::gDesktop = &desktop;
        m_desktopName = qgetenv("XDG_CURRENT_DESKTOP");
        qunsetenv("XDG_CURRENT_DESKTOP"); // the machine's own desktop must not pick the tool
        // Nothing on this machine may be found or started by a test.
        sysInfoHooks().findProgram = [this](const QString &program) { return onPath.value(program); };
        sysInfoHooks().fileExists = [](const QString &) { return false; };
        sysInfoHooks().startProgram = [this](const QString &path, const QStringList &arguments) {
            started.append({path, arguments});
            return startSucceeds;
        };
    }
    void TearDown() override {
        for (QWidget *w : QApplication::topLevelWidgets())
            if (qobject_cast<frmAbout *>(w))
                delete w;
        flushDeletes();
        resetSysInfoHooks();
        cacheapi::gDesktop = m_previous;
        qputenv("XDG_CURRENT_DESKTOP", m_desktopName);
    }

    FakeDesktop desktop;
    QMap<QString, QString> onPath; // program name -> full path
    QList<Started> started;
    bool startSucceeds = true;

private:
    cacheapi::Desktop *m_previous = nullptr;
    QByteArray m_desktopName;
};

using AboutBox = AboutFixture;
using AboutSysInfo = AboutFixture;

int twips(const QWidget *w, int t) {
    return qRound(t / 15.0 * w->logicalDpiX() / 96.0);
}

QRect twipRect(const QWidget *w, int l, int t, int width, int height) {
    return QRect(twips(w, l), twips(w, t), twips(w, width), twips(w, height));
}

TEST_F(AboutBox, ControlsSitAtTheirPlacesWithTheirTexts) {
    frmAbout box;
    EXPECT_EQ(box.windowTitle(), QStringLiteral("Info zu KORVEX Update Hauptlieferanten"));
    EXPECT_EQ(box.parentWidget(), nullptr);
    EXPECT_TRUE(box.testAttribute(Qt::WA_DeleteOnClose));
    const Qt::WindowFlags flags = box.windowFlags();
    EXPECT_FALSE(flags & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
    EXPECT_EQ(box.minimumSize(), box.maximumSize());
    EXPECT_EQ(box.size(), QSize(twips(&box, 8250), twips(&box, 3795)));

    struct Place {
        const char *name;
        int l, t, w, h;
    };
    const Place places[] = {
        {"cmdOK", 4245, 2760, 1260, 345},        {"cmdSysInfo", 4260, 3240, 1245, 345},
        {"lblTitle", 2290, 240, 3135, 495},      {"lblVersion", 2290, 840, 3135, 255},
        {"ctHyperLink1", 2280, 1200, 3135, 255}, {"ctHyperLink2", 480, 3480, 3255, 255},
        {"Image2", 5760, 0, 2430, 3675},         {"Image1", 480, 2640, 3255, 795},
    };
    for (const Place &p : places) {
        auto *w = box.findChild<QWidget *>(QLatin1String(p.name));
        ASSERT_NE(w, nullptr) << p.name;
        EXPECT_EQ(w->geometry(), twipRect(&box, p.l, p.t, p.w, p.h)) << p.name;
    }
    // The captions of the left column keep their place and may grow only up to the right column.
    const Place captions[] = {{"Producktname", 1080, 240, 975, 495}, {"lblKontakt", 1080, 1200, 975, 255}};
    for (const Place &p : captions) {
        auto *w = box.findChild<QLabel *>(QLatin1String(p.name));
        ASSERT_NE(w, nullptr) << p.name;
        const QRect stated = twipRect(&box, p.l, p.t, p.w, p.h);
        EXPECT_EQ(w->pos(), stated.topLeft()) << p.name;
        EXPECT_EQ(w->height(), stated.height()) << p.name;
        EXPECT_GE(w->width(), stated.width()) << p.name;
        EXPECT_LE(w->geometry().right(), box.ctHyperLink1->x()) << p.name;
        EXPECT_LT(w->geometry().right(), box.lblTitle->x()) << p.name;
    }

    EXPECT_EQ(box.cmdOK->text(), QStringLiteral("OK"));
    EXPECT_TRUE(box.cmdOK->isDefault());
    EXPECT_EQ(box.cmdSysInfo->text(), QStringLiteral("&Systeminfo..."));
    EXPECT_EQ(box.Producktname->text(), QStringLiteral("Produktname"));
    EXPECT_EQ(box.lblTitle->text(), QStringLiteral("KORVEX Update Hauptlieferanten"));
    EXPECT_EQ(box.lblTitle->palette().color(QPalette::WindowText), QColor(Qt::black));
    EXPECT_TRUE(box.lblVersion->text().isEmpty());

    EXPECT_TRUE(box.ctHyperLink1->openExternalLinks());
    EXPECT_TRUE(box.ctHyperLink1->text().contains(QStringLiteral("href=\"mailto:")));
    EXPECT_TRUE(box.ctHyperLink2->openExternalLinks());
    EXPECT_TRUE(box.ctHyperLink2->text().contains(QStringLiteral("href=\"https://")));

    // The pictures come from the resources at their own sizes; the banner is stretched to its frame.
    EXPECT_EQ(box.Image2->pixmap().size(), QSize(162, 245));
    EXPECT_EQ(box.Image1->pixmap().size(), QSize(1089, 317));
    EXPECT_TRUE(box.Image1->hasScaledContents());

    // The etched separator spans from the grey line's start to the white line's end.
    ASSERT_NE(box.Line1, nullptr);
    EXPECT_EQ(box.Line1->objectName(), QStringLiteral("Line1"));
    EXPECT_EQ(box.Line1->geometry().topLeft(), QPoint(twips(&box, 90), twips(&box, 2445)));
    EXPECT_EQ(box.Line1->geometry().right(), twips(&box, 5654));
    EXPECT_EQ(box.Line1->geometry().bottom(), twips(&box, 2460));

    // Tab order among the controls that take the focus.
    QList<QWidget *> chain;
    QWidget *w = box.cmdOK;
    do {
        if (w->focusPolicy() & Qt::TabFocus)
            chain.append(w);
        w = w->nextInFocusChain();
    } while (w != box.cmdOK);
    EXPECT_EQ(chain, (QList<QWidget *>{box.cmdOK, box.cmdSysInfo, box.ctHyperLink1, box.ctHyperLink2}));
}

TEST_F(AboutBox, EnterEscapeAndOkCloseAndDestroyIt) {
    const auto pressOn = [](auto keyTarget, int key) {
        QPointer<frmAbout> box = frmAbout::showAbout();
        EXPECT_TRUE(box->isVisible());
        QTest::keyClick(keyTarget(box.data()), Qt::Key(key));
        EXPECT_TRUE(!box || !box->isVisible()) << key;
        flushDeletes();
        EXPECT_TRUE(box.isNull()) << key;
    };
    pressOn([](frmAbout *b) -> QWidget * { return b; }, Qt::Key_Return);
    pressOn([](frmAbout *b) -> QWidget * { return b; }, Qt::Key_Enter);
    pressOn([](frmAbout *b) -> QWidget * { return b; }, Qt::Key_Escape);
    // Escape on another control still reaches the box.
    pressOn([](frmAbout *b) -> QWidget * { return b->ctHyperLink2; }, Qt::Key_Escape);

    QPointer<frmAbout> box = frmAbout::showAbout();
    QTest::mouseClick(box->cmdOK, Qt::LeftButton);
    flushDeletes();
    EXPECT_TRUE(box.isNull());
    EXPECT_TRUE(desktop.boxes.isEmpty());
}

TEST_F(AboutBox, SecondOpeningBringsTheSameBoxAndOkMakesRoomForANewOne) {
    QPointer<frmAbout> first = frmAbout::showAbout();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->parentWidget(), nullptr);
    EXPECT_FALSE(first->isModal());
    EXPECT_EQ(frmAbout::showAbout(), first.data());
    EXPECT_EQ(aboutBoxesAlive(), 1);

    // Opening again before the closed box is gone for good makes a new one, never shows the old.
    first->cmdOK->click();
    QPointer<frmAbout> second = frmAbout::showAbout();
    EXPECT_NE(second.data(), first.data());
    EXPECT_TRUE(second->isVisible());
    flushDeletes();
    EXPECT_TRUE(first.isNull());
    EXPECT_EQ(frmAbout::current(), second.data());
    EXPECT_EQ(aboutBoxesAlive(), 1);
}

TEST(AboutValueRules, BytesOfARegistryValue) {
    QString v;
    // A string with and without its terminating zero reads the same; only one zero is dropped.
    EXPECT_TRUE(RegistryValueToText(kRegSz, QByteArray("C:\\Tools\\msinfo32.exe", 21), v));
    EXPECT_EQ(v, QStringLiteral("C:\\Tools\\msinfo32.exe"));
    EXPECT_TRUE(RegistryValueToText(kRegSz, QByteArray("C:\\Tools\\msinfo32.exe\0", 22), v));
    EXPECT_EQ(v, QStringLiteral("C:\\Tools\\msinfo32.exe"));
    EXPECT_TRUE(RegistryValueToText(kRegSz, QByteArray("ab\0\0", 4), v));
    EXPECT_EQ(v, QString::fromLatin1("ab\0", 3));
    EXPECT_TRUE(RegistryValueToText(kRegSz, QByteArray("\0", 1), v));
    EXPECT_EQ(v, QString());
    EXPECT_TRUE(RegistryValueToText(kRegSz, QByteArray(), v));
    EXPECT_EQ(v, QString());

    // 32-bit numbers, little-endian, as unsigned decimal text; a high zero byte taken away as a
    // "terminating zero" does not change the value, nor do low bytes below 16.
    EXPECT_TRUE(RegistryValueToText(kRegDword, QByteArray("\x05\x01\x00\x00", 4), v));
    EXPECT_EQ(v, QStringLiteral("261"));
    EXPECT_TRUE(RegistryValueToText(kRegDword, QByteArray("\x00\x00\x00\x00", 4), v));
    EXPECT_EQ(v, QStringLiteral("0"));
    EXPECT_TRUE(RegistryValueToText(kRegDword, QByteArray("\x78\x56\x34\x12", 4), v));
    EXPECT_EQ(v, QStringLiteral("305419896"));
    EXPECT_TRUE(RegistryValueToText(kRegDword, QByteArray("\xff\xff\xff\xff", 4), v));
    EXPECT_EQ(v, QStringLiteral("4294967295"));

    // Other types leave the value as it was.
    v = QStringLiteral("vorher");
    EXPECT_FALSE(RegistryValueToText(2, QByteArray("%SystemRoot%\0", 13), v));
    EXPECT_FALSE(RegistryValueToText(3, QByteArray("\x01\x02", 2), v));
    EXPECT_EQ(v, QStringLiteral("vorher"));
}

#ifndef Q_OS_WIN

TEST(AboutValueRules, NoRegistryHereMeansNoValue) {
    QString v = QStringLiteral("alt");
    EXPECT_FALSE(GetKeyValue(kHKeyLocalMachine, QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools\\MSINFO"),
                             QStringLiteral("PATH"), v));
    EXPECT_TRUE(v.isEmpty());
}

TEST_F(AboutSysInfo, WithoutAToolTheMessageComesAndNothingStarts) {
    StartSysInfo();
    EXPECT_TRUE(started.isEmpty());
    ASSERT_EQ(desktop.boxes.size(), 1);
    EXPECT_EQ(desktop.boxes[0].title, QStringLiteral("KORVEX Update Hauptlieferanten"));
    EXPECT_EQ(desktop.boxes[0].text, QString::fromUtf8("Systeminformationen sind momentan nicht verf\u00fcgbar"));
    EXPECT_EQ(desktop.boxes[0].buttons, cacheapi::Desktop::Buttons::Ok);
    EXPECT_EQ(desktop.boxes[0].icon, cacheapi::Desktop::Icon::None);
}

TEST_F(AboutSysInfo, AFoundToolIsStartedInOrderOfPreference) {
    onPath[QStringLiteral("gnome-control-center")] = QStringLiteral("/usr/bin/gnome-control-center");
    StartSysInfo();
    ASSERT_EQ(started.size(), 1);
    EXPECT_EQ(started[0].path, QStringLiteral("/usr/bin/gnome-control-center"));
    EXPECT_EQ(started[0].arguments, QStringList{QStringLiteral("info-overview")});

    onPath[QStringLiteral("hardinfo")] = QStringLiteral("/opt/bin/hardinfo");
    StartSysInfo();
    ASSERT_EQ(started.size(), 2);
    EXPECT_EQ(started[1].path, QStringLiteral("/opt/bin/hardinfo"));
    EXPECT_TRUE(started[1].arguments.isEmpty());

    // On GNOME its own tool comes first; one that will not run makes way for the next.
    qputenv("XDG_CURRENT_DESKTOP", "ubuntu:GNOME");
    StartSysInfo();
    ASSERT_EQ(started.size(), 3);
    EXPECT_EQ(started[2].path, QStringLiteral("/usr/bin/gnome-control-center"));
    startSucceeds = false;
    StartSysInfo();
    ASSERT_EQ(started.size(), 5);
    EXPECT_EQ(started[3].path, QStringLiteral("/usr/bin/gnome-control-center"));
    EXPECT_EQ(started[4].path, QStringLiteral("/opt/bin/hardinfo"));
    ASSERT_EQ(desktop.boxes.size(), 1) << "only when none of them runs";
}

TEST(AboutSysInfoChoice, TheRunningDesktopsToolComesFirstAndEveryToolOnce) {
    const struct {
        const char *desktop;
        const char *first;
        QStringList arguments;
    } cases[] = {
        {"", "hardinfo2", {}},
        {"GNOME", "gnome-control-center", {"info-overview"}},
        {"ubuntu:GNOME", "gnome-control-center", {"info-overview"}},
        {"KDE", "kinfocenter", {}},
        {"XFCE", "xfce4-about", {}},
        {"MATE", "mate-system-monitor", {"--show-system-tab"}},
        {"X-Cinnamon", "cinnamon-settings", {"info"}},
        {"LXQt", "lxqt-about", {}},
        {"lxqt", "lxqt-about", {}},
        {"Budgie:GNOME", "gnome-control-center", {"info-overview"}},
        {"Hyprland", "hardinfo2", {}},
    };
    QStringList everyTool;
    for (const SysInfoCandidate &c : SysInfoCandidates(QString()))
        everyTool << c.program;
    EXPECT_EQ(everyTool.size(), 8);
    for (const auto &c : cases) {
        const QList<SysInfoCandidate> order = SysInfoCandidates(QString::fromLatin1(c.desktop));
        ASSERT_FALSE(order.isEmpty());
        EXPECT_EQ(order[0].program, QString::fromLatin1(c.first)) << c.desktop;
        EXPECT_EQ(order[0].arguments, c.arguments) << c.desktop;
        QStringList programs;
        for (const SysInfoCandidate &candidate : order)
            programs << candidate.program;
        EXPECT_EQ(programs.size(), everyTool.size()) << c.desktop;
        // The dedicated programs come before the tools of other desktops.
        EXPECT_LE(programs.indexOf("hardinfo2"), 1) << c.desktop;
        programs.sort();
        QStringList sortedTools = everyTool;
        sortedTools.sort();
        EXPECT_EQ(programs, sortedTools) << c.desktop;
    }
}

TEST(AboutSysInfoChoice, AToolThatEndsAtOnceWithAnErrorCountsAsNotStarted) {
    const QString sh = QStringLiteral("/bin/sh");
    const struct {
        QString path;
        QStringList arguments;
        bool started;
    } cases[] = {
        {sh, {"-c", "exit 0"}, true}, // a launcher that hands over to a running instance
        {sh, {"-c", "exit 3"}, false},
        {sh, {"-c", "kill -KILL $$"}, false},
        {"/nonexistent/kinfocenter", {}, false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(StartToolProgram(c.path, c.arguments, 10000), c.started) << c.arguments.join(' ').toStdString();

    // One that is still running when the watch ends has started, and runs on.
    QTemporaryDir dir;
    const QString mark = dir.filePath("ran");
    EXPECT_TRUE(StartToolProgram(sh, {"-c", "sleep 1; touch \"$0\"", mark}, 50));
    EXPECT_TRUE(QTest::qWaitFor([&] { return QFileInfo::exists(mark); }, 10000));
}

TEST_F(AboutSysInfo, AToolThatFailsToStartGivesTheMessageAndTheBoxStaysOpen) {
    onPath[QStringLiteral("kinfocenter")] = QStringLiteral("/usr/bin/kinfocenter");
    startSucceeds = false;
    QPointer<frmAbout> box = frmAbout::showAbout();
    QTest::mouseClick(box->cmdSysInfo, Qt::LeftButton);
    EXPECT_EQ(started.size(), 1);
    ASSERT_EQ(desktop.boxes.size(), 1);
    EXPECT_EQ(desktop.boxes[0].text, QString::fromUtf8("Systeminformationen sind momentan nicht verf\u00fcgbar"));
    flushDeletes();
    ASSERT_FALSE(box.isNull());
    EXPECT_TRUE(box->isVisible());

    // A lookup that throws ends the same way, and the program goes on.
    sysInfoHooks().findProgram = [](const QString &) -> QString { throw std::runtime_error("kaputt"); };
    box->cmdSysInfo->click();
    ASSERT_EQ(desktop.boxes.size(), 2);
    EXPECT_EQ(desktop.boxes[1].text, desktop.boxes[0].text);
    EXPECT_EQ(desktop.endCount, 0);
    EXPECT_FALSE(cacheapi::ProgramEnded());
    EXPECT_TRUE(box->isVisible());
}

#endif

} // namespace
