// The ring file (Linux): the virtual microphone's default device when no
// FIFO is configured. A memory-mapped file that always holds the last
// moments of audio, which any program can follow without the service waiting
// for it. Little-endian, offsets in bytes:
//
//   0   8  magic "TLVKAUDR"
//   8   4  version, 1
//   12  4  sample rate, 44100
//   16  2  channels, 2
//   18  2  bits per sample, 16
//   20  4  ring bytes R, 262144 (about 1.5 s)
//   24  8  write position W: bytes written since the file was created
//   32  32 zero
//   64  R  the ring: stream byte k lies at 64 + (k mod R)
//
// The writer copies a block into the ring, then publishes W (an atomic
// 64-bit store with release order). A reader loads W (acquire), reads what
// it has not seen of the last R bytes before W, and loads W again: the
// bytes it read are valid when W has moved less than R minus their count.
// Readers poll; a block is written every 20 to 30 ms.
//
// An existing file with this header is reused and W goes on from its value;
// an empty file is set up; any other file is refused and left untouched.
#pragma once

#include "media/audio_device.h"

namespace talvik {

// Takes `fd`, an open regular file (read and write), and maps it. On
// failure the device is null with the system's error code.
OpenedAudioDevice OpenAudioRingFile(int fd);

} // namespace talvik
