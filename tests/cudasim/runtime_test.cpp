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

#include "sample_kernel.h"
#include "sim_test.h"

namespace cudasim_test {
namespace {

using Clock = std::chrono::steady_clock;

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
//   malloc:SIZE (null on failure)  free (the newest allocation)  mem (free memory)  live
//   h2d:N[+OFF] (async)  d2h:N[+OFF] (up to 8 bytes)  memset:N[+OFF] (0x1ab, async): the
//   newest allocation; wrongway:N (a host destination called device)
//   count  set:D  device  prop:D (name/cc/SMs/memory/L2/PCI)
//   launch[:trap|deadlock|mask] (k_fault)  launches  fill (k_fill of the newest
//   allocation with 0x11)  stream  ssync  event[:FLAGS]  record:I
//   esync:I  elapsed (from event 0 to 1)
//   last  text (of the last error)  sync  other:WORD (WORD on a new thread)
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
            {"malloc", [&] { return e_ = cudaMalloc(&bufs_.emplace_back(), n), say(); }},
            {"free", [&] { return e_ = cudaFree(bufs_.back()), bufs_.pop_back(), say(); }},
            {"mem", [&] { return e_ = cudaMemGetInfo(&free_, &total_), say(size_text(free_)); }},
            {"live", [&] { return std::to_string(cudasim::live_allocations().size()); }},
            {"h2d", [&] { return e_ = cudaMemcpyAsync(dev, host_, n, kH2D, s_), say(); }},
            {"d2h", [&] { return e_ = cudaMemcpy(back_, dev, n, kD2H), say(hex(n)); }},
            {"memset", [&] { return e_ = cudaMemsetAsync(dev, 0x1ab, n, s_), say(); }},
            {"wrongway", [&] { return e_ = cudaMemcpy(host_, dev, n, kH2D), say(); }},
            {"count", [&] { return e_ = cudaGetDeviceCount(&int_), say(std::to_string(int_)); }},
            {"set", [&] { return e_ = cudaSetDevice(static_cast<int>(n)), say(); }},
            {"device", [&] { return e_ = cudaGetDevice(&int_), say(std::to_string(int_)); }},
            {"prop", [&] { return e_ = cudaGetDeviceProperties(&p_, int(n)), say(props()); }},
            {"launch", [&] { return e_ = launch(s_, k_fault, 1, 32, fault), say(); }},
            {"launches", [&] { return std::to_string(cudasim::launch_count()); }},
            {"fill", [&] { return e_ = launch(s_, k_fill, 1, 8, dev, nullptr, 17), say(); }},
            {"stream", [&] { return e_ = cudaStreamCreateWithFlags(&s_, 1), say(); }},
            {"ssync", [&] { return e_ = cudaStreamSynchronize(s_), say(); }},
            {"event", [&] { return e_ = cudaEventCreateWithFlags(&ev_.emplace_back(), n), say(); }},
            {"record", [&] { return e_ = cudaEventRecord(ev, s_), say(); }},
            {"esync", [&] { return e_ = cudaEventSynchronize(ev), say(); }},
            {"elapsed", [&] { return e_ = cudaEventElapsedTime(&ms_, ev_[0], ev_[1]), timed(); }},
            {"last", [&] { return e_ = cudaGetLastError(), say(); }},
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
    // Milliseconds: between 0 and the host's time since the script began.
    std::string timed() const {
        const std::chrono::duration<float, std::milli> since = Clock::now() - t0_;
        return say(ms_ >= 0 && ms_ <= since.count() ? "ok" : std::to_string(ms_));
    }

    static constexpr const char* kFaults[] = {"", "trap", "deadlock", "mask"};  // kNone...
    static constexpr cudaMemcpyKind kH2D = cudaMemcpyHostToDevice;
    static constexpr cudaMemcpyKind kD2H = cudaMemcpyDeviceToHost;
    cudaError_t e_ = cudaSuccess;
    std::vector<uint8_t*> bufs_;
    std::vector<cudaEvent_t> ev_;  // events
    cudaStream_t s_ = nullptr;     // the stream
    const Clock::time_point t0_ = Clock::now();
    size_t free_ = 0, total_ = 0;
    int int_ = -1;
    float ms_ = 0;
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
        // Events time on the host's clock in milliseconds; streams and events belong to a device.
        {{"name=A|name=B"},
         "stream event event:1 elapsed record:0 launch record:1 esync:1 ssync elapsed "
         "set:1 launch event record:2 => ok ok ok InvalidResourceHandle ok ok ok ok ok ok ok "
         "InvalidResourceHandle ok InvalidResourceHandle"},
        // The last error and the current device belong to the calling thread.
        {{"name=A|name=B|name=C"},
         "set:3 set:2 other:last last last other:device device => "
         "InvalidDevice ok ok InvalidDevice ok 0 2"},
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
         "launch:deadlock sync => ok LaunchFailure",
         "block (0,0,0) deadlocked: 16 of 32 live threads wait at __syncthreads"},
        {{},
         "launch:mask sync => ok LaunchFailure",
         "thread (0,0,0): __shfl_sync with mask 0xfffffffe that leaves out the caller"},
        {{}, "malloc:8 sync => ok ok"},
    });
}

}  // namespace
}  // namespace cudasim_test
