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

#include <array>
#include <utility>
#include <vector>

using namespace cacheapi;

static void initAppResources() {
    Q_INIT_RESOURCE(app);
}

FMStart::FMStart(QWidget *parent) : QMainWindow(parent) {
    initAppResources(); // the pictures live in a static library
    setObjectName(QStringLiteral("FMStart"));
    setWindowTitle(QStringLiteral("KORVEX Update Hauptlieferanten"));
    setWindowIcon(QIcon(QStringLiteral(":/app/korvex.png")));
    buildControls();
    // The collaborators get what they need, never the window: calls go one way, from the live view
    // to the display to the freshness question, and back to the window only through what it handed.
    freshness = std::make_unique<Freshness>(*liart, artListKey,
                                            [this](const QStringList &others) { showServerState(others); });
    display = std::make_unique<ArticleDisplay>(*liart, *lilief, artListKey, *freshness, [this] { markPrices(); });
    liveView = new LiveView(this, *liart, artListKey, *display);
}

void FMStart::showServerState(const QStringList &otherArticles) {
    display->showRows(otherArticles);
    // The article row and the supplier cells in one read; a list whose entries changed is refilled.
    if (liart->currentRow() >= 0 && !display->showCurrent(true))
        lief_such();
}

FMStart::~FMStart() = default;

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
    std::vector<bool> differing; // each row's filter mark, known while it is built
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
        mainlogic::ArticleRows rows;
        std::array<QString, 4> texts; // number, description, main supplier, proposed main supplier
        while (query->next()) {
            query->columnTexts(2, texts);
            liart->addRow(rows(texts[0], texts[1], texts[2], texts[3]));
        }
        query->close();
        differing = rows.takeDiffers();
    }
    liart->setEnabled(true);
    lilief->setEnabled(true);
    reviewAfterLoad(std::move(differing));
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
        freshness->refuse(busyText);
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
