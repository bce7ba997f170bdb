#pragma once

// The one system setting the guardian changes: SleepDisabled, through the power-management tool.
inline constexpr const char* pmsetPath = "/usr/bin/pmset";
inline constexpr double pmsetTimeout = 2;

// The current SleepDisabled value. Throws GuardianError "Cannot verify SleepDisabled." when the
// report cannot be trusted; errors of the tool pass through.
bool sleepDisabled();

// Sets SleepDisabled and reads it back. Throws "Cannot verify SleepDisabled." or
// "SleepDisabled verification failed."; errors of the tool pass through.
void setSleepDisabled(bool wanted);

// Creates (or replaces) the ownership marker durably: the one record that the guardian itself
// turned SleepDisabled on. Throws "Cannot secure ownership marker." or WakeIPCError.
void claimSetting();

// Asks the system to sleep, after a thermal trip.
void requestSleep();
