#include "VaPrst.h"

void TVaEventChars::SetXonChar(uint8_t value)
{
    xonChar_ = value;
    NotifyChanged();
}

void TVaEventChars::SetXoffChar(uint8_t value)
{
    xoffChar_ = value;
    NotifyChanged();
}

void TVaEventChars::SetErrorChar(uint8_t value)
{
    errorChar_ = value;
    NotifyChanged();
}

void TVaEventChars::SetEventChar(uint8_t value)
{
    eventChar_ = value;
    NotifyChanged();
}

void TVaEventChars::CopyFrom(const TVaPersistent* source)
{
    auto chars = dynamic_cast<const TVaEventChars*>(source);
    if (!chars)
        AssignError(source);
    BeginUpdate();
    try {
        SetXonChar(chars->XonChar());
        SetXoffChar(chars->XoffChar());
        SetErrorChar(chars->ErrorChar());
        SetEventChar(chars->EventChar());
    } catch (...) {
        EndUpdate();
        throw;
    }
    EndUpdate();
}
