// Native core of kestravel: operations on CPython 3.11 internals that Python
// code cannot perform.
//
// C++ for one thing only: small owners (Ref, PyMemBuffer) release what a
// function holds on every path out of it. Exceptions, RTTI and the C++ runtime
// are switched off, so the shared object needs nothing but libc, like a C
// extension.
//
// Rule of every function here: allocating, raising an audit event or
// releasing a reference may run Python code (a collection's finalizers, a
// __del__, a hook), which may call back into this module on the same objects,
// let the GIL go and let other threads end. State is read and changed only in
// stretches that run no Python code; whatever is relied on across such a point
// is held by a reference of our own, and every release comes last.

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
#include "internal/pycore_interp.h"  // PyInterpreterState.co_extra_freefuncs, .threads, .next
#include "internal/pycore_long.h"    // _PyLong_SMALL_INTS, the runtime's static small ints
#include "internal/pycore_object.h"  // _PyObject_IMMORTAL_INIT, the mark of static objects
#include "internal/pycore_pystate.h" // _PyThreadState_GET, _PyThreadState_UpdateTracingState
#include "internal/pycore_runtime.h" // _PyRuntime.interpreters: the list lock and the interpreters

#include <bit>
#include <cstdint>
#include <cstring>

namespace {

// Owns one strong reference (or none) for the length of a scope.
class Ref {
  public:
    static Ref take(PyObject *object) { return Ref(object); }
    static Ref borrow(PyObject *object) { return Ref(Py_XNewRef(object)); }
    Ref(Ref &&other) : object_(other.object_) { other.object_ = nullptr; }
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    ~Ref() { Py_XDECREF(object_); }

    PyObject *get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    // Hands the reference to the caller.
    PyObject *release()
    {
        PyObject *object = object_;
        object_ = nullptr;
        return object;
    }

  private:
    explicit Ref(PyObject *object) : object_(object) {}
    PyObject *object_;
};

// Owns a PyMem block.
template <typename T> class PyMemBuffer {
  public:
    PyMemBuffer() = default;
    PyMemBuffer(const PyMemBuffer &) = delete;
    PyMemBuffer &operator=(const PyMemBuffer &) = delete;
    ~PyMemBuffer() { PyMem_Free(items_); }

    // Replaces the block with `count` zeroed items; false, with MemoryError set, when memory runs out.
    bool reset(Py_ssize_t count)
    {
        PyMem_Free(items_);
        items_ = static_cast<T *>(PyMem_Calloc(count > 0 ? count : 1, sizeof(T)));
        if (items_ == nullptr) {
            PyErr_NoMemory();
        }
        return items_ != nullptr;
    }
    T &operator[](Py_ssize_t i) { return items_[i]; }

  private:
    T *items_ = nullptr;
};

// The runtime's lock over the list of interpreters and each one's list of
// thread states. This module never holds it across Python code, but the
// calling thread may hold it already: sys._current_frames() keeps it while it
// creates frame objects, and a collection started there may run a finalizer
// that calls in here. Other holders keep it for microseconds, so a bounded
// wait tells the two apart without ever hanging.
constexpr PY_TIMEOUT_T thread_list_patience_us = 100 * 1000;

[[nodiscard]] bool lock_thread_list()
{
    return PyThread_acquire_lock_timed(_PyRuntime.interpreters.mutex, thread_list_patience_us, 0) ==
           PY_LOCK_ACQUIRED;
}

void unlock_thread_list()
{
    PyThread_release_lock(_PyRuntime.interpreters.mutex);
}

// ---------------------------------------------------------------------------
// Constants replacement
//
// The evaluation loop caches a running frame's co_consts in a C local and
// reloads it only when the frame resumes. A tuple replaced while a frame of any
// thread of any interpreter may be reading it is therefore kept alive
// ("retired") until a later replacement finds no frame running the code, a
// sweep finds none, or the code object dies.
//
// Only the innermost frame of each evaluation loop can hold a tuple in the
// loop's C locals: a thread's current frame, and each frame right below an
// entry frame (it is paused in a C call or a trace call). A frame paused in a
// call to a Python function holds none, and reloads its code's current tuple
// as the call returns.
//
// A search costs as much as the process has frames, so a replacement visits at
// most search_budget frames and thread states. When they run out, the old
// tuple is retired unverified, and so is every one after it, unsearched, until
// the interpreter has fewer threads or a sweep finds the process small again.
// Once as many are retired that way as the process has frames over
// frames_per_unverified (and at least a floor), one sweep over every frame
// releases each record whose code no frame may be running. A replacement in a
// large process so costs a share of one sweep, and the unverified tuples stay
// bounded by the process's frames.
//
// Retired tuples are kept in a record per code object. A heap code object
// belongs to one interpreter and also keeps its record in co_extra, whose free
// function releases it with the code object. The deep-frozen code objects of
// the standard library are static and the same in every interpreter, where
// co_extra indices differ and whose co_extra CPython frees at exit without
// calling the free functions: their records are only in a list of their own,
// and live as long as the process at most. Every interpreter shares the GIL,
// which guards all of this.

constexpr Py_ssize_t search_budget = 256;
constexpr Py_ssize_t frames_per_unverified = 32;
constexpr Py_ssize_t unverified_floor = 64;

struct RetiredConstants {
    PyCodeObject *code;     // borrowed: a heap code object releases its record as it dies
    RetiredConstants *prev; // in the list of records of its kind
    RetiredConstants *next;
    int64_t interp_id;    // a heap code object's interpreter, whose co_extra index holds the record
    uint64_t marked_in;   // the last sweep that found a frame that may be running the code
    bool shared;          // of a static code object
    bool freed_with_code; // cleared while the record is taken out of co_extra
    Py_ssize_t count;
    Py_ssize_t capacity;

    // The retired tuples, each a strong reference, follow the record.
    PyObject **tuples() { return reinterpret_cast<PyObject **>(this + 1); }
};
static_assert(sizeof(RetiredConstants) % alignof(PyObject *) == 0, "tuples() must be aligned");

struct Retirements {
    RetiredConstants *shared_records;
    RetiredConstants *heap_records;
    bool over_budget;      // the last search or sweep visited more than search_budget
    long over_budget_with; // the calling interpreter's threads then
    Py_ssize_t unverified; // retired since the last sweep without a full search
    Py_ssize_t sweep_at;   // the number of those that starts a sweep
    uint64_t sweeps;
};
Retirements retirements = {nullptr, nullptr, false, 0, 0, unverified_floor, 0};

RetiredConstants *&records_of_kind(bool shared)
{
    return shared ? retirements.shared_records : retirements.heap_records;
}

void link_record(RetiredConstants *record)
{
    RetiredConstants *&head = records_of_kind(record->shared);
    record->prev = nullptr;
    record->next = head;
    if (head != nullptr) {
        head->prev = record;
    }
    head = record;
}

void unlink_record(RetiredConstants *record)
{
    (record->prev != nullptr ? record->prev->next : records_of_kind(record->shared)) = record->next;
    if (record->next != nullptr) {
        record->next->prev = record->prev;
    }
}

// Releases an unlinked record and its tuples; runs Python code.
void release_record(RetiredConstants *record)
{
    for (Py_ssize_t i = 0; i < record->count; i++) {
        Py_DECREF(record->tuples()[i]);
    }
    PyMem_Free(record);
}

// The co_extra free function: called as the code object dies, and by
// _PyCode_SetExtra for the value it overwrites.
void release_with_code(void *extra)
{
    auto *record = static_cast<RetiredConstants *>(extra);
    if (record != nullptr && record->freed_with_code) {
        unlink_record(record);
        release_record(record);
    }
}

// Deep-frozen code objects are created with the reference count that
// _PyObject_IMMORTAL_INIT gives static objects; no heap object comes near it.
bool is_static_code(const PyCodeObject *code)
{
    constexpr PyObject immortal = _PyObject_IMMORTAL_INIT(nullptr);
    return Py_REFCNT(code) >= immortal.ob_refcnt / 2;
}

// The co_extra index of records in the interpreter, or -1 if none has been
// requested yet. Indices are per interpreter, so the interpreter's own table
// is searched rather than remembering one.
Py_ssize_t find_record_index(const PyInterpreterState *interp)
{
    for (Py_ssize_t i = 0; i < interp->co_extra_user_count; i++) {
        if (interp->co_extra_freefuncs[i] == release_with_code) {
            return i;
        }
    }
    return -1;
}

// The code object's record, or null; `index` is that of the code object's interpreter.
RetiredConstants *find_record(PyCodeObject *code, Py_ssize_t index)
{
    if (is_static_code(code)) {
        for (RetiredConstants *record = retirements.shared_records; record != nullptr;
             record = record->next) {
            if (record->code == code) {
                return record;
            }
        }
        return nullptr;
    }
    void *extra = nullptr;
    if (index >= 0 && code->co_extra != nullptr) {
        [[maybe_unused]] int rc = _PyCode_GetExtra(reinterpret_cast<PyObject *>(code), index, &extra);
        assert(rc == 0); // fails only for a non-code object
    }
    return static_cast<RetiredConstants *>(extra);
}

// Puts `record` (or null) in the co_extra slot of a code object of this
// interpreter. The slot must exist, so that nothing is allocated; the record
// it replaces is not freed.
void set_record_slot(PyCodeObject *code, Py_ssize_t index, RetiredConstants *record)
{
    if (RetiredConstants *previous = find_record(code, index)) {
        previous->freed_with_code = false;
    }
    [[maybe_unused]] int rc = _PyCode_SetExtra(reinterpret_cast<PyObject *>(code), index, record);
    assert(rc == 0);
}

// Takes a record of this interpreter's, or a shared one, away from its code
// object. Runs no Python code.
void detach_record(RetiredConstants *record, Py_ssize_t index)
{
    if (!record->shared) {
        set_record_slot(record->code, index, nullptr);
    }
    unlink_record(record);
}

// Makes room for one more tuple in the code object's record. It allocates, so
// Python code may have run by the time it returns: the caller decides again.
// Returns 0, or -1 with an exception set.
int make_room(PyCodeObject *code, const PyInterpreterState *interp)
{
    bool shared = is_static_code(code);
    Py_ssize_t index = find_record_index(interp);
    if (!shared) {
        if (index < 0 && (index = _PyEval_RequestCodeExtraIndex(release_with_code)) < 0) {
            PyErr_SetString(PyExc_RuntimeError,
                            "no code object extra slot left to keep replaced constants alive");
            return -1;
        }
        // Makes the slot exist, so that later stores allocate nothing. A
        // failed allocation is reported without an exception.
        if (find_record(code, index) == nullptr &&
            _PyCode_SetExtra(reinterpret_cast<PyObject *>(code), index, nullptr) < 0) {
            if (!PyErr_Occurred()) {
                PyErr_NoMemory();
            }
            return -1;
        }
    }
    RetiredConstants *current = find_record(code, index);
    Py_ssize_t capacity = current == nullptr ? 2 : 2 * current->capacity;
    auto *fresh = static_cast<RetiredConstants *>(
        PyMem_Malloc(sizeof(RetiredConstants) + static_cast<size_t>(capacity) * sizeof(PyObject *)));
    if (fresh == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    // Look again: the allocation may have run Python code.
    current = find_record(code, index);
    if (current != nullptr && (current->count < current->capacity || current->count >= capacity)) {
        PyMem_Free(fresh);
        return 0;
    }
    *fresh = RetiredConstants{code, nullptr, nullptr, interp->id, 0, shared, !shared, 0, capacity};
    if (current != nullptr) {
        fresh->marked_in = current->marked_in;
        fresh->count = current->count;
        // memmove, not memcpy: x86-64 glibc versions memcpy at 2.14, which
        // would raise the oldest glibc the module runs on (its manylinux tag).
        std::memmove(fresh->tuples(), current->tuples(),
                     static_cast<size_t>(current->count) * sizeof(PyObject *));
    }
    if (!shared) {
        set_record_slot(code, index, fresh);
    }
    if (current != nullptr) {
        unlink_record(current);
        PyMem_Free(current); // its tuples now belong to `fresh`
    }
    link_record(fresh);
    return 0;
}

enum class Walk { finished, stopped, out_of_budget, locked };

// Calls visit(interp, frame) for each frame of every thread of every
// interpreter that may hold a constants tuple, until visit returns true or
// `budget` (lowered as it goes) runs out; each thread state and frame costs 1.
// Other threads' frame chains only change while they hold the GIL, which the
// caller holds. It runs under the thread-list lock: visit runs no Python code.
template <typename Visit> Walk walk_holding_frames(Py_ssize_t &budget, Visit visit)
{
    if (!lock_thread_list()) {
        return Walk::locked;
    }
    Walk walk = Walk::finished;
    for (PyInterpreterState *interp = _PyRuntime.interpreters.head;
         interp != nullptr && walk == Walk::finished; interp = interp->next) {
        for (PyThreadState *ts = interp->threads.head; ts != nullptr && walk == Walk::finished;
             ts = ts->next) {
            const _PyInterpreterFrame *frame = ts->cframe != nullptr ? ts->cframe->current_frame : nullptr;
            bool innermost = true;
            for (budget--; frame != nullptr && budget >= 0; frame = frame->previous, budget--) {
                if (innermost && visit(interp, frame)) {
                    walk = Walk::stopped;
                    break;
                }
                innermost = frame->is_entry;
            }
            if (budget < 0) {
                walk = Walk::out_of_budget;
            }
        }
    }
    unlock_thread_list();
    return walk;
}

// Releases the records of this interpreter's code objects, and the shared
// ones, whose code no frame may be running, after one walk over every frame.
// The releases, which run Python code, come last.
void sweep_retired(const PyInterpreterState *interp)
{
    uint64_t sweep = ++retirements.sweeps;
    const PyInterpreterState *indexed = nullptr;
    Py_ssize_t index = -1;
    Py_ssize_t budget = PY_SSIZE_T_MAX;
    Walk walk = walk_holding_frames(
        budget, [&](const PyInterpreterState *frame_interp, const _PyInterpreterFrame *frame) {
            if (frame_interp != indexed) {
                indexed = frame_interp;
                index = find_record_index(frame_interp);
            }
            if (RetiredConstants *record = find_record(frame->f_code, index)) {
                record->marked_in = sweep;
            }
            return false;
        });
    if (walk == Walk::locked) {
        return; // the next unverified retirement tries again
    }
    Py_ssize_t visited = PY_SSIZE_T_MAX - budget;
    retirements.over_budget = visited > search_budget;
    retirements.over_budget_with = interp->threads.count;
    retirements.unverified = 0;
    retirements.sweep_at = visited / frames_per_unverified > unverified_floor
                               ? visited / frames_per_unverified
                               : unverified_floor;

    index = find_record_index(interp);
    RetiredConstants *released = nullptr; // chained through next once detached
    const bool kinds_of_record[] = {true, false};
    for (bool shared : kinds_of_record) {
        for (RetiredConstants *record = records_of_kind(shared), *next; record != nullptr; record = next) {
            next = record->next;
            if (record->marked_in != sweep && (shared || record->interp_id == interp->id)) {
                detach_record(record, index);
                record->next = released;
                released = record;
            }
        }
    }
    while (released != nullptr) {
        RetiredConstants *next = released->next;
        release_record(released);
        released = next;
    }
}

PyObject *replace_constants(PyObject *, PyObject *args)
{
    PyCodeObject *code;
    PyObject *consts;
    if (!PyArg_ParseTuple(args, "O!O!", &PyCode_Type, &code, &PyTuple_Type, &consts)) {
        return nullptr;
    }
    // Held across the allocations below, whose Python code could drop the
    // argument tuple's references.
    Ref held_code = Ref::borrow(reinterpret_cast<PyObject *>(code));
    Ref held_consts = Ref::borrow(consts);
    // A code object's constants only ever change for a tuple of the same size.
    if (PyTuple_GET_SIZE(consts) != PyTuple_GET_SIZE(code->co_consts)) {
        PyErr_SetString(PyExc_ValueError, "Constants tuple size mismatch");
        return nullptr;
    }
    const PyInterpreterState *interp = _PyInterpreterState_GET();
    for (;;) {
        // No Python code runs from here to each return, or to make_room.
        PyObject *old_consts = code->co_consts;
        if (old_consts == consts) {
            Py_RETURN_NONE;
        }
        Py_ssize_t budget = search_budget;
        Walk walk = Walk::out_of_budget;
        if (!retirements.over_budget || interp->threads.count < retirements.over_budget_with) {
            walk = walk_holding_frames(budget,
                                       [code](const PyInterpreterState *, const _PyInterpreterFrame *frame) {
                                           return frame->f_code == code;
                                       });
            retirements.over_budget = walk == Walk::out_of_budget;
            retirements.over_budget_with = interp->threads.count;
        }
        Py_ssize_t index = find_record_index(interp);
        RetiredConstants *record = find_record(code, index);
        if (walk == Walk::finished) {
            if (record != nullptr) {
                detach_record(record, index);
            }
            code->co_consts = Py_NewRef(consts);
            // Last, as releasing may run Python code.
            Py_DECREF(old_consts);
            if (record != nullptr) {
                release_record(record);
            }
            Py_RETURN_NONE;
        }
        if (record != nullptr && record->count < record->capacity) {
            record->tuples()[record->count++] = old_consts; // the code object's reference
            code->co_consts = Py_NewRef(consts);
            if (walk != Walk::stopped && ++retirements.unverified >= retirements.sweep_at) {
                sweep_retired(interp);
            }
            Py_RETURN_NONE;
        }
        if (make_room(code, interp) < 0) {
            return nullptr;
        }
    }
}

// ---------------------------------------------------------------------------
// Frame value-stack snapshot

// Stores value under the int key `index`. Stack positions lie far below the
// hash modulus, where an int hashes to itself (but -1, which hashes to -2), and
// most are among the runtime's static small ints.
int dict_set_index(PyObject *dict, Py_ssize_t index, PyObject *value)
{
    Py_hash_t hash = index == -1 ? -2 : index;
    if (-_PY_NSMALLNEGINTS <= index && index < _PY_NSMALLPOSINTS) {
        auto *key = reinterpret_cast<PyObject *>(&_PyLong_SMALL_INTS[_PY_NSMALLNEGINTS + index]);
        return _PyDict_SetItem_KnownHash(dict, key, value, hash);
    }
    Ref key = Ref::take(PyLong_FromSsize_t(index));
    return key ? _PyDict_SetItem_KnownHash(dict, key.get(), value, hash) : -1;
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
    Ref stack = Ref::take(_PyDict_NewPresized(stack_depth(frame->f_frame) + 1));
    if (!stack) {
        return nullptr;
    }
    // From here on nothing runs Python code: ints are not tracked by the
    // collector, and int keys hash and compare in C.
    _PyInterpreterFrame *iframe = frame->f_frame;
    Py_ssize_t stack_size = stack_depth(iframe);
    Ref depth = Ref::take(PyLong_FromSsize_t(stack_size));
    if (!depth || dict_set_index(stack.get(), -1, depth.get()) < 0) {
        return nullptr;
    }
    PyObject *const *slots = _PyFrame_Stackbase(iframe);
    for (Py_ssize_t i = 0; i < stack_size; i++) {
        if (slots[i] != nullptr && dict_set_index(stack.get(), i, slots[i]) < 0) {
            return nullptr;
        }
    }
    return stack.release();
}

// ---------------------------------------------------------------------------
// In-place tuple item replacement

// The caller holds a reference to item, so releasing the slot's never frees it.
inline void replace_slot(PyObject *&slot, PyObject *item, PyObject *replacement)
{
    if (slot == item) {
        slot = Py_NewRef(replacement);
        Py_DECREF(item);
    }
}

constexpr Py_ssize_t block_slots = 32;

// Whether any of block_slots slots may hold item. Only the low 32 bits of each
// slot are compared (all of it where pointers have 32), which SSE2 does four
// at a time; a false alarm only costs a look at each slot.
bool block_may_hold(PyObject *const *slots, const PyObject *item)
{
    static_assert(std::endian::native == std::endian::little, "the low word of a slot must come first");
    using Words = uint32_t __attribute__((vector_size(16)));
    constexpr size_t words_per_slot = sizeof(PyObject *) / sizeof(uint32_t);
    const auto low = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(item));
    Words needle = {}, low_words = {};
    for (size_t k = 0; k < 4; k += words_per_slot) {
        needle[k] = low;
        low_words[k] = ~0u;
    }
    Words hits = {};
    for (size_t offset = 0; offset < block_slots * sizeof(PyObject *); offset += sizeof(Words)) {
        Words words;
        std::memcpy(&words, reinterpret_cast<const char *>(slots) + offset, sizeof words);
        hits |= reinterpret_cast<Words>(words == needle);
    }
    hits &= low_words;
    return (hits[0] | hits[1] | hits[2] | hits[3]) != 0;
}

PyObject *replace_in_tuple(PyObject *, PyObject *args)
{
    PyObject *tuple;
    PyObject *item;
    PyObject *replacement;
    if (!PyArg_ParseTuple(args, "O!OO", &PyTuple_Type, &tuple, &item, &replacement)) {
        return nullptr;
    }
    // The argument tuple may be the very tuple being changed (replace_in_tuple(*t)),
    // so its references are not enough. Our own reference to item also means
    // that releasing a replaced slot never frees it: no finalizer runs mid-scan.
    Ref held_tuple = Ref::borrow(tuple);
    Ref held_item = Ref::borrow(item);
    Ref held_replacement = Ref::borrow(replacement);
    // No Python code runs in the scan, so the size cannot change; it is still
    // read afresh before each block and slot, at no cost. Only a block that may
    // hold item is looked at slot by slot, and only a match is stored.
    PyObject **slots = reinterpret_cast<PyTupleObject *>(tuple)->ob_item;
    Py_ssize_t i = 0;
    for (; i + block_slots <= PyTuple_GET_SIZE(tuple); i += block_slots) {
        if (block_may_hold(slots + i, item)) {
            for (Py_ssize_t j = i; j < i + block_slots; j++) {
                replace_slot(slots[j], item, replacement);
            }
        }
    }
    for (; i < PyTuple_GET_SIZE(tuple); i++) {
        replace_slot(slots[i], item, replacement);
    }
    Py_RETURN_NONE; // item's finalizer, if any, runs as held_item goes
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

PyObject *thread_list_locked()
{
    PyErr_SetString(PyExc_RuntimeError, "Failed to set trace function: the thread list stayed locked");
    return nullptr;
}

// The number of threads of the interpreter other than the caller, or -1 if
// the list stayed locked.
Py_ssize_t count_other_threads(const PyInterpreterState *interp, const PyThreadState *caller)
{
    if (!lock_thread_list()) {
        return -1;
    }
    Py_ssize_t count = 0;
    for (const PyThreadState *ts = interp->threads.head; ts != nullptr; ts = ts->next) {
        count += ts != caller;
    }
    unlock_thread_list();
    return count;
}

// Lists the threads of the interpreter other than the caller, newest first,
// as the list keeps them. Returns the count, or -1 with an exception set.
Py_ssize_t list_other_threads(const PyInterpreterState *interp, const PyThreadState *caller,
                              PyMemBuffer<ThreadTrace> &threads)
{
    // Memory is never allocated under the list lock: an allocator hook (such
    // as tracemalloc's) may need a thread state, and so the lock. A thread
    // started meanwhile by a thread that holds no GIL makes it count again.
    for (;;) {
        Py_ssize_t capacity = count_other_threads(interp, caller);
        if (capacity < 0) {
            thread_list_locked();
            return -1;
        }
        if (!threads.reset(capacity)) {
            return -1;
        }
        if (!lock_thread_list()) {
            thread_list_locked();
            return -1;
        }
        Py_ssize_t count = 0;
        bool fits = true;
        for (PyThreadState *ts = interp->threads.head; ts != nullptr && fits; ts = ts->next) {
            if (ts != caller) {
                fits = count < capacity;
                if (fits) {
                    threads[count++] = ThreadTrace{ts, ts->id, nullptr};
                }
            }
        }
        unlock_thread_list();
        if (fits) {
            return count;
        }
    }
}

// _PyEval_SetTrace's field updates, without its audit event (raised earlier)
// and without releasing the previous trace object: both may run Python code.
// Its re-entrancy guard exists because of that Python code; this runs none,
// under the list lock, so no other installation can come between its stores.
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
// False, with nothing changed, if the list stayed locked.
bool install_trace(const PyInterpreterState *interp, PyMemBuffer<ThreadTrace> &threads, Py_ssize_t count,
                   Py_tracefunc func, PyObject *object)
{
    if (!lock_thread_list()) {
        return false;
    }
    Py_ssize_t next = 0;
    for (PyThreadState *ts = interp->threads.head; ts != nullptr && next < count; ts = ts->next) {
        while (next < count && threads[next].id > ts->id) {
            next++; // ended since it was listed
        }
        if (next < count && threads[next].tstate == ts && threads[next].id == ts->id) {
            threads[next].previous_object = swap_trace(ts, func, object);
            next++;
        }
    }
    unlock_thread_list();
    return true;
}

PyObject *propagate_trace(PyObject *, PyObject *)
{
    PyThreadState *this_tstate = _PyThreadState_GET();
    const PyInterpreterState *interp = this_tstate->interp;
    Py_tracefunc tracefunc = this_tstate->c_tracefunc;
    // Owned: audit hooks may replace the caller's trace object meanwhile.
    Ref argument = Ref::borrow(this_tstate->c_traceobj);

    PyMemBuffer<ThreadTrace> threads;
    Py_ssize_t count = list_other_threads(interp, this_tstate, threads);
    if (count < 0) {
        return nullptr;
    }
    Py_ssize_t permitted = 0;
    while (permitted < count && PySys_Audit("sys.settrace", nullptr) == 0) {
        permitted++;
    }
    bool refused = permitted < count;
    if (refused) {
        // Raising the event itself ran out of memory: install nothing.
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
            return nullptr;
        }
        PyErr_Clear(); // replaced by the RuntimeError below
    }
    if (!install_trace(interp, threads, permitted, tracefunc, argument.get())) {
        return thread_list_locked();
    }
    for (Py_ssize_t i = 0; i < permitted; i++) {
        Py_XDECREF(threads[i].previous_object);
    }
    if (refused) {
        PyErr_SetString(PyExc_RuntimeError, "Failed to set trace function");
        return nullptr;
    }
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------

PyMethodDef code_methods[] = {
    // Each docstring opens with the text signature that CPython reads into
    // __text_signature__ (for inspect.signature), then "--" and a blank line;
    // __doc__ is the text after them.
    {"replace_constants", replace_constants, METH_VARARGS,
     "replace_constants($module, code, consts, /)\n--\n\nReplace the tuple bearing the code constants."},
    {"get_stack", get_stack, METH_VARARGS, "get_stack($module, frame, /)\n--\n\nGet the stack of a frame."},
    {"replace_in_tuple", replace_in_tuple, METH_VARARGS,
     "replace_in_tuple($module, tuple, item, replacement, /)\n--\n\nReplace an item in a tuple."},
    {"propagate_trace", propagate_trace, METH_NOARGS,
     "propagate_trace($module, /)\n--\n\nPropagate the current trace function to all threads."},
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
