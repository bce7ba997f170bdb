#pragma once

#include <memory>

#include "smc/smc_port.hpp"

// Forwards every call to the platform port and counts the structure calls, which is what a
// snapshot costs at the seam.
class CountingPort : public SmcPort {
public:
    explicit CountingPort(std::unique_ptr<SmcPort> inner, long& calls)
        : inner_(std::move(inner)), calls_(calls) {}

    std::uint32_t find_service() override { return inner_->find_service(); }
    std::uint32_t open_service(std::uint32_t service, std::uint32_t& connection) override {
        return inner_->open_service(service, connection);
    }
    void release_service(std::uint32_t service) override { inner_->release_service(service); }
    std::uint32_t call_struct(std::uint32_t connection, std::uint32_t selector, const SmcRecord& input,
                              SmcRecord& output, std::size_t& output_size) override {
        ++calls_;
        return inner_->call_struct(connection, selector, input, output, output_size);
    }
    void close_connection(std::uint32_t connection) override { inner_->close_connection(connection); }

private:
    std::unique_ptr<SmcPort> inner_;
    long& calls_;
};
