#include "FMStart.h"

#include "ArticleDisplay.h"
#include "ArticleFilter.h"
#include "CacheApi.h"
#include "EntryWrites.h"
#include "Freshness.h"
#include "KxCombo.h"
#include "KxList.h"
#include "LiveView.h"
#include "MainConstants.h"
#include "MainLogic.h"
#include "ServerErrorCodes.h"
#include "TextHelpers.h"
#include "UndoStack.h"

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

void refuse(Freshness &freshness, const QString &message) {
    freshness.release(); // no lock waits for the clerk
    gDesktop->messageBox(kEditTitle, message, Desktop::Buttons::Ok, Desktop::Icon::Information);
    ThrowIfEnded();
}

// Connects a widget's signal to a handler that runs inside the handler guard.
template <typename Sender, typename Signal, typename Fn>
void guarded(Sender *sender, Signal signal, QObject *ctx, Fn fn) {
    QObject::connect(sender, signal, ctx, [fn](auto &&...) { RunHandler(fn); });
}

} // namespace

static void initAppResources() {
    Q_INIT_RESOURCE(app);
}

FMStart::FMStart(QWidget *parent) : QMainWindow(parent) {
    initAppResources(); // the pictures live in a static library
    setObjectName(QStringLiteral("FMStart"));
    setWindowTitle(QStringLiteral("KORVEX Update Hauptlieferanten"));
    setWindowIcon(QIcon(QStringLiteral(":/app/korvex.png")));
    freshness = std::make_unique<Freshness>(*this);
    display = std::make_unique<ArticleDisplay>(*this);
    buildControls();
    liveView = new LiveView(*this);
}

FMStart::~FMStart() = default;

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

void FMStart::Form_Load() {
    do {
        gLoginFailed = false;
    } while (!LoginUser());
    setWindowTitle(mainlogic::MainCaption(gFirma, gFiliale, Piece(gUserName, QStringLiteral("|"), 2)));
    ConnectServer();
    FillUpdates();
    show();
}

void FMStart::FillUpdates() {
    ServerBusy busy;
    QueryCursorPtr query = gFactory->openQuery(kClass, QStringLiteral("Updates"));
    query->execute({});
    liupdate->clear();
    while (query->next())
        liupdate->addRow(mainlogic::UpdateRow(query->column(2), query->column(3), query->column(4)));
    query->close();
}

void FMStart::liupdate_Click() {
    Timer1->start();
}

void FMStart::liupdate_LostFocus() {
    if (liupdate->text().isEmpty())
        updatebez->clear();
    updatebez->setText(Piece(liupdate->rowText(liupdate->currentRow()), kLF, 2));
}

void FMStart::Timer1_Timer() {
    Timer1->stop();
    BUSpeich->setEnabled(false);
    gDesktop->setBusyPointer(true);
    liart->setEnabled(false);
    lilief->setEnabled(false);
    BUDruck->setEnabled(false);
    BUAusst->setEnabled(false);
    aktUpdate = liupdate->text();
    liart->clear();
    {
        ServerBusy busy;
        ConnectServer();

        ServerObjectPtr list = gFactory->newInstance(kClass);
        QVariantList args{gFirma, aktUpdate};
        const QVariant reply = list->call(QStringLiteral("ArtListe"), args);
        artListKey = Piece(mainlogic::CellText(reply), QStringLiteral("|"), 1);
        list.reset();

        liveView->watch(artListKey);
        QueryCursorPtr query = gFactory->openQuery(kClass, QStringLiteral("Artikel"));
        query->execute({artListKey});
        while (query->next())
            liart->addRow(
                mainlogic::ArticleRow(query->column(2), query->column(3), query->column(4), query->column(5)));
        query->close();
    }
    liart->setEnabled(true);
    lilief->setEnabled(true);
    reviewAfterLoad();
    if (liart->rowCount() > 0)
        liart->setCurrentRow(liart->nextShownRow(-1));
    // The supplier list always belongs to the current article, also when the program chose it. It
    // is refreshed here, before pending events run below: a click still queued for the supplier list
    // of the last update must not reach suppliers that no longer belong to the current article.
    lief_such();
    liart->applyListSettings();
    BUDruck->setEnabled(true);
    BUAusst->setEnabled(true);
    gDesktop->setBusyPointer(false);
    gDesktop->processEvents();
    ThrowIfEnded();
    liart->view()->setFocus();
}

void FMStart::lief_such() {
    const int r = liart->currentRow();
    if (r < 0) {
        // No article, no suppliers: a stale list here would let a click write under the wrong article.
        Label2->clear();
        lilief->clear();
        freshness->cleared();
        return;
    }
    ServerBusy busy;
    ConnectServer();
    Label2->setText(mainlogic::SupplierHeading(liart->rowText(liart->currentRow())));
    display->showCurrent(false);
}

void FMStart::lilief_CheckCell(int row, int column, int state) {
    ConnectServer();
    // A stale screen is brought up to the server's state instead: its article row may have changed.
    if ((column == kAktiv || column == kHauptlieferant) &&
        !freshness->change([=, this] { changeFlag(row, column, state); }))
        updateStatus();
}

void FMStart::changeFlag(int row, int column, int state) {
    if (column == kAktiv) {
        const int a = lilief->checkState(row, kAktiv);
        const int h = lilief->checkState(row, kHauptlieferant);
        if (a == 0 && h == 1) {
            refuse(*freshness, QStringLiteral("Hauptlieferant muss aktiv sein"));
            lilief->setCheckState(row, kAktiv, 1);
            return;
        }
        bool anyActive = false;
        for (int i = 0; i < lilief->rowCount() && !anyActive; ++i)
            anyActive = lilief->checkState(i, kAktiv) > 0;
        if (!anyActive) {
            refuse(*freshness, QStringLiteral("Ein Lieferant muss Aktiv sein"));
            lilief->setCheckState(row, kAktiv, 1);
            return;
        }
        ConnectServer();
        const int article = liart->currentRow();
        ArticleBefore before{article, liart->rowText(article),
                             WriteEntries({{lilief->hiddenText(row), lilief->checkState(row, kAktiv) > 0, {}}}), {}};
        freshness->commit();
        recordChange({std::move(before)});
        // An "Aktiv" switch changes which offers are compared; a main-supplier change does not.
        markPrices();
        BUSpeich->setEnabled(true);
    } else if (column == kHauptlieferant) {
        if (state == 0) {
            refuse(*freshness, QStringLiteral("Ein Lieferant muss Hauptlieferant sein"));
            lilief->setCheckState(row, kHauptlieferant, 1);
            return;
        }
        if (lilief->checkState(row, kAktiv) == 0) {
            refuse(*freshness, QStringLiteral("Hauptlieferant muss aktiv sein"));
            lilief->setCheckState(row, kHauptlieferant, 0);
            return;
        }
        if (setMainSupplier(row))
            BUSpeich->setEnabled(true);
    }
}

bool FMStart::setMainSupplier(int row) {
    ServerBusy busy;
    const QString supplierText = Piece(lilief->rowText(row), kLF, 1);
    const int article = liart->currentRow();
    if (article < 0) {
        // No article, no change: the supplier list is emptied with the article, so this only
        // guards against writing suppliers without knowing whose they are.
        lilief->setCheckState(row, kHauptlieferant, 0);
        return false;
    }
    // Every entry of the article is written in the click's unit: a write failing half-way must not
    // leave the article with two main suppliers or none on the server.
    std::vector<EntryFlags> entries;
    for (int i = 0; i < lilief->rowCount(); ++i)
        entries.push_back({lilief->hiddenText(i), std::nullopt, i == row});
    ArticleBefore before{article, liart->rowText(article), WriteEntries(entries), {}};
    freshness->commit(); // stored before the screen says so and the list moves on
    for (int i = 0; i < lilief->rowCount(); ++i)
        lilief->setCheckState(i, kHauptlieferant, i == row ? 1 : 0);
    // The article row names the new main supplier only once the server holds it: a step cut off
    // with its connection must not leave a supplier on screen (and in print) that was never stored.
    liart->setRowText(article, mainlogic::ArticleRowWithMainSupplier(liart->rowText(article), supplierText));
    recordChange({std::move(before)});

    // With "Nur abweichende Artikel" on, the next article is the next one shown.
    if (const int next = liart->nextShownRow(article); next >= 0) {
        liart->setCurrentRow(next);
        lief_such();
    }
    return true;
}

void FMStart::BUSpeich_Click() {
    BUSpeich->setEnabled(false);
    gDesktop->setBusyPointer(true);
    gDesktop->processEvents();
    ThrowIfEnded();
    QString busyText;
    {
        ServerBusy busy;
        ConnectServer();
        ServerObjectPtr list = gFactory->newInstance(kClass);
        QVariantList args{gFirma, artListKey};
        try {
            list->call(QStringLiteral("Speichern"), args);
        } catch (const ServerError &error) {
            // Another workstation held the list longer than the server waits: nothing was saved, the
            // changes are still there to be saved; the program goes on as after a refused click.
            if (error.number() != kxserver::kBusy)
                throw;
            busyText = error.description();
        }
    }
    if (!busyText.isEmpty()) {
        BUSpeich->setEnabled(true);
        gDesktop->setBusyPointer(false);
        if (!display->showCurrent(true))
            lief_such();
        refuse(*freshness, busyText);
        return;
    }
    reviewAfterSave();
    gDesktop->setBusyPointer(false);
    gDesktop->processEvents();
    ThrowIfEnded();
}

void FMStart::BUDruck_Click() {
    const QDateTime now = QDateTime::currentDateTime();
    liart->setPrintTitle(mainlogic::PrintTitle(liupdate->text(), now.date(), now.time()));
    liart->print();
}

void FMStart::mLogin_Click() {
    if (showLoginDialog)
        showLoginDialog();
}

void FMStart::HilfeUeber_Click() {
    if (showAboutBox)
        showAboutBox();
}

void FMStart::Beenden_Click() {
    close();
}

void FMStart::BUAusst_Click() {
    Beenden_Click();
}

void FMStart::Form_Unload() {
    Disconnect();
    UnloadAllForms();
}

void FMStart::closeEvent(QCloseEvent *event) {
    event->accept();
    RunHandler([this] { Form_Unload(); });
}
