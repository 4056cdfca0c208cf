#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

// The program's information window: name, the maker's pictures and contact links, and the start of
// the system information tool. It destroys itself when closed.
class frmAbout : public QDialog {
    Q_OBJECT
public:
    explicit frmAbout(QWidget *parent = nullptr);
    ~frmAbout() override;

    // Shows the box without blocking and without owner. While one is open, it comes to the front
    // instead of a second one; after "OK" the next call makes a new one.
    static frmAbout *showAbout();
    // The box showAbout() keeps, or null.
    static frmAbout *current();

    void cmdOK_Click();
    void cmdSysInfo_Click();

    // Escape and the window's close box press "OK", like Enter.
    void reject() override;

    QPushButton *cmdOK = nullptr;
    QPushButton *cmdSysInfo = nullptr;
    QLabel *Producktname = nullptr;
    QLabel *lblKontakt = nullptr;
    QLabel *lblTitle = nullptr;
    QLabel *lblVersion = nullptr;
    QLabel *ctHyperLink1 = nullptr;
    QLabel *ctHyperLink2 = nullptr;
    QLabel *Image1 = nullptr;
    QLabel *Image2 = nullptr;
    QWidget *Line1 = nullptr;

private:
    void buildControls();
    int px(int twips) const;
    void place(QWidget *w, int left, int top, int width, int height);
};
