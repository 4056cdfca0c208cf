// The main window's controls: where they stand, what they say, which handler each one calls.
#include "app/FMStart.h"

#include "app/ArticleDisplay.h"
#include "app/review/ArticleFilter.h"
#include "session/CacheApi.h"
#include "app/EntryWrites.h"
#include "app/Freshness.h"
#include "app/controls/KxCombo.h"
#include "app/controls/KxList.h"
#include "app/LiveView.h"
#include "app/review/MainConstants.h"
#include "app/review/MainLogic.h"
#include "session/ServerErrorCodes.h"
#include "text/TextHelpers.h"
#include "app/review/UndoStack.h"

#include <QAction>
#include <QCloseEvent>
#include <QDateTime>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QTimer>

using namespace cacheapi;

namespace {

// Layouts are drawn in twips: 15 to the pixel at 96 dots per inch.
int px(const QWidget *w, int twips) {
    const double dpi = w->logicalDpiX() > 0 ? w->logicalDpiX() : 96.0;
    return qRound(twips / 15.0 * dpi / 96.0);
}

void place(QWidget *w, int left, int top, int width, int height) {
    w->setGeometry(px(w, left), px(w, top), px(w, width), px(w, height));
}

// Connects a widget's signal to a handler that runs inside the handler guard.
template <typename Sender, typename Signal, typename Fn>
void guarded(Sender *sender, Signal signal, QObject *ctx, Fn fn) {
    QObject::connect(sender, signal, ctx, [fn](auto &&...) { RunHandler(fn); });
}

} // namespace

void FMStart::buildControls() {
    auto *client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    setCentralWidget(client);

    // Created in tab order; the labels and the display field come after the controls one works with.
    liupdate = new KxCombo(client);
    liupdate->setObjectName(QStringLiteral("liupdate"));
    liupdate->setColumns({QStringLiteral("Nr."), QStringLiteral("Bezeichnung"), QStringLiteral("Datum")},
                         {75, 250, 100});
    place(liupdate, 1080, 240, 975, 300);

    liart = new KxList(client);
    liart->setObjectName(QStringLiteral("liart"));
    liart->setColumns({QStringLiteral("Art.Nr"), QStringLiteral("Bezeichnung"), QStringLiteral("Haupt-Lief"),
                       QStringLiteral("VELKA-Haupt-Lief")},
                      {75, 250, 200, 200});
    place(liart, 360, 720, 11295, 4095);

    lilief = new KxList(client);
    lilief->setObjectName(QStringLiteral("lilief"));
    lilief->setColumns({QStringLiteral("Lieferant"), QStringLiteral("EK-Netto  "), QStringLiteral("per"),
                        QStringLiteral("le. Einkauf"), QStringLiteral("Aktiv"), QStringLiteral("Hauptlieferant")},
                       {200, 70, 75, 75, 50, 75});
    lilief->setCheckColumns({kAktiv, kHauptlieferant});
    // A price and a date always show whole, also in the bold row of the cheapest offer.
    lilief->setWholeTexts({{2, QStringLiteral("99.999,99 €")}, {4, QStringLiteral("00.00.0000")}});
    place(lilief, 360, 5280, 8775, 3375);

    BUSpeich = new QPushButton(QStringLiteral("Speichern"), client);
    BUSpeich->setObjectName(QStringLiteral("BUSpeich"));
    BUSpeich->setEnabled(false);
    place(BUSpeich, 9960, 7440, 1215, 375);

    BUAusst = new QPushButton(QStringLiteral("Ausstieg"), client);
    BUAusst->setObjectName(QStringLiteral("BUAusst"));
    place(BUAusst, 9960, 8160, 1215, 375);

    BUDruck = new QPushButton(QStringLiteral("Drucken"), client);
    BUDruck->setObjectName(QStringLiteral("BUDruck"));
    place(BUDruck, 9960, 6720, 1215, 375);

    updatebez = new QLineEdit(client);
    updatebez->setObjectName(QStringLiteral("updatebez"));
    updatebez->setEnabled(false);
    place(updatebez, 2040, 240, 5055, 285);

    Label1 = new QLabel(QStringLiteral("Update:"), client);
    Label1->setObjectName(QStringLiteral("Label1"));
    place(Label1, 360, 240, 1095, 255);
    Label1->lower(); // it overlaps the combo in the layout; clicks belong to the combo

    Label2 = new QLabel(client);
    Label2->setObjectName(QStringLiteral("Label2"));
    // Article texts come from the server: a description with "<" in it is text, never markup.
    Label2->setTextFormat(Qt::PlainText);
    QFont bold = Label2->font();
    bold.setBold(true);
    bold.setPointSize(12);
    Label2->setFont(bold);
    place(Label2, 360, 4920, 11295, 255);

    setTabOrder(liupdate, liart->view());
    setTabOrder(liart->view(), lilief->view());
    setTabOrder(lilief->view(), BUSpeich);
    setTabOrder(BUSpeich, BUAusst);
    setTabOrder(BUAusst, BUDruck);

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(10);
    Timer1->setSingleShot(true);

    QMenu *datei = menuBar()->addMenu(QStringLiteral("&Datei"));
    datei->setObjectName(QStringLiteral("Datei"));
    mLogin = datei->addAction(QStringLiteral("&Login"));
    mLogin->setObjectName(QStringLiteral("mLogin"));
    datei->addSeparator()->setObjectName(QStringLiteral("nil"));
    Beenden = datei->addAction(QStringLiteral("&Beenden"));
    Beenden->setObjectName(QStringLiteral("Beenden"));
    buildEditMenus();
    QMenu *hilfe = menuBar()->addMenu(QStringLiteral("&Hilfe"));
    hilfe->setObjectName(QStringLiteral("Hilfe"));
    HilfeUeber = hilfe->addAction(QStringLiteral("Hilfe &über ..."));
    HilfeUeber->setObjectName(QStringLiteral("HilfeUeber"));
    HilfeUeber->setShortcut(QKeySequence(Qt::Key_F1));
    HilfeUeber->setShortcutContext(Qt::ApplicationShortcut);

    guarded(liupdate, &KxCombo::picked, this, [this] { liupdate_Click(); });
    guarded(liupdate, &KxCombo::focusLost, this, [this] { liupdate_LostFocus(); });
    guarded(Timer1, &QTimer::timeout, this, [this] { Timer1_Timer(); });
    guarded(liart, &KxList::rowChanged, this, [this] { lief_such(); });
    guarded(liart, &KxList::rowClicked, this, [this] { lief_such(); });
    connect(lilief, &KxList::checkCellChanged, this, [this](int row, int column, int state) {
        RunHandler([=, this] { lilief_CheckCell(row, column, state); });
    });
    guarded(BUSpeich, &QPushButton::clicked, this, [this] { BUSpeich_Click(); });
    guarded(BUDruck, &QPushButton::clicked, this, [this] { BUDruck_Click(); });
    guarded(BUAusst, &QPushButton::clicked, this, [this] { BUAusst_Click(); });
    guarded(mLogin, &QAction::triggered, this, [this] { mLogin_Click(); });
    guarded(Beenden, &QAction::triggered, this, [this] { Beenden_Click(); });
    guarded(HilfeUeber, &QAction::triggered, this, [this] { HilfeUeber_Click(); });

    // The client area is 11745 x 8760 twips; the menu bar comes on top of it, the status bar below.
    // The status bar has a fixed height of 375 twips, whatever it shows (the find bar included): the
    // window's height is then the menu bar, the client area and this, and the client area never moves.
    const QSize clientSize(px(this, 11745), px(this, 8760));
    statusBar()->setFixedHeight(px(this, 375));
    resize(clientSize.width(), clientSize.height() + menuBar()->sizeHint().height() + statusBar()->height());
    if (const QScreen *s = screen())
        move(s->availableGeometry().center() - rect().center());
}
