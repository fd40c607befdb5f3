// Streams and events. Work runs when it is issued, so a stream is always idle and an event
// completes when it is recorded, at the host's monotonic time: the time between two events
// around a launch is the real time the simulated kernel took.
#include "runtime.h"

using cudasim::detail::Call;
using cudasim::detail::current_device;
using cudasim::detail::stream_valid;

namespace {

cudaError_t create_stream(const char* function, cudaStream_t* stream, unsigned int flags) {
    Call c(function);
    cudaError_t e = c.checks();
    if (e == cudaSuccess && (stream == nullptr || (flags & ~0x1u) != 0)) {
        e = cudaErrorInvalidValue;
    }
    if (e != cudaSuccess) {
        return Call::result(e);
    }
    CUstream_st* s = new CUstream_st{c.device, flags};
    c.rt.streams.insert(s);
    *stream = s;
    return cudaSuccess;
}

cudaError_t create_event(const char* function, cudaEvent_t* event, unsigned int flags) {
    Call c(function);
    cudaError_t e = c.checks();
    bool flags_ok = (flags & ~0x7u) == 0 &&
                    ((flags & cudaEventInterprocess) == 0 || (flags & cudaEventDisableTiming) != 0);
    if (e == cudaSuccess && (event == nullptr || !flags_ok)) {
        e = cudaErrorInvalidValue;
    }
    if (e != cudaSuccess) {
        return Call::result(e);
    }
    CUevent_st* ev = new CUevent_st{c.device, flags, false, {}};
    c.rt.events.insert(ev);
    *event = ev;
    return cudaSuccess;
}

// The device a stream works for: its own, or the calling thread's for the default streams.
cudaError_t stream_device(Call& c, cudaStream_t stream, int* device) {
    if (!stream_valid(c.rt, stream, device)) {
        return cudaErrorInvalidResourceHandle;
    }
    if (*device < 0) {
        *device = current_device();
    }
    return cudaSuccess;
}

bool event_valid(Call& c, cudaEvent_t event) {
    return c.rt.events.count(event) != 0;
}

// Work runs before the call that queued it returns, so waiting for a stream and asking
// whether it is done are the same check: a valid stream on a device without a fault.
cudaError_t check_stream(const char* name, cudaStream_t stream) {
    Call c(name);
    cudaError_t e = c.entry_error();
    int device = -1;
    if (e == cudaSuccess) {
        e = stream_device(c, stream, &device);
    }
    if (e == cudaSuccess) {
        e = c.device_error(device);
    }
    return Call::result(e);
}

// Likewise an event is complete as soon as it is recorded: waiting for it checks the handle
// and the device's fault state only.
cudaError_t check_event(const char* name, cudaEvent_t event) {
    Call c(name);
    cudaError_t e = c.entry_error();
    if (e == cudaSuccess && !event_valid(c, event)) {
        e = cudaErrorInvalidResourceHandle;
    }
    if (e == cudaSuccess) {
        e = c.device_error(event->device);
    }
    return Call::result(e);
}

}  // namespace

extern "C" cudaError_t cudaStreamCreate(cudaStream_t* pStream) {
    return create_stream("cudaStreamCreate", pStream, cudaStreamDefault);
}

extern "C" cudaError_t cudaStreamCreateWithFlags(cudaStream_t* pStream, unsigned int flags) {
    return create_stream("cudaStreamCreateWithFlags", pStream, flags);
}

extern "C" cudaError_t cudaStreamSynchronize(cudaStream_t stream) {
    return check_stream("cudaStreamSynchronize", stream);
}

extern "C" cudaError_t cudaStreamQuery(cudaStream_t stream) {
    return check_stream("cudaStreamQuery", stream);
}

extern "C" cudaError_t cudaStreamDestroy(cudaStream_t stream) {
    Call c("cudaStreamDestroy");
    cudaError_t e = c.entry_error();
    if (e == cudaSuccess && c.rt.streams.count(stream) == 0) {
        e = cudaErrorInvalidResourceHandle;
    }
    if (e != cudaSuccess) {
        return Call::result(e);
    }
    c.rt.streams.erase(stream);
    delete stream;
    return cudaSuccess;
}

extern "C" cudaError_t cudaEventCreate(cudaEvent_t* event) {
    return create_event("cudaEventCreate", event, cudaEventDefault);
}

extern "C" cudaError_t cudaEventCreateWithFlags(cudaEvent_t* event, unsigned int flags) {
    return create_event("cudaEventCreateWithFlags", event, flags);
}

extern "C" cudaError_t cudaEventRecord(cudaEvent_t event, cudaStream_t stream) {
    Call c("cudaEventRecord");
    cudaError_t e = c.entry_error();
    int device = -1;
    if (e == cudaSuccess && !event_valid(c, event)) {
        e = cudaErrorInvalidResourceHandle;
    }
    if (e == cudaSuccess) {
        e = stream_device(c, stream, &device);
    }
    if (e == cudaSuccess && device != event->device) {
        e = cudaErrorInvalidResourceHandle;
    }
    if (e == cudaSuccess) {
        e = c.device_error(device);
    }
    if (e != cudaSuccess) {
        return Call::result(e);
    }
    event->recorded = true;
    event->when = std::chrono::steady_clock::now();
    return cudaSuccess;
}

extern "C" cudaError_t cudaEventQuery(cudaEvent_t event) {
    return check_event("cudaEventQuery", event);
}

extern "C" cudaError_t cudaEventSynchronize(cudaEvent_t event) {
    return check_event("cudaEventSynchronize", event);
}

extern "C" cudaError_t cudaEventElapsedTime(float* ms, cudaEvent_t start, cudaEvent_t end) {
    Call c("cudaEventElapsedTime");
    cudaError_t e = c.entry_error();
    if (e == cudaSuccess && ms == nullptr) {
        e = cudaErrorInvalidValue;
    }
    if (e == cudaSuccess && (!event_valid(c, start) || !event_valid(c, end))) {
        e = cudaErrorInvalidResourceHandle;
    }
    if (e == cudaSuccess && (((start->flags | end->flags) & cudaEventDisableTiming) != 0 ||
                             !start->recorded || !end->recorded)) {
        e = cudaErrorInvalidResourceHandle;
    }
    if (e == cudaSuccess) {
        e = c.device_error(start->device);
    }
    if (e != cudaSuccess) {
        return Call::result(e);
    }
    *ms = std::chrono::duration<float, std::milli>(end->when - start->when).count();
    return cudaSuccess;
}

extern "C" cudaError_t cudaEventDestroy(cudaEvent_t event) {
    Call c("cudaEventDestroy");
    cudaError_t e = c.entry_error();
    if (e == cudaSuccess && !event_valid(c, event)) {
        e = cudaErrorInvalidResourceHandle;
    }
    if (e != cudaSuccess) {
        return Call::result(e);
    }
    c.rt.events.erase(event);
    delete event;
    return cudaSuccess;
}
