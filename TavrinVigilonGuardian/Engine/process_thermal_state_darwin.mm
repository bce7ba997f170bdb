#include "Engine/process_thermal_state.hpp"

#include <Foundation/Foundation.h>

std::int64_t processThermalState() { return static_cast<std::int64_t>([NSProcessInfo processInfo].thermalState); }

namespace {

// The token the notification centre handed out for one observer block.
class NotificationObservation final : public ThermalStateObservation {
public:
    explicit NotificationObservation(id<NSObject> token) : token_(token) {}
    ~NotificationObservation() override { [[NSNotificationCenter defaultCenter] removeObserver:token_]; }

private:
    id<NSObject> token_;
};

}  // namespace

std::unique_ptr<ThermalStateObservation> observeThermalState(std::function<void(std::int64_t)> changed) {
    // The system posts the change only to a process that has read the state before registering.
    (void)processThermalState();
    // No queue: the block runs on the thread that posts, and it only reads the state and hands it
    // on. The block keeps its own copy of `changed`.
    const id<NSObject> token =
        [[NSNotificationCenter defaultCenter] addObserverForName:NSProcessInfoThermalStateDidChangeNotification
                                                          object:nil
                                                           queue:nil
                                                      usingBlock:^(NSNotification* notification) {
                                                        (void)notification;
                                                        changed(processThermalState());
                                                      }];
    return std::make_unique<NotificationObservation>(token);
}
