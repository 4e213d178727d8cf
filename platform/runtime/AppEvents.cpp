#include "AppEvents.h"

#include <cstdio>
#include <exception>

namespace rtl {
namespace {
TExceptionEvent& Handler()
{
    static TExceptionEvent handler;
    return handler;
}
} // namespace

void SetApplicationExceptionHandler(TExceptionEvent handler)
{
    Handler() = std::move(handler);
}

std::string CurrentExceptionMessage()
{
    try {
        throw;
    } catch (const Exception& e) {
        return e.Message;
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "Unbekannte Ausnahme";
    }
}

void HandleException(TObject* Sender) noexcept
{
    std::string message = CurrentExceptionMessage();
    try {
        if (Handler()) {
            Handler()(Sender, message);
            return;
        }
    } catch (...) {
        message += " (" + CurrentExceptionMessage() + ")";
    }
    std::fprintf(stderr, "%s\n", message.c_str());
}

} // namespace rtl
