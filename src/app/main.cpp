// KORVEX Update Hauptlieferanten: start-up and the wiring of the real adapters.

#include "CacheApi.h"
#include "DialogLoginForms.h"
#include "FMPass.h"
#include "FMServer.h"
#include "FMStart.h"
#include "ProgramArguments.h"
#include "QtDesktop.h"
#include "SqlFactory.h"
#include "frmAbout.h"

#include <QApplication>
#include <QLocale>

int main(int argc, char **argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("KORVEX Update Hauptlieferanten"));
    QApplication::setOrganizationName(QStringLiteral("KORVEX"));
    QApplication::setQuitOnLastWindowClosed(false); // the program ends through its own routine
    // A German program: where the desktop names no locale at all, dates and prices follow German rules.
    if (QLocale::system().language() == QLocale::C)
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));

    // The arguments are read once; a password among them is then wiped from the process's own
    // argument list, so other users of the machine do not see it in the process list.
    cacheapi::SetProgramArguments(app.arguments().mid(1));
    ScrubPasswordArgument(argc, argv);

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
        return 0;
    return app.exec();
}
