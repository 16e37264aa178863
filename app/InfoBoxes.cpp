#include "app/InfoBoxes.h"

#include <QStringList>

namespace {
constexpr QChar kCr = u'\r';
}

QString HelpText()
{
    const QStringList lines{
        QStringLiteral("Se enviara un mensaje con la IP local"),
        QStringLiteral("a la pesona que haya seleccionado"),
        QString(),
        QStringLiteral("Se recomienda enviar mensajes usando IP"),
        QStringLiteral("en lugar de nombre, ya que pueden estar en el mismo"),
        QStringLiteral("Segmento de Red pero no sobre el mismo dominio"),
        QString(),
        QStringLiteral("Por Nombre de Equipo o Cuenta de Red si estan es un dominio"),
        QString(),
        QStringLiteral("Nota: Si el equipo al cual le quiere enviar esta fuera de red"),
        QStringLiteral("por cualquier motivo puede que el programa tarde un poco en"),
        QStringLiteral("Responder."),
    };
    return lines.join(kCr);
}

QString AboutText()
{
    return QStringLiteral("Vorelin, por el equipo de Vorelin") + QStringLiteral("\r\n") +
           QStringLiteral("Contacto: equipo@vorelin.invalid") + kCr +
           QStringLiteral("Web: https://vorelin.invalid") + kCr + QString() + kCr +
           QStringLiteral("Para Plataformas de 32bit") + kCr +
           QStringLiteral("Windows XP,2000 y NT");
}
