#include "app/QtCommandLine.h"

#include <QCoreApplication>

#include <cstdio>

namespace {

// What QGuiApplication and QApplication read themselves, with one dash or two.
bool isQtOption(const QString& name, bool& takesValue)
{
    static const QStringList valued{
        QStringLiteral("platform"),        QStringLiteral("platformpluginpath"),
        QStringLiteral("platformtheme"),   QStringLiteral("plugin"),
        QStringLiteral("qwindowgeometry"), QStringLiteral("qwindowicon"),
        QStringLiteral("qwindowtitle"),    QStringLiteral("session"),
        QStringLiteral("style"),           QStringLiteral("stylesheet"),
        QStringLiteral("display"),         QStringLiteral("geometry"),
        QStringLiteral("qmljsdebugger")};
    static const QStringList flags{QStringLiteral("reverse"), QStringLiteral("widgetcount"),
                                   QStringLiteral("nograb"),  QStringLiteral("dograb"),
                                   QStringLiteral("sync"),    QStringLiteral("testability")};
    takesValue = valued.contains(name);
    return takesValue || flags.contains(name);
}

} // namespace

CommandLineResult readCommandLine(QCommandLineParser& parser, const QString& program,
                                  const QString& version, const QStringList& arguments)
{
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    QStringList own;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& arg = arguments[i];
        QString name = arg;
        while (name.startsWith(QLatin1Char('-')))
            name.remove(0, 1);
        const qsizetype equals = name.indexOf(QLatin1Char('='));
        bool takesValue = false;
        if (i > 0 && arg.startsWith(QLatin1Char('-')) &&
            isQtOption(name.left(equals), takesValue)) {
            if (takesValue && equals < 0)
                ++i; // its value
            continue;
        }
        own.append(arg);
    }
    const QString pointer = QStringLiteral(" (see %1 --help)\n").arg(program);
    if (!parser.parse(own))
        return {2, {}, program + QStringLiteral(": ") + parser.errorText() + pointer};
    if (parser.isSet(help) || parser.isSet(QStringLiteral("help-all"))) {
        // Before the application object exists the parser does not know the program's name.
        QString text = parser.helpText();
        const QString named = QCoreApplication::instance()
                                  ? QCoreApplication::arguments().constFirst()
                                  : QStringLiteral("<executable_name>");
        text.replace(text.indexOf(named), named.size(), program);
        return {0, text, {}};
    }
    if (parser.isSet(versionOption))
        return {0, program + QLatin1Char(' ') + version + QLatin1Char('\n'), {}};
    if (!parser.positionalArguments().isEmpty())
        return {2,
                {},
                program +
                    QStringLiteral(": unexpected argument '%1'")
                        .arg(parser.positionalArguments().constFirst()) +
                    pointer};
    return {};
}

std::optional<int> readCommandLine(QCommandLineParser& parser, const char* program,
                                   const char* version, int argc, char* argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    const CommandLineResult result =
        readCommandLine(parser, QString::fromUtf8(program), QString::fromUtf8(version), arguments);
    std::fputs(qPrintable(result.out), stdout);
    std::fputs(qPrintable(result.err), stderr);
    return result.exitStatus;
}
