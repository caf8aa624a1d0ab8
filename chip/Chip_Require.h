// Requirement checks of the chip emulation. They guard against programming
// errors of the chip's callers, which this system's own code never makes. The
// product build compiles them away: nothing inside the chip may abort a host.
// A build that defines PLINKA_CHIP_CHECKS=1 (the chip's tests) evaluates them
// and hands a failure to a replaceable handler.
#pragma once

#if PLINKA_CHIP_CHECKS

#include <cstdio>
#include <cstdlib>

// `text` is the check's message, `expression` the condition it tests, both as
// written beside the check.
using Chip_Require_Handler = void (*)(const char* text, const char* expression);

inline void chip_require_abort(const char* text, const char* expression)
{
    std::fprintf(stderr, "chip requirement failed: %s (%s)\n", text, expression);
    std::abort();
}

inline Chip_Require_Handler chip_require_handler = chip_require_abort;

// Installs `handler` (null restores the default) and answers the previous one.
inline Chip_Require_Handler set_chip_require_handler(Chip_Require_Handler handler)
{
    const Chip_Require_Handler previous = chip_require_handler;
    chip_require_handler = handler ? handler : chip_require_abort;
    return previous;
}

inline void chip_require_failed(const char* text, const char* expression)
{
    chip_require_handler(text, expression);
    // A handler that returns must not let the operation go on with bad input.
    std::abort();
}

#define PLINKA_CHIP_REQUIRE(text, expression, condition)                                                               \
    ((condition) ? static_cast<void>(0) : chip_require_failed(text, expression))

#else

#define PLINKA_CHIP_REQUIRE(text, expression, condition) static_cast<void>(0)

#endif
