#pragma once

#include <QLineEdit>

#include <functional>

// A one-line text field of the login and settings dialogs.
//
// Its character limit holds for whatever the user puts in, however it comes (typing, pasting, the
// middle-click selection, dropping, an input method), counted in characters, so that a character
// outside the Basic Multilingual Plane counts once. A longer text that the program puts in (a stored
// personnel code, say) stays whole, because cutting it would save it back cut.
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
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;

private:
    // Cuts what the user's last edit added beyond the limit, keeping the rest of the edit.
    void limitUserEdit(const QString &edited);

    int m_typingLimit = 0;
    QString m_accepted; // the text before the user's edit
};
