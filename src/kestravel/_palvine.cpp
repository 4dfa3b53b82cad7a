// Native core of kestravel: operations on CPython internals (3.11 to 3.13)
// that Python code cannot perform. What differs by version is read through
// cpython_compat.hpp.
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

#include "cpython_compat.hpp" // <Python.h> and the internal headers

#include <link.h> // dl_iterate_phdr: where the interpreter's static objects lie

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
// creates frame objects, and a collection started there (3.11) may run a
// finalizer that calls in here. Other holders keep it for microseconds, so a bounded
// wait tells the two apart without ever hanging.
constexpr long thread_list_patience_us = 100 * 1000;

[[nodiscard]] bool lock_thread_list()
{
    return compat::lock_thread_list(thread_list_patience_us);
}

void unlock_thread_list()
{
    compat::unlock_thread_list();
}

// ---------------------------------------------------------------------------
// Constants replacement
//
// The evaluation loop uses a running frame's constants without owning them:
// 3.11 caches its co_consts in a C local and reloads it only when the frame
// resumes; 3.12 keeps the keyword names of a call, taken from co_consts, in a
// C local across the call's profiler events, and 3.12 and 3.13 hold the value
// of RETURN_CONST without a reference across the "return" event. A tuple
// replaced while a frame of any thread of any interpreter may be using it is
// therefore kept alive ("retired") until no frame that may be using it is left.
//
// Only the innermost frame of each run of the evaluation loop can hold a tuple
// or a constant in the loop's C locals: a thread's current frame, and each
// frame paused in the C call (or trace call) that started a later run. These
// are the readers. A frame paused in a call to a Python function holds none,
// and reloads its code's current tuple as the call returns.
//
// A retired tuple names the readers that ran its code when it was retired by
// their frame objects: a frame keeps its frame object while it runs, and a
// frame that starts later reads a newer tuple. The calling thread's readers
// are given a frame object when they have none; where some reader cannot be
// named, any reader of the code may hold the tuple. Frame objects are compared
// by address, and a freed one's address is soon reused, so retired tuples are
// checked against the readers before any reader is given a frame object: a
// function that swaps its own constants on every call keeps nothing of a call
// that has returned.
//
// greenlet gives each greenlet a frame chain of its own and keeps a suspended
// greenlet's chain in no thread state; its innermost frame is paused in a C
// call (the switch) and holds its tuple. Once greenlet is loaded, a
// replacement cannot see every reader, so it retires every tuple for any
// reader of the code, and a sweep, which also visits every suspended greenlet
// (the collector tracks each one), releases those whose code no reader runs.
// Such a tuple cannot name its readers: a greenlet that resumes carries on with
// the tuple it had, as a thread's reader that may have no frame object.
//
// A search costs as much as the process has frames, so a replacement visits at
// most search_budget frames and thread states. When they run out, the old
// tuple is retired unverified, and so is every one after it, unsearched, until
// the interpreter has fewer threads or a sweep finds the process small again.
// Once as many are retired unverified as a sweep visits frames and objects
// over visits_per_unverified (and at least a floor), one sweep releases every
// retired tuple that no reader may hold. A replacement in a large process so
// costs a share of one sweep, and what is retired unverified stays bounded by
// the size of the process.
//
// Retired tuples are kept in a record per code object. A heap code object
// belongs to one interpreter and also keeps its record in co_extra, whose free
// function releases it with the code object. The deep-frozen code objects of
// the standard library are static (3.11, used by every interpreter; 3.12, by
// the main one only), where co_extra indices differ and whose co_extra CPython
// frees at exit without calling the free functions: their records are only in
// a list of their own, and live as long as the process at most. A tuple is
// released only by the interpreter that retired it. The interpreters that
// share the calling one's GIL are the only ones searched, and the GIL guards
// all of this; this module cannot be loaded into an interpreter with a GIL of
// its own, and no code object it can reach runs there.

constexpr Py_ssize_t search_budget = 256;
constexpr Py_ssize_t visits_per_unverified = 32;
constexpr Py_ssize_t unverified_floor = 64;
constexpr int readers_per_search = 8;
constexpr int stamps_per_tuple = 2;
constexpr int releases_per_batch = 32;

// A frame that may hold a constants tuple of its code in its evaluation loop.
struct Reader {
    const _PyInterpreterFrame *frame;
    const PyFrameObject *frame_object; // null while it has none
    bool of_caller;                    // of the calling thread, which can give it a frame object
};

struct RetiredTuple {
    PyObject *tuple;                               // a strong reference
    int64_t interp_id;                             // the interpreter that retired it
    uint64_t read_in;                              // the last sweep that found a reader that may hold it
    const PyFrameObject *stamps[stamps_per_tuple]; // the readers that may hold it
    int stamp_count;
    bool any_reader; // the readers could not all be named

    bool may_be_held_by(const Reader &reader) const
    {
        if (any_reader) {
            return true;
        }
        for (int i = 0; i < stamp_count; i++) {
            if (reader.frame_object != nullptr && stamps[i] == reader.frame_object) {
                return true;
            }
        }
        return false;
    }
};

struct RetiredConstants {
    PyCodeObject *code;     // borrowed: a heap code object releases its record as it dies
    RetiredConstants *prev; // in the list of records of its kind
    RetiredConstants *next;
    int64_t interp_id;    // a heap code object's interpreter, whose co_extra index holds the record
    bool shared;          // of a static code object
    bool freed_with_code; // cleared while the record is taken out of co_extra
    Py_ssize_t count;
    Py_ssize_t capacity;
    Py_ssize_t checked_at; // its count after the last full check against the readers

    // The retired tuples follow the record.
    RetiredTuple *tuples() { return reinterpret_cast<RetiredTuple *>(this + 1); }
};
static_assert(sizeof(RetiredConstants) % alignof(RetiredTuple) == 0, "tuples() must be aligned");

struct Retirements {
    RetiredConstants *shared_records;
    RetiredConstants *heap_records;
    bool over_budget;      // the last search or sweep visited more than search_budget frames
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
        Py_DECREF(record->tuples()[i].tuple);
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

// Deep-frozen code objects are static data of the interpreter's own image
// (the executable or libpython), where no heap object ever lies. An address
// does not change, unlike a reference count, so neither does the answer.
struct ImageRange {
    uintptr_t low;
    uintptr_t high;
};
ImageRange interpreter_image = {0, 0};

int find_interpreter_image(struct dl_phdr_info *info, size_t, void *)
{
    const auto anchor = reinterpret_cast<uintptr_t>(&PyCode_Type);
    ImageRange range = {UINTPTR_MAX, 0};
    for (int i = 0; i < info->dlpi_phnum; i++) {
        const ElfW(Phdr) &segment = info->dlpi_phdr[i];
        if (segment.p_type == PT_LOAD) {
            uintptr_t start = info->dlpi_addr + segment.p_vaddr;
            range.low = start < range.low ? start : range.low;
            range.high = start + segment.p_memsz > range.high ? start + segment.p_memsz : range.high;
        }
    }
    if (range.low <= anchor && anchor < range.high) {
        interpreter_image = range;
        return 1;
    }
    return 0;
}

bool is_static_code(const PyCodeObject *code)
{
    assert(interpreter_image.high != 0); // found by prepare_lookups
    const auto address = reinterpret_cast<uintptr_t>(code);
    return interpreter_image.low <= address && address < interpreter_image.high;
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
        PyMem_Malloc(sizeof(RetiredConstants) + static_cast<size_t>(capacity) * sizeof(RetiredTuple)));
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
    *fresh = RetiredConstants{code, nullptr, nullptr, interp->id, shared, !shared, 0, capacity, 0};
    if (current != nullptr) {
        fresh->count = current->count;
        fresh->checked_at = current->checked_at;
        // memmove, not memcpy: x86-64 glibc versions memcpy at 2.14, which
        // would raise the oldest glibc the module runs on (its manylinux tag).
        std::memmove(fresh->tuples(), current->tuples(),
                     static_cast<size_t>(current->count) * sizeof(RetiredTuple));
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

// Moves to `released` (room for `room`) the tuples of `record` that
// `interp_id` retired and `unread` picks, keeping the others in order.
// Returns how many moved.
template <typename Unread>
int take_tuples(RetiredConstants *record, int64_t interp_id, Unread unread, PyObject **released, int room)
{
    int taken = 0;
    Py_ssize_t kept = 0;
    for (Py_ssize_t i = 0; i < record->count; i++) {
        RetiredTuple &retired = record->tuples()[i];
        if (taken < room && retired.interp_id == interp_id && unread(retired)) {
            released[taken++] = retired.tuple;
        }
        else {
            record->tuples()[kept++] = retired;
        }
    }
    record->count = kept;
    return taken;
}

// ---------------------------------------------------------------------------
// greenlet, found without importing it: once its extension module is in some
// interpreter's sys.modules, its type and gr_frame getter are remembered for
// the process (the extension is never unloaded).

// The head of a greenlet object (greenlet.h): pimpl stays null until the
// greenlet's C++ part exists, which is after the collector tracks it.
struct GreenletHead {
    PyObject ob_base; // PyObject_HEAD
    PyObject *weakreflist;
    PyObject *dict;
    void *pimpl;
};

struct Greenlets {
    PyObject *module_name; // interned str, kept for the process
    PyObject *type_name;   // also the package's name
    PyObject *version_name;
    PyTypeObject *type; // greenlet.greenlet
    getter frame_of;    // its gr_frame getter: a new reference to the innermost frame, or None
    bool hides_suspended_frames;
};
Greenlets greenlets = {nullptr, nullptr, nullptr, nullptr, nullptr, false};

// Finds the interpreter's image and makes the names looked up for greenlet,
// once: both come before any state is read or any lock taken, as one takes
// the loader's lock and the other allocates.
bool prepare_lookups()
{
    if (interpreter_image.high == 0) {
        dl_iterate_phdr(find_interpreter_image, nullptr);
        assert(interpreter_image.high != 0);
    }
    if (greenlets.module_name != nullptr) {
        return true;
    }
    Ref module_name = Ref::take(PyUnicode_InternFromString("greenlet._greenlet"));
    Ref type_name = Ref::take(PyUnicode_InternFromString("greenlet"));
    Ref version_name = Ref::take(PyUnicode_InternFromString("__version__"));
    if (!module_name || !type_name || !version_name) {
        return false;
    }
    if (greenlets.module_name == nullptr) { // the allocations may have run this already
        greenlets.module_name = module_name.release();
        greenlets.type_name = type_name.release();
        greenlets.version_name = version_name.release();
    }
    return true;
}

// Whether the greenlet package says it is older than `oldest`, or says nothing
// readable. Reads the version's characters in place: nothing is allocated.
bool greenlet_older_than(PyObject *modules, const long (&oldest)[3])
{
    PyObject *package = PyDict_GetItemWithError(modules, greenlets.type_name);
    PyObject *version = package != nullptr && PyModule_Check(package)
                            ? PyDict_GetItemWithError(PyModule_GetDict(package), greenlets.version_name)
                            : nullptr;
    if (version == nullptr || !PyUnicode_Check(version) || !PyUnicode_IS_ASCII(version)) {
        return true;
    }
    const char *text = static_cast<const char *>(PyUnicode_DATA(version)); // ends with a NUL
    long parts[3] = {0, 0, 0};
    for (long &part : parts) {
        for (; *text >= '0' && *text <= '9' && part < 100000; text++) {
            part = part * 10 + (*text - '0');
        }
        if (*text != '.') {
            break;
        }
        text++;
    }
    for (int i = 0; i < 3; i++) {
        if (parts[i] != oldest[i]) {
            return parts[i] < oldest[i];
        }
    }
    return false;
}

// Looks for greenlet in the interpreter's sys.modules. Module names are str
// keys, compared in C: no Python code runs.
void look_for_greenlet(PyInterpreterState *interp)
{
    PyObject *modules = compat::modules_of(interp);
    if (greenlets.type != nullptr || greenlets.module_name == nullptr || modules == nullptr ||
        !PyDict_CheckExact(modules)) {
        return;
    }
    PyObject *module = PyDict_GetItemWithError(modules, greenlets.module_name);
    PyObject *type = module != nullptr && PyModule_Check(module)
                         ? PyDict_GetItemWithError(PyModule_GetDict(module), greenlets.type_name)
                         : nullptr;
    if (type == nullptr || !PyType_Check(type)) {
        return;
    }
    auto *greenlet_type = reinterpret_cast<PyTypeObject *>(type);
    if (std::strcmp(greenlet_type->tp_name, "greenlet.greenlet") != 0 ||
        greenlet_type->tp_basicsize < static_cast<Py_ssize_t>(sizeof(GreenletHead))) {
        return;
    }
    for (const PyGetSetDef *attribute = greenlet_type->tp_getset;
         attribute != nullptr && attribute->name != nullptr; attribute++) {
        if (std::strcmp(attribute->name, "gr_frame") == 0 && attribute->get != nullptr) {
            greenlets.frame_of = attribute->get;
            greenlets.type = greenlet_type;
            greenlets.hides_suspended_frames = compat::old_greenlet_cuts_suspended_chains &&
                                               greenlet_older_than(modules, compat::greenlet_exposing_chains);
        }
    }
}

// False, with RuntimeError set, if greenlet hides frames that may hold constants.
bool greenlet_shows_its_frames()
{
    if (greenlets.hides_suspended_frames) {
        PyErr_SetString(PyExc_RuntimeError,
                        "this greenlet hides the frames of suspended greenlets, "
                        "which may hold the constants: upgrade greenlet to 3.0.3 or later");
        return false;
    }
    return true;
}

// The innermost frame of a suspended greenlet, or null for one that is not
// started, running or dead. The getter only reads a field.
const _PyInterpreterFrame *suspended_greenlet_frame(PyObject *greenlet)
{
    if (reinterpret_cast<GreenletHead *>(greenlet)->pimpl == nullptr) {
        return nullptr;
    }
    PyObject *frame = greenlets.frame_of(greenlet, nullptr);
    if (frame == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    const _PyInterpreterFrame *innermost =
        PyFrame_Check(frame) ? reinterpret_cast<PyFrameObject *>(frame)->f_frame : nullptr;
    // The running frame keeps its frame object: this is never the last reference.
    assert(frame == Py_None || Py_REFCNT(frame) > 1);
    Py_DECREF(frame);
    return innermost;
}

// ---------------------------------------------------------------------------
// Finding readers

enum class Walk { finished, out_of_budget, locked };

struct WalkCounts {
    Py_ssize_t frames = 0;  // thread states and frames
    Py_ssize_t objects = 0; // objects tracked by the collector
};

// Visits the readers of a frame chain, each frame counting against `budget`.
// With `all_readers`, each frame of the chain counts as a reader.
template <typename Visit>
bool visit_chain(const PyInterpreterState *interp, const _PyInterpreterFrame *frame, bool of_caller,
                 bool all_readers, Py_ssize_t &budget, WalkCounts &counts, Visit &visit)
{
    bool innermost = true;
    for (; frame != nullptr; frame = frame->previous) {
        if (--budget < 0) {
            return false;
        }
        counts.frames++;
        if (compat::is_shim(frame)) {
            innermost = true;
            continue;
        }
        if (innermost || all_readers) {
            visit(interp, Reader{frame, frame->frame_obj, of_caller});
        }
        innermost = compat::starts_loop_run(frame);
    }
    return true;
}

// Calls visit(interp, reader) for each reader of every thread of every
// interpreter that shares the caller's GIL, and with `with_greenlets` of every
// suspended greenlet, until `budget` (lowered as it goes) runs out: each
// thread state and frame costs 1. Other threads' frame chains only change
// while they hold the GIL, which the caller holds. It runs under the
// thread-list lock: visit runs no Python code.
// A suspended greenlet is never garbage to the collector (its tp_is_gc says
// so), so it stays in the generation lists even while a collection runs
// finalizers.
template <typename Visit>
Walk walk_readers(const PyThreadState *caller, bool with_greenlets, Py_ssize_t &budget, WalkCounts &counts,
                  Visit visit)
{
    if (!lock_thread_list()) {
        return Walk::locked;
    }
    Walk walk = Walk::finished;
    for (PyInterpreterState *interp = _PyRuntime.interpreters.head;
         interp != nullptr && walk == Walk::finished; interp = interp->next) {
        if (!compat::shares_gil(interp, caller->interp)) {
            continue;
        }
        look_for_greenlet(interp);
        for (PyThreadState *ts = interp->threads.head; ts != nullptr && walk == Walk::finished;
             ts = ts->next) {
            budget--;
            counts.frames++;
            if (budget < 0 ||
                !visit_chain(interp, compat::current_frame(ts), ts == caller, false, budget, counts, visit)) {
                walk = Walk::out_of_budget;
            }
        }
        if (!with_greenlets || greenlets.type == nullptr || walk != Walk::finished) {
            continue;
        }
        struct _gc_runtime_state *gc = &interp->gc;
        PyGC_Head *lists[NUM_GENERATIONS + 1];
        for (int i = 0; i < NUM_GENERATIONS; i++) {
            lists[i] = &gc->generations[i].head;
        }
        lists[NUM_GENERATIONS] = &gc->permanent_generation.head;
        for (PyGC_Head *list : lists) {
            for (PyGC_Head *node = _PyGCHead_NEXT(list); node != list && walk == Walk::finished;
                 node = _PyGCHead_NEXT(node)) {
                counts.objects++;
                auto *object = reinterpret_cast<PyObject *>(node + 1);
                if ((Py_TYPE(object) == greenlets.type ||
                     PyType_IsSubtype(Py_TYPE(object), greenlets.type)) &&
                    !visit_chain(interp, suspended_greenlet_frame(object), false,
                                 compat::greenlet_chains_hide_loop_runs, budget, counts, visit)) {
                    walk = Walk::out_of_budget;
                }
            }
        }
    }
    unlock_thread_list();
    return walk;
}

// The readers of one code object that a replacement's search found.
struct Search {
    Walk walk = Walk::out_of_budget;
    int count = 0;
    bool overflow = false; // more than readers_per_search
    Reader readers[readers_per_search];

    bool complete() const { return walk == Walk::finished && !overflow; }
    bool may_hold(const RetiredTuple &retired) const
    {
        for (int i = 0; i < count; i++) {
            if (retired.may_be_held_by(readers[i])) {
                return true;
            }
        }
        return false;
    }
};

Search search_readers(PyCodeObject *code, const PyThreadState *caller)
{
    Search search;
    Py_ssize_t budget = search_budget;
    WalkCounts counts;
    search.walk =
        walk_readers(caller, false, budget, counts, [&](const PyInterpreterState *, const Reader &reader) {
            if (compat::frame_code(reader.frame) != code) {
                return;
            }
            if (search.count < readers_per_search) {
                search.readers[search.count++] = reader;
            }
            else {
                search.overflow = true;
            }
        });
    return search;
}

// Releases the tuples that this interpreter retired and that no reader may
// hold, after one walk over every reader; the releases, which run Python
// code, come in batches after it. False if the walk could not be made.
bool sweep_retired(const PyInterpreterState *interp, const PyThreadState *caller)
{
    uint64_t sweep = ++retirements.sweeps;
    const PyInterpreterState *indexed = nullptr;
    Py_ssize_t index = -1;
    Py_ssize_t budget = PY_SSIZE_T_MAX;
    WalkCounts counts;
    Walk walk = walk_readers(
        caller, true, budget, counts, [&](const PyInterpreterState *frame_interp, const Reader &reader) {
            if (frame_interp != indexed) {
                indexed = frame_interp;
                index = find_record_index(frame_interp);
            }
            if (RetiredConstants *record = find_record(compat::frame_code(reader.frame), index)) {
                for (Py_ssize_t i = 0; i < record->count; i++) {
                    if (record->tuples()[i].may_be_held_by(reader)) {
                        record->tuples()[i].read_in = sweep;
                    }
                }
            }
        });
    if (walk != Walk::finished) {
        return false; // a later retirement tries again
    }
    Py_ssize_t visited = counts.frames + counts.objects;
    retirements.over_budget = counts.frames > search_budget;
    retirements.over_budget_with = interp->threads.count;
    retirements.unverified = 0;
    retirements.sweep_at = visited / visits_per_unverified > unverified_floor
                               ? visited / visits_per_unverified
                               : unverified_floor;
    // Tuples retired from here on carry a later sweep's number and stay.
    for (;;) {
        PyObject *released[releases_per_batch];
        int count = 0;
        RetiredConstants *emptied = nullptr; // chained through next once detached
        index = find_record_index(interp);
        const bool kinds_of_record[] = {true, false};
        for (bool shared : kinds_of_record) {
            for (RetiredConstants *record = records_of_kind(shared), *next;
                 record != nullptr && count < releases_per_batch; record = next) {
                next = record->next;
                count += take_tuples(
                    record, interp->id,
                    [sweep](const RetiredTuple &retired) { return retired.read_in < sweep; },
                    released + count, releases_per_batch - count);
                if (record->count == 0 && (shared || record->interp_id == interp->id)) {
                    detach_record(record, index);
                    record->next = emptied;
                    emptied = record;
                }
            }
        }
        while (emptied != nullptr) {
            RetiredConstants *next = emptied->next;
            PyMem_Free(emptied);
            emptied = next;
        }
        for (int i = 0; i < count; i++) {
            Py_DECREF(released[i]);
        }
        if (count < releases_per_batch) {
            return true;
        }
    }
}

// Gives `target`, a frame of the calling thread, a frame object, and sets
// `unnamed` to it if it cannot have one. Returns false with an exception set
// when memory runs out. The calling thread's frames are its callers, paused
// until it returns, so they outlive the allocations.
bool give_frame_object(const _PyInterpreterFrame *target, const _PyInterpreterFrame *&unnamed)
{
    PyObject *frame = Py_XNewRef(reinterpret_cast<PyObject *>(PyEval_GetFrame()));
    while (frame != nullptr && reinterpret_cast<PyFrameObject *>(frame)->f_frame != target) {
        PyObject *back =
            reinterpret_cast<PyObject *>(PyFrame_GetBack(reinterpret_cast<PyFrameObject *>(frame)));
        Py_DECREF(frame); // the frame keeps its own reference
        frame = back;
    }
    if (frame == nullptr) {
        if (PyErr_Occurred()) {
            return false;
        }
        unnamed = target; // out of the frame objects' reach (PyEval_GetFrame clears its own errors)
        return true;
    }
    Py_DECREF(frame);
    return true;
}

void release_tuples(PyObject *const *tuples, int count)
{
    for (int i = 0; i < count; i++) {
        Py_DECREF(tuples[i]);
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
    if (!prepare_lookups()) {
        return nullptr;
    }
    PyInterpreterState *interp = _PyInterpreterState_GET();
    const PyThreadState *caller = _PyThreadState_GET();
    const _PyInterpreterFrame *unnamed = nullptr; // a reader of the caller's that has no frame object
    for (;;) {
        // No Python code runs from here to each release, return, or allocation.
        PyObject *old_consts = code->co_consts;
        if (old_consts == consts) {
            Py_RETURN_NONE;
        }
        if (!greenlet_shows_its_frames()) {
            return nullptr;
        }
        if (retirements.unverified >= retirements.sweep_at && sweep_retired(interp, caller)) {
            continue;
        }
        Search search;
        if (!retirements.over_budget || interp->threads.count < retirements.over_budget_with) {
            search = search_readers(code, caller);
            retirements.over_budget = search.walk == Walk::out_of_budget;
            retirements.over_budget_with = interp->threads.count;
        }
        if (!greenlet_shows_its_frames()) { // found by that search
            return nullptr;
        }
        // greenlet's suspended readers are out of a search's sight.
        const bool verified = search.complete() && greenlets.type == nullptr;
        Py_ssize_t index = find_record_index(interp);
        RetiredConstants *record = find_record(code, index);

        // What no reader may hold goes, checked before a reader is given a
        // frame object, whose address may be a freed one's.
        PyObject *released[releases_per_batch];
        int released_count = 0;
        RetiredConstants *dropped = nullptr;
        if (verified && record != nullptr) {
            bool all_unread = search.count == 0; // then nothing is retired either
            for (Py_ssize_t i = 0; i < record->count && all_unread; i++) {
                all_unread = record->tuples()[i].interp_id == interp->id;
            }
            if (all_unread) {
                detach_record(record, index);
                dropped = record;
                record = nullptr;
            }
            else if (record->count <= releases_per_batch || record->count >= 2 * record->checked_at) {
                // Each tuple may stay, held by a frame that keeps running, so
                // a growing record is checked again only once it has doubled.
                released_count = take_tuples(
                    record, interp->id,
                    [&search](const RetiredTuple &retired) { return !search.may_hold(retired); }, released,
                    releases_per_batch);
                if (released_count == releases_per_batch) {
                    record->checked_at = 0; // and check the rest, after the releases
                    release_tuples(released, released_count);
                    continue;
                }
                record->checked_at = record->count;
            }
        }
        const _PyInterpreterFrame *to_name = nullptr;
        bool named = verified && search.count <= stamps_per_tuple;
        for (int i = 0; i < search.count; i++) {
            const Reader &reader = search.readers[i];
            if (reader.frame_object == nullptr) {
                if (reader.of_caller && reader.frame != unnamed) {
                    to_name = reader.frame;
                }
                else {
                    named = false;
                }
            }
        }

        if (verified && search.count == 0) { // the only way `dropped` is set
            code->co_consts = Py_NewRef(consts);
            compat::constants_changed(interp, code);
            // Last, as releasing may run Python code.
            Py_DECREF(old_consts);
            release_tuples(released, released_count);
            if (dropped != nullptr) {
                release_record(dropped);
            }
            Py_RETURN_NONE;
        }
        if ((named && to_name != nullptr) || record == nullptr || record->count == record->capacity) {
            release_tuples(released, released_count);
            bool ready = named && to_name != nullptr ? give_frame_object(to_name, unnamed)
                                                     : make_room(code, interp) == 0;
            if (!ready) {
                return nullptr;
            }
            continue;
        }
        RetiredTuple &retired = record->tuples()[record->count++];
        retired = RetiredTuple{old_consts, interp->id, retirements.sweeps, {}, 0, !named};
        if (named) {
            for (int i = 0; i < search.count; i++) {
                retired.stamps[retired.stamp_count++] = search.readers[i].frame_object;
            }
        }
        code->co_consts = Py_NewRef(consts); // the record has the code object's reference to the old one
        compat::constants_changed(interp, code);
        if (!verified) {
            retirements.unverified++;
        }
        release_tuples(released, released_count);
        Py_RETURN_NONE;
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

PyObject *get_stack(PyObject *, PyObject *args)
{
    PyFrameObject *frame;
    if (!PyArg_ParseTuple(args, "O!", &PyFrame_Type, &frame)) {
        return nullptr;
    }
    // Held across the dict's allocation, whose Python code could drop the
    // argument tuple's reference (get_stack(*t)).
    Ref held_frame = Ref::borrow(reinterpret_cast<PyObject *>(frame));
    // Allocating the dict may run a garbage collection whose finalizers resume
    // or clear this very frame, so the stack is only read once it exists.
    Ref stack = Ref::take(_PyDict_NewPresized(compat::stack_depth(frame->f_frame) + 1));
    if (!stack) {
        return nullptr;
    }
    // From here on nothing runs Python code: ints are not tracked by the
    // collector, and int keys hash and compare in C.
    _PyInterpreterFrame *iframe = frame->f_frame;
    Py_ssize_t stack_size = compat::stack_depth(iframe);
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

// Lists the threads of the interpreter other than the caller and those that
// are ending, newest first, as the list keeps them. Returns the count, or -1 with an exception set.
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
            if (ts != caller && !compat::is_ending(ts)) {
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
            // _PyEval_SetTrace's re-entrancy guard exists because of the
            // Python code it runs; this runs none, under the list lock, so
            // no other installation can come between the stores.
            threads[next].previous_object =
                compat::is_ending(ts) ? nullptr : compat::swap_trace(ts, func, object);
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
    compat::finish_trace_installation(this_tstate);
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
