#include "app/QtCommandLine.h"

#include <QCoreApplication>
#include <QRegularExpression>

#include <cstdio>

namespace {

// What QGuiApplication and QApplication read themselves, with one dash or two.
const QStringList kQtValued =
    QStringLiteral("platform platformpluginpath platformtheme plugin qwindowgeometry qwindowicon "
                   "qwindowtitle session style stylesheet display geometry qmljsdebugger")
        .split(QLatin1Char(' '));
const QStringList kQtFlags =
    QStringLiteral("reverse widgetcount nograb dograb sync testability").split(QLatin1Char(' '));
const QRegularExpression kDashes(QStringLiteral("^-+"));

} // namespace

CommandLineResult readCommandLine(QCommandLineParser& parser, const QString& program,
                                  const QString& version, const QStringList& arguments)
{
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    QStringList own;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& arg = arguments[i];
        const QString name = arg.section(QLatin1Char('='), 0, 0).remove(kDashes);
        if (i > 0 && arg.startsWith(QLatin1Char('-')) &&
            (kQtValued.contains(name) || kQtFlags.contains(name))) {
            if (!arg.contains(QLatin1Char('=')) && kQtValued.contains(name))
                ++i; // its value
            continue;
        }
        own.append(arg);
    }
    const auto fail = [&program](const QString& problem) {
        return CommandLineResult{
            2, {}, program + QStringLiteral(": %1 (see %2 --help)\n").arg(problem, program)};
    };
    if (!parser.parse(own))
        return fail(parser.errorText());
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
        return fail(QStringLiteral("unexpected argument '%1'")
                        .arg(parser.positionalArguments().constFirst()));
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
