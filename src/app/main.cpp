// KORVEX Update Hauptlieferanten: start-up and the wiring of the real adapters.

#include "session/CacheApi.h"
#include "dialogs/DialogLoginForms.h"
#include "dialogs/FMPass.h"
#include "dialogs/FMServer.h"
#include "app/FMStart.h"
#include "app/ProgramArguments.h"
#include "app/QtDesktop.h"
#include "server/classes/SqlFactory.h"
#include "dialogs/frmAbout.h"

#include <QApplication>
#include <QLocale>
#include <QTimer>

#include <cstdio>

int main(int argc, char **argv) {
    // The arguments are read once, before Qt takes out what looks like one of its options (a
    // password "-reverse" is a password). The password among them is then wiped from the process's
    // own argument list, so other users of the machine do not see it in the process list.
    cacheapi::SetProgramArguments(ProgramArgumentsOf(argc, argv));
    ScrubPasswordArgument(argc, argv);

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("KORVEX Update Hauptlieferanten"));
    QApplication::setOrganizationName(QStringLiteral("KORVEX"));
    QApplication::setQuitOnLastWindowClosed(false); // the program ends through its own routine
    // A German program: where the desktop names no locale at all, dates and prices follow German rules.
    if (QLocale::system().language() == QLocale::C)
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    InstallGermanQtTexts(app);

    QtDesktop desktop;
    cacheapi::gDesktop = &desktop;
    cacheapi::gFactoryMaker = MakeSqlFactory;

    FMServer server;
    FMPass pass(&server);
    DialogLoginForms forms(pass, server);
    cacheapi::gForms = &forms;

    FMStart start;
    pass.setMainWindow(&start);
    start.showLoginDialog = [&pass] { pass.showModeless(); };
    start.showAboutBox = [] { frmAbout::showAbout(); };

    cacheapi::RunHandler([&start] { start.Form_Load(); });
    if (cacheapi::ProgramEnded())
        return cacheapi::EndedByError() ? 1 : 0;
    // Test hook for the start-up test of the real program: with KORVEX_AUTOTEST_QUIT_AFTER_SHOW=1
    // the program reports on stdout that its main window is up, with the caption, and then closes
    // that window the way its close box does (Form_Unload, Disconnect, end). Without it, nothing.
    if (qEnvironmentVariableIntValue("KORVEX_AUTOTEST_QUIT_AFTER_SHOW") == 1 && start.isVisible()) {
        std::fprintf(stdout, "FMStart shown: %s\n", start.windowTitle().toUtf8().constData());
        std::fflush(stdout);
        QTimer::singleShot(0, &start, [&start] { start.close(); });
    }
    const int code = app.exec();
    return cacheapi::EndedByError() ? 1 : code;
}
