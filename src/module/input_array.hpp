// The audio argument of both modules' entry points: a float32 array in C order. An array of
// another dtype or layout is copied into one by the argument's conversion; that copy is sized
// and checked by the memory guard before it is made, as everything else a call allocates is.
// The argument reads, converts and names itself in signatures exactly as
// pybind11::array_t<float, c_style | forcecast> does.
#pragma once

#include <string>
#include <utility>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "engine/memory_budget.hpp"

namespace kavri {

class InputArray
    : public pybind11::array_t<float, pybind11::array::c_style | pybind11::array::forcecast> {
public:
    using Base = pybind11::array_t<float, pybind11::array::c_style | pybind11::array::forcecast>;

    InputArray() = default;
    explicit InputArray(Base&& array) : Base(array.release(), stolen_t{}) {}
    InputArray(const InputArray&) = default;
    InputArray(InputArray&&) noexcept = default;
    InputArray& operator=(const InputArray&) = default;
    InputArray& operator=(InputArray&&) noexcept = default;

    // Let go of without a reference drop where this thread has no thread state attached (it
    // does not hold the interpreter lock): at interpreter exit a daemon thread's stack is
    // unwound from where it takes the lock back (see run_with_lock_released, and NumPy's own
    // conversions), and dropping the last reference to a copy the conversion made freed it
    // without the lock, which ended the process with a segmentation fault. (PyGILState_Check
    // answers yes for every thread once any sub-interpreter has existed.)
    ~InputArray() {
        if (m_ptr != nullptr && attached_thread_state() == nullptr) {
            release();
        }
    }

    static PyThreadState* attached_thread_state() {
#if PY_VERSION_HEX >= 0x030D0000
        return PyThreadState_GetUnchecked();
#else
        return _PyThreadState_UncheckedGet();
#endif
    }

    // The bytes of the float32 copy that converting `source` takes: none for an array that
    // is float32 in C order already, or for a list or other sequence (its own objects far
    // outweigh the copy).
    static ByteCount conversion_bytes(pybind11::handle source) {
        if (!pybind11::isinstance<pybind11::array>(source) || Base::check_(source)) {
            return ByteCount(0);
        }
        const auto array = pybind11::reinterpret_borrow<pybind11::array>(source);
        return heap_array_bytes(static_cast<std::uint64_t>(array.size()), sizeof(float));
    }

    // Refuses with MemoryError, before it is made, the float32 copy that converting `source`
    // (an array that is not float32 in C order) takes.
    static void check_conversion(pybind11::handle source) {
        const ByteCount bytes = conversion_bytes(source);
        if (bytes.bytes() == 0) {
            return;
        }
        const auto array = pybind11::reinterpret_borrow<pybind11::array>(source);
        std::string shape;
        for (pybind11::ssize_t k = 0; k < array.ndim(); ++k) {
            shape += (k == 0 ? "" : " x ") + std::to_string(array.shape(k));
        }
        CallMemory memory;
        require_memory(bytes,
                       "the float32 copy of a " + shape + " " +
                           std::string(pybind11::str(array.dtype())) + " array",
                       memory);
    }

    // `source` converted as an argument is, its copy checked first. (pybind11::cast makes an
    // array type from the object directly, past the argument's conversion and its check: a
    // batch of a 4 x 10^12 view met NumPy's own "Unable to allocate 14.6 TiB".)
    static InputArray converted(pybind11::handle source) {
        check_conversion(source);
        Base array = Base::ensure(source);
        if (!array) {
            throw pybind11::error_already_set();
        }
        return InputArray(std::move(array));
    }
};

}  // namespace kavri

namespace pybind11::detail {

template <>
struct handle_type_name<kavri::InputArray> : handle_type_name<kavri::InputArray::Base> {};

template <>
struct pyobject_caster<kavri::InputArray> {
    using type = kavri::InputArray;

    bool load(handle src, bool convert) {
        const bool ready = type::Base::check_(src);
        if (!convert && !ready) {
            return false;
        }
        if (!ready) {
            type::check_conversion(src);
        }
        type::Base array = type::Base::ensure(src);
        if (!array) {
            return false;
        }
        value = type(std::move(array));
        return true;
    }

    static handle cast(const handle& src, return_value_policy /*policy*/, handle /*parent*/) {
        return src.inc_ref();
    }

    PYBIND11_TYPE_CASTER(type, handle_type_name<type>::name);
};

}  // namespace pybind11::detail
