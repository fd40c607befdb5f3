// The runtime side of the simulator as the engine calls it: devices, memory, streams, events,
// launches, errors and injected faults. A case is a script of calls and what they print.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <future>
#include <map>
#include <numeric>
#include <sstream>
#include <thread>

#include "sample_kernel.h"
#include "sim_test.h"

namespace cudasim_test {
namespace {

using Clock = std::chrono::steady_clock;

__global__ void k_sleep(int ms) {
    if (threadIdx.x == 0 && blockIdx.x == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// 1536K, 8G, or plain bytes.
std::string size_text(uint64_t n) {
    int unit = 0;
    for (; n != 0 && n % 1024 == 0 && unit < 4; n /= 1024)
        ++unit;
    return std::to_string(n) + (unit == 0 ? "" : std::string(1, "KMGT"[unit - 1]));
}

// 100, 8191K, 4G.
uint64_t size_value(const std::string& s) {
    size_t end = 0;
    const uint64_t n = s.empty() || s[0] < '0' || s[0] > '9' ? 0 : std::stoull(s, &end);
    return n << 10 * std::string("_KMG").find(end != 0 && end < s.size() ? s[end] : '_');
}

// A script is words separated by blanks, one runtime call each, which print "ok", or the
// error's name without "cudaError", or on success what they read:
//   malloc:SIZE (null on failure; "written" when a failure set the pointer)  free (the
//   newest allocation)  ptr (its address mod 256, or null)  mem (free memory)  total (all
//   memory)  live  allocs (each live allocation's device:size)  reset
//   h2d:N[+OFF] (async)  d2h:N[+OFF] (up to 8 bytes)  memset:N[+OFF] (0x1ab, async): the
//   newest allocation; d2d:N[+OFF] (from the allocation before it)  any:N[+OFF] (host to
//   the newest, async, of kind cudaMemcpyDefault)  h2h:N[+OFF] (from the host bytes 0, 1,
//   2..., read back as d2h)  wrongway:N (a host destination called device)
//   count  set:D  install (one default device, from the program)  device
//   prop:D (name/cc/SMs/memory/L2/PCI)  warp:D (its warp size)
//   launch[:trap|deadlock|mask] (k_fault)  launches  fill[:both] (k_fill of the newest
//   allocation with 0x11; both: it is the second parameter too)  sleep:MS (a kernel that
//   takes MS milliseconds)
//   stream[:FLAGS] (1 without)  legacy (back to the legacy stream)  ssync  squery
//   sdestroy  streams (live ones)
//   event[:FLAGS]  record:I  esync:I  equery:I  edestroy:I  events (live ones)
//   elapsed[:I+J] (from event I to J, 0 to 1 without: ok when as long as the kernels'
//   sleep and no longer than the script; "written" when a failure set the result)
//   last  peek  text (of the last error)  sync  other:WORD (WORD on a new thread)
// Work goes to the stream once one is created, else to the legacy stream.
class Script {
  public:
    Script() { std::iota(host_, host_ + 256, 0); }
    std::string run(const std::string& words) {
        std::istringstream in(words);
        std::string out;
        for (std::string word; in >> word;)
            out += (out.empty() ? "" : " ") + call(word);
        return out;
    }

  private:
    std::string say(const std::string& read = "ok") const {
        return e_ == cudaSuccess ? read : std::string(cudaGetErrorName(e_)).substr(9);
    }

    // Every word keeps its call's error in e_, then says what it read.
    std::string call(const std::string& word) {
        const size_t colon = word.find(':');
        const std::string arg = colon == std::string::npos ? "" : word.substr(colon + 1);
        const size_t plus = arg.find('+');
        const uint64_t n = size_value(arg.substr(0, plus));
        const uint64_t off = plus == std::string::npos ? 0 : size_value(arg.substr(plus + 1));
        uint8_t* dev = bufs_.empty() ? nullptr : bufs_.back() + off;
        cudaEvent_t ev = n < ev_.size() ? ev_[n] : nullptr;
        const int fault = std::find(kFaults, kFaults + 4, arg) - kFaults;
        const std::map<std::string, std::function<std::string()>> words = {
            {"malloc", [&] { return allocate(n); }},
            {"free", [&] { return e_ = cudaFree(bufs_.back()), bufs_.pop_back(), say(); }},
            {"ptr", [&] { return address(); }},
            {"mem", [&] { return e_ = cudaMemGetInfo(&free_, &total_), say(size_text(free_)); }},
            {"total", [&] { return e_ = cudaMemGetInfo(&free_, &total_), say(size_text(total_)); }},
            {"live", [&] { return std::to_string(cudasim::live_allocations().size()); }},
            {"allocs", [&] { return allocations(); }},
            {"reset", [&] { return cudasim::reset(), bufs_.clear(), "ok"; }},
            {"install",
             [&] {
                 return cudasim::set_devices({{cudasim::DeviceSpec{}}, true}), "ok";
             }},
            {"h2d", [&] { return e_ = cudaMemcpyAsync(dev, host_, n, kH2D, s_), say(); }},
            {"d2h", [&] { return e_ = cudaMemcpy(back_, dev, n, kD2H), say(hex(n)); }},
            {"d2d", [&] { return e_ = cudaMemcpy(dev, bufs_.rbegin()[1], n, kD2D), say(); }},
            {"any",
             [&] { return e_ = cudaMemcpyAsync(dev, host_, n, cudaMemcpyDefault, s_), say(); }},
            {"h2h", [&] { return e_ = cudaMemcpy(back_, host_ + off, n, kH2H), say(hex(n)); }},
            {"memset", [&] { return e_ = cudaMemsetAsync(dev, 0x1ab, n, s_), say(); }},
            {"wrongway", [&] { return e_ = cudaMemcpy(host_, dev, n, kH2D), say(); }},
            {"count", [&] { return e_ = cudaGetDeviceCount(&int_), say(std::to_string(int_)); }},
            {"set", [&] { return e_ = cudaSetDevice(static_cast<int>(n)), say(); }},
            {"device", [&] { return e_ = cudaGetDevice(&int_), say(std::to_string(int_)); }},
            {"prop", [&] { return e_ = cudaGetDeviceProperties(&p_, int(n)), say(props()); }},
            {"warp",
             [&] {
                 return e_ = cudaGetDeviceProperties(&p_, int(n)), say(std::to_string(p_.warpSize));
             }},
            {"launch", [&] { return e_ = launch(s_, k_fault, 1, 32, fault), say(); }},
            {"launches", [&] { return std::to_string(cudasim::launch_count()); }},
            {"fill",
             [&] {
                 uint8_t* second = arg == "both" ? dev : nullptr;
                 return e_ = launch(s_, k_fill, 1, 8, dev, second, 17), say();
             }},
            {"sleep", [&] { return slept_ += n, e_ = launch(s_, k_sleep, 2, 32, int(n)), say(); }},
            {"stream",
             [&] { return e_ = cudaStreamCreateWithFlags(&s_, arg.empty() ? 1 : n), say(); }},
            {"ssync", [&] { return e_ = cudaStreamSynchronize(s_), say(); }},
            {"legacy", [&] { return s_ = nullptr, "ok"; }},
            {"squery", [&] { return e_ = cudaStreamQuery(s_), say(); }},
            {"sdestroy", [&] { return e_ = cudaStreamDestroy(s_), say(); }},
            {"streams", [&] { return std::to_string(cudasim::live_streams()); }},
            {"event", [&] { return e_ = cudaEventCreateWithFlags(&ev_.emplace_back(), n), say(); }},
            {"record", [&] { return e_ = cudaEventRecord(ev, s_), say(); }},
            {"esync", [&] { return e_ = cudaEventSynchronize(ev), say(); }},
            {"equery", [&] { return e_ = cudaEventQuery(ev), say(); }},
            {"edestroy", [&] { return e_ = cudaEventDestroy(ev), say(); }},
            {"events", [&] { return std::to_string(cudasim::live_events()); }},
            {"elapsed", [&] { return arg.empty() ? elapsed(0, 1) : elapsed(n, off); }},
            {"last", [&] { return e_ = cudaGetLastError(), say(); }},
            {"peek", [&] { return e_ = cudaPeekAtLastError(), say(); }},
            {"text",
             [&] { return '"' + std::string(cudaGetErrorString(cudaGetLastError())) + '"'; }},
            {"sync", [&] { return e_ = cudaDeviceSynchronize(), say(); }},
            {"other",
             [&] { return std::async(std::launch::async, &Script::call, this, arg).get(); }},
        };
        return words.at(word.substr(0, colon))();
    }

    std::string hex(uint64_t n) const {
        char text[17] = {};
        for (uint64_t i = 0; i < std::min<uint64_t>(n, 8); ++i)
            std::snprintf(text + 2 * i, 3, "%02x", back_[i]);
        return text;
    }
    std::string props() const {
        char text[400];
        std::snprintf(text, sizeof text, "%s/%d.%d/%d/%s/%s/%02x:%02x", p_.name, p_.major, p_.minor,
                      p_.multiProcessorCount, size_text(p_.totalGlobalMem).c_str(),
                      size_text(p_.l2CacheSize).c_str(), p_.pciBusID, p_.pciDeviceID);
        return text;
    }
    // A failed allocation must leave the caller's pointer alone.
    std::string allocate(uint64_t n) {
        uint8_t*& p = bufs_.emplace_back(kUnset);
        e_ = cudaMalloc(&p, n);
        const bool written = e_ != cudaSuccess && p != kUnset;
        p = p == kUnset ? nullptr : p;
        return say() + (written ? " written" : "");
    }
    std::string address() const {
        const auto a = reinterpret_cast<uintptr_t>(bufs_.back());
        return a == 0 ? "null" : std::to_string(a % 256);
    }
    std::string allocations() const {
        std::vector<std::string> all;
        for (const cudasim::Allocation& a : cudasim::live_allocations())
            all.push_back(std::to_string(a.device) + ":" + size_text(a.size));
        std::sort(all.begin(), all.end());
        std::string out;
        for (const std::string& a : all)
            out += (out.empty() ? "" : ",") + a;
        return out;
    }
    // Milliseconds, negative backwards: at least the kernels' sleep, at most the host's time
    // since the script began.
    std::string elapsed(size_t from, size_t to) {
        float ms = 7;
        e_ = cudaEventElapsedTime(&ms, ev_.at(from), ev_.at(to));
        if (e_ != cudaSuccess)
            return say() + (ms == 7 ? "" : " written");
        const std::chrono::duration<float, std::milli> since = Clock::now() - t0_;
        const float forward = from < to ? ms : -ms;
        return forward >= slept_ && forward <= since.count() ? "ok" : std::to_string(ms);
    }

    static constexpr const char* kFaults[] = {"", "trap", "deadlock", "mask"};  // kNone...
    static constexpr cudaMemcpyKind kH2D = cudaMemcpyHostToDevice;
    static constexpr cudaMemcpyKind kD2H = cudaMemcpyDeviceToHost;
    static constexpr cudaMemcpyKind kD2D = cudaMemcpyDeviceToDevice;
    static constexpr cudaMemcpyKind kH2H = cudaMemcpyHostToHost;
    inline static uint8_t* const kUnset = reinterpret_cast<uint8_t*>(uintptr_t{0x1234});
    cudaError_t e_ = cudaSuccess;
    std::vector<uint8_t*> bufs_;
    std::vector<cudaEvent_t> ev_;  // events
    cudaStream_t s_ = nullptr;     // the stream
    const Clock::time_point t0_ = Clock::now();
    size_t free_ = 0, total_ = 0;
    int int_ = -1;
    float slept_ = 0;
    cudaDeviceProp p_{};
    uint8_t host_[256];
    uint8_t back_[256] = {};
};

// "script => output"; err is what standard error must contain, else it stays empty.
struct Case {
    Settings settings;
    const char* text;
    const char* err = "";
};

// Every case runs with its settings in the environment, then set by the control calls but for
// those that expect a message (a malformed setting has no control form): those run twice.
void run(const std::vector<Case>& cases) {
    for (const Case& c : cases)
        for (bool api : {false, *c.err == 0}) {
            const std::string text = c.text;
            ::testing::internal::CaptureStderr();
            apply(c.settings, api);
            const std::string out = Script().run(text.substr(0, text.find(" => ")));
            const std::string err = ::testing::internal::GetCapturedStderr();
            EXPECT_EQ(out, text.substr(text.find(" => ") + 4)) << text << (api ? " (api)" : "");
            EXPECT_TRUE(*c.err ? err.find(c.err) != std::string::npos : err.empty()) << err;
        }
}

using Runtime = SimTest;

TEST_F(Runtime, DevicesAreWhatTheSettingSaysAndAMalformedSettingFailsEveryCall) {
    const char* broken = "count malloc:8 => InitializationError InitializationError";
    run({
        {{}, "count prop:0 mem prop:1 => 1 cudasim GPU/8.6/46/8G/4M/01:00 7680M InvalidDevice"},
        {{"0"}, "count set:0 text => NoDevice NoDevice \"no CUDA-capable device is detected\""},
        {{""}, "count set:0 malloc:8 => NoDevice NoDevice NoDevice"},
        {{"  "}, "count set:0 malloc:8 => NoDevice NoDevice NoDevice"},
        {{}, "warp:0 total => 32 8G"},
        {{"mem=512M|mem=2G;free=1G"}, "total set:1 total => 512M ok 2G"},
        {{"none"}, "count set:0 => 0 NoDevice"},
        {{"name=Tovren X 80; cc=12.0; sm=84; mem=16G; free=15.5G; l2=64M; pci=41:00 |"
          "name=Small;cc=8.9;sm=24;mem=512M;l2=1536K;pci=3:1f|cc=7.5"},
         "count prop:0 mem prop:1 set:1 mem prop:2 prop:3 text => 3 Tovren X 80/12.0/84/16G/64M/"
         "41:00 15872M Small/8.9/24/512M/1536K/03:1f ok 480M cudasim GPU/7.5/46/8G/4M/03:00 "
         "InvalidDevice \"invalid device ordinal\""},
        {{"name=A;cc=8|name=B"}, broken, "cudasim: CUDASIM_DEVICES: "},
        {{{}, "cudaMaloc:1:2"}, broken, "cudasim: CUDASIM_FAIL: "},
        {{{}, {}, "300"}, broken, "cudasim: CUDASIM_CORRUPT: "},
        {{{}, {}, {}, "0"}, broken, "cudasim: CUDASIM_THREADS: "},
        {{}, "malloc:8 text => ok \"no error\""},  // a reset reads the environment again
    });
}

// The listed order unless CUDA_DEVICE_ORDER=PCI_BUS_ID asks for the order of the bus ids, as
// the real runtime numbers devices.
TEST_F(Runtime, PciBusIdOrderNumbersTheDevicesByBus) {
    const std::pair<const char*, const char*> cases[] = {
        {nullptr, "B A C D "}, {"FASTEST_FIRST", "B A C D "}, {"PCI_BUS_ID", "A C D B "}};
    for (const auto& [order, names] : cases) {
        order ? setenv("CUDA_DEVICE_ORDER", order, 1) : unsetenv("CUDA_DEVICE_ORDER");
        apply({"name=B;pci=41:00|name=A;pci=2:00|name=C;pci=2:1f|name=D"}, false);
        int count = 0;
        ASSERT_EQ(cudaGetDeviceCount(&count), cudaSuccess);
        std::string seen;
        for (int d = 0; d < count; ++d) {
            cudaDeviceProp prop{};
            ASSERT_EQ(cudaGetDeviceProperties(&prop, d), cudaSuccess);
            seen += std::string(prop.name) + " ";
        }
        EXPECT_EQ(seen, names) << (order ? order : "unset");
    }
    unsetenv("CUDA_DEVICE_ORDER");
}

// Never a default in place of what was meant; devices that the program installs replace a
// broken device list.
TEST_F(Runtime, EveryMalformedSettingFailsEveryCall) {
    const std::pair<const char*, std::vector<const char*>> settings[] = {
        {"cudasim: CUDASIM_DEVICES: ",
         {"name=A;cc=8", "name=A;cc=x.6", "sm=0", "mem=lots", "mem=1G;free=2G",
          "name=A;colour=green", "name=A;name=B", "name=A|", "|name=A", "pci=1:2:3", "pci=zz:00",
          "l2=4G", "cc", "sm=-3", "mem=1.2345678G"}},
        {"cudasim: CUDASIM_FAIL: ",
         {"cudaMalloc", "cudaMalloc:1", "cudaMaloc:1:cudaErrorUnknown",
          "cudaMalloc:0:cudaErrorUnknown", "cudaMalloc:x:cudaErrorUnknown",
          "cudaMalloc:1:cudaErrorNope", "cudaMalloc:1:cudaSuccess",
          "cudaMalloc@x:1:cudaErrorUnknown", "cudaMalloc:1:2:3", "cudaMalloc:1:cudaErrorUnknown,"}},
        {"cudasim: CUDASIM_CORRUPT: ", {"x", "8+", "8@", "+3", "8+x", "300", "8,,9"}},
        {"cudasim: CUDASIM_THREADS: ", {"0", "-1", "1025", "four"}},
        {"cudasim: CUDASIM_ORDER: ", {"", "random", "random:", "random:x", "Descending"}},
    };
    std::vector<Case> cases;
    for (const auto& [variable, values] : settings)
        for (const char* value : values) {
            Settings s;
            const char c = variable[17];
            const char** field = c == 'D'   ? &s.devices
                                 : c == 'F' ? &s.fail
                                 : c == 'C' ? &s.corrupt
                                 : c == 'O' ? &s.order
                                            : &s.threads;
            *field = value;
            cases.push_back({s,
                             field == &s.devices
                                 ? "count set:0 malloc:8 install count => InitializationError "
                                   "InitializationError InitializationError ok 1"
                                 : "count malloc:8 set:0 => InitializationError "
                                   "InitializationError InitializationError",
                             variable});
        }
    run(cases);
}

TEST_F(Runtime, InjectedFailuresAndCorruptionDoNothingElse) {
    run({
        {{{}, "cudaMalloc:2:cudaErrorMemoryAllocation"},
         "malloc:16 malloc:16 text malloc:16 live => ok MemoryAllocation \"out of memory\" ok 2"},
        {{{}, "cudaFree:2+:cudaErrorUnknown"},
         "malloc:16 malloc:16 malloc:16 free free free live last => "
         "ok ok ok ok Unknown Unknown 2 Unknown"},
        {{{}, "cudaMemcpyAsync:*:999, cudaStreamCreateWithFlags:1:1"},
         "malloc:16 h2d:4 h2d:4 d2h:4 stream stream => "
         "ok Unknown Unknown a5a5a5a5 InvalidValue ok"},
        // @D counts the calls about device D: the ordinal given, else the current device.
        {{"name=A|name=B|name=C",
          "cudaGetDeviceProperties@1:*:cudaErrorInvalidDevice,cudaMemGetInfo@2:2+:999"},
         "prop:1 set:2 mem prop:1 mem mem set:1 mem => "
         "InvalidDevice ok 7680M InvalidDevice Unknown Unknown ok 7680M"},
        // A refused launch runs nothing; a failed wait fails once.
        {{{}, "cudaLaunchKernel:1:cudaErrorLaunchOutOfResources,cudaEventSynchronize:1:719"},
         "launch launches text launch launches event esync:0 esync:0 => LaunchOutOfResources 0 "
         "\"too many resources requested for launch\" ok 1 ok LaunchFailure ok"},
        // A byte behind a pointer parameter flips after every launch, but not behind a null
        // pointer, an int or a parameter the kernel lacks, nor beyond the buffer.
        {{{}, {}, "0+5,1,2,3,0+8"},
         "malloc:8 fill d2h:8 fill d2h:8 => ok ok 1111111111ee1111 ok 1111111111ee1111"},
        {{{}, {}, "1+2"}, "malloc:8 fill:both d2h:8 => ok ok 1111ee1111111111"},
        {{"name=A|name=B", {}, "0+1@1,0@0"},
         "malloc:8 fill d2h:2 set:1 malloc:8 fill d2h:2 => ok ok ee11 ok ok ok 11ee"},
    });
}

TEST_F(Runtime, CallsBehaveAsTheEngineExpects) {
    run({
        // Free memory goes down and up in granules of 256 bytes, per device; beyond it nothing
        // is allocated.
        {{"mem=64M;free=48M|mem=1G"},
         "mem malloc:1000 mem malloc:40M mem malloc:8M free malloc:8191K mem set:1 mem set:0 "
         "free free free mem live => 48M ok 49151K ok 8191K MemoryAllocation ok ok 0 ok 960M ok "
         "ok ok ok 48M 0"},
        // Copies and fills stay within one allocation and go the way their kind says; memory
        // starts as 0xa5, not 0; large buffers are mapped, not taken from the heap.
        {{},
         "malloc:100 d2h:4 h2d:100 d2h:4+96 memset:20+10 d2h:4+8 d2h:4+28 h2d:101 d2h:51+50 "
         "wrongway:10 memset:1+100 malloc:4G h2d:4+4095M d2h:4+4095M => ok a5a5a5a5 ok 60616263 "
         "ok 0809abab abab1e1f InvalidValue InvalidValue InvalidValue InvalidValue ok ok 00010203"},
        // Allocations are aligned to 256 bytes; one of no bytes is null; a failed one leaves the
        // pointer alone. A reset frees everything.
        {{},
         "malloc:1000 ptr malloc:1 ptr malloc:0 ptr malloc:8G ptr malloc:40 malloc:3M allocs "
         "reset live mem => ok 0 ok 0 ok null MemoryAllocation null ok ok 0:1,0:1000,0:3M,0:40 "
         "ok 0 7680M"},
        // Memory belongs to the device that allocated it, whichever device frees it.
        {{"mem=1G;free=1G|mem=2G;free=1G"},
         "set:1 malloc:256M mem set:0 mem free mem set:1 mem => ok ok 768M ok 1G ok 1G ok 1G"},
        // Device to device, host to host, and cudaMemcpyDefault, within their buffers.
        {{},
         "malloc:64 h2d:64 malloc:64 d2d:32+8 d2h:8+8 d2h:4 d2h:4+40 d2d:57+8 h2h:4+10 any:8+56 "
         "d2h:8+56 any:9+56 => ok ok ok ok 0001020304050607 a5a5a5a5 a5a5a5a5 InvalidValue "
         "0a0b0c0d ok 0001020304050607 InvalidValue"},
        // Elapsed time covers the kernels between the events, either way round; both events must
        // time and be recorded, and a failure leaves the result alone.
        {{},
         "stream event event:1 record:0 sleep:20 record:1 esync:1 equery:1 squery elapsed "
         "elapsed:1+0 => ok ok ok ok ok ok ok ok ok ok ok"},
        {{},
         "event event:2 event elapsed:0+2 record:0 elapsed:0+2 record:1 record:2 elapsed:0+1 "
         "elapsed:0+2 esync:2 => ok ok ok InvalidResourceHandle ok InvalidResourceHandle ok ok "
         "InvalidResourceHandle ok ok"},
        // Destroyed streams and events are gone and refused.
        {{},
         "stream event streams events sdestroy edestroy:0 streams events ssync squery record:0 "
         "esync:0 equery:0 sdestroy edestroy:0 text => ok ok 1 1 ok ok 0 0 InvalidResourceHandle "
         "InvalidResourceHandle InvalidResourceHandle InvalidResourceHandle InvalidResourceHandle "
         "InvalidResourceHandle InvalidResourceHandle \"invalid resource handle\""},
        // Events time on the host's clock in milliseconds; streams and events belong to a device.
        {{"name=A|name=B"},
         "stream event event:1 elapsed record:0 launch record:1 esync:1 ssync elapsed "
         "set:1 launch event record:2 => ok ok ok InvalidResourceHandle ok ok ok ok ok ok ok "
         "InvalidResourceHandle ok InvalidResourceHandle"},
        {{"name=A|name=B"},
         "stream set:1 event record:0 legacy record:0 => ok ok ok InvalidResourceHandle ok ok"},
        // The last error and the current device belong to the calling thread.
        {{"name=A|name=B|name=C"},
         "set:3 set:2 other:last last last other:device device => "
         "InvalidDevice ok ok InvalidDevice ok 0 2"},
        {{},
         "set:1 sync peek peek last peek => InvalidDevice ok InvalidDevice InvalidDevice "
         "InvalidDevice ok"},
    });
}

TEST_F(Runtime, AKernelFaultPoisonsItsDeviceUntilReset) {
    run({
        // Device 1 stays sound; a reset mends device 0.
        {{"name=A|name=B"},
         "stream event launch:trap esync:0 last last ssync record:0 malloc:16 launch text set:1 "
         "malloc:16 sync => ok ok ok LaunchFailure LaunchFailure LaunchFailure LaunchFailure "
         "LaunchFailure LaunchFailure LaunchFailure \"unspecified launch failure\" ok ok ok",
         "kernel fault on device 0: block (0,0,0) thread (5,0,0): __trap() called"},
        {{},
         "launch:deadlock sync last last malloc:8 => ok LaunchFailure LaunchFailure LaunchFailure "
         "LaunchFailure",
         "block (0,0,0) deadlocked: 16 of 32 live threads wait at __syncthreads"},
        {{},
         "launch:mask sync last last malloc:8 => ok LaunchFailure LaunchFailure LaunchFailure "
         "LaunchFailure",
         "thread (0,0,0): __shfl_sync with mask 0xfffffffe that leaves out the caller"},
        {{}, "malloc:8 launch sync => ok ok ok"},
    });
}

}  // namespace
}  // namespace cudasim_test
