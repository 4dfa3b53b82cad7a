// The CPython internals that _palvine reads, for each version it supports
// (3.11, 3.12, 3.13), behind one small function or constant per difference.
// Each gate names the change it follows. The module's source uses these and
// never tests the version itself.
//
// Include this in place of <Python.h>.
#ifndef KESTRAVEL_CPYTHON_COMPAT_HPP
#define KESTRAVEL_CPYTHON_COMPAT_HPP

#define PY_SSIZE_T_CLEAN
#define Py_BUILD_CORE_MODULE

#include <Python.h>

#if PY_MAJOR_VERSION != 3 || PY_MINOR_VERSION < 11 || PY_MINOR_VERSION > 13
#error "_palvine reads the internal structures of CPython 3.11, 3.12 and 3.13 only"
#endif
#ifdef Py_GIL_DISABLED
#error "_palvine relies on the GIL: free-threaded builds are not supported"
#endif

#define KESTRAVEL_PY312 (PY_VERSION_HEX >= 0x030C0000)
#define KESTRAVEL_PY313 (PY_VERSION_HEX >= 0x030D0000)

// pycore_atomic.h (3.11, 3.12) includes <stdatomic.h> inside extern "C", which
// g++ rejects; its GCC builtin branch has the same layouts.
#undef HAVE_STD_ATOMIC

#if KESTRAVEL_PY313
// 3.13's internal headers use pycore_dict.h without including it, and leave
// parameters unused in their inline helpers.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
#include "internal/pycore_dict.h"
#endif
#include "internal/pycore_frame.h" // _PyInterpreterFrame, PyFrameObject.f_frame
#if KESTRAVEL_PY312
#include "internal/pycore_instruments.h" // PY_MONITORING_SYS_TRACE_ID
#endif
#include "internal/pycore_interp.h" // PyInterpreterState: co_extra_freefuncs, threads, gc, next
#include "internal/pycore_long.h"   // _PyLong_SMALL_INTS, the runtime's static small ints
#if KESTRAVEL_PY313
#include "internal/pycore_optimizer.h" // _Py_Executors_InvalidateDependency
#endif
#include "internal/pycore_pystate.h" // _PyThreadState_GET
#include "internal/pycore_runtime.h" // _PyRuntime.interpreters: the list lock and the interpreters
#if KESTRAVEL_PY313
#pragma GCC diagnostic pop
// pycore_optimizer.h makes this a no-op for code built without _Py_TIER2,
// which every extension is: see compat::constants_changed.
#undef _Py_Executors_InvalidateDependency
extern "C" __attribute__((weak, visibility("default"))) void
_Py_Executors_InvalidateDependency(PyInterpreterState *interp, void *obj, int is_invalidation);
#endif

#include <time.h> // nanosleep: the bounded wait for 3.13's list lock

namespace compat {

// --- Frames -----------------------------------------------------------------

// 3.13 renamed _PyInterpreterFrame.f_code to f_executable, which is not always
// a code object (Include/internal/pycore_frame.h; read it through
// _PyFrame_GetCode). The caller has made sure the frame is not a shim.
inline PyCodeObject *frame_code(const _PyInterpreterFrame *frame)
{
#if KESTRAVEL_PY313
    return _PyFrame_GetCode(const_cast<_PyInterpreterFrame *>(frame));
#else
    return frame->f_code;
#endif
}

// 3.12 dropped _PyInterpreterFrame.is_entry: each run of the evaluation loop
// now links an entry frame of its own into the chain, owned by the C stack
// (FRAME_OWNED_BY_CSTACK), holding no code of the program. Such a frame is a
// shim: it is skipped, and the frame below it is paused in the C call that
// started the loop.
inline bool is_shim(const _PyInterpreterFrame *frame)
{
#if KESTRAVEL_PY312
    return frame->owner == FRAME_OWNED_BY_CSTACK;
#else
    (void)frame;
    return false;
#endif
}

// 3.11 marks the first frame of each run of the evaluation loop (is_entry):
// the frame below it is paused in the C call that started the loop.
inline bool starts_loop_run(const _PyInterpreterFrame *frame)
{
#if KESTRAVEL_PY312
    (void)frame;
    return false; // the shim below it says so
#else
    return frame->is_entry;
#endif
}

// From 3.12, greenlet (3.0.3 on, expose_frames in its TGreenlet.cpp) relinks
// the frame chain of a suspended greenlet past its shims, which stay on the
// greenlet's saved C stack and cannot be read: where one run of the loop ends
// in such a chain cannot be told, so each of its frames counts as a reader.
constexpr bool greenlet_chains_hide_loop_runs = KESTRAVEL_PY312;

// Before 3.0.3, greenlet on 3.12 cut a suspended greenlet's chain after its
// innermost frame (its previous set to null while suspended), so the frames
// below it cannot be seen at all; 3.0.3 brought expose_frames.
constexpr bool old_greenlet_cuts_suspended_chains = KESTRAVEL_PY312;
constexpr long greenlet_exposing_chains[3] = {3, 0, 3};

// The thread's innermost frame: 3.13 moved it from the C frame record
// (tstate->cframe->current_frame) to the thread state.
inline const _PyInterpreterFrame *current_frame(const PyThreadState *tstate)
{
#if KESTRAVEL_PY313
    return tstate->current_frame;
#else
    return tstate->cframe != nullptr ? tstate->cframe->current_frame : nullptr;
#endif
}

// A frame's value stack: the slots from the end of its locals to stacktop,
// which 3.11 to 3.13 keep as an offset from localsplus. While the frame runs,
// stacktop is not kept and the depth read is negative or stale.
inline Py_ssize_t stack_depth(const _PyInterpreterFrame *frame)
{
    return frame->stacktop - frame_code(frame)->co_nlocalsplus;
}

// --- Interpreters -------------------------------------------------------------

// 3.12 moved sys.modules from interp->modules into interp->imports.
inline PyObject *modules_of(const PyInterpreterState *interp)
{
#if KESTRAVEL_PY312
    return interp->imports.modules;
#else
    return interp->modules;
#endif
}

// PEP 684 (3.12): an interpreter may have a GIL of its own. Its frames and
// thread states change while the caller holds its own GIL, so they are never
// read. In 3.11 every interpreter shares one GIL.
inline bool shares_gil(const PyInterpreterState *interp, const PyInterpreterState *caller)
{
#if KESTRAVEL_PY312
    return interp->ceval.gil == caller->ceval.gil;
#else
    (void)interp;
    (void)caller;
    return true;
#endif
}

// --- The thread-list lock ------------------------------------------------------

// The runtime's lock over the interpreters and their thread lists
// (HEAD_LOCK): a PyThread_type_lock up to 3.12, which has a timed acquire,
// and a PyMutex in 3.13, whose timed lock is not exported. For the
// PyMutex, a try-lock as its own slow path does (take the LOCKED bit while it
// is clear), retried with short sleeps until the timeout; its unlock wakes any
// thread parked meanwhile.
[[nodiscard]] inline bool lock_thread_list(long timeout_us)
{
#if KESTRAVEL_PY313
    // The interpreter's clock, not libc's clock_gettime, which would raise the
    // oldest glibc the module runs on (its manylinux tag) to 2.17.
    PyMutex *mutex = &_PyRuntime.interpreters.mutex;
    PyTime_t start;
    if (PyTime_MonotonicRaw(&start) < 0) {
        return false;
    }
    for (;;) {
        uint8_t bits = _Py_atomic_load_uint8_relaxed(&mutex->_bits);
        if ((bits & _Py_LOCKED) == 0 &&
            _Py_atomic_compare_exchange_uint8(&mutex->_bits, &bits, bits | _Py_LOCKED)) {
            return true;
        }
        PyTime_t now;
        if (PyTime_MonotonicRaw(&now) < 0 || (now - start) / 1000 >= timeout_us) {
            return false;
        }
        timespec pause = {0, 20 * 1000};
        nanosleep(&pause, nullptr);
    }
#else
    return PyThread_acquire_lock_timed(_PyRuntime.interpreters.mutex, timeout_us, 0) == PY_LOCK_ACQUIRED;
#endif
}

inline void unlock_thread_list()
{
#if KESTRAVEL_PY313
    PyMutex_Unlock(&_PyRuntime.interpreters.mutex);
#else
    PyThread_release_lock(_PyRuntime.interpreters.mutex);
#endif
}

// --- Threads and tracing ---------------------------------------------------------

// 3.12 marks a thread state whose thread has begun to end
// (tstate->_status.finalizing, set first thing in PyThreadState_Clear, which
// then clears the trace): a trace installed from then on would never be
// released. 3.11 has no such mark.
inline bool is_ending(const PyThreadState *tstate)
{
#if KESTRAVEL_PY312
    return tstate->_status.finalizing;
#else
    (void)tstate;
    return false;
#endif
}

// Stores a thread's trace function and trace object, as _PyEval_SetTrace does
// without its audit event and without releasing the previous object (both may
// run Python code). Returns the previous object's reference.
//
// 3.11 keeps a per-thread "tracing is on" flag in the C frame record. PEP 669
// (3.12) made tracing a client of sys.monitoring: the interpreter counts its
// traced threads (sys_tracing_threads) and instruments code for all of them;
// the count is kept here, and finish_trace_installation acts on it.
inline PyObject *swap_trace(PyThreadState *tstate, Py_tracefunc func, PyObject *object)
{
#if KESTRAVEL_PY312
    tstate->interp->sys_tracing_threads += (func != nullptr) - (tstate->c_tracefunc != nullptr);
#endif
    PyObject *previous = tstate->c_traceobj;
    tstate->c_traceobj = Py_XNewRef(object);
    tstate->c_tracefunc = func;
#if !KESTRAVEL_PY312
    _PyThreadState_UpdateTracingState(tstate);
#endif
    return previous;
}

// Called by the calling thread once other threads' traces were swapped for
// its own, which it leaves unchanged. From 3.12 on, a thread's trace only
// fires while the interpreter's instrumentation for tracing is on, and the
// interpreter turns it on and off as it installs a trace. So once no thread
// is traced and the instrumentation is still on, the interpreter's own
// installation of the caller's (absent) trace turns it off, as
// sys.settrace(None) would (_PyMonitoring_SetEvents is not exported). That
// raises one more "sys.settrace" audit event; a refusal of it is reported by
// CPython as unraisable and leaves the instrumentation on, which costs time
// and changes nothing else.
inline void finish_trace_installation(PyThreadState *caller)
{
#if KESTRAVEL_PY312
    const PyInterpreterState *interp = caller->interp;
    const bool instrumented =
        interp->monitors.tools[PY_MONITORING_EVENT_PY_START] & (1 << PY_MONITORING_SYS_TRACE_ID);
    if (caller->c_tracefunc == nullptr && interp->sys_tracing_threads == 0 && instrumented) {
        PyEval_SetTrace(nullptr, nullptr);
    }
#else
    (void)caller;
#endif
}

// --- Code objects -------------------------------------------------------------------

// 3.13 builds with tier 2 (the JIT of PEP 744, or the tier-2 interpreter)
// copy constants into executors (_LOAD_CONST_INLINE), which record the code
// objects they depend on: they are invalidated when its constants change, as
// CPython does when a function's code changes. Whether the interpreter has
// tier 2 is known only when the module loads: _Py_TIER2 is defined for
// CPython's own sources alone, and only such builds export the function. So
// it is referenced weakly, and is null in builds without tier 2, which have
// no executors.
inline void constants_changed(PyInterpreterState *interp, PyCodeObject *code)
{
#if KESTRAVEL_PY313
    if (_Py_Executors_InvalidateDependency != nullptr) {
        _Py_Executors_InvalidateDependency(interp, code, 1);
    }
#else
    (void)interp;
    (void)code;
#endif
}

} // namespace compat

#endif // KESTRAVEL_CPYTHON_COMPAT_HPP
