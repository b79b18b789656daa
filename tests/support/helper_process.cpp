#include "tests/support/helper_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

extern char** environ;

namespace talvik::test {

HelperProcess::HelperProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const std::vector<std::string>& environment)
    : outputPath_(dir_.File("output.txt"))
{
    // Everything the child needs is prepared before fork: between fork and
    // exec only async-signal-safe calls are allowed.
    std::vector<std::string> argumentTexts{program};
    argumentTexts.insert(argumentTexts.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& text : argumentTexts)
        argv.push_back(text.data());
    argv.push_back(nullptr);

    std::vector<std::string> environmentTexts;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view existing(*entry);
        const std::string_view name = existing.substr(0, existing.find('='));
        bool replaced = false;
        for (const std::string& added : environment)
            replaced = replaced || std::string_view(added).substr(0, added.find('=')) == name;
        if (!replaced)
            environmentTexts.emplace_back(existing);
    }
    environmentTexts.insert(environmentTexts.end(), environment.begin(), environment.end());
    std::vector<char*> envp;
    for (std::string& text : environmentTexts)
        envp.push_back(text.data());
    envp.push_back(nullptr);

    const int output = open(outputPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int input[2] = {-1, -1};
    if (output < 0 || pipe2(input, O_CLOEXEC) != 0) {
        ended_ = true;
        return;
    }
    pid_ = fork();
    if (pid_ == 0) {
        dup2(input[0], STDIN_FILENO);
        dup2(output, STDOUT_FILENO);
        dup2(output, STDERR_FILENO);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(output);
    close(input[0]);
    input_ = input[1];
    if (pid_ < 0)
        ended_ = true;
}

HelperProcess::~HelperProcess()
{
    Stop();
    if (input_ >= 0)
        close(input_);
}

std::string HelperProcess::Output() const
{
    return ReadFile(outputPath_);
}

bool HelperProcess::WaitForOutput(std::string_view text, std::chrono::milliseconds timeout)
{
    bool found = false;
    WaitUntil(
        [&] {
            // Read the output after checking for the end, so that the last
            // words of a program that just ended are seen.
            const bool ended = Reap(false);
            found = Output().find(text) != std::string::npos;
            return found || ended;
        },
        timeout);
    return found;
}

void HelperProcess::Write(std::string_view text)
{
    if (input_ >= 0) {
        [[maybe_unused]] ssize_t ignored = write(input_, text.data(), text.size());
    }
}

std::optional<int> HelperProcess::Wait(std::chrono::milliseconds timeout)
{
    if (!WaitUntil([&] { return Reap(false); }, timeout))
        return std::nullopt;
    if (pid_ < 0 || !WIFEXITED(status_))
        return std::nullopt;
    return WEXITSTATUS(status_);
}

void HelperProcess::Stop(std::chrono::milliseconds grace)
{
    if (Reap(false))
        return;
    kill(pid_, SIGTERM);
    if (Wait(grace).has_value() || ended_)
        return;
    kill(pid_, SIGKILL);
    Reap(true);
}

bool HelperProcess::Reap(bool block)
{
    if (ended_)
        return true;
    if (waitpid(pid_, &status_, block ? 0 : WNOHANG) == pid_)
        ended_ = true;
    return ended_;
}

std::string SiblingProgram(const std::string& name)
{
    return (std::filesystem::read_symlink("/proc/self/exe").parent_path() / name).string();
}

std::string FindProgram(const std::string& name)
{
    std::string directories = std::getenv("PATH") ? std::getenv("PATH") : "";
    directories += ":/usr/sbin:/sbin";
    for (std::size_t from = 0, to; from <= directories.size(); from = to + 1) {
        to = std::min(directories.find(':', from), directories.size());
        const std::string candidate = directories.substr(from, to - from) + "/" + name;
        if (to > from && access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return {};
}

} // namespace talvik::test
