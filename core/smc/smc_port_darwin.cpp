#include "smc/smc_port.hpp"

#include <IOKit/IOKitLib.h>
#include <mach/mach.h>

// The AppleSMC user client, one kernel call per seam call. Return codes go up unchanged; `Smc`
// formats them.
SmcPort SmcPort::production() {
    return SmcPort{
        .find_service =
            [] {
                CFMutableDictionaryRef matching = IOServiceMatching("AppleSMC");
                if (matching == nullptr) return io_service_t{0};
                // On the default main port. The lookup consumes the matching dictionary, found or not.
                return IOServiceGetMatchingService(MACH_PORT_NULL, matching);
            },
        .open_service =
            [](std::uint32_t service, std::uint32_t& connection) {
                io_connect_t opened = 0;
                const kern_return_t code = IOServiceOpen(service, mach_task_self(), 0, &opened);
                if (code == KERN_SUCCESS) connection = opened;
                return static_cast<std::uint32_t>(code);
            },
        .release_service = [](std::uint32_t service) { IOObjectRelease(service); },
        .call_struct =
            [](std::uint32_t connection, std::uint32_t selector, const SmcRecord& input, SmcRecord& output,
               std::size_t& output_size) {
                return static_cast<std::uint32_t>(IOConnectCallStructMethod(connection, selector, input.data(),
                                                                            input.size(), output.data(), &output_size));
            },
        .close_connection = [](std::uint32_t connection) { IOServiceClose(connection); },
    };
}
