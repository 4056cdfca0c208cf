#include "dialogs/frmAbout.h"

#include "session/CacheApi.h"
#include "dialogs/SysInfo.h"

#include <QLabel>
#include <QPainter>
#include <QPointer>
#include <QPushButton>

#ifdef Q_OS_WIN
#include <QWindow>
#endif

// Resources of a static library must be registered by hand; this has to happen outside any namespace.
static void initAboutResources() {
    Q_INIT_RESOURCE(about);
}

namespace {

QPointer<frmAbout> gAboutBox;

// The maker's contact data.
const QString kContactLabel = QStringLiteral("Kontakt:");
const QString kContactMail = QStringLiteral("erika.mustermann@korvex.example.com");
const QString kContactLink =
    QStringLiteral("<a href=\"mailto:erika.mustermann@korvex.example.com\">Erika Mustermann</a>");
const QString kWebLink = QStringLiteral("<a href=\"https://www.korvex.example.com/\">www.korvex.example.com</a>");

// A separator that looks cut into the dialog: a grey line with a white one just below and right of it.
class EtchedLine : public QWidget {
public:
    EtchedLine(QWidget *parent, QLine grey, QLine white) : QWidget(parent), m_grey(grey), m_white(white) {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        const QRect bounds =
            QRect(grey.p1(), grey.p2()).normalized().united(QRect(white.p1(), white.p2()).normalized());
        setGeometry(bounds);
        m_grey.translate(-bounds.topLeft());
        m_white.translate(-bounds.topLeft());
    }

protected:
    void paintEvent(QPaintEvent *) override {
        QPainter p(this);
        p.setPen(QColor(0x80, 0x80, 0x80));
        p.drawLine(m_grey);
        p.setPen(Qt::white);
        p.drawLine(m_white);
    }

private:
    QLine m_grey;
    QLine m_white;
};

QLabel *hyperlink(QWidget *parent, const QString &html) {
    auto *label = new QLabel(html, parent);
    label->setTextFormat(Qt::RichText);
    // Clicking opens the desktop's mail program or browser; the program does nothing of its own.
    label->setOpenExternalLinks(true);
    label->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    label->setFocusPolicy(Qt::StrongFocus);
    return label;
}

#ifdef Q_OS_WIN
// An unowned window gets a taskbar button on Windows; owned by a window that is never shown, it does not.
QWindow *hiddenOwner() {
    static QWindow *owner = [] {
        auto *w = new QWindow;
        w->create();
        return w;
    }();
    return owner;
}
#endif

} // namespace

frmAbout::frmAbout(QWidget *parent) : QDialog(parent) {
    initAboutResources();
    setObjectName(QStringLiteral("frmAbout"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("Info zu KORVEX Update Hauptlieferanten"));
    // A fixed dialog frame: title and close box, no minimise or maximise button.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(px(8250), px(3795));
    // The layout is drawn for an 8-point dialog font; with the desktop's often larger default the
    // short labels would be cut off.
    QFont small = font();
    small.setPointSize(8);
    setFont(small);
    buildControls();
#ifdef Q_OS_WIN
    if (!parent) {
        winId();
        windowHandle()->setTransientParent(hiddenOwner());
    }
#endif
}

frmAbout::~frmAbout() = default;

int frmAbout::px(int twips) const {
    const double dpi = logicalDpiX() > 0 ? logicalDpiX() : 96.0;
    return qRound(twips / 15.0 * dpi / 96.0);
}

void frmAbout::place(QWidget *w, int left, int top, int width, int height) {
    w->setGeometry(px(left), px(top), px(width), px(height));
}

void frmAbout::buildControls() {
    // Pictures and the separator first, so the labels and buttons lie above them.
    Image2 = new QLabel(this);
    Image2->setObjectName(QStringLiteral("Image2"));
    Image2->setPixmap(QPixmap(QStringLiteral(":/about/image2.png")));
    Image2->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    place(Image2, 5760, 0, 2430, 3675);

    Image1 = new QLabel(this);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setPixmap(QPixmap(QStringLiteral(":/about/image1.png")));
    Image1->setScaledContents(true);
    place(Image1, 480, 2640, 3255, 795);

    Line1 =
        new EtchedLine(this, QLine(px(90), px(2445), px(5654), px(2445)), QLine(px(105), px(2460), px(5654), px(2460)));
    Line1->setObjectName(QStringLiteral("Line1"));

    cmdOK = new QPushButton(QStringLiteral("OK"), this);
    cmdOK->setObjectName(QStringLiteral("cmdOK"));
    cmdOK->setDefault(true);
    place(cmdOK, 4245, 2760, 1260, 345);

    cmdSysInfo = new QPushButton(QStringLiteral("&Systeminfo..."), this);
    cmdSysInfo->setObjectName(QStringLiteral("cmdSysInfo"));
    place(cmdSysInfo, 4260, 3240, 1245, 345);

    Producktname = new QLabel(QStringLiteral("Produktname"), this);
    Producktname->setObjectName(QStringLiteral("Producktname"));
    Producktname->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    place(Producktname, 1080, 240, 975, 495);

    lblKontakt = new QLabel(kContactLabel, this);
    lblKontakt->setObjectName(QStringLiteral("lblKontakt"));
    place(lblKontakt, 1080, 1200, 975, 255);

    // Fonts differ from machine to machine: the captions of the left column may use the room up to
    // the right column rather than be cut off.
    for (QLabel *caption : {Producktname, lblKontakt}) {
        const int room = px(2280) - caption->x();
        caption->resize(qBound(caption->width(), caption->sizeHint().width(), room), caption->height());
    }

    lblTitle = new QLabel(QStringLiteral("KORVEX Update Hauptlieferanten"), this);
    lblTitle->setObjectName(QStringLiteral("lblTitle"));
    lblTitle->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    lblTitle->setWordWrap(true);
    QPalette black = lblTitle->palette();
    black.setColor(QPalette::WindowText, Qt::black);
    lblTitle->setPalette(black);
    place(lblTitle, 2290, 240, 3135, 495);

    lblVersion = new QLabel(this);
    lblVersion->setObjectName(QStringLiteral("lblVersion"));
    place(lblVersion, 2290, 840, 3135, 255);

    ctHyperLink1 = hyperlink(this, kContactLink);
    ctHyperLink1->setObjectName(QStringLiteral("ctHyperLink1"));
    ctHyperLink1->setToolTip(kContactMail);
    place(ctHyperLink1, 2280, 1200, 3135, 255);

    ctHyperLink2 = hyperlink(this, kWebLink);
    ctHyperLink2->setObjectName(QStringLiteral("ctHyperLink2"));
    place(ctHyperLink2, 480, 3480, 3255, 255);

    // Tab order: OK, Systeminfo, then the two links; the labels between them take no focus.
    setTabOrder(cmdOK, cmdSysInfo);
    setTabOrder(cmdSysInfo, ctHyperLink1);
    setTabOrder(ctHyperLink1, ctHyperLink2);

    connect(cmdOK, &QPushButton::clicked, this, [this] { cacheapi::RunHandler([this] { cmdOK_Click(); }); });
    connect(cmdSysInfo, &QPushButton::clicked, this, [this] { cacheapi::RunHandler([this] { cmdSysInfo_Click(); }); });
}

void frmAbout::cmdOK_Click() {
    QDialog::done(QDialog::Accepted);
}

void frmAbout::cmdSysInfo_Click() {
    StartSysInfo();
}

void frmAbout::reject() {
    cacheapi::RunHandler([this] { cmdOK_Click(); });
}

frmAbout *frmAbout::showAbout() {
    // A box already on its way out after "OK" (deleted on the next event loop turn) does not count.
    if (!gAboutBox || !gAboutBox->isVisible())
        gAboutBox = new frmAbout;
    gAboutBox->show();
    gAboutBox->raise();
    gAboutBox->activateWindow();
    return gAboutBox;
}

frmAbout *frmAbout::current() {
    return gAboutBox;
}
