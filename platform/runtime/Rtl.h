#pragma once
// The small runtime every layer shares, standing in for the runtime library
// the program was first written against: the root object class, the
// exception class that carries a message, notify-style callbacks and
// printf-style formatting into 8-bit strings. Its neighbours in this folder
// are the other pieces that library gave: the code page, the tick count,
// the application's exception hand-off and main-thread posting, close
// signals and peer credentials.
//
// Text and data are 8-bit byte strings (std::string); they may hold any byte
// value, zero included.

#include <cstdarg>
#include <exception>
#include <functional>
#include <string>

namespace rtl {

// Root of every object that can be the Sender of a callback.
class TObject {
public:
    virtual ~TObject() = default;
};

// A callback taking the sending object. An empty function means "unbound":
// callers skip it.
using TNotifyEvent = std::function<void(TObject* Sender)>;

// Base of every exception the program raises on purpose. Only Message is
// shown to the user.
class Exception : public std::exception {
public:
    explicit Exception(std::string message) : Message(std::move(message)) {}
    const char* what() const noexcept override { return Message.c_str(); }
    std::string Message;
};

// Number conversion failures ("'%s' ist kein gültiger Integerwert").
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

// printf-style formatting into a std::string.
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string FormatV(const char* fmt, va_list args);

// Strict decimal conversion as the runtime does it: optional blanks and sign,
// digits only, within the 32-bit range. Raises EConvertError with the German
// text "'<text>' ist kein gültiger Integerwert".
int StrToInt(const std::string& text);

// Text of the platform error `code` (errno values on Linux); may be empty.
std::string SysErrorMessage(int code);

} // namespace rtl
