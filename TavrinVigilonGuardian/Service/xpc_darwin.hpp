#pragma once

// What the Mac's listener, server connection and client connection share: the guardian's
// protocol as Foundation XPC sees it, text conversion, and the platform's side of a server
// connection. Objective-C++ only: included by the *_darwin.mm files, never by shared code.

#include <Foundation/Foundation.h>

#include "sys/utf8.hpp"
#include "Service/tavrin_wake_control.hpp"
#include "Service/xpc_server_connection.hpp"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

// The guardian's one method. Both ends are built from this declaration, so the selector and the
// argument types agree; the reply block is called exactly once by the service.
@protocol TavrinWakeControl
- (void)perform:(NSString*)request
         minutes:(int64_t)minutes
    thermalLimit:(int64_t)thermalLimit
           reply:(void (^)(BOOL success, NSString* message))reply;
@end

// A stray byte in a message is shown as U+FFFD rather than losing the whole message, as on the
// local socket.
inline NSString* nsStringFrom(std::string_view text) {
    const std::string repaired = repair_utf8(text);
    return [[NSString alloc] initWithBytes:repaired.data() length:repaired.size() encoding:NSUTF8StringEncoding];
}

// Text from the other side ends at its first NUL byte, which no message of this service holds.
inline std::string stdStringFrom(NSString* text) {
    const char* bytes = text.UTF8String;
    return bytes == nullptr ? std::string() : std::string(bytes);
}

// The connection the listener handed over. It stays valid as long as this does: the platform
// requires a connection to be invalidated before it goes, so the last owner invalidates it.
struct XPCServerConnection::Transport {
    explicit Transport(NSXPCConnection* platformConnection) : connection(platformConnection) {}
    ~Transport();
    Transport(const Transport&) = delete;
    Transport& operator=(const Transport&) = delete;

    NSXPCConnection* const connection;
    std::atomic<bool> resumed{false};
    std::atomic<bool> invalidated{false};  // by this side, or seen ended by the platform
};

// Wraps a connection the listener was just asked about, so that currentConnection() finds this
// very wrapper during the connection's calls for as long as the wrapper lives.
std::shared_ptr<XPCServerConnection> adoptServerConnection(NSXPCConnection* connection);
