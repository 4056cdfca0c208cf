// The character limit of the login dialog's fields, for every way text comes in.

#include "dialogs/TextField.h"

#include <QApplication>
#include <QClipboard>
#include <QInputMethodEvent>
#include <QMimeData>
#include <QTest>

#include <gtest/gtest.h>

#include <functional>

TEST(TextField, TheLimitHoldsForEveryWayTheUserPutsTextIn) {
    TextField code;
    code.setObjectName(QStringLiteral("code"));
    code.setTypingLimit(20);
    TextField password;
    password.setObjectName(QStringLiteral("password"));
    password.setTypingLimit(20);
    password.showAsPassword();
    const auto typeIn = [](QLineEdit *f, const QString &text) {
        for (const char32_t c : text.toUcs4()) {
            QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString::fromUcs4(&c, 1));
            QApplication::sendEvent(f, &press);
        }
    };
    const auto paste = [](QLineEdit *f, const QString &text) {
        QApplication::clipboard()->setText(text);
        QTest::keySequence(f, QKeySequence::Paste);
    };
    const auto drop = [](QLineEdit *f, const QString &text) {
        QMimeData data;
        data.setText(text);
        QDragEnterEvent enter(f->rect().center(), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(f, &enter);
        QDropEvent event(QPointF(f->rect().center()), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(f, &event);
    };
    const auto inputMethod = [](QLineEdit *f, const QString &text) {
        QInputMethodEvent event;
        event.setCommitString(text);
        QApplication::sendEvent(f, &event);
    };
    const auto selection = [](QLineEdit *f, const QString &text) {
        QApplication::clipboard()->setText(text, QClipboard::Selection);
        QTest::mouseClick(f, Qt::MiddleButton);
    };
    QList<std::pair<const char *, std::function<void(QLineEdit *, const QString &)>>> ways = {
        {"typing", typeIn}, {"paste", paste}, {"drop", drop}, {"input method", inputMethod}};
    if (QApplication::clipboard()->supportsSelection())
        ways.append({"middle click", selection});
    // Characters outside the Basic Multilingual Plane count once each, and are never cut in half.
    const QString wide = QStringLiteral("😀");
    for (const auto &[name, way] : ways) {
        for (TextField *field : {&code, &password}) {
            for (const QString &unit : {QStringLiteral("x"), wide}) {
                SCOPED_TRACE(std::string(name) + " " + field->objectName().toStdString() + " " + unit.toStdString());
                field->clear();
                way(field, unit.repeated(25));
                EXPECT_EQ(field->text(), unit.repeated(20));
                way(field, unit);
                EXPECT_EQ(field->text(), unit.repeated(20));
            }
        }
    }

    // Pasting into the middle keeps what fits in place of the selection.
    code.setText(QStringLiteral("ABCDEFGHIJKLMNO"));
    code.setCursorPosition(3);
    paste(&code, QStringLiteral("1234567890"));
    EXPECT_EQ(code.text(), QStringLiteral("ABC12345DEFGHIJKLMNO"));
    EXPECT_EQ(code.cursorPosition(), 8);
    code.setSelection(1, 10);
    paste(&code, wide.repeated(30));
    EXPECT_EQ(code.text(), QStringLiteral("A") + wide.repeated(10) + QStringLiteral("GHIJKLMNO"));
}
