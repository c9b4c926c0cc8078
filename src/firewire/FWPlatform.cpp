#include "firewire/FWPlatform.h"

namespace FWLib {

IOReturn GetMatchingService(Bus& bus, const MatchingDictionary& match, io_service_t& service) {
    std::vector<io_service_t> services;
    service.reset();
    IOReturn status = bus.GetMatchingServices(match, services);
    if (status == kIOReturnSuccess && !services.empty()) service = services.front();
    return status;
}

}  // namespace FWLib
