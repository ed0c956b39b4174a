// Small host operations with the host's exact semantics.
#pragma once

#include <pybind11/pybind11.h>
#include <pthread.h>

#include <algorithm>
#include <cstddef>

namespace hostkit {
namespace py = pybind11;

// bool(obj)
inline bool truthy(py::handle obj) {
    int r = PyObject_IsTrue(obj.ptr());
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

// `a == b` as a condition evaluates it (no identity shortcut).
inline bool equals(py::handle a, py::handle b) {
    PyObject* r = PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ);
    if (!r) throw py::error_already_set();
    int truth = PyObject_IsTrue(r);
    Py_DECREF(r);
    if (truth < 0) throw py::error_already_set();
    return truth != 0;
}

inline bool equals(py::handle a, const char* text) { return equals(a, py::str(text)); }

// `key in container`
inline bool contains(py::handle container, py::handle key) {
    int r = PySequence_Contains(container.ptr(), key.ptr());
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

inline bool contains(py::handle container, const char* key) { return contains(container, py::str(key)); }

// Whether the calling thread's C stack has less than `reserve` bytes (at most a quarter of the
// stack) free below the current frame; false when the thread's stack bounds are unknown. The
// bounds are read once per thread.
inline bool stack_nearly_full(size_t reserve) {
    struct Bounds {
        const char* low = nullptr;
        size_t size = 0;
        bool read = false;
    };
    thread_local Bounds bounds;
    if (!bounds.read) {
        bounds.read = true;
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            void* addr = nullptr;
            size_t size = 0;
            if (pthread_attr_getstack(&attr, &addr, &size) == 0) {
                bounds.low = static_cast<const char*>(addr);
                bounds.size = size;
            }
            pthread_attr_destroy(&attr);
        }
    }
    const char* here = static_cast<const char*>(__builtin_frame_address(0));
    if (!bounds.low || here < bounds.low || here > bounds.low + bounds.size) return false;
    return static_cast<size_t>(here - bounds.low) < std::min(reserve, bounds.size / 4);
}

// Guards C recursion on nested host data the way the host does: RecursionError, never a crash.
// Three limits apply, the first reached wins: the host's recursion limit (which a program may
// raise far beyond what the C stack holds), a fixed cap on the nesting of these guards, and the
// C stack still free (threads may run on small stacks).
class RecursionGuard {
public:
    // Deeper nesting than this is refused whatever the host's limit says. A level of the guarded
    // functions costs at most about 2 KiB of stack (less when it does not go through the host's
    // call machinery), so the cap stays inside the 8 MiB a thread gets by default.
    static constexpr int kMaxDepth = 3000;
    // Room kept free for the host to raise and report the error (at most a quarter of the stack).
    static constexpr size_t kStackReserve = 256 * 1024;

    // Where the recursion goes through a call into the host, the host already counts each level
    // against its limit: `counted_by_host` then leaves that count to it (so a level is not
    // counted twice).
    explicit RecursionGuard(const char* where, bool counted_by_host = false) : host_(!counted_by_host) {
        if (host_ && Py_EnterRecursiveCall(where)) throw py::error_already_set();
        if (depth() >= kMaxDepth || stack_nearly_full(kStackReserve)) {
            if (host_) Py_LeaveRecursiveCall();
            PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
            throw py::error_already_set();
        }
        ++depth();
    }
    ~RecursionGuard() {
        --depth();
        if (host_) Py_LeaveRecursiveCall();
    }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;

private:
    bool host_;
    static int& depth() {
        thread_local int level = 0;
        return level;
    }
};

}  // namespace hostkit
