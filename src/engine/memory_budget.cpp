#include "engine/memory_budget.hpp"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <utility>
#include <vector>

namespace kavri {

ByteCount ByteCount::product(std::uint64_t a, std::uint64_t b) {
    if (a != 0 && b > (kUnbounded - 1) / a) {
        return ByteCount(kUnbounded);
    }
    return ByteCount(a * b);
}

ByteCount& ByteCount::operator+=(ByteCount other) {
    bytes_ = other.bytes_ >= kUnbounded - bytes_ ? kUnbounded : bytes_ + other.bytes_;
    return *this;
}

namespace {

// glibc's malloc: blocks from this size on are mapped pages of their own (the threshold can
// move up, but a block served from the heap instead costs less, never more).
constexpr std::uint64_t kMmapThreshold = std::uint64_t{128} * 1024;
constexpr std::uint64_t kPage = 4096;
constexpr std::uint64_t kMiB = std::uint64_t{1024} * 1024;

std::uint64_t round_up(std::uint64_t n, std::uint64_t to) {
    return (n + (to - 1)) / to * to;
}

}  // namespace

ByteCount heap_block_bytes(ByteCount bytes) {
    const std::uint64_t n = bytes.bytes();
    if (n == 0) {
        return ByteCount(0);
    }
    if (n >= ByteCount::kUnbounded - 2 * kPage) {
        return ByteCount(ByteCount::kUnbounded);
    }
    if (n >= kMmapThreshold) {
        return ByteCount(round_up(n + 16, kPage));
    }
    return ByteCount(std::max<std::uint64_t>(32, round_up(n + 8, 16)));
}

ByteCount heap_array_bytes(std::uint64_t count, std::size_t element_bytes) {
    return heap_block_bytes(ByteCount::product(count, element_bytes));
}

ByteCount heap_arrays_bytes(std::uint64_t blocks, std::uint64_t count, std::size_t element_bytes) {
    return ByteCount::product(blocks, heap_array_bytes(count, element_bytes).bytes());
}

std::string format_bytes(ByteCount bytes) {
    if (bytes.unbounded()) {
        return "more than 16 EiB";
    }
    const std::uint64_t n = bytes.bytes();
    if (n < 1024) {
        return std::to_string(n) + (n == 1 ? " byte" : " bytes");
    }
    static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    double value = static_cast<double>(n) / 1024.0;
    std::size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < sizeof(kUnits) / sizeof(kUnits[0])) {
        value /= 1024.0;
        ++unit;
    }
    char text[48];
    std::snprintf(text, sizeof(text), "%.1f %s", value, kUnits[unit]);
    return text;
}

namespace {

// A whole decimal number of bytes at the start of `text`; false for anything else ("max").
bool parse_bytes(const std::string& text, std::uint64_t& value) {
    const char* begin = text.c_str();
    while (*begin == ' ' || *begin == '\t') {
        ++begin;
    }
    if (*begin < '0' || *begin > '9') {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    const unsigned long long parsed = std::strtoull(begin, &end, 10);
    if (errno != 0) {
        return false;
    }
    value = parsed;
    return true;
}

bool read_first_line(const std::string& path, std::string& line) {
    std::ifstream file(path);
    return file && std::getline(file, line);
}

bool read_bytes_file(const std::string& path, std::uint64_t& value) {
    std::string line;
    return read_first_line(path, line) && parse_bytes(line, value);
}

// v1 reports "no limit" as a huge page-rounded number rather than a word.
constexpr std::uint64_t kNoLimit = std::uint64_t{1} << 62;

// The value of `key` in a "key value" stat file such as memory.stat.
bool read_stat_value(const std::string& path, const std::string& key, std::uint64_t& value) {
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
        if (line.size() > key.size() && line.compare(0, key.size(), key) == 0 &&
            line[key.size()] == ' ') {
            return parse_bytes(line.substr(key.size() + 1), value);
        }
    }
    return false;
}

// How one cgroup version names its figures.
struct GroupFiles {
    const char* limit;
    const char* usage;
    const char* reclaimable;  // the key in memory.stat of the group's inactive file cache
};

constexpr GroupFiles kV2Files{"memory.max", "memory.current", "inactive_file"};
constexpr GroupFiles kV1Files{"memory.limit_in_bytes", "memory.usage_in_bytes",
                              "total_inactive_file"};

// The room left under one group's limit, if it has a limit that can be read. Page cache the
// kernel would drop before it ends a process (inactive file pages) is not counted as used.
void limit_headroom(const std::string& dir, const GroupFiles& files, std::uint64_t& smallest) {
    std::uint64_t limit = 0;
    std::uint64_t usage = 0;
    if (!read_bytes_file(dir + "/" + files.limit, limit) || limit >= kNoLimit) {
        return;
    }
    if (!read_bytes_file(dir + "/" + files.usage, usage)) {
        usage = 0;
    }
    std::uint64_t reclaimable = 0;
    if (read_stat_value(dir + "/memory.stat", files.reclaimable, reclaimable)) {
        usage -= std::min(usage, reclaimable);
    }
    smallest = std::min(smallest, limit > usage ? limit - usage : 0);
}

// The group directories from `mount` + `path` up to `mount` itself. A limit anywhere above a
// group binds its members too. A path that does not exist under the mount (the host's name
// of a container's group) leaves only the levels that do.
std::vector<std::string> group_dirs(const std::string& mount, std::string path) {
    std::vector<std::string> dirs;
    while (!path.empty() && path != "/") {
        dirs.push_back(mount + path);
        const std::size_t slash = path.rfind('/');
        path = slash == std::string::npos ? std::string() : path.substr(0, slash);
    }
    dirs.push_back(mount);
    return dirs;
}

bool has_memory_controller(const std::string& controllers) {
    std::stringstream list(controllers);
    std::string name;
    while (std::getline(list, name, ',')) {
        if (name == "memory") {
            return true;
        }
    }
    return false;
}

bool file_exists(const std::string& path) {
    return std::ifstream(path).good();
}

void cgroup_headroom(const MemorySources& sources, std::uint64_t& smallest) {
    std::ifstream groups(sources.proc_dir + "/self/cgroup");
    std::string line;
    while (std::getline(groups, line)) {
        // "hierarchy-id:controllers:path"
        const std::size_t first = line.find(':');
        const std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos) {
            continue;
        }
        const std::string id = line.substr(0, first);
        const std::string controllers = line.substr(first + 1, second - first - 1);
        const std::string path = line.substr(second + 1);
        if (id == "0" && controllers.empty()) {
            // The unified (v2) hierarchy: mounted at the root, or beside v1 as "unified".
            const std::string mount = file_exists(sources.cgroup_dir + "/cgroup.controllers")
                                          ? sources.cgroup_dir
                                          : sources.cgroup_dir + "/unified";
            for (const std::string& dir : group_dirs(mount, path)) {
                limit_headroom(dir, kV2Files, smallest);
            }
        } else if (has_memory_controller(controllers)) {
            for (const std::string& dir : group_dirs(sources.cgroup_dir + "/memory", path)) {
                limit_headroom(dir, kV1Files, smallest);
            }
        }
    }
}

// The "key:  N kB" line of a /proc file such as meminfo or self/status, in bytes; false when
// the file has no such line or its value is not a number.
bool read_kib_field(const std::string& path, const std::string& key, std::uint64_t& bytes) {
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
        if (line.compare(0, key.size(), key) == 0) {
            std::uint64_t kib = 0;
            if (!parse_bytes(line.substr(key.size()), kib)) {
                return false;
            }
            bytes = ByteCount::product(kib, 1024).bytes();
            return true;
        }
    }
    return false;
}

bool mem_available(const MemorySources& sources, std::uint64_t& bytes) {
    return read_kib_field(sources.proc_dir + "/meminfo", "MemAvailable:", bytes);
}

// The room under an address-space limit (ulimit -v), when one is set: the limit less what the
// process maps now (VmSize). A block a call allocates takes address space as well as memory,
// and under such a limit the address space runs out first.
void address_space_headroom(const MemorySources& sources, std::uint64_t& smallest) {
    rlimit limit{};
    if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return;
    }
    std::uint64_t mapped = 0;
    if (read_kib_field(sources.proc_dir + "/self/status", "VmSize:", mapped)) {
        const auto cap = static_cast<std::uint64_t>(limit.rlim_cur);
        smallest = std::min(smallest, cap - std::min(cap, mapped));
    }
}

std::uint64_t physical_memory_bytes() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || page_size <= 0) {
        return ByteCount::kUnbounded;
    }
    return ByteCount::product(static_cast<std::uint64_t>(pages),
                              static_cast<std::uint64_t>(page_size))
        .bytes();
}

}  // namespace

std::uint64_t available_memory_bytes(const MemorySources& sources) {
    std::uint64_t available = 0;
    if (!mem_available(sources, available)) {
        available = physical_memory_bytes();
    }
    cgroup_headroom(sources, available);
    address_space_headroom(sources, available);
    return available;
}

namespace {

constexpr char kImposedVariable[] = "KAVRI_AVAILABLE_MEMORY";

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

bool parse_size(const std::string& text, std::uint64_t& bytes) {
    std::size_t i = 0;
    const std::size_t n = text.size();
    const auto skip_blanks = [&] {
        while (i < n && is_blank(text[i])) {
            ++i;
        }
    };
    const auto is_digit = [&](std::size_t at) {
        return at < n && text[at] >= '0' && text[at] <= '9';
    };
    skip_blanks();
    // The digits of the number, its decimal point left out, and the power of ten they are
    // scaled by. Digits beyond the first 40 significant ones cannot change the whole bytes of
    // any size that fits, and only move the scale.
    std::string digits;
    long long scale = 0;
    bool any_digit = false;
    for (; is_digit(i); ++i) {
        any_digit = true;
        if (digits.size() < 40) {
            if (!digits.empty() || text[i] != '0') {
                digits += text[i];
            }
        } else {
            ++scale;
        }
    }
    if (i < n && text[i] == '.') {
        ++i;
        for (; is_digit(i); ++i) {
            any_digit = true;
            if (digits.size() < 40) {
                if (!digits.empty() || text[i] != '0') {
                    digits += text[i];
                }
                --scale;
            }
        }
    }
    if (!any_digit) {
        return false;
    }
    if (i < n && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        bool negative = false;
        if (i < n && (text[i] == '+' || text[i] == '-')) {
            negative = text[i] == '-';
            ++i;
        }
        if (!is_digit(i)) {
            return false;
        }
        long long exponent = 0;
        for (; is_digit(i); ++i) {
            exponent = std::min<long long>(exponent * 10 + (text[i] - '0'), 100000);
        }
        scale += negative ? -exponent : exponent;
    }
    skip_blanks();
    std::string unit;
    for (; i < n && !is_blank(text[i]); ++i) {
        unit += lower(text[i]);
    }
    skip_blanks();
    if (i != n) {
        return false;
    }
    int unit_power = 0;  // of 1024
    if (!unit.empty() && unit != "b") {
        static const char kPrefixes[] = "kmgt";
        const char* prefix = unit.size() <= 3 ? std::strchr(kPrefixes, unit[0]) : nullptr;
        const std::string rest = unit.substr(1);
        if (prefix == nullptr || *prefix == '\0' ||
            !(rest.empty() || rest == "b" || rest == "ib")) {
            return false;
        }
        unit_power = static_cast<int>(prefix - kPrefixes) + 1;
    }
    // value = digits x 1024^unit_power x 10^scale, exact in a long double's 64-bit mantissa
    // wherever the whole bytes fit in 64 bits; a fraction is cut off after the last step.
    long double value = 0.0L;
    for (const char d : digits) {
        value = value * 10.0L + static_cast<long double>(d - '0');
    }
    if (value != 0.0L) {
        constexpr long double kCeiling = 18446744073709551616.0L;  // 2^64
        for (int k = 0; k < unit_power; ++k) {
            value *= 1024.0L;
        }
        if (scale > 0) {
            for (long long k = 0; k < scale && value < kCeiling; ++k) {
                value *= 10.0L;
            }
        } else {
            // Each step divides a whole number by ten exactly whenever the final value is
            // whole, so a size such as 1.5G or 0.25K comes out exact.
            for (long long k = 0; k < -scale && value >= 1.0L; ++k) {
                value /= 10.0L;
            }
        }
        if (value >= kCeiling) {
            bytes = ByteCount::kUnbounded;
            return true;
        }
    }
    bytes = static_cast<std::uint64_t>(value);
    return true;
}

bool imposed_memory_bytes(std::uint64_t& bytes) {
    const char* imposed = std::getenv(kImposedVariable);
    if (imposed == nullptr) {
        return false;
    }
    const std::string text(imposed);
    if (text.find_first_not_of(" \t\n\r") == std::string::npos) {
        return false;  // set but empty, as "KAVRI_AVAILABLE_MEMORY= command" leaves it: unset
    }
    if (!parse_size(text, bytes)) {
        // The value as a message can show it: bytes outside printable ASCII escaped (the
        // message reaches Python as UTF-8 text), and a long value cut short.
        std::string shown;
        for (const unsigned char c : text.substr(0, 80)) {
            if (c >= 0x20 && c < 0x7f && c != '\\' && c != '"') {
                shown += static_cast<char>(c);
            } else {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
                shown += escaped;
            }
        }
        if (text.size() > 80) {
            shown += "...";
        }
        throw std::invalid_argument(std::string(kImposedVariable) + "=\"" + shown +
                                    "\" is not a size: give a number of bytes such as 2000000000, "
                                    "2e9, 512K, 512KiB, 2G or 1.5GB (units are binary: 1K = 1024)");
    }
    return true;
}

namespace {

constexpr std::chrono::seconds kReadingLifetime{1};

}  // namespace

std::uint64_t available_memory_bytes() {
    // The imposed figure is checked first, so that a bad one is refused before any file is read.
    std::uint64_t imposed = 0;
    const bool has_imposed = imposed_memory_bytes(imposed);
    const std::uint64_t available = available_memory_bytes(MemorySources{});
    return has_imposed ? std::min(available, imposed) : available;
}

MemoryGauge::MemoryGauge(MemorySources sources) : sources_(std::move(sources)) {}

std::uint64_t MemoryGauge::usable_for(ByteCount needed, bool must_read, bool& fresh) {
    std::uint64_t imposed = 0;
    const bool has_imposed = imposed_memory_bytes(imposed);
    const auto usable_of = [&](std::uint64_t available) {
        return usable_memory_bytes(has_imposed ? std::min(available, imposed) : available);
    };
    const auto now = std::chrono::steady_clock::now();
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (!must_read && have_reading_ && now - when_ < kReadingLifetime) {
            const std::uint64_t usable = usable_of(available_);
            const std::uint64_t room = usable - std::min(usable, taken_);
            const ByteCount margin = ByteCount::product(needed.bytes(), kReuseFactor);
            if (!margin.unbounded() && margin.bytes() <= room) {
                fresh = false;
                return room;
            }
        }
    }
    // Read outside the lock: other calls keep using the old reading meanwhile.
    const std::uint64_t available = available_memory_bytes(sources_);
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        have_reading_ = true;
        available_ = available;
        taken_ = 0;
        when_ = std::chrono::steady_clock::now();
    }
    fresh = true;
    return usable_of(available);
}

void MemoryGauge::take(ByteCount bytes) {
    const std::lock_guard<std::mutex> lock(mutex_);
    taken_ = (ByteCount(taken_) + bytes).bytes();
}

void MemoryGauge::hold_for_fork() {
    mutex_.lock();
}

void MemoryGauge::release_after_fork() {
    mutex_.unlock();
}

MemoryGauge& system_memory_gauge() {
    static MemoryGauge* const gauge = [] {
        auto* g = new MemoryGauge();  // never destroyed: calls may still run during exit
        // A child made by fork() while another thread held the lock would wait on it for
        // ever: it is taken around fork() and given back on both sides.
        pthread_atfork([] { system_memory_gauge().hold_for_fork(); },
                       [] { system_memory_gauge().release_after_fork(); },
                       [] { system_memory_gauge().release_after_fork(); });
        return g;
    }();
    return *gauge;
}

std::uint64_t CallMemory::usable_for(ByteCount needed) {
    // Once a call has read the figures, its later steps are compared with that reading.
    if (fresh_) {
        return fresh_usable_;
    }
    bool fresh = false;
    const std::uint64_t usable = gauge_.usable_for(needed, false, fresh);
    if (fresh) {
        fresh_ = true;
        fresh_usable_ = usable;
    }
    return usable;
}

std::uint64_t usable_memory_bytes(std::uint64_t available) {
    return available - std::min(available / 8, 256 * kMiB);
}

MemoryBudget::MemoryBudget(std::uint64_t usable, ByteCount caller_bytes,
                           const std::string& caller_what)
    : usable_(usable), caller_(caller_bytes) {
    if (caller_.bytes() > usable_) {
        throw MemoryBudgetError(caller_what + " needs " + format_bytes(caller_) + "; about " +
                                format_bytes(ByteCount(usable_)) + " is available");
    }
}

ByteCount MemoryBudget::total() const {
    return caller_ + states_ + largest_scratch_;
}

namespace {

std::string key_value_text(const EffectMemory& memory) {
    char text[64];
    const double v = memory.size_value;
    // Whole values (a stage count, a time in whole milliseconds) in full, others as %g does.
    if (std::fabs(v) < 1e15 && v == std::floor(v)) {
        std::snprintf(text, sizeof(text), "%.0f", v);
    } else {
        std::snprintf(text, sizeof(text), "%g", v);
    }
    return text;
}

}  // namespace

void MemoryBudget::add_effect(const std::string& type, std::size_t index, int channels,
                              const EffectMemory& memory) {
    const ByteCount alone = memory.state + memory.scratch;
    // A fresh reading may have lowered the figure below the caller's own bytes since the start.
    const ByteCount room(usable_ > caller_.bytes() ? usable_ - caller_.bytes() : 0);
    if (alone.bytes() > room.bytes()) {
        std::string message = type + ": ";
        if (memory.size_key != nullptr) {
            message += "\"" + std::string(memory.size_key) + "\" = " + key_value_text(memory) +
                       " on " + std::to_string(channels) +
                       (channels == 1 ? " channel" : " channels") + " needs ";
        } else {
            message +=
                std::to_string(channels) + (channels == 1 ? " channel needs " : " channels need ");
        }
        message += format_bytes(alone) + " of " + memory.state_name;
        if (!alone.unbounded()) {
            message += "; about " + format_bytes(room) + " is available";
        }
        throw MemoryBudgetError(message);
    }
    const ByteCount states = states_ + memory.state;
    const ByteCount scratch(std::max(largest_scratch_.bytes(), memory.scratch.bytes()));
    const ByteCount total = caller_ + states + scratch;
    if (total.bytes() > usable_) {
        // A stream's chain is planned with no output of its own beside it.
        const std::string beside =
            caller_.bytes() == 0 ? "" : ", beside " + format_bytes(caller_) + " for the output";
        throw MemoryBudgetError("the chain does not fit: its first " + std::to_string(index) +
                                " effects (the last a " + type + ") need " +
                                format_bytes(states + scratch) + " together" + beside + "; about " +
                                format_bytes(ByteCount(usable_)) + " is available");
    }
    states_ = states;
    largest_scratch_ = scratch;
}

void require_memory(ByteCount needed, const std::string& what, CallMemory& memory) {
    const MemoryBudget budget(memory.usable_for(needed), needed, what);
    memory.admit(needed);
}

}  // namespace kavri
