#pragma once

#include <QMainWindow>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <vector>

class ArticleDisplay;
class ArticleFilter;
class FindBar;
class UndoStack;
struct ArticleBefore;

class Freshness;
class LiveView;
class KxCombo;
class KxList;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;
class QAction;

// The update-of-main-suppliers window: update combo, article list, supplier list, the three buttons.
// The handlers keep the program's own names; each runs inside the session's handler guard.
class FMStart : public QMainWindow {
    Q_OBJECT
public:
    explicit FMStart(QWidget *parent = nullptr);
    ~FMStart() override;

    // How the menu shows the login dialog (without blocking, owned by this window) and the About box.
    std::function<void()> showLoginDialog;
    std::function<void()> showAboutBox;

    // Start-up: login until it succeeds, caption, update combo, then the window shows itself.
    void Form_Load();

    void liupdate_Click();
    void liupdate_LostFocus();
    void Timer1_Timer();
    void mLogin_Click();
    void HilfeUeber_Click();
    void Beenden_Click();
    void BUAusst_Click();
    void Form_Unload();
    void lief_such();
    void lilief_CheckCell(int row, int column, int state);
    void BUSpeich_Click();
    void BUDruck_Click();
    void FillUpdates();

    // The clerk's review aids (menus "&Bearbeiten" and "&Ansicht").
    void NurAbweichende_Click();
    void Vorschlag_Click();
    void AlleVorschlaege_Click();
    void Rueckgaengig_Click();
    void Suchen_Click();
    void Weitersuchen_Click();

    // Window state.
    QString aktUpdate;
    QString artListKey;

    // Controls, by their names.
    QLabel *Label1 = nullptr;
    KxCombo *liupdate = nullptr;
    QLineEdit *updatebez = nullptr;
    KxList *liart = nullptr;
    QLabel *Label2 = nullptr;
    KxList *lilief = nullptr;
    QPushButton *BUDruck = nullptr;
    QPushButton *BUSpeich = nullptr;
    QPushButton *BUAusst = nullptr;
    QTimer *Timer1 = nullptr;
    QAction *mLogin = nullptr;
    QAction *Beenden = nullptr;
    QAction *HilfeUeber = nullptr;
    QAction *mVorschlag = nullptr;
    QAction *mAlleVorschlaege = nullptr;
    QAction *mRueckgaengig = nullptr;
    QAction *mNurAbweichende = nullptr;
    QAction *mSuchen = nullptr;
    QAction *mWeitersuchen = nullptr;
    FindBar *findBar = nullptr;
    QLabel *statusLine = nullptr;

    // Whether the supplier list still shows the server's state; every change of flags asks it first.
    std::unique_ptr<Freshness> freshness;
    // Shows an article from the server's rows (the refill, the live view, a stale screen).
    std::unique_ptr<ArticleDisplay> display;
    // Shows other workstations' changes while idle.
    LiveView *liveView = nullptr;
    // How many steps "Rückgängig" can take back.
    int undoDepth() const;
    // The price per base unit as the price cells' tooltips, the cheapest active offers in bold.
    void markPrices();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void buildControls();
    // The screen brought up to the server's state (a stale screen, a refused change): the rows of
    // `otherArticles`, the current article's row and its suppliers.
    void showServerState(const QStringList &otherArticles);
    // The rules and the writes of a check-cell click on a current screen.
    void changeFlag(int row, int column, int state);
    // False when nothing was changed (no current article).
    bool setMainSupplier(int row);

    // Review aids (FMStartReview.cpp).
    void buildEditMenus();
    void reviewAfterLoad(std::vector<bool> differing = {});
    void reviewAfterSave();
    // An accepted change: `before` is the article as it was; the undo stack and the display follow.
    void recordChange(std::vector<ArticleBefore> before);
    void updateStatus();

    std::unique_ptr<ArticleFilter> m_filter;
    std::unique_ptr<UndoStack> m_undo;
};
