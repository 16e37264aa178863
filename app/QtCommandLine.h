#pragma once

#include <QCommandLineParser>
#include <QString>
#include <QStringList>

#include <optional>

// A Qt program's command line, read before QApplication exists, since --help and --version
// need no display. The program's own options go through its parser, each as "--opt value" or
// "--opt=value"; Qt's own (-style, -platform, -reverse...) are left for QApplication.
struct CommandLineResult
{
    std::optional<int> exitStatus; // set: print out and err, and exit with it
    QString out;
    QString err;
};

// arguments[0] is the program, as in argv. parser holds the program's options and description;
// help and version are added here. The program takes no operands.
CommandLineResult readCommandLine(QCommandLineParser& parser, const QString& program,
                                  const QString& version, const QStringList& arguments);

// The same for argv, printing what there is to print; the exit status when the program is done.
std::optional<int> readCommandLine(QCommandLineParser& parser, const char* program,
                                   const char* version, int argc, char* argv[]);
