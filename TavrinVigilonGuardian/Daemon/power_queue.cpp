#include "Daemon/power_queue.hpp"

PowerQueue& powerQueue() {
    // Never destroyed: connection threads may still queue work while the process exits.
    static PowerQueue* const queue = new PowerQueue;
    return *queue;
}
