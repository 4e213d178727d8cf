#pragma once
// The settings store's registry object: the registry class with two tolerant
// reads that fall back to a default.

#include "Registry.h"

#include <cstdint>
#include <string>

class TMyRegistry : public reg::TRegistry {
public:
    TMyRegistry() : reg::TRegistry(reg::KEY_ALL_ACCESS) {}

    // The value's text, or Default when the value is missing or empty.
    // Raises for a value that is not a string.
    std::string ReadStringDefault(const std::string& Name, const std::string& Default);
    // The value, or Default when it is missing or cannot be read as a dword.
    // Never raises.
    int32_t ReadIntegerDefault(const std::string& Name, int32_t Default);
};
