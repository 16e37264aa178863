// Draws every picture of the program: the app icon in seven sizes, the button icons, the logo
// and the tray animation. Run by scripts/draw-pictures; writes into the directory it is given.
//
// One motif throughout: a white paper plane on blue, with a green trail.

#include <QDir>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QTextStream>

#include <cmath>
#include <numbers>

namespace {

const QColor kDeepBlue(0x0b, 0x3d, 0x91);
const QColor kBlue(0x1f, 0x6f, 0xdb);
const QColor kSky(0x4d, 0xa8, 0xf0);
const QColor kGreen(0x2b, 0xb6, 0x73);
const QColor kLime(0x8b, 0xe0, 0x6a);
const QColor kPaper(0xff, 0xff, 0xff);
const QColor kPaperShade(0xc9, 0xdc, 0xf2);
const QColor kRed(0xd9, 0x3b, 0x3b);

QImage canvas(int width, int height)
{
    QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    return image;
}

bool save(const QImage& image, const QString& path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    if (!image.convertToFormat(QImage::Format_ARGB32).save(path, "PNG")) {
        QTextStream(stderr) << "cannot write " << path << "\n";
        return false;
    }
    return true;
}

// The paper plane in a unit box, nose at the right. Wing and keel are separate so that they
// can be shaded apart.
struct Plane
{
    QPainterPath wing;
    QPainterPath keel;
    QPainterPath crease;
};

Plane planeShape()
{
    const QPointF nose(1.0, 0.36);
    const QPointF tail(0.0, 0.0);
    const QPointF fold(0.34, 0.60);
    const QPointF keelTip(0.46, 1.0);
    const QPointF lowerTail(0.06, 0.50);

    Plane plane;
    plane.wing.moveTo(nose);
    plane.wing.lineTo(tail);
    plane.wing.lineTo(lowerTail);
    plane.wing.lineTo(fold);
    plane.wing.closeSubpath();
    plane.keel.moveTo(nose);
    plane.keel.lineTo(fold);
    plane.keel.lineTo(keelTip);
    plane.keel.closeSubpath();
    plane.crease.moveTo(nose);
    plane.crease.lineTo(QPointF(0.22, 0.40));
    return plane;
}

// Draws the plane turned by angle degrees about its centre, inside the circle that rect
// encloses: the plane's size does not depend on the angle, so a turning plane keeps its size.
void drawPlane(QPainter& p, const QRectF& rect, double angle, const QColor& wing,
               const QColor& keel, const QColor& outline, double outlineWidth)
{
    const Plane plane = planeShape();
    const QPainterPath body = plane.wing.united(plane.keel);
    const QPointF centre = body.boundingRect().center();
    double radius = 0;
    for (int i = 0; i < body.elementCount(); ++i) {
        const QPointF corner = QPointF(body.elementAt(i)) - centre;
        radius = std::max(radius, std::hypot(corner.x(), corner.y()));
    }
    const double scale = (std::min(rect.width(), rect.height()) - outlineWidth) / (2 * radius);
    p.save();
    p.translate(rect.center());
    p.scale(scale, scale);
    p.rotate(angle);
    p.translate(-centre);
    QPen pen(outline, outlineWidth / scale);
    pen.setJoinStyle(Qt::RoundJoin);
    p.setPen(outlineWidth > 0 ? pen : Qt::NoPen);
    p.setBrush(keel);
    p.drawPath(plane.keel);
    p.setBrush(wing);
    p.drawPath(plane.wing);
    if (scale >= 24) {
        p.setPen(QPen(keel.darker(115), 0.9 / scale));
        p.drawPath(plane.crease);
    }
    p.restore();
}

// The green trail behind the plane: a curve from the lower left that ends at the tail.
void drawTrail(QPainter& p, const QPointF& from, const QPointF& via, const QPointF& to,
               double width, double dashOffset)
{
    QPainterPath trail(from);
    trail.quadTo(via, to);
    QPen pen(kGreen, width, Qt::CustomDashLine, Qt::RoundCap);
    pen.setDashPattern({1.2, 1.6});
    pen.setDashOffset(dashOffset);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    p.drawPath(trail);
}

// The rounded blue tile that carries the app icon.
void drawTile(QPainter& p, double size)
{
    const double margin = size <= 16 ? 0.5 : size * 0.04;
    const QRectF tile(margin, margin, size - 2 * margin, size - 2 * margin);
    const double radius = size * 0.22;
    QLinearGradient fill(tile.topLeft(), tile.bottomRight());
    fill.setColorAt(0.0, kSky);
    fill.setColorAt(0.55, kBlue);
    fill.setColorAt(1.0, kDeepBlue);
    p.setPen(size >= 32 ? QPen(kDeepBlue.darker(120), size / 64.0) : Qt::NoPen);
    p.setBrush(fill);
    p.drawRoundedRect(tile, radius, radius);

    if (size >= 32) {
        // A soft highlight over the upper half gives the tile some depth.
        QPainterPath shine;
        shine.addRoundedRect(tile.adjusted(size * 0.03, size * 0.03, -size * 0.03, -size * 0.5),
                             radius * 0.8, radius * 0.8);
        QLinearGradient gloss(tile.topLeft(), QPointF(tile.left(), tile.center().y()));
        gloss.setColorAt(0.0, QColor(255, 255, 255, 70));
        gloss.setColorAt(1.0, QColor(255, 255, 255, 0));
        p.setPen(Qt::NoPen);
        p.setBrush(gloss);
        p.drawPath(shine);
    }
}

QImage appIcon(int size)
{
    QImage image = canvas(size, size);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const double s = size;
    drawTile(p, s);
    if (size >= 32) {
        drawTrail(p, QPointF(s * 0.16, s * 0.86), QPointF(s * 0.24, s * 0.58),
                  QPointF(s * 0.42, s * 0.56), std::max(1.5, s * 0.055), 0);
    }
    const double planeSize = size >= 32 ? s * 0.84 : s * 0.98;
    const QRectF planeRect(s * 0.5 - planeSize * 0.5 + (size >= 32 ? s * 0.06 : 0),
                           s * 0.5 - planeSize * 0.5 - (size >= 32 ? s * 0.04 : 0), planeSize,
                           planeSize);
    drawPlane(p, planeRect, -24, kPaper, size >= 32 ? kPaperShade : kSky.lighter(130),
              QColor(0, 0, 0, 0), 0);
    return image;
}

// The send button: the plane alone, blue on the button face, with its trail.
QImage sendIcon(int size)
{
    QImage image = canvas(size, size);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const double s = size;
    if (size >= 32) {
        drawTrail(p, QPointF(s * 0.04, s * 0.94), QPointF(s * 0.10, s * 0.62),
                  QPointF(s * 0.32, s * 0.60), std::max(1.6, s * 0.06), 0);
    }
    const double planeSize = size >= 32 ? s * 1.0 : s * 0.98;
    const QRectF rect =
        size >= 32 ? QRectF(s - planeSize - s * 0.02, s * 0.5 - planeSize * 0.5 - s * 0.04,
                            planeSize, planeSize)
                   : QRectF((s - planeSize) / 2, (s - planeSize) / 2, planeSize, planeSize);
    drawPlane(p, rect, -24, kSky.lighter(105), kBlue, kDeepBlue, std::max(1.0, s / 24.0));
    return image;
}

// A sheet of paper with written lines.
void drawSheet(QPainter& p, const QRectF& sheet, double s)
{
    const double corner = sheet.width() * 0.3;
    QPainterPath page;
    page.moveTo(sheet.topLeft());
    page.lineTo(sheet.right() - corner, sheet.top());
    page.lineTo(sheet.right(), sheet.top() + corner);
    page.lineTo(sheet.bottomRight());
    page.lineTo(sheet.bottomLeft());
    page.closeSubpath();
    QLinearGradient paper(sheet.topLeft(), sheet.bottomRight());
    paper.setColorAt(0, kPaper);
    paper.setColorAt(1, QColor(0xe6, 0xef, 0xfa));
    p.setPen(QPen(kDeepBlue, s / 24.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(paper);
    p.drawPath(page);

    QPainterPath dogEar;
    dogEar.moveTo(sheet.right() - corner, sheet.top());
    dogEar.lineTo(sheet.right() - corner, sheet.top() + corner);
    dogEar.lineTo(sheet.right(), sheet.top() + corner);
    p.setBrush(kPaperShade);
    p.drawPath(dogEar);

    p.setPen(QPen(kSky, s / 16.0, Qt::SolidLine, Qt::RoundCap));
    const double left = sheet.left() + sheet.width() * 0.2;
    for (int i = 0; i < 4; ++i) {
        const double y = sheet.top() + sheet.height() * (0.38 + i * 0.16);
        const double right = sheet.right() - sheet.width() * (i == 3 ? 0.45 : 0.2);
        p.drawLine(QPointF(left, y), QPointF(right, y));
    }
}

// The clear button: the message sheet with a red cross badge.
QImage clearIcon(int size)
{
    QImage image = canvas(size, size);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const double s = size;
    drawSheet(p, QRectF(s * 0.12, s * 0.06, s * 0.58, s * 0.78), s);

    const QPointF centre(s * 0.70, s * 0.72);
    const double r = s * 0.22;
    QRadialGradient badge(centre - QPointF(r * 0.3, r * 0.3), r * 1.3);
    badge.setColorAt(0, kRed.lighter(130));
    badge.setColorAt(1, kRed.darker(110));
    p.setPen(QPen(kPaper, s / 20.0));
    p.setBrush(badge);
    p.drawEllipse(centre, r, r);
    const double d = r * 0.45;
    p.setPen(QPen(kPaper, s / 12.0, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(centre + QPointF(-d, -d), centre + QPointF(d, d));
    p.drawLine(centre + QPointF(-d, d), centre + QPointF(d, -d));
    return image;
}

// The send-my-address button: a screen showing "IP" with a small green plane leaving it.
QImage sendIpIcon(int size)
{
    QImage image = canvas(size, size);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const double s = size;
    const QRectF screen(s * 0.06, s * 0.22, s * 0.66, s * 0.48);

    // Stand first, so that the screen overlaps it.
    p.setPen(Qt::NoPen);
    p.setBrush(kDeepBlue);
    QPainterPath stand;
    stand.moveTo(screen.center().x() - s * 0.06, screen.bottom());
    stand.lineTo(screen.center().x() + s * 0.06, screen.bottom());
    stand.lineTo(screen.center().x() + s * 0.10, s * 0.86);
    stand.lineTo(screen.center().x() - s * 0.10, s * 0.86);
    stand.closeSubpath();
    p.drawPath(stand);
    p.drawRoundedRect(QRectF(screen.center().x() - s * 0.2, s * 0.84, s * 0.4, s * 0.07), s * 0.03,
                      s * 0.03);

    QLinearGradient glass(screen.topLeft(), screen.bottomRight());
    glass.setColorAt(0, kSky);
    glass.setColorAt(1, kBlue);
    p.setPen(QPen(kDeepBlue, s / 16.0, Qt::SolidLine, Qt::SquareCap, Qt::RoundJoin));
    p.setBrush(glass);
    p.drawRoundedRect(screen, s * 0.05, s * 0.05);

    QFont font(QStringLiteral("DejaVu Sans"));
    font.setBold(true);
    font.setPixelSize(qRound(s * 0.30));
    p.setFont(font);
    p.setPen(kPaper);
    p.drawText(screen, Qt::AlignCenter, QStringLiteral("IP"));

    drawPlane(p, QRectF(s * 0.52, s * 0.0, s * 0.48, s * 0.48), -24, kLime, kGreen,
              kGreen.darker(150), s / 32.0);
    return image;
}

// The help button: a blue disc with a question mark and a green ring.
QImage helpIcon(int size)
{
    QImage image = canvas(size, size);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const double s = size;
    const QPointF centre(s / 2, s / 2);
    const double r = s * 0.44;
    p.setPen(QPen(kGreen, s * 0.07));
    QRadialGradient disc(centre - QPointF(r * 0.35, r * 0.4), r * 1.4);
    disc.setColorAt(0, kSky);
    disc.setColorAt(0.6, kBlue);
    disc.setColorAt(1, kDeepBlue);
    p.setBrush(disc);
    p.drawEllipse(centre, r, r);

    QFont font(QStringLiteral("DejaVu Sans"));
    font.setBold(true);
    font.setPixelSize(qRound(s * 0.62));
    p.setFont(font);
    p.setPen(kPaper);
    p.drawText(QRectF(0, s * 0.02, s, s), Qt::AlignCenter, QStringLiteral("?"));
    return image;
}

// The logo: the app mark, the word, a tagline and a trail across the band.
QImage logo()
{
    const int width = 411;
    const int height = 92;
    QImage image = canvas(width, height);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);

    QLinearGradient band(0, 0, 0, height);
    band.setColorAt(0, QColor(0xf4, 0xf9, 0xff));
    band.setColorAt(1, QColor(0xd6, 0xe8, 0xfb));
    p.fillRect(image.rect(), band);
    p.setPen(QPen(kGreen, 4));
    p.drawLine(QPointF(0, height - 2), QPointF(width, height - 2));

    const QImage mark = appIcon(72);
    p.drawImage(QPointF(12, 8), mark);

    QFont word(QStringLiteral("Liberation Sans"));
    word.setBold(true);
    word.setPixelSize(58);
    word.setLetterSpacing(QFont::AbsoluteSpacing, 1.0);
    QPainterPath text;
    text.addText(QPointF(98, 58), word, QStringLiteral("Vorelin"));
    QLinearGradient ink(0, 10, 0, 60);
    ink.setColorAt(0, kBlue);
    ink.setColorAt(1, kDeepBlue);
    p.setPen(Qt::NoPen);
    p.setBrush(ink);
    p.drawPath(text);

    // The plane leaves the word on a dotted path towards the upper right.
    const double wordEnd = text.boundingRect().right();
    QPainterPath trail(QPointF(wordEnd + 6, 58));
    trail.cubicTo(QPointF(wordEnd + 30, 62), QPointF(wordEnd + 50, 50), QPointF(372, 32));
    QPen dots(kGreen, 3.2, Qt::CustomDashLine, Qt::RoundCap);
    dots.setDashPattern({0.1, 2.6});
    p.setPen(dots);
    p.setBrush(Qt::NoBrush);
    p.drawPath(trail);
    drawPlane(p, QRectF(360, 2, 48, 48), -28, kSky.lighter(105), kBlue, kDeepBlue, 1.6);

    QFont tagline(QStringLiteral("DejaVu Sans"));
    tagline.setPixelSize(13);
    tagline.setBold(true);
    tagline.setLetterSpacing(QFont::AbsoluteSpacing, 0.6);
    p.setFont(tagline);
    p.setPen(kGreen.darker(125));
    p.drawText(QPointF(102, 80), QStringLiteral("mensajes en la red local"));
    return image;
}

// One frame of the tray animation at phase t in [0, 1): the plane bobs and tilts over a blue
// disc while the dots of its trail stream away behind it. Everything is periodic in t, so the
// last frame leads smoothly into the first.
QImage trayFrame(double t)
{
    const int size = 32;
    QImage image = canvas(size, size);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const double turn = 2 * std::numbers::pi * t;

    QRadialGradient disc(QPointF(12, 10), 22);
    disc.setColorAt(0, kSky);
    disc.setColorAt(0.6, kBlue);
    disc.setColorAt(1, kDeepBlue);
    p.setPen(QPen(kDeepBlue.darker(130), 1));
    p.setBrush(disc);
    p.drawEllipse(QRectF(1, 1, 30, 30));

    const double bob = 2.2 * std::sin(turn);
    const double tilt = -22 + 7 * std::cos(turn);
    const QPointF planeCentre(17.5, 15 + bob);

    // Three trail dots move from the plane's tail down to the lower left and fade out.
    p.setPen(Qt::NoPen);
    for (int i = 0; i < 3; ++i) {
        const double u = std::fmod(t * 3 + i / 3.0 * 3, 3.0) / 3.0; // 0 at the tail, 1 gone
        const QPointF tail(planeCentre.x() - 7, planeCentre.y() + 5);
        const QPointF far(5, 27);
        const QPointF at = tail + (far - tail) * u;
        QColor dot = kLime;
        dot.setAlphaF(1.0 - 0.8 * u);
        p.setBrush(dot);
        const double r = 2.6 - 1.4 * u;
        p.drawEllipse(at, r, r);
    }

    drawPlane(p, QRectF(planeCentre.x() - 13, planeCentre.y() - 13, 26, 26), tilt, kPaper,
              kPaperShade, kDeepBlue, 0.8);
    return image;
}

} // namespace

int main(int argc, char* argv[])
{
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        QTextStream(stderr) << "usage: draw-pictures RESOURCES-DIR\n";
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    bool ok = true;
    for (int size : {16, 24, 32, 48, 64, 128, 256})
        ok &= save(appIcon(size), out.filePath(QStringLiteral("icons/vorelin-%1.png").arg(size)));
    for (int size : {16, 32, 48})
        ok &= save(sendIcon(size), out.filePath(QStringLiteral("icons/send-%1.png").arg(size)));
    ok &= save(clearIcon(32), out.filePath(QStringLiteral("icons/clear-32.png")));
    ok &= save(sendIpIcon(32), out.filePath(QStringLiteral("icons/send-ip-32.png")));
    ok &= save(helpIcon(32), out.filePath(QStringLiteral("icons/help-32.png")));
    ok &= save(logo(), out.filePath(QStringLiteral("logo.png")));
    constexpr int kFrames = 20;
    for (int i = 0; i < kFrames; ++i) {
        ok &= save(trayFrame(double(i) / kFrames),
                   out.filePath(QStringLiteral("tray/frame-%1.png").arg(i, 2, 10, QChar(u'0'))));
    }
    return ok ? 0 : 1;
}
