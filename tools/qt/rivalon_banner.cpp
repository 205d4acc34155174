// Draws the login page's banner (727 x 237) and writes it as PNG. The committed
// src/game/resources/banner.png comes from this tool:  rivalon_banner src/game/resources/banner.png
// The window shows it unscaled in a 641 x 241 box, so everything that matters stays left of x 641.
#include <QColor>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QRandomGenerator>
#include <QTransform>

#include <cmath>
#include <cstdio>

namespace {

constexpr int kWidth = 727;
constexpr int kHeight = 237;
constexpr double kVisible = 641.0;

// One sword pointing up, hilt at the origin, blade of the given length along -y.
QPainterPath SwordPath(double blade) {
    QPainterPath p;
    p.moveTo(-5, 0);
    p.lineTo(-5, -blade + 14);
    p.lineTo(0, -blade);
    p.lineTo(5, -blade + 14);
    p.lineTo(5, 0);
    p.closeSubpath();
    return p;
}

void DrawSword(QPainter& g, QPointF hilt, double angleDeg, double blade) {
    g.save();
    g.translate(hilt);
    g.rotate(angleDeg);
    QLinearGradient steel(-5, 0, 5, 0);
    steel.setColorAt(0, QColor(0x9a, 0xa4, 0xb0));
    steel.setColorAt(0.5, QColor(0xf4, 0xf7, 0xfa));
    steel.setColorAt(1, QColor(0x6e, 0x78, 0x86));
    g.setPen(QPen(QColor(0x1a, 0x1e, 0x26), 1.2));
    g.setBrush(steel);
    g.drawPath(SwordPath(blade));
    g.setPen(QPen(QColor(0x40, 0x48, 0x55), 1));
    g.drawLine(QPointF(0, -6), QPointF(0, -blade + 16)); // fuller
    QLinearGradient gold(0, -4, 0, 4);
    gold.setColorAt(0, QColor(0xff, 0xdf, 0x7a));
    gold.setColorAt(1, QColor(0xa8, 0x6d, 0x12));
    g.setBrush(gold);
    g.setPen(QPen(QColor(0x3a, 0x24, 0x05), 1));
    g.drawRoundedRect(QRectF(-20, -4, 40, 8), 3, 3); // guard
    g.setBrush(QColor(0x4a, 0x2c, 0x1a));
    g.drawRect(QRectF(-3.5, 4, 7, 24)); // grip
    g.setBrush(gold);
    g.drawEllipse(QPointF(0, 32), 6, 6); // pommel
    g.restore();
}

// Colosseum-like rows of arches along the bottom edge.
void DrawArena(QPainter& g) {
    QPainterPath wall;
    wall.addRect(QRectF(0, 168, kWidth, kHeight - 168));
    QPainterPath arches;
    for (int row = 0; row < 2; ++row) {
        const double top = 176 + row * 30;
        const double h = 22;
        for (double x = -10 + row * 14; x < kWidth; x += 28) {
            QPainterPath a;
            a.moveTo(x, top + h);
            a.lineTo(x, top + 8);
            a.arcTo(QRectF(x, top, 16, 16), 180, -180);
            a.lineTo(x + 16, top + h);
            a.closeSubpath();
            arches.addPath(a);
        }
    }
    QLinearGradient stone(0, 160, 0, kHeight);
    stone.setColorAt(0, QColor(0x3b, 0x2c, 0x24));
    stone.setColorAt(1, QColor(0x16, 0x10, 0x0e));
    g.setPen(Qt::NoPen);
    g.setBrush(stone);
    g.drawPath(wall.subtracted(arches));
    QLinearGradient fire(0, 176, 0, kHeight);
    fire.setColorAt(0, QColor(0xff, 0x9a, 0x3c, 210));
    fire.setColorAt(1, QColor(0x8a, 0x22, 0x10, 160));
    g.setBrush(fire);
    g.drawPath(arches);
    g.setPen(QPen(QColor(0x6a, 0x4e, 0x3c), 2));
    g.drawLine(QPointF(0, 169), QPointF(kWidth, 169));
    g.setPen(QPen(QColor(0x2a, 0x1e, 0x18), 2));
    g.drawLine(QPointF(0, 203), QPointF(kWidth, 203));
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: rivalon_banner OUT.png\n");
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    int qtArgc = 1;
    QGuiApplication app(qtArgc, argv);

    QImage img(kWidth, kHeight, QImage::Format_ARGB32_Premultiplied);
    QPainter g(&img);
    g.setRenderHint(QPainter::Antialiasing);
    g.setRenderHint(QPainter::TextAntialiasing);

    // Night sky over the arena, lit from behind the title.
    QLinearGradient sky(0, 0, 0, kHeight);
    sky.setColorAt(0, QColor(0x0b, 0x10, 0x1e));
    sky.setColorAt(0.55, QColor(0x1c, 0x1a, 0x2e));
    sky.setColorAt(1, QColor(0x3a, 0x1c, 0x16));
    g.fillRect(img.rect(), sky);
    const QPointF centre(kVisible / 2, 92);
    QRadialGradient glow(centre, 300);
    glow.setColorAt(0, QColor(0xff, 0x8a, 0x2a, 120));
    glow.setColorAt(0.45, QColor(0xc0, 0x3a, 0x1a, 50));
    glow.setColorAt(1, QColor(0, 0, 0, 0));
    g.fillRect(img.rect(), glow);

    QRandomGenerator stars(20261210); // fixed: the same picture on every run
    for (int i = 0; i < 90; ++i) {
        const double x = stars.bounded(kWidth);
        const double y = stars.bounded(150);
        const int a = 60 + stars.bounded(150);
        g.setPen(Qt::NoPen);
        g.setBrush(QColor(255, 255, 240, a));
        g.drawEllipse(QPointF(x, y), 0.7 + stars.bounded(0.9), 0.7 + stars.bounded(0.9));
    }

    DrawArena(g);

    // Crossed swords behind the title.
    DrawSword(g, QPointF(centre.x() - 118, 150), 42, 200);
    DrawSword(g, QPointF(centre.x() + 118, 150), -42, 200);

    // Title.
    QFont titleFont(QStringLiteral("DejaVu Serif"), 10, QFont::Black);
    titleFont.setPixelSize(74);
    titleFont.setLetterSpacing(QFont::AbsoluteSpacing, 5);
    QPainterPath title;
    title.addText(0, 0, titleFont, QStringLiteral("RIVALON"));
    const QRectF tb = title.boundingRect();
    title.translate(centre.x() - tb.center().x(), 112 - tb.bottom());
    for (int r = 10; r >= 2; r -= 2) { // soft dark halo for legibility over the swords
        g.setPen(QPen(QColor(0, 0, 0, 28), r, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        g.setBrush(Qt::NoBrush);
        g.drawPath(title);
    }
    const QRectF tr = title.boundingRect();
    QLinearGradient gold(0, tr.top(), 0, tr.bottom());
    gold.setColorAt(0, QColor(0xff, 0xf2, 0xb0));
    gold.setColorAt(0.45, QColor(0xf2, 0xb8, 0x3a));
    gold.setColorAt(0.55, QColor(0xc8, 0x82, 0x18));
    gold.setColorAt(1, QColor(0xff, 0xd8, 0x6a));
    g.setPen(QPen(QColor(0x3a, 0x1c, 0x04), 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    g.setBrush(gold);
    g.drawPath(title);

    // Subtitle on a thin band.
    QFont sub(QStringLiteral("DejaVu Sans"), 10, QFont::Bold);
    sub.setPixelSize(13);
    sub.setLetterSpacing(QFont::AbsoluteSpacing, 3);
    const QString subtitle = QStringLiteral("ARENA  JOGADOR  CONTRA  JOGADOR");
    const QRectF band(centre.x() - 250, 124, 500, 24);
    QLinearGradient bandFill(band.left(), 0, band.right(), 0);
    bandFill.setColorAt(0, QColor(0x80, 0x10, 0x10, 0));
    bandFill.setColorAt(0.2, QColor(0x80, 0x14, 0x10, 220));
    bandFill.setColorAt(0.8, QColor(0x80, 0x14, 0x10, 220));
    bandFill.setColorAt(1, QColor(0x80, 0x10, 0x10, 0));
    g.fillRect(band, bandFill);
    g.setFont(sub);
    g.setPen(QColor(0xff, 0xec, 0xc8));
    g.drawText(band, Qt::AlignCenter, subtitle);

    g.end();
    if (!img.save(QString::fromLocal8Bit(argv[1]), "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
