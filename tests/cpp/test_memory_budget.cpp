// The memory figures a call is checked against, read from stand-in /proc and cgroup trees, and
// the budget's decisions and messages.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "engine/effect_plan.hpp"
#include "engine/kept_blocks.hpp"
#include "engine/memory_budget.hpp"
#include "engine/zeroed_vector.hpp"

namespace {

int failures = 0;

void check(bool condition, const char* what, int line) {
    if (!condition) {
        std::printf("FAILED line %d: %s\n", line, what);
        ++failures;
    }
}
#define CHECK(condition) check((condition), #condition, __LINE__)

constexpr std::uint64_t kKiB = 1024;
constexpr std::uint64_t kMiB = 1024 * kKiB;
constexpr std::uint64_t kGiB = 1024 * kMiB;

// A scratch directory tree standing in for /proc and /sys/fs/cgroup.
class FakeSystem {
public:
    FakeSystem() {
        char pattern[] = "/tmp/kavri-memory-XXXXXX";
        const char* made = mkdtemp(pattern);
        root_ = made != nullptr ? made : "/tmp";
        sources.proc_dir = root_ + "/proc";
        sources.cgroup_dir = root_ + "/cgroup";
    }
    ~FakeSystem() {
        std::error_code failed;
        std::filesystem::remove_all(root_, failed);
        if (failed) {
            std::printf("could not remove %s\n", root_.c_str());
        }
    }

    void write(const std::string& relative, const std::string& text) const {
        const std::string path = root_ + "/" + relative;
        for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
             slash = path.find('/', slash + 1)) {
            mkdir(path.substr(0, slash).c_str(), 0755);
        }
        std::ofstream(path) << text;
    }

    void meminfo_available(std::uint64_t kib) const {
        write("proc/meminfo",
              "MemTotal:       32000000 kB\nMemFree:         1000 kB\nMemAvailable:   " +
                  std::to_string(kib) + " kB\n");
    }

    kavri::MemorySources sources;

private:
    std::string root_;
};

void meminfo_alone() {
    FakeSystem system;
    system.meminfo_available(3 * kMiB);  // 3 GiB
    system.write("proc/self/cgroup", "0::/\n");
    CHECK(kavri::available_memory_bytes(system.sources) == 3 * kGiB);
}

// Under an address-space limit the room is the limit less the mapped size, when that is the
// smaller; no limit, or no status to read, leaves the other figures alone.
void address_space_limit() {
    FakeSystem system;
    system.meminfo_available(16 * kMiB);  // 16 GiB
    system.write("proc/self/cgroup", "0::/\n");
    system.write("proc/self/status", "Name:\tkavri\nVmPeak:\t 9999999 kB\nVmSize:\t  524288 kB\n");
    rlimit saved{};
    getrlimit(RLIMIT_AS, &saved);
    rlimit capped = saved;
    capped.rlim_cur = 4 * kGiB;  // far above what this test maps
    CHECK(setrlimit(RLIMIT_AS, &capped) == 0);
    CHECK(kavri::available_memory_bytes(system.sources) == 4 * kGiB - 512 * kMiB);
    system.write("proc/self/status", "Name:\tkavri\n");
    CHECK(kavri::available_memory_bytes(system.sources) == 16 * kGiB);
    system.write("proc/self/status", "VmSize:\t 5000000 kB\n");  // past the limit: no room
    CHECK(kavri::available_memory_bytes(system.sources) == 0);
    setrlimit(RLIMIT_AS, &saved);
    CHECK(kavri::available_memory_bytes(system.sources) == 16 * kGiB);
}

void cgroup_v2_limit_and_its_parents() {
    FakeSystem system;
    system.meminfo_available(16 * kMiB);
    system.write("proc/self/cgroup", "0::/user.slice/job\n");
    system.write("cgroup/cgroup.controllers", "cpu memory\n");
    // The job's own group has no limit; its parent allows 2 GiB, of which 512 MiB is used.
    system.write("cgroup/user.slice/job/memory.max", "max\n");
    system.write("cgroup/user.slice/job/memory.current", "100\n");
    system.write("cgroup/user.slice/memory.max", std::to_string(2 * kGiB) + "\n");
    system.write("cgroup/user.slice/memory.current", std::to_string(512 * kMiB) + "\n");
    CHECK(kavri::available_memory_bytes(system.sources) == 2 * kGiB - 512 * kMiB);

    // Memory already over the limit leaves nothing.
    system.write("cgroup/user.slice/memory.current", std::to_string(3 * kGiB) + "\n");
    CHECK(kavri::available_memory_bytes(system.sources) == 0);
}

void cgroup_v1_limit_and_container_root() {
    FakeSystem system;
    system.meminfo_available(16 * kMiB);
    // The host's name of the group does not exist inside the container, whose own group is
    // mounted at the hierarchy's root.
    system.write("proc/self/cgroup", "5:cpu,cpuacct:/docker/abc\n4:memory:/docker/abc\n0::/\n");
    system.write("cgroup/memory/memory.limit_in_bytes", std::to_string(2 * kGiB) + "\n");
    system.write("cgroup/memory/memory.usage_in_bytes", std::to_string(kGiB) + "\n");
    CHECK(kavri::available_memory_bytes(system.sources) == kGiB);

    // v1 says "no limit" with a huge number: then MemAvailable decides.
    system.write("cgroup/memory/memory.limit_in_bytes", "9223372036854771712\n");
    CHECK(kavri::available_memory_bytes(system.sources) == 16 * kGiB);
}

void cgroup_v1_nested_group() {
    FakeSystem system;
    system.meminfo_available(16 * kMiB);
    system.write("proc/self/cgroup", "4:memory:/jobs/one\n");
    system.write("cgroup/memory/jobs/one/memory.limit_in_bytes", std::to_string(3 * kGiB) + "\n");
    system.write("cgroup/memory/jobs/one/memory.usage_in_bytes", std::to_string(kGiB) + "\n");
    system.write("cgroup/memory/jobs/memory.limit_in_bytes", "9223372036854771712\n");
    system.write("cgroup/memory/jobs/memory.usage_in_bytes", "0\n");
    CHECK(kavri::available_memory_bytes(system.sources) == 2 * kGiB);
    // MemAvailable below the group's room decides.
    system.meminfo_available(kMiB);
    CHECK(kavri::available_memory_bytes(system.sources) == kGiB);
}

// Page cache of files the group wrote is in its usage but is dropped before anything is
// killed: the inactive part counts as room, at every level read.
void reclaimable_cache_is_room() {
    FakeSystem v1;
    v1.meminfo_available(16 * kMiB);
    v1.write("proc/self/cgroup", "4:memory:/jobs/one\n");
    v1.write("cgroup/memory/jobs/one/memory.limit_in_bytes", std::to_string(700 * kMiB) + "\n");
    v1.write("cgroup/memory/jobs/one/memory.usage_in_bytes", std::to_string(690 * kMiB) + "\n");
    v1.write("cgroup/memory/jobs/one/memory.stat",
             "cache 160000000\ninactive_file 1\nactive_file 2\ntotal_active_file 3\n"
             "total_inactive_file " +
                 std::to_string(150 * kMiB) + "\n");
    CHECK(kavri::available_memory_bytes(v1.sources) == 160 * kMiB);
    // The parent's limit binds with its own cache taken off.
    v1.write("cgroup/memory/jobs/memory.limit_in_bytes", std::to_string(800 * kMiB) + "\n");
    v1.write("cgroup/memory/jobs/memory.usage_in_bytes", std::to_string(790 * kMiB) + "\n");
    v1.write("cgroup/memory/jobs/memory.stat",
             "total_inactive_file " + std::to_string(40 * kMiB) + "\n");
    CHECK(kavri::available_memory_bytes(v1.sources) == 50 * kMiB);
    // More cache than usage (figures read at different moments) leaves the whole limit.
    v1.write("cgroup/memory/jobs/memory.stat",
             "total_inactive_file " + std::to_string(900 * kMiB) + "\n");
    CHECK(kavri::available_memory_bytes(v1.sources) == 160 * kMiB);

    FakeSystem v2;
    v2.meminfo_available(16 * kMiB);
    v2.write("proc/self/cgroup", "0::/user.slice/job\n");
    v2.write("cgroup/cgroup.controllers", "cpu memory\n");
    v2.write("cgroup/user.slice/job/memory.max", std::to_string(kGiB) + "\n");
    v2.write("cgroup/user.slice/job/memory.current", std::to_string(kGiB - kMiB) + "\n");
    v2.write("cgroup/user.slice/job/memory.stat",
             "anon 1000\nfile 900000000\nactive_file 5\ninactive_file " +
                 std::to_string(300 * kMiB) + "\n");
    CHECK(kavri::available_memory_bytes(v2.sources) == 301 * kMiB);
    v2.write("cgroup/user.slice/memory.max", std::to_string(2 * kGiB) + "\n");
    v2.write("cgroup/user.slice/memory.current", std::to_string(2 * kGiB - 10 * kMiB) + "\n");
    v2.write("cgroup/user.slice/memory.stat", "inactive_file " + std::to_string(100 * kMiB) + "\n");
    CHECK(kavri::available_memory_bytes(v2.sources) == 110 * kMiB);
}

void unreadable_figures_fall_back_to_physical_memory() {
    FakeSystem system;  // no meminfo, no cgroup file at all
    const std::uint64_t physical = static_cast<std::uint64_t>(sysconf(_SC_PHYS_PAGES)) *
                                   static_cast<std::uint64_t>(sysconf(_SC_PAGE_SIZE));
    CHECK(kavri::available_memory_bytes(system.sources) == physical);
}

// The refusal text of a bad imposed figure, or "" when the value was taken.
std::string imposed_refusal(const char* value) {
    setenv("KAVRI_AVAILABLE_MEMORY", value, 1);
    try {
        kavri::available_memory_bytes();
    } catch (const std::invalid_argument& error) {
        return error.what();
    }
    return "";
}

void this_machine_and_the_imposed_figure() {
    const std::uint64_t real = kavri::available_memory_bytes();
    CHECK(real > 0);
    setenv("KAVRI_AVAILABLE_MEMORY", "123456789", 1);
    CHECK(kavri::available_memory_bytes() == (real < 123456789 ? real : 123456789));
    setenv("KAVRI_AVAILABLE_MEMORY", " 2G ", 1);
    CHECK(kavri::available_memory_bytes() == (real < 2 * kGiB ? real : 2 * kGiB));
    // An imposed figure never raises what the machine has.
    setenv("KAVRI_AVAILABLE_MEMORY", "99999999999999999999", 1);
    CHECK(kavri::available_memory_bytes() == real ||
          kavri::available_memory_bytes() <= real + kGiB);
    // Set but empty is unset.
    setenv("KAVRI_AVAILABLE_MEMORY", "", 1);
    CHECK(kavri::available_memory_bytes() + kGiB >= real);
    // Anything that is not a size is refused by name and value, never ignored.
    CHECK(
        imposed_refusal("lots") ==
        "KAVRI_AVAILABLE_MEMORY=\"lots\" is not a size: give a number of bytes such as 2000000000, "
        "2e9, 512K, 512KiB, 2G or 1.5GB (units are binary: 1K = 1024)");
    CHECK(
        imposed_refusal("2\xff\"G").find("KAVRI_AVAILABLE_MEMORY=\"2\\xff\\x22G\" is not a size") ==
        0);
    for (const char* bad :
         {"-1", "abc", "2 gigs", "1e", "G", "1.5.5", "0x10", "+5", "12Q", "1KiBB", "nan", "inf"}) {
        const std::string text = imposed_refusal(bad);
        CHECK(text.find(std::string("KAVRI_AVAILABLE_MEMORY=\"") + bad + "\" is not a size") == 0);
    }
    unsetenv("KAVRI_AVAILABLE_MEMORY");
}

void sizes_as_people_write_them() {
    const struct {
        const char* text;
        std::uint64_t bytes;
    } cases[] = {
        {"0", 0},
        {"2", 2},
        {"1e9", 1000000000},
        {"2.5e6", 2500000},
        {"1E3 B", 1000},
        {"512K", 512 * kKiB},
        {"512kb", 512 * kKiB},
        {"512 KiB", 512 * kKiB},
        {"3m", 3 * kMiB},
        {"3MiB", 3 * kMiB},
        {"2G", 2 * kGiB},
        {"2gb", 2 * kGiB},
        {"1.5G", 3 * kGiB / 2},
        {"1T", 1024 * kGiB},
        {"0.25K", 256},
        {".5k", 512},
        {"1.7", 1},
        {"1e-3G", 1073741},
        {"000123", 123},
        {"99999999999999999999", ~std::uint64_t{0}},
        {"1e400", ~std::uint64_t{0}},
        {"17179869184T", ~std::uint64_t{0}},
        {"18446744073709551615", ~std::uint64_t{0}},
    };
    for (const auto& c : cases) {
        std::uint64_t bytes = 12345;
        const bool read = kavri::parse_size(c.text, bytes);
        if (!read || bytes != c.bytes) {
            std::printf("  %s read as %llu\n", c.text, static_cast<unsigned long long>(bytes));
        }
        CHECK(read && bytes == c.bytes);
    }
    std::uint64_t untouched = 7;
    for (const char* bad : {"", " ", "-0", "K", "1 2", "1e+", "1P", "2Gi", "1.2.3", "1_000"}) {
        CHECK(!kavri::parse_size(bad, untouched) && untouched == 7);
    }
}

// A 600 MB group whose process is using 40 MiB, as a stand-in tree the test can change.
struct SmallGroup {
    FakeSystem system;
    explicit SmallGroup(std::uint64_t used) {
        system.meminfo_available(16 * kMiB);
        system.write("proc/self/cgroup", "4:memory:/job\n");
        system.write("cgroup/memory/job/memory.limit_in_bytes", "600000000\n");
        use(used);
    }
    void use(std::uint64_t bytes) const {
        system.write("cgroup/memory/job/memory.usage_in_bytes", std::to_string(bytes) + "\n");
    }
};

// A reading less than a second old serves small calls; it never admits a call that a fresh
// reading would refuse because memory was taken since, by admitted calls or by the caller.
void recent_readings() {
    const SmallGroup group(40 * kMiB);
    kavri::MemoryGauge gauge(group.system.sources);
    bool fresh = false;
    const std::uint64_t first = gauge.usable_for(kavri::ByteCount(kMiB), false, fresh);
    CHECK(fresh && first == kavri::usable_memory_bytes(600000000 - 40 * kMiB));
    gauge.take(kavri::ByteCount(kMiB));

    // The caller maps 518 MiB of its own. A 15 MiB call is no longer a small part of what the
    // reading showed: the figures are read again and show it does not fit.
    group.use(558 * kMiB);
    const std::uint64_t now = gauge.usable_for(kavri::ByteCount(15 * kMiB), false, fresh);
    CHECK(fresh && now == kavri::usable_memory_bytes(600000000 - 558 * kMiB) && now < 15 * kMiB);

    // A call 64 times smaller than the room is served by the reading (the speed of small
    // calls), less what the calls admitted since took.
    group.use(40 * kMiB);
    CHECK(gauge.usable_for(kavri::ByteCount(15 * kMiB), true, fresh) == first && fresh);
    gauge.take(kavri::ByteCount(100 * kMiB));
    group.use(500 * kMiB);
    CHECK(gauge.usable_for(kavri::ByteCount(kMiB), false, fresh) == first - 100 * kMiB && !fresh);
    // What admitted calls took counts: once the room left is under 64 times the call, the
    // figures are read again.
    gauge.take(kavri::ByteCount(first - 100 * kMiB - 63 * kMiB));
    CHECK(gauge.usable_for(kavri::ByteCount(kMiB), false, fresh) ==
              kavri::usable_memory_bytes(600000000 - 500 * kMiB) &&
          fresh);

    // A call's steps: a small first step is served by the reading; a step that outgrows it
    // reads the figures, and that reading settles the rest of the call.
    group.use(40 * kMiB);
    const std::uint64_t roomy = gauge.usable_for(kavri::ByteCount(1), true, fresh);
    kavri::CallMemory call(gauge);
    group.use(500 * kMiB);
    CHECK(call.usable_for(kavri::ByteCount(kMiB)) == roomy);
    const std::uint64_t settled = call.usable_for(kavri::ByteCount(50 * kMiB));
    CHECK(settled == kavri::usable_memory_bytes(600000000 - 500 * kMiB));
    group.use(40 * kMiB);
    CHECK(call.usable_for(kavri::ByteCount(kGiB)) == settled);

    // An imposed figure applies at once, to a reused reading too.
    setenv("KAVRI_AVAILABLE_MEMORY", "64M", 1);
    CHECK(gauge.usable_for(kavri::ByteCount(1), false, fresh) == 56 * kMiB);
    unsetenv("KAVRI_AVAILABLE_MEMORY");

    // One-sum checks refuse in the guard's words and record what they let through.
    kavri::MemoryGauge single(group.system.sources);
    kavri::CallMemory spool(single);
    bool refused = false;
    try {
        kavri::require_memory(kavri::ByteCount(3865470566), "the spool", spool);
    } catch (const kavri::MemoryBudgetError& error) {
        refused = std::string(error.what()) ==
                  "the spool needs 3.6 GiB; about " +
                      kavri::format_bytes(
                          kavri::ByteCount(kavri::usable_memory_bytes(600000000 - 40 * kMiB))) +
                      " is available";
    }
    CHECK(refused);
}

void heap_blocks_and_saturation() {
    using kavri::ByteCount;
    CHECK(kavri::heap_block_bytes(ByteCount(0)).bytes() == 0);
    CHECK(kavri::heap_block_bytes(ByteCount(1)).bytes() == 32);
    CHECK(kavri::heap_block_bytes(ByteCount(24)).bytes() == 32);
    CHECK(kavri::heap_block_bytes(ByteCount(25)).bytes() == 48);
    // A large block is whole pages of its own, with its header.
    CHECK(kavri::heap_block_bytes(ByteCount(1 << 20)).bytes() == (1 << 20) + 4096);
    // 2^24 separate one-stage cascades cost far more than their 8 bytes each.
    CHECK(kavri::heap_arrays_bytes(1 << 24, 1, 8).bytes() == (std::uint64_t{1} << 24) * 32);
    const ByteCount huge = ByteCount::product(std::uint64_t{1} << 40, std::uint64_t{1} << 40);
    CHECK(huge.unbounded());
    CHECK((huge + ByteCount(5)).unbounded());
    CHECK((ByteCount(ByteCount::kUnbounded - 3) + ByteCount(7)).unbounded());
    CHECK(kavri::heap_block_bytes(ByteCount(ByteCount::kUnbounded - 10)).unbounded());
    CHECK(kavri::format_bytes(ByteCount(512)) == "512 bytes");
    CHECK(kavri::format_bytes(ByteCount(3865470566)) == "3.6 GiB");
    CHECK(kavri::format_bytes(huge) == "more than 16 EiB");
}

void usable_part() {
    CHECK(kavri::usable_memory_bytes(800 * kMiB) == 700 * kMiB);
    CHECK(kavri::usable_memory_bytes(16 * kGiB) == 16 * kGiB - 256 * kMiB);
    CHECK(kavri::usable_memory_bytes(0) == 0);
}

std::string refusal(kavri::MemoryBudget& budget, const std::string& type, std::size_t index,
                    int channels, const kavri::EffectMemory& memory) {
    try {
        budget.add_effect(type, index, channels, memory);
    } catch (const kavri::MemoryBudgetError& error) {
        return error.what();
    }
    return "";
}

void budget_decisions_and_messages() {
    using kavri::ByteCount;
    kavri::EffectMemory line;
    line.state = ByteCount(3865470566);
    line.size_key = "delay_ms";
    line.size_value = 1e7;
    line.state_name = "delay lines";
    {
        kavri::MemoryBudget budget(1288490188, ByteCount(32), "the output");
        CHECK(refusal(budget, "delay", 1, 2, line) ==
              "delay: \"delay_ms\" = 10000000 on 2 channels needs 3.6 GiB of delay lines; "
              "about 1.2 GiB is available");
        // A refused effect is not counted: a small one still fits afterwards.
        kavri::EffectMemory small;
        small.state = ByteCount(kMiB);
        CHECK(refusal(budget, "gain", 2, 2, small).empty());
        CHECK(budget.total().bytes() == kMiB + 32);
    }
    {
        // Each effect fits beside the output; the fifth no longer does beside the other four.
        kavri::MemoryBudget budget(100 * kMiB, ByteCount(10 * kMiB), "the output");
        kavri::EffectMemory each;
        each.state = ByteCount(20 * kMiB);
        for (std::size_t k = 1; k <= 4; ++k) {
            CHECK(refusal(budget, "delay", k, 2, each).empty());
        }
        CHECK(refusal(budget, "delay", 5, 2, each) ==
              "the chain does not fit: its first 5 effects (the last a delay) need 100.0 MiB "
              "together, beside 10.0 MiB for the output; about 100.0 MiB is available");
    }
    {
        // Scratch is needed only while its effect runs: the largest one counts, once.
        kavri::MemoryBudget budget(100 * kMiB, ByteCount(0), "the output");
        kavri::EffectMemory runner;
        runner.state = ByteCount(10 * kMiB);
        runner.scratch = ByteCount(40 * kMiB);
        CHECK(refusal(budget, "chorus", 1, 3, runner).empty());
        CHECK(refusal(budget, "chorus", 2, 3, runner).empty());
        CHECK(budget.total().bytes() == 60 * kMiB);
        // An effect without a size key is described by its channels.
        kavri::EffectMemory envelopes;
        envelopes.state = ByteCount(120 * kMiB);
        envelopes.state_name = "envelope state";
        CHECK(refusal(budget, "compressor", 3, 7, envelopes) ==
              "compressor: 7 channels need 120.0 MiB of envelope state; about 100.0 MiB is "
              "available");
    }
    {
        kavri::EffectMemory endless;
        endless.state = ByteCount(ByteCount::kUnbounded);
        endless.size_key = "delay_ms";
        endless.size_value = std::numeric_limits<double>::infinity();
        endless.state_name = "delay lines";
        kavri::MemoryBudget budget(kGiB, ByteCount(0), "the output");
        CHECK(refusal(budget, "delay", 1, 1, endless) ==
              "delay: \"delay_ms\" = inf on 1 channel needs more than 16 EiB of delay lines");
    }
    // The caller's own need is refused first, by the caller's description.
    try {
        kavri::MemoryBudget budget(kGiB, ByteCount(2 * kGiB),
                                   "the output buffer of 4 frames x 2 channels");
        CHECK(false);
    } catch (const std::bad_alloc& error) {
        CHECK(
            std::string(error.what()) ==
            "the output buffer of 4 frames x 2 channels needs 2.0 GiB; about 1.0 GiB is available");
    }
}

// Records the order in which effects are built and destroyed.
std::string events;

class Marker final : public kavri::Effect {
public:
    explicit Marker(char name) : name_(name) { events += name_; }
    ~Marker() override { events += static_cast<char>(name_ - 'a' + 'A'); }
    void process(float*, unsigned long long, int, unsigned long long, unsigned int) override {}

private:
    char name_;
};

kavri::PlannedEffect planned_marker(char name) {
    return kavri::plan_effect<Marker>(kavri::EffectMemory{},
                                      [name] { return std::make_unique<Marker>(name); });
}

void plans_build_in_order_and_keep_what_was_built() {
    kavri::EffectPlan plan;
    plan.push_back(planned_marker('a'));
    plan.push_back(planned_marker('b'));
    plan.push_back({kavri::EffectMemory{}, []() -> kavri::EffectPtr { throw std::bad_alloc(); }});
    plan.push_back(planned_marker('d'));
    {
        kavri::EffectList effects;
        try {
            plan.build(effects);
            CHECK(false);
        } catch (const std::bad_alloc&) {
            CHECK(effects.size() == 2);
        }
    }
    // Built first to last, stopped at the failure, destroyed first to last.
    CHECK(events == "abAB");
    // The object's own block is counted.
    CHECK(planned_marker('x').memory.state.bytes() ==
          kavri::heap_block_bytes(kavri::ByteCount(sizeof(Marker))).bytes());
    events.clear();
}

void zeroed_vectors_read_as_zero() {
    kavri::ZeroedVector<float> line(1 << 20);
    bool zero = true;
    for (const float x : line) {
        zero = zero && x == 0.0f;
    }
    CHECK(zero);
    line[5] = 2.5f;
    const kavri::ZeroedVector<float> copy = line;
    CHECK(copy.size() == line.size() && copy[5] == 2.5f && copy[6] == 0.0f);
}

// Blocks let go come back to the next request of their size, within the store's bound; a
// block larger than the bound, or one that would push it past it, is not kept.
void kept_blocks_come_back_within_the_bound() {
    using kavri::KeptBlock;
    constexpr std::size_t kMost = KeptBlock::kKeptBytes / sizeof(float);
    const std::size_t before = KeptBlock::kept_bytes();
    float* first = nullptr;
    {
        KeptBlock block(1000);
        first = block.get();
        first[999] = 1.0f;
    }
    CHECK(KeptBlock::kept_bytes() == before + 4000);
    {
        KeptBlock other(1001);  // another size: a new block
        KeptBlock again(1000);
        CHECK(again.get() == first && other.get() != first);
        KeptBlock moved = std::move(again);
        CHECK(moved.get() == first && moved.size() == 1000);
    }
    {
        KeptBlock huge(kMost + 1);
        huge.get()[kMost] = 1.0f;
    }
    CHECK(KeptBlock::kept_bytes() <= KeptBlock::kKeptBytes);
    {
        KeptBlock half(kMost / 2 + 1);
        KeptBlock rest(kMost / 2 + 1);
    }
    // The two cannot both stay: the older goes, and with it whatever was kept before.
    CHECK(KeptBlock::kept_bytes() == (kMost / 2 + 1) * sizeof(float));
    KeptBlock none(0);
    CHECK(none.get() == nullptr);
}

}  // namespace

int main() {
    kept_blocks_come_back_within_the_bound();
    plans_build_in_order_and_keep_what_was_built();
    zeroed_vectors_read_as_zero();
    meminfo_alone();
    address_space_limit();
    cgroup_v2_limit_and_its_parents();
    cgroup_v1_limit_and_container_root();
    cgroup_v1_nested_group();
    unreadable_figures_fall_back_to_physical_memory();
    reclaimable_cache_is_room();
    this_machine_and_the_imposed_figure();
    sizes_as_people_write_them();
    recent_readings();
    heap_blocks_and_saturation();
    usable_part();
    budget_decisions_and_messages();
    if (failures != 0) {
        std::printf("%d check(s) failed\n", failures);
        return 1;
    }
    std::printf("memory budget: all checks passed\n");
    return 0;
}
