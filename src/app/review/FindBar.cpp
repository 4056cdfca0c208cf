#include "app/review/FindBar.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>

FindBar::FindBar(QWidget *parent) : QWidget(parent), m_field(new QLineEdit(this)) {
    setObjectName(QStringLiteral("findBar"));
    m_field->setObjectName(QStringLiteral("findText"));
    auto *label = new QLabel(QStringLiteral("Suchen:"), this);
    label->setBuddy(m_field);
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(label);
    layout->addWidget(m_field);
    m_field->setMinimumWidth(200);
    m_field->installEventFilter(this);
    connect(m_field, &QLineEdit::returnPressed, this, &FindBar::findNext);
    hide();
}

QString FindBar::text() const {
    return m_field->text();
}

void FindBar::open() {
    show();
    m_field->setFocus(Qt::ShortcutFocusReason);
    m_field->selectAll();
}

bool FindBar::eventFilter(QObject *watched, QEvent *event) {
    if (watched == m_field && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent *>(event)->key() == Qt::Key_Escape) {
        hide();
        emit closed();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}
