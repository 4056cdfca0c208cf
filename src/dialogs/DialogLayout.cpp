#include "dialogs/DialogLayout.h"

#include <QDialog>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QWindow>

namespace dialoglayout {

int twipsToPixels(int twips, const QWidget *widget) {
    const int dpi = widget ? widget->logicalDpiX() : 96;
    return qRound(twips * double(dpi > 0 ? dpi : 96) / 1440.0);
}

void place(QWidget *widget, int left, int top, int width, int height) {
    widget->setGeometry(twipsToPixels(left, widget), twipsToPixels(top, widget), twipsToPixels(width, widget),
                        twipsToPixels(height, widget));
}

void setFixedFrame(QDialog *dialog, int width, int height) {
    dialog->setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    dialog->setFixedSize(twipsToPixels(width, dialog), twipsToPixels(height, dialog));
    dialog->setSizeGripEnabled(false);
    // The twips layout was made for the small dialog font of 8 points; with the usual larger
    // desktop font the narrow fields (port, company, branch) would cut their values.
    QFont font = dialog->font();
    if (font.pointSizeF() > 8.0) {
        font.setPointSizeF(8.0);
        dialog->setFont(font);
    }
    // The dialogs live for the whole run: closing one is hiding it, and the last visible window
    // closing (the login dialog at start-up) must not quit the application.
    dialog->setAttribute(Qt::WA_DeleteOnClose, false);
    dialog->setAttribute(Qt::WA_QuitOnClose, false);
}

void setOwner(QWidget *dialog, QWidget *owner) {
    if (!owner)
        return;
    QWidget *ownerWindow = owner->window();
    dialog->winId();
    ownerWindow->winId();
    if (dialog->windowHandle() && ownerWindow->windowHandle() && ownerWindow != dialog)
        dialog->windowHandle()->setTransientParent(ownerWindow->windowHandle());
}

QLabel *label(QWidget *parent, const QString &name, const QString &caption, int left, int top, int width, int height) {
    auto *l = new QLabel(caption, parent);
    l->setObjectName(name);
    l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    place(l, left, top, width, height);
    fitCaption(l);
    return l;
}

QPushButton *button(QWidget *parent, const QString &name, const QString &caption, const QString &picture, int left,
                    int top, int width, int height) {
    auto *b = new QPushButton(caption, parent);
    b->setObjectName(name);
    if (!picture.isEmpty())
        b->setIcon(QIcon(picture));
    b->setIconSize(QSize(16, 16));
    place(b, left, top, width, height);
    return b;
}

void fitCaption(QLabel *label) {
    QFont font = label->font();
    if (font.pointSizeF() <= 0)
        return;
    const int width = label->width();
    while (QFontMetrics(font).horizontalAdvance(label->text()) > width && font.pointSizeF() > 6.0)
        font.setPointSizeF(font.pointSizeF() - 0.5);
    if (font != label->font())
        label->setFont(font);
}

void useButtonFace(QLineEdit *field) {
    QPalette palette = field->palette();
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        palette.setColor(group, QPalette::Base, palette.color(group, QPalette::Button));
    field->setPalette(palette);
}

} // namespace dialoglayout
