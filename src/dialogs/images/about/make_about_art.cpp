// Draws the About box's two pictures. Not part of the build; run it by hand when the artwork changes:
//   g++ -std=c++20 -fPIC make_about_art.cpp $(pkg-config --cflags --libs Qt6Gui) -o /tmp/make_about_art
//   QT_QPA_PLATFORM=offscreen /tmp/make_about_art <this folder>

#include <QDir>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace {

const QColor kNavy(0x1d, 0x3a, 0x6b);
const QColor kTeal(0x2a, 0x8c, 0x9e);
const QColor kBrick(0xb5, 0x4a, 0x2c);
const QColor kSand(0xe8, 0xd9, 0xb5);

// The maker's emblem: a rounded square with "KX", at any size.
void drawEmblem(QPainter &p, const QRectF &r) {
    QLinearGradient g(r.topLeft(), r.bottomRight());
    g.setColorAt(0, kTeal);
    g.setColorAt(1, kNavy);
    p.setPen(Qt::NoPen);
    p.setBrush(g);
    p.drawRoundedRect(r, r.width() * 0.18, r.width() * 0.18);
    QFont f(QStringLiteral("DejaVu Sans"));
    f.setBold(true);
    f.setPixelSize(int(r.height() * 0.5));
    p.setFont(f);
    p.setPen(Qt::white);
    p.drawText(r, Qt::AlignCenter, QStringLiteral("KX"));
}

// A wall of bricks in running bond.
void drawWall(QPainter &p, const QRectF &area, double brickW, double brickH) {
    p.save();
    p.setClipRect(area);
    p.setPen(QPen(kSand, 2));
    int row = 0;
    for (double y = area.top(); y < area.bottom(); y += brickH, ++row) {
        const double shift = (row % 2) ? -brickW / 2 : 0;
        for (double x = area.left() + shift; x < area.right(); x += brickW) {
            const int shade = ((row * 7 + int(x)) % 3) * 10;
            p.setBrush(kBrick.darker(100 + shade));
            p.drawRect(QRectF(x, y, brickW, brickH));
        }
    }
    p.restore();
}

QImage portrait() {
    QImage img(162, 245, QImage::Format_RGB32);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient sky(0, 0, 0, 245);
    sky.setColorAt(0, kNavy);
    sky.setColorAt(1, kTeal);
    p.fillRect(img.rect(), sky);

    // A small warehouse on a wall of bricks.
    QPainterPath roof;
    roof.moveTo(20, 120);
    roof.lineTo(81, 70);
    roof.lineTo(142, 120);
    roof.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(kSand);
    p.drawPath(roof);
    drawWall(p, QRectF(20, 120, 122, 80), 24, 10);
    p.setBrush(kNavy.darker(130));
    p.drawRect(QRectF(66, 160, 30, 40));

    drawEmblem(p, QRectF(56, 16, 50, 50));
    QFont f(QStringLiteral("DejaVu Sans"));
    f.setBold(true);
    f.setPixelSize(16);
    p.setFont(f);
    p.setPen(Qt::white);
    p.drawText(QRectF(0, 208, 162, 30), Qt::AlignCenter, QStringLiteral("KORVEX"));
    return img;
}

QImage banner() {
    QImage img(1089, 317, QImage::Format_RGB32);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    p.fillRect(img.rect(), Qt::white);
    drawWall(p, QRectF(0, 277, 1089, 40), 80, 20);
    drawEmblem(p, QRectF(40, 40, 200, 200));

    QFont big(QStringLiteral("DejaVu Sans"));
    big.setBold(true);
    big.setPixelSize(150);
    big.setLetterSpacing(QFont::AbsoluteSpacing, 8);
    p.setFont(big);
    p.setPen(kNavy);
    p.drawText(QRectF(280, 20, 800, 180), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("KORVEX"));

    QFont small(QStringLiteral("DejaVu Sans"));
    small.setPixelSize(42);
    p.setFont(small);
    p.setPen(kTeal.darker(120));
    p.drawText(QRectF(286, 190, 800, 60), Qt::AlignLeft | Qt::AlignVCenter,
               QString::fromUtf8("Baustoffhandel \u00b7 Warenwirtschaft"));
    return img;
}

} // namespace

int main(int argc, char **argv) {
    QGuiApplication app(argc, argv);
    const QDir out(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("."));
    const bool ok = portrait().save(out.filePath(QStringLiteral("image2.png"))) &&
                    banner().save(out.filePath(QStringLiteral("image1.png")));
    return ok ? 0 : 1;
}
