#include "engine/memory_budget.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <unistd.h>
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
constexpr std::uint64_t kMmapThreshold = 128 * 1024;
constexpr std::uint64_t kPage = 4096;
constexpr std::uint64_t kMiB = 1024 * 1024;

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

// The room left under one group's limit, if it has a limit that can be read.
void limit_headroom(const std::string& dir, const char* limit_file, const char* usage_file,
                    std::uint64_t& smallest) {
    std::uint64_t limit = 0;
    std::uint64_t usage = 0;
    if (!read_bytes_file(dir + "/" + limit_file, limit) || limit >= kNoLimit) {
        return;
    }
    if (!read_bytes_file(dir + "/" + usage_file, usage)) {
        usage = 0;
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
                limit_headroom(dir, "memory.max", "memory.current", smallest);
            }
        } else if (has_memory_controller(controllers)) {
            for (const std::string& dir : group_dirs(sources.cgroup_dir + "/memory", path)) {
                limit_headroom(dir, "memory.limit_in_bytes", "memory.usage_in_bytes", smallest);
            }
        }
    }
}

bool mem_available(const MemorySources& sources, std::uint64_t& bytes) {
    std::ifstream meminfo(sources.proc_dir + "/meminfo");
    std::string line;
    const std::string key = "MemAvailable:";
    while (std::getline(meminfo, line)) {
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

std::uint64_t physical_memory_bytes() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || page_size <= 0) {
        return ByteCount::kUnbounded;
    }
    return ByteCount::product(static_cast<std::uint64_t>(pages), static_cast<std::uint64_t>(page_size))
        .bytes();
}

}  // namespace

std::uint64_t available_memory_bytes(const MemorySources& sources) {
    std::uint64_t available = 0;
    if (!mem_available(sources, available)) {
        available = physical_memory_bytes();
    }
    cgroup_headroom(sources, available);
    return available;
}

std::uint64_t available_memory_bytes() {
    std::uint64_t available = available_memory_bytes(MemorySources{});
    // A lower figure can be imposed from outside, to try a tight machine on a large one. It
    // can only make the guard stricter.
    if (const char* imposed = std::getenv("KAVRI_AVAILABLE_MEMORY")) {
        std::uint64_t bytes = 0;
        if (parse_bytes(imposed, bytes)) {
            available = std::min(available, bytes);
        }
    }
    return available;
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
    const ByteCount room(usable_ - caller_.bytes());
    if (alone.bytes() > room.bytes()) {
        std::string message = type + ": ";
        if (memory.size_key != nullptr) {
            message += "\"" + std::string(memory.size_key) + "\" = " + key_value_text(memory) + " on " +
                       std::to_string(channels) + (channels == 1 ? " channel" : " channels") + " needs ";
        } else {
            message += std::to_string(channels) + (channels == 1 ? " channel needs " : " channels need ");
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
        throw MemoryBudgetError(
            "the chain does not fit: its first " + std::to_string(index) + " effects (the last a " +
            type + ") need " + format_bytes(states + scratch) + " together, beside " +
            format_bytes(caller_) + " for the output; about " + format_bytes(ByteCount(usable_)) +
            " is available");
    }
    states_ = states;
    largest_scratch_ = scratch;
}

}  // namespace kavri
