// The picture the simulated camera films: colour bars scrolling sideways, a
// bright square bouncing across them and the frame number (frame_code.h)
// along the top edge. Cheap enough to draw at 1080p and 30 fps.
#pragma once

#include "tools/phonesim/wire_writer.h"

namespace talvik::phonesim {

// A YUV 4:2:0 picture (BT.601, limited range) with tightly packed planes.
// Width and height are even.
struct Picture {
    int width = 0;
    int height = 0;
    Bytes y;  // width x height
    Bytes u;  // width/2 x height/2
    Bytes v;  // width/2 x height/2
};

Picture MakePicture(int width, int height);

// Draws frame `number` of the pattern over the whole picture.
void DrawTestPattern(std::uint32_t number, Picture& picture);

// The same picture as NV12: the luma plane, then U and V interleaved.
Bytes ToNv12(const Picture& picture);
// The same, appended to `out`: a buffer kept from frame to frame is not
// allocated (and its pages not faulted in) again for every picture.
void AppendNv12(const Picture& picture, Bytes& out);

} // namespace talvik::phonesim
