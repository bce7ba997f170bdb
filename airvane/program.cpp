#include "program.hpp"

#include <variant>

#include "command_line.hpp"
#include "serving.hpp"
#include "status_mode.hpp"

FanResult<void> run(std::span<const std::string_view> args) {
    auto chosen = dispatch(args, system_dispatch_env());
    if (!chosen) return std::unexpected(chosen.error());
    if (std::holds_alternative<StatusMode>(*chosen)) return run_status();
    return run_serving(std::get<ServingArgs>(*chosen));
}
