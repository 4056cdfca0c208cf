#pragma once

#include <QString>

class QDialog;
class QLabel;
class QLineEdit;
class QPushButton;
class QWidget;

// The dialogs are laid out in twips (1/1440 inch). At 96 dpi 15 twips make one pixel; on a screen
// with another logical dpi the layout grows or shrinks with it.
namespace dialoglayout {

int twipsToPixels(int twips, const QWidget *widget);
// Places widget at left, top, width, height given in twips.
void place(QWidget *widget, int left, int top, int width, int height);
// A fixed dialog frame with the client area given in twips: no resizing, no minimise or maximise
// button. Closing it by the frame never ends the program.
void setFixedFrame(QDialog *dialog, int width, int height);

// Lets owner's window own dialog on the desktop (kept in front of it, no taskbar entry of its own)
// without making it a Qt child, so the dialog's lifetime stays its own.
void setOwner(QWidget *dialog, QWidget *owner);

QLabel *label(QWidget *parent, const QString &name, const QString &caption, int left, int top, int width, int height);
QPushButton *button(QWidget *parent, const QString &name, const QString &caption, const QString &picture, int left,
                    int top, int width, int height);
// Shrinks a label's font until its caption fits the label's width, so a wider system font does not
// cut the caption while the positions stay as laid out.
void fitCaption(QLabel *label);
// The background of the settings fields: the button face, enabled or not.
void useButtonFace(QLineEdit *field);

} // namespace dialoglayout
