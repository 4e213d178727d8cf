#pragma once
// The text the user would see for the exception a call raises.

#include "Rtl.h"

#include <string>

namespace testsupport {

template <typename Call> std::string MessageOf(Call&& call)
{
    try {
        call();
    } catch (const rtl::Exception& e) {
        return e.Message;
    }
    return "(no exception)";
}

} // namespace testsupport
