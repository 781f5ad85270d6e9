#include "module/factory.hpp"

#include <stdexcept>
#include <string>
#include <unordered_map>

#include "effects/constants.hpp"
#include "effects/dynamics/band_dynamics.hpp"
#include "effects/dynamics/compressor.hpp"
#include "effects/dynamics/gate.hpp"
#include "effects/dynamics/limiter.hpp"
#include "effects/dynamics/transient_shaper.hpp"
#include "effects/filters/delay.hpp"
#include "effects/filters/filter_effect.hpp"
#include "effects/filters/modulated_delay.hpp"
#include "effects/filters/phaser.hpp"
#include "effects/filters/rotary_speaker.hpp"
#include "effects/level/level.hpp"
#include "effects/level/modulation.hpp"
#include "effects/level/stereo.hpp"

namespace py = pybind11;

namespace kavri {

namespace {

// Lets the effect builders read their keys from a spec dict without seeing Python.
class DictParamReader final : public ParamReader {
public:
    explicit DictParamReader(const py::dict& spec) : spec_(spec) {}

    float read_float(const char* key, float default_value) const override {
        return read_float_param(spec_, key, default_value);
    }

    int read_int(const char* key, int default_value) const override {
        return read_int_param(spec_, key, default_value);
    }

private:
    const py::dict& spec_;
};

template <FilterKind kind, int frequency_hz>
PlannedEffect plan_filter(const ParamReader& params, float sample_rate, int channels, float q) {
    return plan_filter_effect(kind, params, sample_rate, channels, static_cast<float>(frequency_hz),
                              q);
}

template <FilterKind kind, int frequency_hz>
PlannedEffect plan_filter_q_half_root(const ParamReader& params, float sample_rate, int channels) {
    return plan_filter<kind, frequency_hz>(params, sample_rate, channels, kInvSqrt2);
}

PlannedEffect plan_peak_eq(const ParamReader& params, float sample_rate, int channels) {
    return plan_filter<FilterKind::peak_eq, 1000>(params, sample_rate, channels, 1.0f);
}

constexpr float kChannelPhaseStep = kHalfPi;

PlannedEffect plan_chorus(const ParamReader& params, float sample_rate, int channels) {
    return plan_modulated_delay_effect(params, sample_rate, channels,
                                       {0.12f, 0.35f, 0.9f, 7.5f, 18.0f}, false, kChannelPhaseStep);
}

PlannedEffect plan_flanger(const ParamReader& params, float sample_rate, int channels) {
    return plan_modulated_delay_effect(params, sample_rate, channels,
                                       {0.35f, 0.45f, 0.25f, 1.8f, 2.5f}, false, kChannelPhaseStep);
}

PlannedEffect plan_vibrato(const ParamReader& params, float sample_rate, int channels) {
    return plan_modulated_delay_effect(params, sample_rate, channels,
                                       {0.0f, 1.0f, 5.0f, 3.5f, 5.5f}, true, kChannelPhaseStep);
}

// What each effect costs besides its own object and state: its plan entry, the heap block of
// the parameters its build step keeps (at most a few dozen bytes), and its slot in the list.
constexpr std::size_t kPlanEntryBytes = sizeof(PlannedEffect) + 64 + sizeof(EffectPtr);

struct DispatchRow {
    const char* type;
    EffectPlanner plan;
};

// Found by name, byte for byte and case-sensitively (find_row).
const DispatchRow kDispatchTable[] = {
    {"gain", plan_gain_effect},
    {"clip", plan_clip_effect},
    {"distortion", plan_distortion_effect},
    {"tremolo", plan_tremolo_effect},
    {"delay", plan_delay_effect},
    {"ping_pong_delay", plan_ping_pong_delay_effect},
    {"chorus", plan_chorus},
    {"flanger", plan_flanger},
    {"vibrato", plan_vibrato},
    {"auto_pan", plan_auto_pan_effect},
    {"phaser", plan_phaser_effect},
    {"dynamic_eq", plan_dynamic_eq_effect},
    {"rotary_speaker", plan_rotary_speaker_effect},
    {"lowpass", plan_filter_q_half_root<FilterKind::lowpass, 8000>},
    {"highpass", plan_filter_q_half_root<FilterKind::highpass, 120>},
    {"bandpass", plan_filter_q_half_root<FilterKind::bandpass, 1200>},
    {"notch", plan_filter_q_half_root<FilterKind::notch, 1200>},
    {"peak_eq", plan_peak_eq},
    {"low_shelf", plan_filter_q_half_root<FilterKind::low_shelf, 120>},
    {"high_shelf", plan_filter_q_half_root<FilterKind::high_shelf, 8000>},
    {"compressor", plan_compressor_effect},
    {"upward_compression", plan_upward_compressor_effect},
    {"limiter", plan_limiter_effect},
    {"expander", plan_expander_effect},
    {"noise_gate", plan_noise_gate_effect},
    {"deesser", plan_deesser_effect},
    {"transient_shaper", plan_transient_shaper_effect},
    {"pan", plan_pan_effect},
    {"stereo_width", plan_stereo_width_effect},
};

// The key as an interned Python string, made once per key: the keys are the planners' string
// literals, so their addresses name them. Read and filled only with the interpreter lock
// held; the strings live as long as the process, as interned names do. The table is never
// destroyed: it holds the strings to the end (no destructor at exit drops them, unlike a
// static object's, which left them unreferenced and counted as lost by leak checkers).
PyObject* key_object(const char* key) {
    static auto* const keys = new std::unordered_map<const char*, PyObject*>();
    const auto found = keys->find(key);
    if (found != keys->end()) {
        return found->second;
    }
    PyObject* made = PyUnicode_InternFromString(key);
    if (made == nullptr) {
        throw py::error_already_set();
    }
    keys->emplace(key, made);
    return made;
}

// The row of a type name, compared byte for byte and case-sensitively, or null: by one hash
// look-up in a table made from kDispatchTable on first use (with the interpreter lock held).
const DispatchRow* find_row(const std::string& name) {
    static const std::unordered_map<std::string, const DispatchRow*> rows = [] {
        std::unordered_map<std::string, const DispatchRow*> made;
        for (const DispatchRow& row : kDispatchTable) {
            made.emplace(row.type, &row);
        }
        return made;
    }();
    const auto found = rows.find(name);
    return found == rows.end() ? nullptr : found->second;
}

// Fetches spec[key] if the spec has the key: for a plain dict by one look-up, for a dict
// subclass by its own membership test and item access, so that subclasses and their
// failures behave as in Python.
bool fetch_param(const py::dict& spec, const char* key, py::object& value) {
    const auto name = py::reinterpret_borrow<py::str>(key_object(key));
    if (PyDict_CheckExact(spec.ptr())) {
        PyObject* found = PyDict_GetItemWithError(spec.ptr(), name.ptr());
        if (found == nullptr) {
            if (PyErr_Occurred() != nullptr) {
                throw py::error_already_set();
            }
            return false;
        }
        value = py::reinterpret_borrow<py::object>(found);
        return true;
    }
    if (!spec.contains(name)) {
        return false;
    }
    value = spec[name];
    return true;
}

// The type name as a message can show it. The message reaches Python as UTF-8 text ending at
// its first NUL, so a bytes name that is not valid UTF-8 (b"\x80") would turn the error into
// a UnicodeDecodeError, and one with a NUL would be cut short: such bytes are escaped.
std::string printable_type(const std::string& type) {
    const auto text = py::reinterpret_steal<py::object>(PyUnicode_DecodeUTF8(
        type.data(), static_cast<Py_ssize_t>(type.size()), "backslashreplace"));
    if (!text) {
        throw py::error_already_set();
    }
    std::string printable;
    for (const char c : py::cast<std::string>(text)) {
        if (c == '\0') {
            printable += "\\x00";
        } else {
            printable += c;
        }
    }
    return printable;
}

}  // namespace

float read_float_param(const py::dict& spec, const char* key, float default_value) {
    py::object value;
    if (!fetch_param(spec, key, value)) {
        return default_value;
    }
    return py::cast<float>(value);
}

int read_int_param(const py::dict& spec, const char* key, int default_value) {
    py::object value;
    if (!fetch_param(spec, key, value)) {
        return default_value;
    }
    return py::cast<int>(value);
}

PlannedEffect plan_effect_spec(const py::dict& spec, int sample_rate, int channels,
                               std::string& type) {
    py::object type_value;
    if (!fetch_param(spec, "type", type_value)) {
        throw std::runtime_error("Effect spec is missing the 'type' field.");
    }
    const std::string name = py::cast<std::string>(type_value);
    if (const DispatchRow* row = find_row(name); row != nullptr) {
        type = row->type;
        const DictParamReader params(spec);
        return row->plan(params, static_cast<float>(sample_rate), channels);
    }
    throw std::runtime_error("Unknown effect type: " + printable_type(name));
}

namespace {

// Item k of a chain, read as a dict (a dict or dict subclass as it is, anything else through
// dict()) into `spec`, and planned, its entry in the plan counted. Python code run while
// reading (a value's float conversion, say) may change the list, so a chain is read by index
// against the list's current length.
PlannedEffect plan_item(const py::list& specs, std::size_t k, int sample_rate, int channels,
                        std::string& type, py::dict& spec) {
    const py::object item = specs[k];
    spec = py::dict(item);
    PlannedEffect planned = plan_effect_spec(spec, sample_rate, channels, type);
    planned.memory.state += ByteCount(kPlanEntryBytes);
    return planned;
}

}  // namespace

EffectPlan plan_chain_unchecked(const py::list& specs, int sample_rate, int channels) {
    EffectPlan plan;
    plan.reserve(py::len(specs));
    std::string type;
    py::dict spec;
    for (std::size_t k = 0; k < py::len(specs); ++k) {
        plan.push_back(plan_item(specs, k, sample_rate, channels, type, spec));
    }
    return plan;
}

EffectPlan plan_effects(const py::list& specs, int sample_rate, int channels,
                        ByteCount caller_bytes, const std::string& caller_what,
                        py::list* spec_copies, ByteCount held_bytes,
                        unsigned long long block_size) {
    // The figure is read again only when the call's total stops being a small part of the
    // reading in hand (see MemoryGauge).
    CallMemory memory;
    MemoryBudget budget(memory.usable_for(caller_bytes), caller_bytes, caller_what);
    EffectPlan plan;
    plan.reserve(py::len(specs));
    std::string type;
    py::dict spec;
    for (std::size_t k = 0; k < py::len(specs); ++k) {
        PlannedEffect planned = plan_item(specs, k, sample_rate, channels, type, spec);
        if (planned.holds_frames && held_bytes.bytes() != 0) {
            // The block held in front of it is what sizes such an effect in a stream.
            planned.memory.state += held_bytes;
            planned.memory.size_key = "block_size";
            planned.memory.size_value = static_cast<double>(block_size);
            planned.memory.state_name = "held frames and filter state";
        }
        budget.set_usable(
            memory.usable_for(budget.total() + planned.memory.state + planned.memory.scratch));
        budget.add_effect(type, k + 1, channels, planned.memory);
        plan.push_back(std::move(planned));
        if (spec_copies != nullptr) {
            const auto copy = py::reinterpret_steal<py::object>(PyDict_Copy(spec.ptr()));
            if (!copy) {
                throw py::error_already_set();
            }
            spec_copies->append(copy);
        }
    }
    memory.admit(budget.total());
    return plan;
}

}  // namespace kavri
