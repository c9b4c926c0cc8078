#include "firewire/FWPlatform.h"

#include <cstdio>

namespace FWLib {

std::string GuidText(UInt64 guid) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%016llx", static_cast<unsigned long long>(guid));
    return text;
}

IOReturn GetMatchingService(Bus& bus, const MatchingDictionary& match, io_service_t& service) {
    std::vector<io_service_t> services;
    service.reset();
    IOReturn status = bus.GetMatchingServices(match, services);
    if (status == kIOReturnSuccess && !services.empty()) service = services.front();
    return status;
}

}  // namespace FWLib
