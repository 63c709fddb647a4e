// The front ends' way to the platform's interrupt flag.
#include "platform.h"
#include "tavo/tavo.h"

namespace tavo {

void catch_interrupts() { platform::catch_interrupts(); }

bool interrupt_requested() { return platform::interrupt_requested(); }

void release_interrupts() { platform::release_interrupts(); }

}  // namespace tavo
