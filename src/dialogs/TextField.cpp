#include "dialogs/TextField.h"

#include <QFocusEvent>
#include <QProxyStyle>

namespace {

class StarPasswordStyle : public QProxyStyle {
public:
    int styleHint(StyleHint hint, const QStyleOption *option, const QWidget *widget,
                  QStyleHintReturn *returnData) const override {
        if (hint == SH_LineEdit_PasswordCharacter)
            return '*';
        if (hint == SH_LineEdit_PasswordMaskDelay)
            return 0;
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

// Characters, not UTF-16 code units: a surrogate pair is one character.
qsizetype characters(QStringView text) {
    qsizetype count = 0;
    for (qsizetype i = 0; i < text.size(); ++i)
        if (!(text.at(i).isLowSurrogate() && i > 0 && text.at(i - 1).isHighSurrogate()))
            ++count;
    return count;
}

// The first `count` characters of text, never half a surrogate pair.
QString leftCharacters(QStringView text, qsizetype count) {
    qsizetype i = 0;
    for (; i < text.size() && count > 0; --count)
        i += (text.at(i).isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) ? 2 : 1;
    return text.left(i).toString();
}

} // namespace

TextField::TextField(QWidget *parent) : QLineEdit(parent) {
    // Every change, the program's included, is the starting point of the next edit. The text is read
    // afresh, because a cut edit reports its uncut text once more after the cut.
    connect(this, &QLineEdit::textChanged, this, [this] { m_accepted = text(); });
    // Only the user's edits are limited: every way he can put text in ends here, none of the
    // program's own.
    connect(this, &QLineEdit::textEdited, this, &TextField::limitUserEdit);
}

void TextField::showAsPassword() {
    auto *style = new StarPasswordStyle;
    style->setParent(this);
    setStyle(style);
    setEchoMode(QLineEdit::Password);
}

void TextField::limitUserEdit(const QString &edited) {
    const qsizetype now = characters(edited);
    if (m_typingLimit <= 0 || now <= m_typingLimit || now <= characters(m_accepted))
        return;
    // The edit replaced the middle of the old text: what both share at the front and at the back
    // stayed, never splitting a surrogate pair.
    const QString &old = m_accepted;
    qsizetype front = 0;
    while (front < old.size() && front < edited.size() && old.at(front) == edited.at(front))
        ++front;
    if (front > 0 && edited.at(front - 1).isHighSurrogate())
        --front;
    qsizetype back = 0;
    while (back < old.size() - front && back < edited.size() - front &&
           old.at(old.size() - 1 - back) == edited.at(edited.size() - 1 - back))
        ++back;
    if (back > 0 && edited.at(edited.size() - back).isLowSurrogate())
        --back;
    const qsizetype kept = characters(QStringView(old).left(front)) + characters(QStringView(old).right(back));
    const QString added = leftCharacters(QStringView(edited).mid(front, edited.size() - front - back),
                                         qMax<qsizetype>(0, m_typingLimit - kept));
    setText(edited.left(front) + added + edited.right(back));
    setCursorPosition(int(front + added.size()));
}

void TextField::focusInEvent(QFocusEvent *event) {
    QLineEdit::focusInEvent(event);
    if (onGotFocus)
        onGotFocus();
}

void TextField::focusOutEvent(QFocusEvent *event) {
    QLineEdit::focusOutEvent(event);
    // The field's own context menu is no leaving of the field.
    if (event->reason() != Qt::PopupFocusReason && onLostFocus)
        onLostFocus();
}
