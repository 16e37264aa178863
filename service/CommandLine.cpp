#include "service/CommandLine.h"

#include <getopt.h>

#include <cstdio>

namespace CommandLine {

Outcome parse(int argc, char** argv, std::span<const Option> options, const Handler& handler,
              std::string& error, std::vector<std::string>* operands, int trailingOperands)
{
    std::vector<option> table;
    for (const Option& o : options)
        table.push_back({o.name, o.takesValue ? required_argument : no_argument, nullptr, 0});
    table.push_back({"help", no_argument, nullptr, 'h'});
    table.push_back({"version", no_argument, nullptr, 'V'});
    table.push_back({nullptr, 0, nullptr, 0});

    // Fixed operands at the end are never read as options, however they start.
    const bool fixed = trailingOperands > 0 && argc > trailingOperands;
    const int scanned = fixed ? argc - trailingOperands : argc;
    opterr = 0;
    optind = 0; // 0: getopt starts over, for a second parse in one process
    // "+": the first operand ends the options, as for fixed operands.
    const char* shortOptions = fixed ? "+:hV" : ":hV";
    int got = 0;
    int index = -1;
    while ((got = ::getopt_long(scanned, argv, shortOptions, table.data(), &index)) != -1) {
        if (got == 'h')
            return Outcome::Help;
        if (got == 'V')
            return Outcome::Version;
        const std::string given = optind > 0 && optind <= scanned ? argv[optind - 1] : "";
        std::string reason;
        if (got == '?')
            error =
                "unknown option '" + (optopt ? "-" + std::string(1, char(optopt)) : given) + "'";
        else if (got == ':')
            error = given.substr(0, given.find('=')) + " needs a value";
        else if (const char* name = table[std::size_t(index)].name;
                 !handler(name, optarg ? optarg : "", reason))
            error = "--" + std::string(name) + ": " + reason;
        else
            continue;
        return Outcome::Error;
    }
    if (!operands && optind < argc) {
        error = "unexpected argument '" + std::string(argv[optind]) + "'";
        return Outcome::Error;
    }
    for (int i = optind; operands && i < argc; ++i)
        operands->emplace_back(argv[i]);
    return Outcome::Run;
}

std::optional<int> settle(Outcome outcome, const char* program, const char* help,
                          const std::string& error)
{
    if (outcome == Outcome::Help)
        std::fputs(help, stdout);
    if (outcome == Outcome::Version)
        std::printf("%s %s\n", program, VORELIN_VERSION);
    if (outcome == Outcome::Help || outcome == Outcome::Version)
        return 0;
    if (outcome == Outcome::Run && error.empty())
        return std::nullopt;
    std::fprintf(stderr, "%s: %s (see %s --help)\n", program, error.c_str(), program);
    return 2;
}

} // namespace CommandLine
