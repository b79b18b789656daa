// The engine's state: IDLE until a phone announces itself, VIDRELO CONNECTED
// until its session ends.
#pragma once

namespace talvik {

enum class EngineState : int {
    kIdle = 0,
    kVidreloConnected = 1,
};

constexpr const char* EngineStateName(EngineState state)
{
    return state == EngineState::kIdle ? "IDLE" : "VIDRELO CONNECTED";
}

} // namespace talvik
