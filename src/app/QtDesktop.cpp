#include "app/QtDesktop.h"

#include "session/ServerError.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QPointer>
#include <QTime>
#include <QTranslator>
#include <QWidget>

QTranslator *InstallGermanQtTexts(QCoreApplication &app) {
    auto *translator = new QTranslator(&app);
    if (!translator->load(QStringLiteral("qtbase_de"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)) ||
        !QCoreApplication::installTranslator(translator)) {
        delete translator;
        return nullptr;
    }
    return translator;
}

cacheapi::Desktop::Answer QtDesktop::messageBox(const QString &title, const QString &text, Buttons buttons, Icon icon) {
    QMessageBox box(QApplication::activeModalWidget() ? QApplication::activeModalWidget()
                                                      : QApplication::activeWindow());
    box.setWindowTitle(title);
    box.setText(text);
    box.setWindowModality(Qt::ApplicationModal);
    switch (icon) {
    case Icon::None:
        box.setIcon(QMessageBox::NoIcon);
        break;
    case Icon::Information:
        box.setIcon(QMessageBox::Information);
        break;
    case Icon::Exclamation:
        box.setIcon(QMessageBox::Warning);
        break;
    }
    if (buttons == Buttons::YesNo) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::Yes);
        // A German program answers in German, also where Qt's own translations are not installed.
        box.button(QMessageBox::Yes)->setText(QStringLiteral("&Ja"));
        box.button(QMessageBox::No)->setText(QStringLiteral("&Nein"));
    } else {
        box.setStandardButtons(QMessageBox::Ok);
    }
    // A box shown while the hourglass is up would otherwise show the hourglass too.
    const bool wasBusy = m_busy;
    if (wasBusy)
        QApplication::restoreOverrideCursor();
    const int result = box.exec();
    if (wasBusy)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    if (buttons == Buttons::YesNo)
        return result == QMessageBox::Yes ? Answer::Yes : Answer::No;
    return Answer::Ok;
}

void QtDesktop::setBusyPointer(bool busy) {
    if (busy == m_busy)
        return;
    m_busy = busy;
    if (busy)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    else
        QApplication::restoreOverrideCursor();
}

void QtDesktop::processEvents(bool userInput) {
    QCoreApplication::processEvents(userInput ? QEventLoop::AllEvents : QEventLoop::ExcludeUserInputEvents);
}

double QtDesktop::secondsSinceMidnight() {
    return QTime::currentTime().msecsSinceStartOfDay() / 1000.0;
}

void QtDesktop::endProgram() {
    if (!m_ended) {
        m_ended = true;
        setBusyPointer(false);
        // Every window goes, the last opened first. Top-level widgets come back in no fixed order, so
        // the ones still shown are closed in reverse of that list, which is the order they were made.
        const QWidgetList windows = QApplication::topLevelWidgets();
        for (int i = windows.size() - 1; i >= 0; --i) {
            QPointer<QWidget> w = windows.at(i);
            if (w && w->isVisible())
                w->close();
            if (w)
                w->hide();
        }
        QCoreApplication::exit(0);
    }
    throw cacheapi::ProgramEnd();
}
