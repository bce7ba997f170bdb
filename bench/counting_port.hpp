#pragma once

#include "smc/smc_port.hpp"

// The platform port with its structure calls counted, which is what a snapshot costs at the seam.
inline SmcPort counting_port(SmcPort inner, long& calls) {
    auto counted = inner;
    counted.call_struct = [call = std::move(inner.call_struct), &calls](std::uint32_t connection,
                                                                        std::uint32_t selector, const SmcRecord& input,
                                                                        SmcRecord& output, std::size_t& output_size) {
        ++calls;
        return call(connection, selector, input, output, output_size);
    };
    return counted;
}
