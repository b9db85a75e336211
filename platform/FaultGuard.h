// Structured exception handling for guarded blocks, as the program needs it on every platform.
#pragma once

#include <utility>

// Runs body(context). Returns true when it completed, false when a hardware fault (invalid access, bus
// error, illegal instruction, arithmetic fault) was raised inside it; the process goes on after a fault.
// Works on any thread and may nest. Faults outside a guarded block are left to the platform.
// The body must not own objects with destructors: a fault leaves it without unwinding.
bool RunGuarded(void (*body)(void*), void* context);

template <class Body> bool RunGuarded(Body&& body)
{
    return RunGuarded([](void* context) { (*static_cast<std::remove_reference_t<Body>*>(context))(); },
                      static_cast<void*>(&body));
}
