#include "base/signal_stack.h"

namespace talvik {

SignalStack::SignalStack() = default;
SignalStack::~SignalStack() = default;

} // namespace talvik
