#include "media/frame_buffer_record.h"

#include "media/pixel_format.h"

namespace talvik {

DriverPixelFormat PixelFormatOf(const FrameBufferRecord& record)
{
    const std::uint32_t compression = record.biCompression();
    switch (record.biBitCount()) {
    case 32:
        return compression == 0 ? kPixelArgb32 : kPixelRgba32;
    case 12:
        return compression == kFourccNv12 ? kPixelNv12 : kPixelRgba32;
    case 16:
        return compression == kFourccYuy2 ? kPixelYuy2 : kPixelRgba32;
    default:
        return kPixelRgba32;
    }
}

FrameBufferRecord DescribeFormat(std::uint32_t width, std::uint32_t height, DriverPixelFormat format)
{
    const std::uint32_t bytes = FrameBytes(format, width, height);
    const std::uint32_t compression = format == kPixelNv12 ? kFourccNv12 : format == kPixelYuy2 ? kFourccYuy2 : 0;
    FrameBufferRecord record;
    StoreU32Le(&record.bytes[16], bytes);
    StoreU32Le(&record.bytes[68], 40);
    StoreU32Le(&record.bytes[72], width);
    StoreU32Le(&record.bytes[76], height);
    StoreU16Le(&record.bytes[80], 1);
    StoreU16Le(&record.bytes[82], static_cast<std::uint16_t>(BitsPerPixel(format)));
    StoreU32Le(&record.bytes[84], compression);
    StoreU32Le(&record.bytes[88], bytes);
    return record;
}

} // namespace talvik
