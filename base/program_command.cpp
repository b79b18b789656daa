#include "base/program_command.h"

namespace talvik {

std::optional<std::string> CommandLineText(const ProgramCommand& command)
{
    std::string text = command.program + ' ' + command.argument;
    if (text.size() + 1 > kCommandLineBytes)
        return std::nullopt;
    return text;
}

} // namespace talvik
