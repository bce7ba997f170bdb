#include "smc/smc_port.hpp"

#include <IOKit/IOKitLib.h>
#include <mach/mach.h>

namespace {

// The AppleSMC user client, one kernel call per seam call. Return codes go up unchanged; `Smc`
// formats them.
class IoKitSmcPort final : public SmcPort {
public:
    std::uint32_t find_service() override {
        CFMutableDictionaryRef matching = IOServiceMatching("AppleSMC");
        if (matching == nullptr) return 0;
        // On the default main port. The lookup consumes the matching dictionary, found or not.
        return IOServiceGetMatchingService(MACH_PORT_NULL, matching);
    }

    std::uint32_t open_service(std::uint32_t service, std::uint32_t& connection) override {
        io_connect_t opened = 0;
        const kern_return_t code = IOServiceOpen(service, mach_task_self(), 0, &opened);
        if (code == KERN_SUCCESS) connection = opened;
        return static_cast<std::uint32_t>(code);
    }

    void release_service(std::uint32_t service) override { IOObjectRelease(service); }

    std::uint32_t call_struct(std::uint32_t connection, std::uint32_t selector, const SmcRecord& input,
                              SmcRecord& output, std::size_t& output_size) override {
        return static_cast<std::uint32_t>(IOConnectCallStructMethod(connection, selector, input.data(),
                                                                    input.size(), output.data(), &output_size));
    }

    void close_connection(std::uint32_t connection) override { IOServiceClose(connection); }
};

}  // namespace

std::unique_ptr<SmcPort> platform_smc_port() { return std::make_unique<IoKitSmcPort>(); }
