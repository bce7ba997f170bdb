#pragma once

// The Foundation interfaces the Mac files written in Objective-C++ use: the root object, strings,
// errors, the XPC connection classes (NSXPCListener, NSXPCConnection, NSXPCInterface), the
// notification centre and the process information's thermal state. Only for Objective-C and
// Objective-C++, as in the SDK.
//
// In the SDK these are spread over NSObject.h, NSString.h, NSError.h, FoundationErrors.h,
// NSXPCConnection.h, NSNotification.h and NSProcessInfo.h, and BOOL, nil and NSUInteger come from
// the Objective-C runtime's headers, all reached through this umbrella.

#include <objc/NSObjCRuntime.h>
#include <objc/objc.h>
#include <sys/types.h>

// On Apple silicon BOOL is bool.
typedef bool BOOL;
#define YES __objc_yes
#define NO __objc_no

#ifndef nil
#if __has_feature(cxx_nullptr)
#define nil nullptr
#else
#define nil ((void*)0)
#endif
#endif

typedef unsigned long NSUInteger;

#pragma clang assume_nonnull begin

@class Protocol;
@class NSString;
@class NSError;
@class NSXPCConnection;
@class NSXPCListener;
@class NSXPCInterface;
@class NSOperationQueue;

// ---- NSObject.h

@protocol NSObject
@end

__attribute__((objc_root_class))
@interface NSObject <NSObject>
+ (instancetype)alloc;
- (instancetype)init;
@end

// ---- NSString.h

typedef NSUInteger NSStringEncoding;
enum : NSStringEncoding {
    NSUTF8StringEncoding = 4,
};

@interface NSString : NSObject
- (nullable instancetype)initWithBytes:(const void*)bytes
                                length:(NSUInteger)len
                              encoding:(NSStringEncoding)encoding;
@property(nullable, readonly) const char* UTF8String __attribute__((objc_returns_inner_pointer));
- (BOOL)isEqualToString:(NSString*)aString;
@end

// ---- NSError.h and FoundationErrors.h

typedef NSString* NSErrorDomain;
#ifdef __cplusplus
extern "C" {
#endif
extern NSErrorDomain const NSCocoaErrorDomain;
#ifdef __cplusplus
}
#endif

// Codes of NSCocoaErrorDomain.
enum : NSInteger {
    NSXPCConnectionInterrupted = 4097,
    NSXPCConnectionInvalid = 4099,
};

@interface NSError : NSObject
@property(readonly, copy) NSErrorDomain domain;
@property(readonly) NSInteger code;
@property(readonly, copy) NSString* localizedDescription;
@end

// ---- NSXPCConnection.h

typedef NSUInteger NSXPCConnectionOptions;
enum : NSXPCConnectionOptions {
    NSXPCConnectionPrivileged = (1 << 12UL),
};

@protocol NSXPCProxyCreating
- (id)remoteObjectProxyWithErrorHandler:(void (^)(NSError* error))handler;
@end

@interface NSXPCConnection : NSObject <NSXPCProxyCreating>
- (instancetype)initWithMachServiceName:(NSString*)name options:(NSXPCConnectionOptions)options;
@property(nullable, retain) NSXPCInterface* exportedInterface;
@property(nullable, retain) id exportedObject;
@property(nullable, retain) NSXPCInterface* remoteObjectInterface;
@property(nullable, copy) void (^interruptionHandler)(void);
@property(nullable, copy) void (^invalidationHandler)(void);
- (void)resume;
- (void)invalidate;
@property(readonly) uid_t effectiveUserIdentifier;
+ (nullable NSXPCConnection*)currentConnection;
- (void)setCodeSigningRequirement:(NSString*)requirement;
@end

@protocol NSXPCListenerDelegate <NSObject>
@optional
- (BOOL)listener:(NSXPCListener*)listener shouldAcceptNewConnection:(NSXPCConnection*)newConnection;
@end

@interface NSXPCListener : NSObject
- (instancetype)initWithMachServiceName:(NSString*)name;
@property(nullable, weak) id<NSXPCListenerDelegate> delegate;
- (void)resume;
- (void)invalidate;
- (void)setConnectionCodeSigningRequirement:(NSString*)requirement;
@end

@interface NSXPCInterface : NSObject
+ (NSXPCInterface*)interfaceWithProtocol:(Protocol*)protocol;
@end

// ---- NSNotification.h

typedef NSString* NSNotificationName;

@interface NSNotification : NSObject
@property(readonly, copy) NSNotificationName name;
@property(nullable, readonly, retain) id object;
@end

@interface NSNotificationCenter : NSObject
@property(class, readonly, strong) NSNotificationCenter* defaultCenter;
// With no queue the block runs synchronously on the thread that posts the notification.
- (id<NSObject>)addObserverForName:(nullable NSNotificationName)name
                            object:(nullable id)obj
                             queue:(nullable NSOperationQueue*)queue
                        usingBlock:(void (^)(NSNotification* notification))block;
- (void)removeObserver:(id)observer;
@end

// ---- NSProcessInfo.h

typedef NSInteger NSProcessInfoThermalState;
enum : NSProcessInfoThermalState {
    NSProcessInfoThermalStateNominal = 0,
    NSProcessInfoThermalStateFair = 1,
    NSProcessInfoThermalStateSerious = 2,
    NSProcessInfoThermalStateCritical = 3,
};

@interface NSProcessInfo : NSObject
@property(class, readonly, strong) NSProcessInfo* processInfo;
@property(readonly) NSProcessInfoThermalState thermalState;
@end

#ifdef __cplusplus
extern "C" {
#endif
// Posted when the thermal state changes; its object is the process information.
extern NSNotificationName const NSProcessInfoThermalStateDidChangeNotification;
#ifdef __cplusplus
}
#endif

#pragma clang assume_nonnull end
