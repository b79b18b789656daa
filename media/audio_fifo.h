// The FIFO device (Linux): the virtual microphone as a named pipe that a
// sound server reads, such as PulseAudio's or PipeWire's pipe source
// (module-pipe-source format=s16le rate=44100 channels=2).
//
// The sound server makes the FIFO when its source loads, refuses one that
// already exists and removes it when the source unloads, so the service
// never creates it: it follows the path. A FIFO is taken as soon as it is
// found there, and again whenever the one at the path has been replaced
// (the sound server restarted); until then blocks are dropped.
//
// The FIFO is opened for reading and writing, so that the open never waits
// for a reader and a reader that goes away never raises SIGPIPE, and
// without blocking: a block that the pipe cannot take at once is dropped,
// never waited for. Drops are counted in a warning logged at the 1st, 2nd,
// 4th, 8th ... drop, so a stalled reader cannot fill the log:
//   warn  "AudioDriver pipe full or missing: {0} blocks dropped"
#pragma once

#include "media/audio_device.h"

#include <memory>
#include <string>

namespace talvik {

std::unique_ptr<AudioDevice> MakeAudioFifo(std::string path);

} // namespace talvik
