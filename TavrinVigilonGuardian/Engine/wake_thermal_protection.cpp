#include "Engine/wake_thermal_protection.hpp"

#include <algorithm>
#include <cmath>

namespace {
constexpr std::int64_t nominal = 0;
constexpr std::int64_t fair = 1;
}  // namespace

bool WakeThermalProtection::shouldStop(std::int64_t thermalState, WakeThermalLimit limit) {
    if (thermalState == nominal) return false;
    if (thermalState == fair) return limit == WakeThermalLimit::fair;
    return true;
}

std::optional<std::string> WakeThermalProtection::update(std::int64_t thermalState, double uptime,
                                                         WakeThermalLimit limit, bool monitoringActive) {
    if (!std::isfinite(uptime) || uptime < 0) {
        coolingRequired = true;
        nominalSince.reset();
        lastCheck.reset();
        return "monitoringGap";
    }

    bool gap = false;
    if (lastCheck) {
        gap = uptime < *lastCheck ||
              ((coolingRequired || monitoringActive) && uptime - *lastCheck > maximumMonitoringGap);
    }

    lastCheck = uptime;

    if (shouldStop(thermalState, limit)) {
        coolingRequired = true;
        nominalSince.reset();
        return "thermal";
    }

    if (gap) {
        coolingRequired = true;
        if (thermalState == nominal) {
            nominalSince = uptime;
        } else {
            nominalSince.reset();
        }
        return "monitoringGap";
    }

    if (!coolingRequired) return std::nullopt;

    if (thermalState != nominal) {
        nominalSince.reset();
        return "cooldown";
    }

    if (!nominalSince) nominalSince = uptime;

    if (uptime - *nominalSince >= cooldownDuration) {
        coolingRequired = false;
        nominalSince.reset();
        return std::nullopt;
    }

    return "cooldown";
}

void WakeThermalProtection::requireCooldown() {
    coolingRequired = true;
    nominalSince.reset();
}

std::int64_t WakeThermalProtection::cooldownRemaining(double uptime) const {
    if (!coolingRequired) return 0;
    const auto full = static_cast<std::int64_t>(cooldownDuration);
    if (!std::isfinite(uptime) || !nominalSince || *nominalSince > uptime) return full;
    const double left = std::max(0.0, *nominalSince + cooldownDuration - uptime);
    return static_cast<std::int64_t>(std::ceil(left));
}
