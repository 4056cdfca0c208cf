#pragma once

#include <QLineEdit>

#include <functional>

// A one-line text field of the login and settings dialogs.
//
// Its character limit holds for what the user types or pastes only: a longer text that the program
// puts in (a stored personnel code, say) stays whole, because cutting it would save it back cut.
// The focus callbacks run after the field has taken or given up the focus, so a selection made
// there is not undone by the field's own focus handling.
class TextField : public QLineEdit {
public:
    explicit TextField(QWidget *parent = nullptr);

    // 0: no limit.
    void setTypingLimit(int characters) { m_typingLimit = characters; }
    int typingLimit() const { return m_typingLimit; }

    // Shows one "*" per character, whatever the style's own password character.
    void showAsPassword();

    std::function<void()> onGotFocus;
    std::function<void()> onLostFocus;

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void inputMethodEvent(QInputMethodEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;

private:
    // How many characters the user may still add in place of the current selection.
    qsizetype room() const;
    void pasteLimited();

    int m_typingLimit = 0;
};
