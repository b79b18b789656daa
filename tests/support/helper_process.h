// A program that a test starts as a separate process, the way helper
// servers run (Linux only): its standard output and error go to a file that
// the test can search while it runs, its standard input is a pipe for
// commands, and it is stopped by its PID and reaped when the object goes.
#pragma once

#include "tests/support/temp_dir.h"
#include "tests/support/wait_until.h"

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace talvik::test {

class HelperProcess {
public:
    // Starts `program` with `arguments`; `environment` holds "NAME=value"
    // entries added to the test's own environment.
    HelperProcess(const std::string& program, const std::vector<std::string>& arguments,
                 const std::vector<std::string>& environment = {});
    ~HelperProcess();
    HelperProcess(const HelperProcess&) = delete;
    HelperProcess& operator=(const HelperProcess&) = delete;

    pid_t pid() const { return pid_; }

    // Everything the program wrote so far.
    std::string Output() const;

    // Waits until the output contains `text`; false when the time runs out
    // or the program ends without writing it.
    bool WaitForOutput(std::string_view text, std::chrono::milliseconds timeout);

    // Writes to the program's standard input.
    void Write(std::string_view text);

    // Waits for the program to end by itself: its exit code, or nothing when
    // it is still running after `timeout` or was killed by a signal.
    std::optional<int> Wait(std::chrono::milliseconds timeout);

    // SIGTERM, then SIGKILL if it has not ended within `grace`; reaps it.
    void Stop(std::chrono::milliseconds grace = std::chrono::seconds(5));

private:
    // Reaps the program if it has ended; true when it has.
    bool Reap(bool block);

    TempDir dir_;
    std::string outputPath_;
    pid_t pid_ = -1;
    int input_ = -1;
    bool ended_ = false;
    int status_ = 0;
};

// The program `name` beside the running test executable (every program of
// the build lands in the same directory).
std::string SiblingProgram(const std::string& name);

// The installed program `name`: the first executable one on PATH, then in
// /usr/sbin and /sbin (daemons); empty when there is none.
std::string FindProgram(const std::string& name);

} // namespace talvik::test
