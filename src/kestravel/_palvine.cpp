// Native core of kestravel: operations on CPython 3.11 internals that Python
// code cannot perform.

#define PY_SSIZE_T_CLEAN
#define Py_BUILD_CORE_MODULE

#include <Python.h>

#if PY_MAJOR_VERSION != 3 || PY_MINOR_VERSION != 11
#error "_palvine reads CPython 3.11's internal structures: build it against 3.11 headers only"
#endif

// pycore_atomic.h includes <stdatomic.h> inside extern "C", which g++ rejects;
// its GCC builtin branch has the same layouts.
#undef HAVE_STD_ATOMIC

#include "internal/pycore_frame.h"   // _PyInterpreterFrame, PyFrameObject.f_frame
#include "internal/pycore_interp.h"  // PyInterpreterState.co_extra_freefuncs
#include "internal/pycore_pystate.h" // _PyThreadState_GET, _PyThreadState_UpdateTracingState
#include "internal/pycore_runtime.h" // _PyRuntime.interpreters.mutex, the thread-list lock

#include <cstdint>

namespace {

// The runtime's lock over every interpreter's thread list. It is taken only
// with the GIL held and never across anything that may run Python code.
void lock_thread_list()
{
    PyThread_acquire_lock(_PyRuntime.interpreters.mutex, WAIT_LOCK);
}

void unlock_thread_list()
{
    PyThread_release_lock(_PyRuntime.interpreters.mutex);
}

// ---------------------------------------------------------------------------
// Constants replacement
//
// The evaluation loop caches a running frame's co_consts in a C local and
// reloads it only when the frame is resumed. A tuple replaced while a frame
// runs the code object is therefore kept alive, in a list stored in the code
// object's co_extra, until a later replacement finds no such frame or the
// code object is destroyed.

void release_retired_constants(void *retired)
{
    Py_XDECREF(static_cast<PyObject *>(retired));
}

// The co_extra index of the retired list in this interpreter, or -1 if none
// has been requested yet. Indices are per interpreter, so the interpreter's
// own table is searched rather than remembering one.
Py_ssize_t find_retired_index(PyInterpreterState *interp)
{
    for (Py_ssize_t i = 0; i < interp->co_extra_user_count; i++) {
        if (interp->co_extra_freefuncs[i] == release_retired_constants) {
            return i;
        }
    }
    return -1;
}

// Borrowed reference to the code object's retired list, or null.
PyObject *retired_list(PyCodeObject *code, Py_ssize_t index)
{
    void *retired = nullptr;
    if (index < 0) {
        return nullptr;
    }
    if (_PyCode_GetExtra(reinterpret_cast<PyObject *>(code), index, &retired) < 0) {
        PyErr_Clear();
        return nullptr;
    }
    return static_cast<PyObject *>(retired);
}

bool frame_chain_runs(const _PyInterpreterFrame *frame, const PyCodeObject *code)
{
    for (; frame != nullptr; frame = frame->previous) {
        if (frame->f_code == code) {
            return true;
        }
    }
    return false;
}

// Whether a frame of any thread of the interpreter is executing the code.
// Other threads' frame chains only change while they hold the GIL, which the
// caller holds.
bool code_is_running(PyInterpreterState *interp, const PyCodeObject *code)
{
    bool running = false;
    lock_thread_list();
    for (PyThreadState *ts = PyInterpreterState_ThreadHead(interp); ts != nullptr && !running;
         ts = PyThreadState_Next(ts)) {
        running = ts->cframe != nullptr && frame_chain_runs(ts->cframe->current_frame, code);
    }
    unlock_thread_list();
    return running;
}

// Adds a strong reference to the tuple to the code object's retired list.
int retire_constants(PyInterpreterState *interp, PyCodeObject *code, PyObject *consts)
{
    Py_ssize_t index = find_retired_index(interp);
    if (index < 0) {
        index = _PyEval_RequestCodeExtraIndex(release_retired_constants);
        if (index < 0) {
            PyErr_SetString(PyExc_RuntimeError, "no code object extra slot left to keep "
                                                "replaced constants alive");
            return -1;
        }
    }
    PyObject *retired = retired_list(code, index);
    if (retired != nullptr) {
        return PyList_Append(retired, consts);
    }
    retired = PyList_New(1);
    if (retired == nullptr) {
        return -1;
    }
    PyList_SET_ITEM(retired, 0, Py_NewRef(consts));
    if (_PyCode_SetExtra(reinterpret_cast<PyObject *>(code), index, retired) < 0) {
        Py_DECREF(retired);
        return -1;
    }
    return 0;
}

// Detaches the code object's retired list: a new reference, or null.
PyObject *take_retired_list(PyInterpreterState *interp, PyCodeObject *code)
{
    Py_ssize_t index = find_retired_index(interp);
    PyObject *retired = Py_XNewRef(retired_list(code, index));
    if (retired == nullptr) {
        return nullptr;
    }
    // Clearing the slot drops the code object's reference through
    // release_retired_constants; ours keeps the list until the caller is done.
    // The slot exists, so clearing it allocates nothing and cannot fail.
    if (_PyCode_SetExtra(reinterpret_cast<PyObject *>(code), index, nullptr) < 0) {
        PyErr_Clear();
        Py_DECREF(retired);
        return nullptr;
    }
    return retired;
}

PyObject *replace_constants(PyObject *, PyObject *args)
{
    PyCodeObject *code;
    PyObject *consts;
    if (!PyArg_ParseTuple(args, "O!O!", &PyCode_Type, &code, &PyTuple_Type, &consts)) {
        return nullptr;
    }
    PyObject *old_consts = code->co_consts;
    if (PyTuple_Size(consts) != PyTuple_Size(old_consts)) {
        PyErr_SetString(PyExc_ValueError, "Constants tuple size mismatch");
        return nullptr;
    }
    if (consts == old_consts) {
        Py_RETURN_NONE;
    }

    PyInterpreterState *interp = _PyInterpreterState_GET();
    PyObject *released = nullptr;
    if (code_is_running(interp, code)) {
        if (retire_constants(interp, code, old_consts) < 0) {
            return nullptr;
        }
    }
    else {
        released = take_retired_list(interp, code);
    }
    code->co_consts = Py_NewRef(consts);
    // Last, as releasing may run arbitrary code that sees the code object.
    Py_DECREF(old_consts);
    Py_XDECREF(released);
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// Frame value-stack snapshot

int dict_set_index(PyObject *dict, Py_ssize_t index, PyObject *value)
{
    PyObject *key = PyLong_FromSsize_t(index);
    if (key == nullptr) {
        return -1;
    }
    int rc = PyDict_SetItem(dict, key, value);
    Py_DECREF(key);
    return rc;
}

Py_ssize_t stack_depth(const _PyInterpreterFrame *iframe)
{
    return iframe->stacktop - iframe->f_code->co_nlocalsplus;
}

PyObject *get_stack(PyObject *, PyObject *args)
{
    PyFrameObject *frame;
    if (!PyArg_ParseTuple(args, "O!", &PyFrame_Type, &frame)) {
        return nullptr;
    }
    // Allocating the dict may run a garbage collection whose finalizers resume
    // or clear this very frame, so the stack is only read once it exists.
    PyObject *stack = _PyDict_NewPresized(stack_depth(frame->f_frame) + 1);
    if (stack == nullptr) {
        return nullptr;
    }
    // From here on nothing runs Python code: int keys hash and compare in C.
    _PyInterpreterFrame *iframe = frame->f_frame;
    Py_ssize_t stack_size = stack_depth(iframe);
    PyObject *depth = PyLong_FromSsize_t(stack_size);
    if (depth == nullptr || dict_set_index(stack, -1, depth) < 0) {
        Py_XDECREF(depth);
        Py_DECREF(stack);
        return nullptr;
    }
    Py_DECREF(depth);
    PyObject *const *slots = _PyFrame_Stackbase(iframe);
    for (Py_ssize_t i = 0; i < stack_size; i++) {
        if (slots[i] != nullptr && dict_set_index(stack, i, slots[i]) < 0) {
            Py_DECREF(stack);
            return nullptr;
        }
    }
    return stack;
}

// ---------------------------------------------------------------------------
// In-place tuple item replacement

PyObject *replace_in_tuple(PyObject *, PyObject *args)
{
    PyObject *tuple;
    PyObject *item;
    PyObject *replacement;
    if (!PyArg_ParseTuple(args, "O!OO", &PyTuple_Type, &tuple, &item, &replacement)) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < PyTuple_Size(tuple); i++) {
        PyObject *current = PyTuple_GET_ITEM(tuple, i);
        if (current == item) {
            PyTuple_SET_ITEM(tuple, i, Py_NewRef(replacement));
            // The argument tuple still holds item, so this runs no finalizer.
            Py_DECREF(current);
        }
    }
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// Trace function propagation
//
// Raising an audit event or releasing a trace object may run Python code, let
// the GIL go, and let another thread end and free its state. So the threads
// are first listed by (pointer, id), every audit event is raised, and then,
// under the list lock and with no Python code in between, each listed thread
// still alive is found again and its trace swapped. The replaced trace objects
// are released last, outside the lock.

struct ThreadTrace {
    PyThreadState *tstate;
    uint64_t id;               // never reused within an interpreter
    PyObject *previous_object; // set once the trace is swapped
};

Py_ssize_t count_other_threads(PyInterpreterState *interp, PyThreadState *caller)
{
    Py_ssize_t count = 0;
    lock_thread_list();
    for (PyThreadState *ts = PyInterpreterState_ThreadHead(interp); ts != nullptr;
         ts = PyThreadState_Next(ts)) {
        count += ts != caller;
    }
    unlock_thread_list();
    return count;
}

// The threads of the interpreter other than the caller, newest first, as the
// list keeps them. Returns the count, or -1 with MemoryError set.
Py_ssize_t list_other_threads(PyInterpreterState *interp, PyThreadState *caller, ThreadTrace **threads)
{
    // Memory is never allocated under the list lock: an allocator hook (such
    // as tracemalloc's) may need a thread state, and so the lock. A thread
    // started meanwhile by a thread that holds no GIL makes it count again.
    for (;;) {
        Py_ssize_t capacity = count_other_threads(interp, caller);
        auto *listed =
            static_cast<ThreadTrace *>(PyMem_Calloc(capacity > 0 ? capacity : 1, sizeof(ThreadTrace)));
        if (listed == nullptr) {
            PyErr_NoMemory();
            return -1;
        }
        Py_ssize_t count = 0;
        bool fits = true;
        lock_thread_list();
        for (PyThreadState *ts = PyInterpreterState_ThreadHead(interp); ts != nullptr && fits;
             ts = PyThreadState_Next(ts)) {
            if (ts != caller) {
                fits = count < capacity;
                if (fits) {
                    listed[count++] = ThreadTrace{ts, ts->id, nullptr};
                }
            }
        }
        unlock_thread_list();
        if (fits) {
            *threads = listed;
            return count;
        }
        PyMem_Free(listed);
    }
}

// The field updates of _PyEval_SetTrace without its audit event and without
// releasing the previous trace object, both of which may run Python code.
// Returns the previous trace object's reference.
PyObject *swap_trace(PyThreadState *ts, Py_tracefunc func, PyObject *object)
{
    PyObject *previous = ts->c_traceobj;
    ts->c_traceobj = Py_XNewRef(object);
    ts->c_tracefunc = func;
    _PyThreadState_UpdateTracingState(ts);
    return previous;
}

// Swaps the trace of the first `count` listed threads that are still alive.
// Both the list and `threads` run newest first with falling ids, so one merge
// pass finds them; a thread that started since it was listed is passed over.
void install_trace(PyInterpreterState *interp, ThreadTrace *threads, Py_ssize_t count, Py_tracefunc func,
                   PyObject *object)
{
    Py_ssize_t next = 0;
    lock_thread_list();
    for (PyThreadState *ts = PyInterpreterState_ThreadHead(interp); ts != nullptr && next < count;
         ts = PyThreadState_Next(ts)) {
        while (next < count && threads[next].id > ts->id) {
            next++; // ended since it was listed
        }
        if (next < count && threads[next].tstate == ts && threads[next].id == ts->id) {
            threads[next].previous_object = swap_trace(ts, func, object);
            next++;
        }
    }
    unlock_thread_list();
}

PyObject *propagate_trace(PyObject *, PyObject *)
{
    PyThreadState *this_tstate = _PyThreadState_GET();
    PyInterpreterState *interp = this_tstate->interp;
    Py_tracefunc tracefunc = this_tstate->c_tracefunc;
    // Owned: audit hooks may replace the caller's trace object meanwhile.
    PyObject *argument = Py_XNewRef(this_tstate->c_traceobj);

    ThreadTrace *threads = nullptr;
    Py_ssize_t count = list_other_threads(interp, this_tstate, &threads);
    if (count < 0) {
        Py_XDECREF(argument);
        return nullptr;
    }
    Py_ssize_t permitted = 0;
    while (permitted < count && PySys_Audit("sys.settrace", nullptr) == 0) {
        permitted++;
    }
    bool refused = permitted < count;
    if (refused) {
        PyErr_Clear(); // replaced by the RuntimeError below
    }
    install_trace(interp, threads, permitted, tracefunc, argument);
    for (Py_ssize_t i = 0; i < permitted; i++) {
        Py_XDECREF(threads[i].previous_object);
    }
    PyMem_Free(threads);
    Py_XDECREF(argument);
    if (refused) {
        PyErr_SetString(PyExc_RuntimeError, "Failed to set trace function");
        return nullptr;
    }
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------

PyMethodDef code_methods[] = {
    {"replace_constants", replace_constants, METH_VARARGS, "Replace the tuple bearing the code constants."},
    {"get_stack", get_stack, METH_VARARGS, "Get the stack of a frame."},
    {"replace_in_tuple", replace_in_tuple, METH_VARARGS, "Replace an item in a tuple."},
    {"propagate_trace", propagate_trace, METH_NOARGS, "Propagate the current trace function to all threads."},
    {nullptr, nullptr, 0, nullptr},
};

// Not const: the interpreter fills in the head when it creates the module.
PyModuleDef codemodule = {
    PyModuleDef_HEAD_INIT,
    "_palvine",   // m_name
    nullptr,      // m_doc
    -1,           // m_size
    code_methods, // m_methods
    nullptr,      // m_slots
    nullptr,      // m_traverse
    nullptr,      // m_clear
    nullptr,      // m_free
};

} // namespace

PyMODINIT_FUNC PyInit__palvine(void)
{
    return PyModule_Create2(&codemodule, PYTHON_API_VERSION);
}
