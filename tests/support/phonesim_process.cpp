#include "tests/support/phonesim_process.h"

#include <regex>
#include <sstream>

namespace talvik::test {

std::unique_ptr<HelperProcess> StartPhonesim(const std::vector<std::string>& arguments,
                                            const std::vector<std::string>& environment)
{
    return std::make_unique<HelperProcess>(SiblingProgram("phonesim"), arguments, environment);
}

std::optional<int> WaitForListeningPort(HelperProcess& phonesim, std::chrono::milliseconds timeout)
{
    const std::string marker = "listening on TCP port ";
    if (!phonesim.WaitForOutput(marker, timeout))
        return std::nullopt;
    const std::string output = phonesim.Output();
    return std::stoi(output.substr(output.find(marker) + marker.size()));
}

std::vector<SentFrame> SentFrames(const std::string& log)
{
    static const std::regex line(
        R"(session (\d+): frame=(\d+) size=(\d+)x(\d+) form=\S+ bytes=(\d+) capture_us=(\d+) send_us=(\d+))");
    std::vector<SentFrame> frames;
    std::istringstream lines(log);
    std::smatch match;
    for (std::string text; std::getline(lines, text);)
        if (std::regex_search(text, match, line))
            frames.push_back({std::stoi(match[1]), static_cast<std::uint32_t>(std::stoul(match[2])),
                              std::stoi(match[3]), std::stoi(match[4]), std::stoul(match[5]), std::stoll(match[6]),
                              std::stoll(match[7])});
    return frames;
}

} // namespace talvik::test
