#include "app/Fonts.h"

#include <QString>
#include <cmath>

void installFontSubstitutes()
{
    // Liberation Sans has Arial's metrics; DejaVu Sans Condensed is close to Tahoma's width.
    // "System" was a bold sans bitmap face and "MS Sans Serif" the default dialog face.
    QFont::insertSubstitution(QStringLiteral("Arial"), QStringLiteral("Liberation Sans"));
    QFont::insertSubstitution(QStringLiteral("Arial Unicode MS"),
                              QStringLiteral("Liberation Sans"));
    QFont::insertSubstitution(QStringLiteral("System"), QStringLiteral("Liberation Sans"));
    QFont::insertSubstitution(QStringLiteral("MS Sans Serif"), QStringLiteral("Liberation Sans"));
    QFont::insertSubstitution(QStringLiteral("Tahoma"), QStringLiteral("DejaVu Sans Condensed"));
}

QFont designFont(const form1design::Font& font)
{
    QFont result(QString::fromUtf8(font.face.data(), qsizetype(font.face.size())));
    // Points at 96 dpi: 8.25 pt is 11 px, 9.75 pt is 13 px.
    result.setPixelSize(int(std::lround(font.hundredthsOfPoint * 96.0 / 7200.0)));
    result.setBold(font.bold);
    return result;
}
