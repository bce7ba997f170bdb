#pragma once

// The dispatch interfaces the Mac files written in C++ use: serial queues, work submitted as a
// function with its context, and timer sources. In the SDK they are spread over queue.h,
// object.h, source.h and time.h under this umbrella.
//
// As the SDK declares them for C++ without Objective-C: every dispatch object is a pointer to a
// struct derived from dispatch_object_s, retained and released by hand. (In Objective-C the SDK
// makes them Objective-C objects that ARC manages; that form is not declared here.)

#ifdef __OBJC__
#error "declared for C++ only: in Objective-C dispatch objects are Objective-C objects"
#endif

#include <stddef.h>
#include <stdint.h>

#pragma clang assume_nonnull begin

// ---- object.h

struct dispatch_object_s {
private:
    dispatch_object_s();
    ~dispatch_object_s();
    dispatch_object_s(const dispatch_object_s&);
    void operator=(const dispatch_object_s&);
};
typedef dispatch_object_s* dispatch_object_t;

struct dispatch_queue_s : public dispatch_object_s {};
typedef dispatch_queue_s* dispatch_queue_t;
struct dispatch_queue_attr_s : public dispatch_object_s {};
typedef dispatch_queue_attr_s* dispatch_queue_attr_t;
struct dispatch_source_s : public dispatch_object_s {};
typedef dispatch_source_s* dispatch_source_t;

typedef void (*dispatch_function_t)(void* _Nullable);

// ---- time.h

typedef uint64_t dispatch_time_t;
#define DISPATCH_TIME_NOW (0ull)

extern "C" {

dispatch_time_t dispatch_time(dispatch_time_t when, int64_t delta);

void dispatch_release(dispatch_object_t object);
void dispatch_set_context(dispatch_object_t object, void* _Nullable context);
void dispatch_activate(dispatch_object_t object);

// ---- queue.h

// A queue that runs one block at a time, in the order submitted.
#define DISPATCH_QUEUE_SERIAL NULL

dispatch_queue_t dispatch_queue_create(const char* _Nullable label, dispatch_queue_attr_t _Nullable attr);
void dispatch_async_f(dispatch_queue_t queue, void* _Nullable context, dispatch_function_t work);
void dispatch_sync_f(dispatch_queue_t queue, void* _Nullable context, dispatch_function_t work);

// ---- source.h

typedef const struct dispatch_source_type_s* dispatch_source_type_t;
extern const struct dispatch_source_type_s _dispatch_source_type_timer;
#define DISPATCH_SOURCE_TYPE_TIMER (&_dispatch_source_type_timer)

dispatch_source_t dispatch_source_create(dispatch_source_type_t type, uintptr_t handle, uintptr_t mask,
                                         dispatch_queue_t _Nullable queue);
void dispatch_source_set_timer(dispatch_source_t source, dispatch_time_t start, uint64_t interval, uint64_t leeway);
// The handlers are called with the source's context.
void dispatch_source_set_event_handler_f(dispatch_source_t source, dispatch_function_t _Nullable handler);
void dispatch_source_set_cancel_handler_f(dispatch_source_t source, dispatch_function_t _Nullable handler);
void dispatch_source_cancel(dispatch_source_t source);

}

#pragma clang assume_nonnull end
