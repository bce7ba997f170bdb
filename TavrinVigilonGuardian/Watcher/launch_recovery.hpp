#pragma once

// Run under the guardian lock by a starting watcher: rebuilds the thermal state of this process
// from the session record and ends whatever session a previous process or boot left behind
// ("restarted" within the same boot, "rebooted" otherwise; a pending thermal stop stays
// thermal). Throws the error of the stop.
void recoverAtLaunch();

// The same reconciliation for a new registration: the cooldown is latched only for a session
// that is still owned, and an owned session ends with "updated".
void recoverForRegistration();
