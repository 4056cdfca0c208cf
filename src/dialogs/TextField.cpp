#include "TextField.h"

#include <QAction>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFocusEvent>
#include <QGuiApplication>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QPointer>
#include <QProxyStyle>

#include <limits>

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

} // namespace

TextField::TextField(QWidget *parent) : QLineEdit(parent) {
    // Dropped text would bypass the limit; the fields are short enough to type.
    setAcceptDrops(false);
}

void TextField::showAsPassword() {
    auto *style = new StarPasswordStyle;
    style->setParent(this);
    setStyle(style);
    setEchoMode(QLineEdit::Password);
}

qsizetype TextField::room() const {
    if (m_typingLimit <= 0)
        return std::numeric_limits<int>::max();
    return qMax<qsizetype>(0, m_typingLimit - (text().size() - selectedText().size()));
}

void TextField::pasteLimited() {
    if (isReadOnly())
        return;
    QString pasted = QGuiApplication::clipboard()->text();
    // A one-line field takes the first line only, as the field itself would.
    pasted = pasted.section(QLatin1Char('\n'), 0, 0).remove(QLatin1Char('\r'));
    insert(pasted.left(room()));
}

void TextField::keyPressEvent(QKeyEvent *event) {
    if (event == QKeySequence::Paste) {
        pasteLimited();
        event->accept();
        return;
    }
    // A typed character into a full field is refused before it lands.
    const QString typed = event->text();
    if (m_typingLimit > 0 && !typed.isEmpty() && typed.at(0).isPrint() &&
        !(event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)) && typed.size() > room()) {
        event->accept();
        return;
    }
    QLineEdit::keyPressEvent(event);
}

void TextField::inputMethodEvent(QInputMethodEvent *event) {
    if (m_typingLimit > 0 && event->commitString().size() > room()) {
        QInputMethodEvent cut(event->preeditString(), event->attributes());
        cut.setCommitString(event->commitString().left(room()), event->replacementStart(), event->replacementLength());
        QLineEdit::inputMethodEvent(&cut);
        return;
    }
    QLineEdit::inputMethodEvent(event);
}

void TextField::contextMenuEvent(QContextMenuEvent *event) {
    QPointer<QMenu> menu = createStandardContextMenu();
    if (!menu)
        return;
    if (auto *paste = menu->findChild<QAction *>(QStringLiteral("edit-paste"))) {
        disconnect(paste, &QAction::triggered, this, nullptr);
        connect(paste, &QAction::triggered, this, &TextField::pasteLimited);
    }
    menu->exec(event->globalPos());
    delete menu;
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
