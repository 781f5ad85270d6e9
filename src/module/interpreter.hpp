// What both extension modules need from the interpreter beyond argument conversion: refusing
// sub-interpreters at import, and running native work with the interpreter lock released in a
// way that survives the interpreter shutting down meanwhile.
#pragma once

#include <exception>
#include <initializer_list>
#include <stdexcept>
#include <string>

#include <pybind11/pybind11.h>
#include <unistd.h>

#ifdef __GLIBCXX__
#include <cxxabi.h>
#endif

namespace kavri {

// The modules keep no per-interpreter state and share the binding library's with the main
// interpreter only. A legacy sub-interpreter (one that shares the main one's lock) would load
// them all the same, so it is refused at import.
inline void require_main_interpreter(const char* module_name) {
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        throw pybind11::import_error(std::string(module_name) +
                                     " does not support loading in subinterpreters; "
                                     "import it in the main interpreter.");
    }
}

// Whether a call is running on an object, and in which process. A child forked while a thread
// of its parent was in a call inherits the mark, with no thread of its own to clear it, and the
// object's state as that call left it: half-changed. `what` names the object in a refusal, and
// `remedy` says what recovers one that a fork cut off in a call.
struct BusyFlag {
    const char* what;
    const char* remedy = "reset() it before further use";
    bool busy = false;
    pid_t process = 0;

    [[nodiscard]] bool inherited() const { return busy && process != getpid(); }
};

// Refuses a call on an object another thread is using: its call runs with the interpreter
// lock released, and may be reallocating what this call would read.
inline void check_idle(const BusyFlag& flag) {
    if (flag.inherited()) {
        throw std::runtime_error(std::string(flag.what) +
                                 " was in a call on another thread when this process was forked "
                                 "from it, and its state is half-changed; " +
                                 flag.remedy);
    }
    if (flag.busy) {
        throw std::runtime_error(std::string(flag.what) + " is in use by another thread");
    }
}

// Marks a stream, meter or effect busy for one call. Both the flag and the check are touched
// only with the interpreter lock held, so two Python threads can never both pass the check.
// A reset() takes over a mark inherited across fork (`recovers`), since it makes the state anew.
class BusyGuard {
public:
    explicit BusyGuard(BusyFlag& flag, bool recovers = false) : flag_(flag) {
        if (!(recovers && flag_.inherited())) {
            check_idle(flag_);
        }
        flag_.busy = true;
        flag_.process = getpid();
    }
    BusyGuard(const BusyGuard&) = delete;
    BusyGuard& operator=(const BusyGuard&) = delete;
    ~BusyGuard() { flag_.busy = false; }

private:
    BusyFlag& flag_;
};

// A native object's state cannot be pickled. Python refuses it for pickle protocols 2 and up;
// for 0 and 1 its copyreg builds an instance of the binding library's base type instead,
// which ends the process (std::terminate). A class given this refuses every protocol, and
// copy.copy, with Python's own message.
template <typename Class>
Class unpicklable(Class cls) {
    cls.def("__reduce_ex__",
            [](const pybind11::object& self, const pybind11::object&) -> pybind11::object {
                const pybind11::handle type = pybind11::type::handle_of(self);
                throw pybind11::type_error(
                    "cannot pickle '" + pybind11::str(type.attr("__module__")).cast<std::string>() +
                    "." + pybind11::str(type.attr("__qualname__")).cast<std::string>() +
                    "' object");
            });
    return cls;
}

// Runs `work`, which must touch no Python object, with the interpreter lock released, and
// re-takes the lock afterwards; an exception from `work` is rethrown once the lock is held.
// The lock is released and re-taken by hand rather than by a guard object: re-taking it while
// the interpreter shuts down ends a daemon thread by unwinding its stack, which a guard's
// destructor (implicitly noexcept) would turn into std::terminate. Here the unwind passes
// through ordinary code. The objects in `leave_on_unwind` are let go of without a reference
// drop in that case, since dropping one would touch the interpreter without its lock.
template <typename Work>
void run_with_lock_released(Work&& work,
                            std::initializer_list<pybind11::object*> leave_on_unwind = {}) {
    std::exception_ptr failure;
    PyThreadState* const thread_state = PyEval_SaveThread();
    try {
        work();
#ifdef __GLIBCXX__
    } catch (abi::__forced_unwind&) {
        throw;
#endif
    } catch (...) {
        failure = std::current_exception();
    }
#ifdef __GLIBCXX__
    try {
        PyEval_RestoreThread(thread_state);
    } catch (abi::__forced_unwind&) {
        for (pybind11::object* object : leave_on_unwind) {
            object->release();
        }
        throw;
    }
#else
    PyEval_RestoreThread(thread_state);
#endif
    if (failure) {
        std::rethrow_exception(failure);
    }
}

}  // namespace kavri
