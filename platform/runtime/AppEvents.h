#pragma once
// Application-wide exception handling. Every callback boundary (window
// handlers, timers, port events handed over from the event thread) catches
// what escapes and routes it here, so no exception ever crosses Qt's event
// loop. The window installs its handler first thing at start-up.

#include "Rtl.h"

#include <functional>
#include <string>

namespace rtl {

using TExceptionEvent = std::function<void(TObject* Sender, const std::string& message)>;

void SetApplicationExceptionHandler(TExceptionEvent handler);

// Message text of the exception currently being handled. Call only inside a
// catch block.
std::string CurrentExceptionMessage();

// Hands the exception currently being handled to the installed handler
// (stderr when none is installed). Call only inside a catch block. Never
// throws: an exception from the handler itself is written to stderr.
void HandleException(TObject* Sender) noexcept;

// Runs f; whatever escapes goes to HandleException(Sender).
template <class F>
void Guard(TObject* Sender, F&& f) noexcept
{
    try {
        f();
    } catch (...) {
        HandleException(Sender);
    }
}

} // namespace rtl
