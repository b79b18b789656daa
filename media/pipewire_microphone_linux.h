// The microphone published as a PipeWire audio source, so that every
// program that records through PipeWire, through its PulseAudio server or
// through its ALSA plugin lists "Vidrelo Microphone" with no set-up.
//
// The node ("talvik-microphone", media class "Audio/Source", description
// "Vidrelo Microphone") offers interleaved stereo S16LE at 44 100 Hz and
// asks the graph for cycles of 512 frames (11.6 ms); PipeWire converts for
// recorders and graphs that run at another rate.
//
// Write copies a block into a ring of 2048 frames (46 ms) under a lock held
// only for the copy, and never waits for PipeWire. Each cycle takes what the
// ring holds, up to the frames the graph asks for, and fills the rest with
// silence, so that recorders keep running while no phone streams and an
// underrun never makes the queue longer. A block that finds the ring full
// pushes out the oldest audio; while a program records, each such block is
// counted in a warning logged at the 1st, 2nd, 4th, 8th ... one:
//   warn  "AudioDriver microphone behind: {0} blocks of old audio dropped"
// While nobody records, blocks only replace older ones; a program that
// starts recording hears audio from its start on, nothing older.
//
// Other lines:
//   info   "PipeWire microphone: published as \"Vidrelo Microphone\" (talvik-microphone)"
//   info   "PipeWire microphone: the last recorder left"
//   error  "PipeWire microphone: stream error: {0}"
// and those of the daemon link (media/pipewire_link_linux.h), which
// publishes the node again when the daemon comes back after it went away;
// meanwhile the blocks only fill the ring.
//
// PipeWire's loop runs on a thread of its own (and its cycles on PipeWire's
// data thread), started by the open and joined by the destructor.
#pragma once

#include "media/audio_device.h"

namespace talvik {

// Connects to the PipeWire daemon and publishes the node; on failure the
// device is null with the system's error code.
OpenedAudioDevice OpenPipeWireMicrophone();

} // namespace talvik
