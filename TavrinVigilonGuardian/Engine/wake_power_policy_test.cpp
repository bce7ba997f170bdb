#include "Engine/wake_power_policy.hpp"
#include "Engine/wake_thermal_protection.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <vector>

namespace {

TEST(WakePowerPolicy, AllowedMinutesAndTheirText) {
    EXPECT_EQ(WakePowerPolicy::allowedMinutes.size(), 27u);
    EXPECT_EQ(WakePowerPolicy::allowedMinutes[2], 30);
    EXPECT_EQ(WakePowerPolicy::allowedMinutes[3], 60);
    EXPECT_EQ(WakePowerPolicy::allowedMinutes.back(), 1440);
    for (const auto& [text, minutes] :
         std::vector<std::pair<const char*, std::int64_t>>{{"10", 10}, {"30", 30}, {"60", 60}, {"1440", 1440}}) {
        EXPECT_EQ(WakePowerPolicy::minutes(text), minutes) << text;
    }
    for (const char* text :
         {"0", "15", "45", "90", "1500", "+10", "-10", "010", " 10", "10 ", "", "1e1", "99999999999999999999999"}) {
        EXPECT_EQ(WakePowerPolicy::minutes(text), std::nullopt) << text;
    }
}

WakeGuardianState session(double wallSpan = 1800, double uptimeSpan = 1800) {
    auto state = WakeGuardianState::idle(std::nullopt, std::nullopt, 1000);
    state.active = true;
    state.startedAt = 1000;
    state.expiresAt = 1000 + wallSpan;
    state.startedUptime = 50;
    state.deadlineUptime = 50 + uptimeSpan;
    state.bootTime = 7;
    return state;
}

std::optional<std::string> reason(const WakeGuardianState& state, double now = 1000, double uptime = 50,
                                  std::int64_t boot = 7, std::optional<std::int64_t> battery = 50) {
    return WakePowerPolicy::stopReason(state, now, uptime, boot, battery, false);
}

TEST(WakePowerPolicy, StopReasonTable) {
    const auto valid = session();
    EXPECT_EQ(reason(valid), std::nullopt);
    EXPECT_EQ(WakePowerPolicy::stopReason(valid, 1000, 50, 7, 50, true), "thermal");

    EXPECT_EQ(reason(valid, 1000, 50, 7, 15), "batteryLow");
    EXPECT_EQ(reason(valid, 1000, 50, 7, 16), std::nullopt);
    EXPECT_EQ(reason(valid, 1000, 50, 7, std::nullopt), "batteryUnavailable");
    EXPECT_EQ(reason(valid, 1000, 50, 7, 101), "batteryUnavailable");
    EXPECT_EQ(reason(valid, 1000, 50, 7, -1), "batteryUnavailable");
    EXPECT_EQ(reason(valid, 2800, 60), "expired");
    EXPECT_EQ(reason(valid, 1010, 1850), "expired") << "the uptime deadline";
    EXPECT_EQ(reason(valid, 1000, 50, 8), "rebooted");
    EXPECT_EQ(reason(valid, 1000, 49), "rebooted");
    EXPECT_EQ(reason(valid, 2800, 60, 8, std::nullopt), "rebooted") << "rows are tried in order";

    EXPECT_EQ(reason(session(86400.5, 86400)), "invalidState");
    EXPECT_EQ(reason(session(1800, 1801)), "invalidState");
    EXPECT_EQ(reason(session(1800, 1800.9)), std::nullopt);
    EXPECT_EQ(reason(session(0, 0)), "invalidState");
    EXPECT_EQ(reason(valid, 1000, 50, 0), "invalidState");
    EXPECT_EQ(reason(valid, std::nan(""), 50), "invalidState");
    EXPECT_EQ(reason(valid, 1000, std::numeric_limits<double>::infinity()), "invalidState");
    const std::vector<std::function<void(WakeGuardianState&)>> breakages{
        [](auto& state) { state.schemaVersion = 2; },
        [](auto& state) { state.deadlineUptime.reset(); },
        [](auto& state) { state.bootTime = 0; },
        [](auto& state) { state.startedAt = 0, state.expiresAt = 1800; },
        [](auto& state) { state.startedUptime = -1, state.deadlineUptime = 1799; },
    };
    for (std::size_t index = 0; index < breakages.size(); ++index) {
        auto broken = session();
        breakages[index](broken);
        EXPECT_EQ(reason(broken), "invalidState") << "case " << index;
    }

    auto inactive = session(0, 99999);
    inactive.active = false;
    EXPECT_EQ(WakePowerPolicy::stopReason(inactive, 1e12, -5, 0, std::nullopt, true), std::nullopt);
}

struct SafetyStopRun {
    std::vector<std::string> calls;
    bool pending = false;
    bool restoreFails = false;

    bool apply(const std::optional<std::string>& reason, bool owns) {
        return WakePowerPolicy::applySafetyStop(
            reason, owns, pending,
            [&](const std::string& effective) {
                calls.push_back("restore " + effective);
                if (restoreFails) throw std::runtime_error("restore failed");
            },
            [&] { calls.push_back("sleep"); });
    }
};

TEST(WakePowerPolicy, SafetyStopSequence) {
    SafetyStopRun plain;
    EXPECT_TRUE(plain.apply("expired", true));
    EXPECT_EQ(plain.calls, (std::vector<std::string>{"restore expired"}));

    SafetyStopRun pending;
    pending.pending = true;
    EXPECT_TRUE(pending.apply("cooldown", true));
    EXPECT_EQ(pending.calls, (std::vector<std::string>{"restore thermal", "sleep"}));
    EXPECT_FALSE(pending.pending);

    SafetyStopRun notOurs;
    notOurs.pending = true;
    EXPECT_FALSE(notOurs.apply("thermal", false));
    EXPECT_TRUE(notOurs.calls.empty());
    EXPECT_FALSE(notOurs.pending);

    SafetyStopRun nothing;
    EXPECT_FALSE(nothing.apply(std::nullopt, true));
    EXPECT_TRUE(nothing.calls.empty());

    SafetyStopRun failing;
    failing.restoreFails = true;
    EXPECT_THROW(failing.apply("thermal", true), std::runtime_error);
    EXPECT_TRUE(failing.pending) << "a failed thermal stop stays thermal";
    failing.restoreFails = false;
    EXPECT_TRUE(failing.apply(std::nullopt, true));
    EXPECT_EQ(failing.calls, (std::vector<std::string>{"restore thermal", "restore thermal", "sleep"}));
}

TEST(WakeThermalProtection, ShouldStopByLimit) {
    using L = WakeThermalLimit;
    EXPECT_FALSE(WakeThermalProtection::shouldStop(0, L::fair));
    EXPECT_FALSE(WakeThermalProtection::shouldStop(0, L::serious));
    EXPECT_TRUE(WakeThermalProtection::shouldStop(1, L::fair));
    EXPECT_FALSE(WakeThermalProtection::shouldStop(1, L::serious));
    for (const std::int64_t state : {2, 3, 4, -1}) {
        EXPECT_TRUE(WakeThermalProtection::shouldStop(state, L::fair));
        EXPECT_TRUE(WakeThermalProtection::shouldStop(state, L::serious));
    }
    EXPECT_EQ(wakeThermalLimit(2), WakeThermalLimit::serious);
    EXPECT_EQ(wakeThermalLimit(0), std::nullopt);
    EXPECT_EQ(wakeThermalLimit(3), std::nullopt);
}

TEST(WakeThermalProtection, GapsCountOnlyWhileWatching) {
    WakeThermalProtection idle;
    for (double t = 100; t < 200; t += 10) EXPECT_EQ(idle.update(0, t, WakeThermalLimit::fair, false), std::nullopt);
    EXPECT_FALSE(idle.coolingRequired);

    WakeThermalProtection watching;
    EXPECT_EQ(watching.update(0, 100, WakeThermalLimit::fair, true), std::nullopt);
    EXPECT_EQ(watching.update(0, 105, WakeThermalLimit::fair, true), std::nullopt) << "5 seconds is no gap";
    EXPECT_EQ(watching.update(0, 115, WakeThermalLimit::fair, true), "monitoringGap");
    EXPECT_TRUE(watching.coolingRequired);
    EXPECT_EQ(watching.nominalSince, 115);

    WakeThermalProtection backwards;
    backwards.update(0, 100, WakeThermalLimit::fair, false);
    EXPECT_EQ(backwards.update(0, 99, WakeThermalLimit::fair, false), "monitoringGap");

    for (const double bad : {-1.0, std::numeric_limits<double>::infinity(), std::nan("")}) {
        WakeThermalProtection broken;
        broken.update(0, 100, WakeThermalLimit::fair, false);
        EXPECT_EQ(broken.update(0, bad, WakeThermalLimit::fair, false), "monitoringGap");
        EXPECT_FALSE(broken.lastCheck);
        EXPECT_TRUE(broken.coolingRequired);
    }

    WakeThermalProtection hotGap;
    hotGap.update(0, 100, WakeThermalLimit::fair, true);
    EXPECT_EQ(hotGap.update(2, 120, WakeThermalLimit::fair, true), "thermal") << "a trip wins over a gap";
}

TEST(WakeThermalProtection, CooldownNeedsUnbrokenNominalReadings) {
    WakeThermalProtection latch;
    EXPECT_EQ(latch.update(2, 0, WakeThermalLimit::serious, true), "thermal");
    EXPECT_EQ(latch.cooldownRemaining(0), 120);
    for (int t = 1; t <= 40; ++t) EXPECT_EQ(latch.update(0, t, WakeThermalLimit::serious, false), "cooldown");
    EXPECT_EQ(latch.cooldownRemaining(31), 90);
    EXPECT_EQ(latch.update(1, 41, WakeThermalLimit::serious, false), "cooldown") << "fair under serious";
    EXPECT_FALSE(latch.nominalSince);
    for (int t = 42; t < 162; ++t) EXPECT_EQ(latch.update(0, t, WakeThermalLimit::serious, false), "cooldown");
    EXPECT_EQ(latch.cooldownRemaining(42 + 119.2), 1);
    EXPECT_EQ(latch.update(0, 162, WakeThermalLimit::serious, false), std::nullopt);
    EXPECT_FALSE(latch.coolingRequired);
    EXPECT_EQ(latch.cooldownRemaining(162), 0);

    WakeThermalProtection restarted(true);
    EXPECT_EQ(restarted.cooldownRemaining(10), 120);
    restarted.update(0, 10, WakeThermalLimit::fair, false);
    restarted.requireCooldown();
    EXPECT_EQ(restarted.lastCheck, 10);
    EXPECT_FALSE(restarted.nominalSince);
    EXPECT_EQ(restarted.update(0, 11, WakeThermalLimit::fair, false), "cooldown");
    EXPECT_EQ(restarted.cooldownRemaining(5), 120) << "nominal run starts later than the asked time";
}

}  // namespace
