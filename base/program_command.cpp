#include "base/program_command.h"

namespace talvik {

std::optional<std::string> CommandLineText(const ProgramCommand& command)
{
    const bool quoted = command.program.find_first_of(" \t") != std::string::npos;
    std::string text = quoted ? '"' + command.program + "\" " + command.argument
                              : command.program + ' ' + command.argument;
    if (text.size() + 1 > kCommandLineBytes)
        return std::nullopt;
    return text;
}

} // namespace talvik
