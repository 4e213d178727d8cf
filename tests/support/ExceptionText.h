#pragma once
// The message of the exception a call raises, so that a test can compare the
// text the user would see in one assertion.

#include "Rtl.h"

#include <string>

namespace testsupport {

template <typename Call>
std::string MessageOf(Call&& call)
{
    try {
        call();
    } catch (const rtl::Exception& e) {
        return e.Message;
    }
    return "(no exception)";
}

} // namespace testsupport
