// Wakes the processes that wait for a new picture in a camera file.
//
// Linux: a futex wake on the commit-sequence word of the mapping; readers
// sleep with FUTEX_WAIT on the same word of their own mapping of the file.
// Windows: also sets the manual-reset event "Local\TalvikCameraCommit";
// a reader resets it, then checks the commit sequence, then waits on it.
// Readers wait with a time-out in any case, since a writer on the other
// system (the Windows service under Wine, say) cannot reach their futex.
#pragma once

#include <cstdint>
#include <memory>

namespace talvik {

class CommitSignal {
public:
    CommitSignal();
    ~CommitSignal();
    CommitSignal(const CommitSignal&) = delete;
    CommitSignal& operator=(const CommitSignal&) = delete;

    // `word` lies in a shared mapping and has just changed.
    void Wake(std::uint32_t* word);

private:
    struct Handles;
    std::unique_ptr<Handles> handles_;
};

} // namespace talvik
