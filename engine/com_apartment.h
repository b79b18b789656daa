// The engine thread's COM apartment (single-threaded), which the imaging and
// device-enumeration calls of the media output need on Windows. Elsewhere
// there is nothing to set up.
#pragma once

namespace talvik {

class ComApartment {
public:
    ComApartment();
    ~ComApartment();
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

private:
    bool entered_ = false;
};

} // namespace talvik
