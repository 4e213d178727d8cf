#include "MyRegistry.h"

std::string TMyRegistry::ReadStringDefault(const std::string& Name, const std::string& Default)
{
    std::string value = ReadString(Name);
    return value.empty() ? Default : value;
}

int32_t TMyRegistry::ReadIntegerDefault(const std::string& Name, int32_t Default)
{
    if (!ValueExists(Name))
        return Default;
    try {
        return ReadInteger(Name);
    } catch (const rtl::Exception&) {
        return Default;
    }
}
