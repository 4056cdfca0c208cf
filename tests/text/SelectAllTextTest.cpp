#include "text/TextHelpers.h"

#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextCursor>

#include <gtest/gtest.h>

#include <stdexcept>

using namespace cacheapi;

namespace {

// Any object with a text, a selection and a focus reached by name will do.
class RecordingControl : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString text MEMBER text)
public:
    QString text;
    int selStart = -1;
    int selLength = -1;
    int focusCalls = 0;

    Q_INVOKABLE void setSelection(int start, int length) {
        selStart = start;
        selLength = length;
    }
    Q_INVOKABLE void setFocus() { ++focusCalls; }
};

} // namespace

TEST(SelectAllText, LineEditGetsWholeTextSelected) {
    QLineEdit edit;
    edit.setText(QStringLiteral("geheim"));
    edit.setCursorPosition(3);
    SelectAllText(&edit, true);
    EXPECT_EQ(edit.selectedText(), "geheim");

    QLineEdit empty;
    EXPECT_NO_THROW(SelectAllText(&empty, true));
    EXPECT_FALSE(empty.hasSelectedText());
}

TEST(SelectAllText, MultiLineEditor) {
    QPlainTextEdit edit;
    edit.setPlainText(QStringLiteral("zwei\nZeilen"));
    SelectAllText(&edit, true);
    EXPECT_EQ(edit.textCursor().selectedText().size(), 11);
}

TEST(SelectAllText, MembersByNameAndFocusUnlessSelectOnly) {
    RecordingControl control;
    control.text = QStringLiteral("Müller");
    SelectAllText(&control, true);
    EXPECT_EQ(control.selStart, 0);
    EXPECT_EQ(control.selLength, 6);
    EXPECT_EQ(control.focusCalls, 0);

    SelectAllText(&control);
    EXPECT_EQ(control.focusCalls, 1);
}

TEST(SelectAllText, ControlsWithoutSelectionThrow) {
    QLabel label(QStringLiteral("Hallo"));
    EXPECT_THROW(SelectAllText(&label, true), std::invalid_argument);
    QObject plain;
    EXPECT_THROW(SelectAllText(&plain, true), std::invalid_argument);
    EXPECT_THROW(SelectAllText(nullptr, true), std::invalid_argument);
}

#include "SelectAllTextTest.moc"
