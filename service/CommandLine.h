#pragma once

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The command line of the service's programs, one way for all: getopt_long, so that every
// option takes "--opt value" and "--opt=value"; -h/--help and -V/--version built in; a fault
// is one line that points to --help.
namespace CommandLine {

struct Option
{
    const char* name;
    bool takesValue;
};

enum class Outcome
{
    Run,
    Help,
    Version,
    Error
};

// Called for each option in the order given; false with a reason refuses the value.
using Handler =
    std::function<bool(std::string_view name, std::string_view value, std::string& error)>;

// Operands go to operands; without it the program takes none, and the first is a fault. With
// trailingOperands set, that many last arguments are operands whatever they look like (names
// from the network may start with '-'), and options come before them.
Outcome parse(int argc, char** argv, std::span<const Option> options, const Handler& handler,
              std::string& error, std::vector<std::string>* operands = nullptr,
              int trailingOperands = 0);

// What parse's outcome leaves to do: help on stdout, the version, or the fault (or the error
// the program found in its operands) as "program: error (see program --help)" on stderr. The
// exit status when the program ends here.
std::optional<int> settle(Outcome outcome, const char* program, const char* help,
                          const std::string& error);

} // namespace CommandLine
