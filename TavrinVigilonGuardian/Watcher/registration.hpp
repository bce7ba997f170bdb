#pragma once

#include <cstdint>
#include <string>

// `guardian register`: ends any session, unloads the running daemon, records who may drive the
// guardian (`ownerUID`, non-zero, and the front end's `clientHash`, already validated) together
// with the guardian's own code hash, and brings the daemon back until it reports ready. Any
// error aborts at its step and propagates.
void registerHelper(std::uint32_t ownerUID, const std::string& clientHash);
