// Draws the installer's artwork into the given folder, so that no opaque image files need to
// live in the repository. One palette throughout: deep indigo, teal and a warm amber accent.
//
//   makeart OUTPUT_DIR     (run with QT_QPA_PLATFORM=offscreen)

#include <QDir>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QtMath>

#include <cstdio>

namespace {

const QColor Indigo(0x1d, 0x1f, 0x4f);
const QColor DeepIndigo(0x12, 0x13, 0x33);
const QColor Teal(0x1f, 0xa5, 0xa0);
const QColor LightTeal(0x8f, 0xe3, 0xd8);
const QColor Amber(0xf2, 0xa9, 0x3b);
const QColor Mist(0xee, 0xf1, 0xf6);

QFont font(int pixelSize, int weight = QFont::Normal)
{
    QFont f(QStringLiteral("DejaVu Sans"));
    f.setPixelSize(pixelSize);
    f.setWeight(weight);
    return f;
}

// A hexagon centred on c with circumradius r.
QPolygonF hexagon(QPointF c, qreal r, qreal rotation = 0)
{
    QPolygonF poly;
    for (int i = 0; i < 6; ++i) {
        const qreal a = qDegreesToRadians(60.0 * i + rotation);
        poly << QPointF(c.x() + r * qCos(a), c.y() + r * qSin(a));
    }
    return poly;
}

// The product mark: three tessellated hexagons around a bright core.
void drawMark(QPainter &p, QPointF c, qreal r)
{
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    const qreal small = r * 0.48;
    const QColor colours[3] = {Teal, LightTeal, Amber};
    for (int i = 0; i < 3; ++i) {
        const qreal a = qDegreesToRadians(120.0 * i - 90);
        const QPointF at(c.x() + small * 0.95 * qCos(a), c.y() + small * 0.95 * qSin(a));
        p.setPen(QPen(DeepIndigo, r * 0.04));
        p.setBrush(colours[i]);
        p.drawPolygon(hexagon(at, small, 30));
    }
    p.setBrush(Qt::white);
    p.setPen(Qt::NoPen);
    p.drawEllipse(c, r * 0.12, r * 0.12);
    p.restore();
}

// A field of faint hexagons, the background texture of banners and artwork.
void drawTessellation(QPainter &p, const QRectF &area, qreal r, QColor colour)
{
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(colour, 1));
    const qreal w = r * 1.5;
    const qreal h = r * qSqrt(3.0);
    int col = 0;
    for (qreal x = area.left() - r; x < area.right() + r; x += w, ++col) {
        const qreal offset = (col % 2) ? h / 2 : 0;
        for (qreal y = area.top() - h + offset; y < area.bottom() + h; y += h)
            p.drawPolygon(hexagon(QPointF(x, y), r * 0.96));
    }
    p.restore();
}

bool save(const QImage &image, const QString &dir, const char *name)
{
    const QString path = dir + QLatin1Char('/') + QLatin1String(name);
    if (!image.save(path, "PNG")) {
        std::fprintf(stderr, "makeart: cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

QImage icon(int size)
{
    QImage img(size, size, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QRadialGradient bg(QPointF(size * 0.4, size * 0.35), size * 0.75);
    bg.setColorAt(0, Indigo.lighter(130));
    bg.setColorAt(1, DeepIndigo);
    p.setBrush(bg);
    p.setPen(Qt::NoPen);
    p.drawRoundedRect(QRectF(size * 0.04, size * 0.04, size * 0.92, size * 0.92), size * 0.2,
                      size * 0.2);
    drawMark(p, QPointF(size / 2.0, size / 2.0 + size * 0.03), size * 0.42);
    return img;
}

// Banners sit at the top of each page in the wizard's modern style: the product name on the
// left, the step on the right.
QImage banner(const QString &step)
{
    const int w = 800, h = 64;
    QImage img(w, h, QImage::Format_RGB32);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    QLinearGradient bg(0, 0, w, 0);
    bg.setColorAt(0, DeepIndigo);
    bg.setColorAt(0.6, Indigo);
    bg.setColorAt(1, Teal.darker(160));
    p.fillRect(img.rect(), bg);
    drawTessellation(p, QRectF(w * 0.45, 0, w * 0.55, h), 14, QColor(255, 255, 255, 22));
    p.fillRect(QRect(0, h - 3, w, 3), Amber);

    drawMark(p, QPointF(34, h / 2.0 - 1), 22);
    p.setPen(Qt::white);
    p.setFont(font(24, QFont::Bold));
    p.drawText(QRect(64, 0, 360, h - 3), Qt::AlignVCenter | Qt::AlignLeft,
               QStringLiteral("Tessaline"));
    p.setPen(LightTeal);
    p.setFont(font(24, QFont::Light));
    const int nameWidth
            = QFontMetrics(font(24, QFont::Bold)).horizontalAdvance(QStringLiteral("Tessaline "));
    p.drawText(QRect(64 + nameWidth, 0, 300, h - 3), Qt::AlignVCenter | Qt::AlignLeft,
               QStringLiteral("Installer"));
    if (!step.isEmpty()) {
        p.setPen(Mist);
        p.setFont(font(15));
        p.drawText(QRect(w - 360, 0, 340, h - 3), Qt::AlignVCenter | Qt::AlignRight, step);
    }
    return img;
}

// Page artwork: a scene in the palette with a caption.
QImage artwork(int variant, const QString &caption)
{
    const int w = 420, h = 166;
    QImage img(w, h, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);

    QPainterPath card;
    card.addRoundedRect(QRectF(1, 1, w - 2, h - 2), 14, 14);
    QLinearGradient bg(0, 0, w, h);
    bg.setColorAt(0, Indigo);
    bg.setColorAt(1, DeepIndigo);
    p.fillPath(card, bg);
    p.setClipPath(card);
    drawTessellation(p, QRectF(0, 0, w, h), 18, QColor(255, 255, 255, 18));

    // Each variant lights a different constellation of cells, like tiles being rendered.
    const QColor accents[4] = {Teal, Amber, LightTeal, Teal.lighter(120)};
    const qreal r = 18, cw = r * 1.5, ch = r * qSqrt(3.0);
    for (int col = 0; col < 18; ++col) {
        for (int row = 0; row < 8; ++row) {
            const int seed = (col * 7 + row * 13 + variant * 5) % 11;
            if (seed > 2)
                continue;
            const QPointF c(col * cw, row * ch + ((col % 2) ? ch / 2 : 0));
            QColor fill = accents[(col + row + variant) % 4];
            fill.setAlpha(60 + 50 * seed);
            p.setPen(Qt::NoPen);
            p.setBrush(fill);
            p.drawPolygon(hexagon(c, r * 0.9));
        }
    }
    p.setClipping(false);

    // Caption on a soft band.
    p.fillRect(QRectF(0, h - 40, w, 40), QColor(18, 19, 51, 200));
    p.setPen(Qt::white);
    p.setFont(font(16, QFont::DemiBold));
    p.drawText(QRect(20, h - 40, w - 40, 40), Qt::AlignVCenter | Qt::AlignLeft, caption);
    return img;
}

QImage finishArt()
{
    QImage img = artwork(2, QStringLiteral("Your Tessaline products are installed"));
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    const QPointF c(img.width() / 2.0, 62);
    p.setBrush(Teal);
    p.setPen(QPen(Qt::white, 4));
    p.drawEllipse(c, 38, 38);
    QPainterPath tick;
    tick.moveTo(c.x() - 20, c.y() + 1);
    tick.lineTo(c.x() - 5, c.y() + 16);
    tick.lineTo(c.x() + 22, c.y() - 14);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(Qt::white, 8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPath(tick);
    return img;
}

QImage oldCpu()
{
    const int s = 64;
    QImage img(s, s, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    // A processor package with its pins...
    p.setPen(QPen(Indigo, 3));
    for (int i = 0; i < 4; ++i) {
        const int at = 16 + i * 10;
        p.drawLine(at, 4, at, 12);
        p.drawLine(at, 52, at, 60);
        p.drawLine(4, at, 12, at);
        p.drawLine(52, at, 60, at);
    }
    p.setBrush(Indigo);
    p.drawRoundedRect(QRectF(11, 11, 42, 42), 5, 5);
    // ...and a warning sign on it.
    QPolygonF warning;
    warning << QPointF(32, 17) << QPointF(47, 44) << QPointF(17, 44);
    p.setPen(QPen(Amber.darker(120), 2));
    p.setBrush(Amber);
    p.drawPolygon(warning);
    p.setPen(QPen(DeepIndigo, 3, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(32, 25), QPointF(32, 35));
    p.drawPoint(QPointF(32, 40));
    return img;
}

} // namespace

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: makeart OUTPUT_DIR\n");
        return 2;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(dir);

    bool ok = true;
    ok &= save(icon(256), dir, "tessinstaller.png");
    ok &= save(banner(QString()), dir, "banner.png");
    ok &= save(banner(QStringLiteral("Sign in")), dir, "signInBanner.png");
    ok &= save(banner(QStringLiteral("Choose your products")), dir, "selectionBanner.png");
    ok &= save(banner(QStringLiteral("Download and install")), dir, "downloadBanner.png");
    ok &= save(banner(QStringLiteral("All done")), dir, "finishedBanner.png");
    ok &= save(finishArt(), dir, "finish-1.png");
    ok &= save(oldCpu(), dir, "oldcpu.png");
    ok &= save(artwork(0, QStringLiteral("Rendering, tile by tile")), dir, "whileUWait-1.png");
    ok &= save(artwork(1, QStringLiteral("Bridges for Maya, Houdini and Katana")), dir,
               "whileUWait-2.png");
    ok &= save(artwork(2, QStringLiteral("One Workserver for the whole studio")), dir,
               "whileUWait-3.png");
    ok &= save(artwork(3, QStringLiteral("Almost there")), dir, "whileUWait-4.png");
    return ok ? 0 : 1;
}
