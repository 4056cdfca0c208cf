// The desktop adapter's message boxes as the clerk sees them.

#include "app/QtDesktop.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <QTranslator>

#include <gtest/gtest.h>

using cacheapi::Desktop;

namespace {

// Clicks the button captioned `caption` of the box once it is up, and notes every caption; a box
// that never shows or lacks the button fails the test instead of hanging it.
struct BoxAnswerer {
    QStringList captions;
    bool clicked = false;

    void answer(const QString &caption) {
        auto *poll = new QTimer(qApp);
        QObject::connect(poll, &QTimer::timeout, poll, [this, poll, caption] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            poll->deleteLater();
            captions.clear();
            QAbstractButton *wanted = nullptr;
            for (QAbstractButton *button : box->buttons()) {
                captions << button->text().remove(QLatin1Char('&'));
                if (captions.last() == caption)
                    wanted = button;
            }
            clicked = wanted != nullptr;
            if (wanted)
                wanted->click();
            else
                box->done(0);
        });
        poll->start(5);
    }
};

} // namespace

TEST(QtDesktop, QuestionsAreAnsweredJaOrNein) {
    QtDesktop desktop;
    for (const auto &[caption, expected] : {std::pair{"Ja", Desktop::Answer::Yes}, {"Nein", Desktop::Answer::No}}) {
        BoxAnswerer user;
        user.answer(QString::fromUtf8(caption));
        EXPECT_EQ(desktop.messageBox(QStringLiteral("Anmeldung an Caché"), QStringLiteral("Änderungen erlauben?"),
                                     Desktop::Buttons::YesNo, Desktop::Icon::None),
                  expected);
        EXPECT_TRUE(user.clicked) << caption;
        user.captions.sort();
        EXPECT_EQ(user.captions, QStringList({"Ja", "Nein"}));
    }
}

TEST(QtDesktop, QtsOwnTextsAreGerman) {
    // The test main installs no translation; the program's start does.
    QTranslator *translator = InstallGermanQtTexts(*qApp);
    ASSERT_NE(translator, nullptr) << "qtbase_de missing: install qt6-translations-l10n";
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("Abbrechen"));
    QCoreApplication::removeTranslator(translator);
    delete translator;
}
