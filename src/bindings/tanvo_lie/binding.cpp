#include "bindings/tanvo_lie/binding.hpp"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <exception>
#include <new>
#include <optional>
#include <stdexcept>
#include <thread>
#include <type_traits>

#include "core/failure.hpp"
#include "core/memory.hpp"
#include "core/parallel.hpp"

namespace tanvo::tensors {

std::vector<PyMethodDef>& registered_methods() {
    static std::vector<PyMethodDef> methods;
    return methods;
}

Registration::Registration(PyMethodDef method) { registered_methods().push_back(method); }

namespace {

// Takes a C-contiguous buffer of `ndim` axes whose items have the given size and one of the
// struct-module formats; false with TypeError set otherwise (the view is released then by its
// owner, which `held` tells).
bool read_buffer(Py_buffer& view, bool& held, PyObject* object, int ndim, Py_ssize_t itemsize,
                 std::initializer_list<const char*> formats, const char* name, const char* what) {
    if (PyObject_GetBuffer(object, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) return false;
    held = true;
    const std::string format = view.format ? view.format : "B";
    const bool format_ok = std::any_of(formats.begin(), formats.end(), [&](const char* f) { return format == f; });
    const bool aligned = reinterpret_cast<std::uintptr_t>(view.buf) % alignof(double) == 0;
    if (view.ndim != ndim || view.itemsize != itemsize || !format_ok || !aligned) {
        PyErr_Format(PyExc_TypeError, "%s: expected an aligned C-contiguous %d-dimensional %s array", name, ndim,
                     what);
        return false;
    }
    return true;
}

}  // namespace

ComplexArray::~ComplexArray() {
    if (held_) PyBuffer_Release(&view_);
}

bool ComplexArray::read(PyObject* object, int ndim, const char* name) {
    return read_buffer(view_, held_, object, ndim, 16, {"Zd", "=Zd", "<Zd"}, name, "complex128");
}

Int64Array::~Int64Array() {
    if (held_) PyBuffer_Release(&view_);
}

bool Int64Array::read(PyObject* object, int ndim, const char* name) {
    return read_buffer(view_, held_, object, ndim, 8, {"q", "=q", "<q", "l", "=l", "<l"}, name, "int64");
}

namespace {

// The object behind to_buffer: owns the storage, shape and strides of one array.
struct OwnedBuffer {
    PyObject_HEAD
    std::function<void()>* release;  // frees the storage
    void* data;
    Py_ssize_t itemsize;
    const char* format;
    int ndim;
    Py_ssize_t shape[3];
    Py_ssize_t strides[3];
    Py_ssize_t length;
};

int owned_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    auto* owned = reinterpret_cast<OwnedBuffer*>(self);
    // Writable: each result is handed to exactly one array, which owns it from then on.
    view->obj = Py_NewRef(self);
    view->buf = owned->data;
    view->len = owned->length;
    view->readonly = 0;
    view->itemsize = owned->itemsize;
    view->format = (flags & PyBUF_FORMAT) ? const_cast<char*>(owned->format) : nullptr;
    view->ndim = owned->ndim;
    view->shape = (flags & PyBUF_ND) ? owned->shape : nullptr;
    view->strides = (flags & PyBUF_STRIDES) ? owned->strides : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

void owned_dealloc(PyObject* self) {
    auto* owned = reinterpret_cast<OwnedBuffer*>(self);
    if (owned->release) {
        (*owned->release)();
        delete owned->release;
    }
    PyTypeObject* type = Py_TYPE(self);
    PyObject_Free(self);
    Py_DECREF(type);  // instances of heap types hold a reference to their type
}

PyType_Slot owned_buffer_slots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(owned_getbuffer)},
    {Py_tp_dealloc, reinterpret_cast<void*>(owned_dealloc)},
    {Py_tp_doc, const_cast<char*>("Storage of one result array.")},
    {0, nullptr},
};
PyType_Spec owned_buffer_spec = {"tanvo_lie._native.OwnedBuffer", sizeof(OwnedBuffer), 0,
                                 Py_TPFLAGS_DEFAULT, owned_buffer_slots};

// Created on first use and kept for the life of the process, like the module itself.
PyTypeObject* owned_buffer_type() {
    static PyObject* type = PyType_FromSpec(&owned_buffer_spec);
    return reinterpret_cast<PyTypeObject*>(type);
}

template <class Vector>
PyObject* make_buffer(Vector&& values, std::vector<Py_ssize_t> shape, const char* format) {
    PyTypeObject* type = owned_buffer_type();
    if (!type) return nullptr;
    auto* owned = PyObject_New(OwnedBuffer, type);
    if (!owned) return nullptr;
    owned->release = nullptr;
    using Stored = std::remove_cvref_t<Vector>;
    using T = typename Stored::value_type;
    auto* storage = new (std::nothrow) Stored(std::move(values));
    auto* release = storage ? new (std::nothrow) std::function<void()>([storage] { delete storage; })
                            : nullptr;
    if (!release) {
        delete storage;
        Py_DECREF(owned);
        PyErr_SetString(PyExc_MemoryError, "out of memory for the owner of a result's storage");
        return nullptr;
    }
    owned->release = release;
    owned->data = storage->data();
    owned->itemsize = sizeof(T);
    owned->format = format;
    owned->ndim = int(shape.size());
    owned->length = Py_ssize_t(storage->size() * sizeof(T));
    Py_ssize_t step = sizeof(T);
    for (int axis = owned->ndim - 1; axis >= 0; --axis) {
        owned->shape[axis] = shape[axis];
        owned->strides[axis] = step;
        step *= shape[axis];
    }
    return reinterpret_cast<PyObject*>(owned);
}

}  // namespace

PyObject* to_buffer(std::vector<Complex>&& values, std::vector<Py_ssize_t> shape) {
    return make_buffer(std::move(values), std::move(shape), "Zd");
}
PyObject* to_buffer(std::vector<std::int64_t>&& values, std::vector<Py_ssize_t> shape) {
    return make_buffer(std::move(values), std::move(shape), "q");
}
PyObject* to_buffer(std::vector<std::uint64_t>&& values, std::vector<Py_ssize_t> shape) {
    return make_buffer(std::move(values), std::move(shape), "Q");
}
PyObject* to_buffer(std::vector<double>&& values, std::vector<Py_ssize_t> shape) {
    return make_buffer(std::move(values), std::move(shape), "d");
}
PyObject* to_buffer(UninitializedVector<Complex>&& values, std::vector<Py_ssize_t> shape) {
    return make_buffer(std::move(values), std::move(shape), "Zd");
}
PyObject* to_buffer(UninitializedVector<std::int64_t>&& values, std::vector<Py_ssize_t> shape) {
    return make_buffer(std::move(values), std::move(shape), "q");
}

namespace {

// The MemoryError of a refused allocation. The core's planned refusals (MemoryShortfall) say
// what they were for, how much and how much room was left; a refusal with a known size
// (MemoryRefused) or none (the system's) is worded the same way with `operation`:
// "cannot allocate 596.0 GB for the tensor of 8 matrices of 3 x 3; this process can use at
// most 23.4 GB more".
void set_memory_error(const std::bad_alloc& error, const std::string& operation) {
    if (const auto* shortfall = dynamic_cast<const MemoryShortfall*>(&error)) {
        PyErr_SetString(PyExc_MemoryError, shortfall->what());
        return;
    }
    const std::string what = operation.empty() ? std::string("this call") : operation;
    std::string message;
    std::uint64_t room = 0;
    if (const auto* refused = dynamic_cast<const MemoryRefused*>(&error)) {
        room = memory_room(refused->bytes());
        message = "cannot allocate " + byte_text(refused->bytes()) + " for " + what;
    } else {
        room = memory_room(kRoomCheckedFrom);
        message = "cannot allocate the memory for " + what + ": the system refused an allocation";
    }
    message += "; this process can use at most " + byte_text(room) + " more";
    PyErr_SetString(PyExc_MemoryError, message.c_str());
}

}  // namespace

void set_error_from_current_exception(const std::string& operation) {
    try {
        throw;
    } catch (const Cancelled&) {
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
    } catch (const std::bad_alloc& error) {
        set_memory_error(error, operation);
    } catch (const std::overflow_error& e) {
        PyErr_SetString(PyExc_OverflowError, e.what());
    } catch (const std::invalid_argument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown failure in tanvo_lie");
    }
}

namespace {

// Whether this thread is the one that runs signal handlers (the GIL held).
bool handles_signals() {
    py::Ref threading(PyImport_ImportModule("threading"), py::steal);
    py::Ref main(threading ? PyObject_CallMethod(threading.get(), "main_thread", nullptr) : nullptr, py::steal);
    py::Ref ident(main ? PyObject_GetAttrString(main.get(), "ident") : nullptr, py::steal);
    const unsigned long main_ident = ident ? PyLong_AsUnsignedLong(ident.get()) : 0;
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return true;  // unknown: keep polling
    }
    return main_ident == PyThread_get_thread_ident();
}

}  // namespace

// The work runs on the calling thread where it can: a thread woken for it had slept through
// the caller's previous work (33 ms of a map) and started on a cold core, and a Gell-Mann
// su(32) tensor took 3.7-5.7 ms after such a call against 3.3-3.7 ms on the caller's thread.
bool run_released(const std::function<void(std::stop_token)>& work, WorkThread thread, const std::string& operation) {
    std::stop_source stop;
    std::exception_ptr failure;
    bool interrupted = false;
    auto run = [&] {
        try {
            work(stop.get_token());
        } catch (...) {
            failure = std::current_exception();
        }
    };

    PyThreadState* saved = PyEval_SaveThread();
    // Found at the work's first poll (calls shorter than one never ask): threads other than the
    // main one never run handlers, and work running on one of them stops polling, as taking the
    // GIL would only stall it behind whichever thread holds the GIL.
    std::optional<bool> on_main_thread;
    // Runs the pending signal handlers with the GIL taken for the moment; the stop is requested
    // when one raises.
    auto check_signals = [&] {
        if (interrupted || on_main_thread == false) return;
        PyEval_RestoreThread(saved);
        interrupted = PyErr_CheckSignals() != 0;
        if (!interrupted && thread == WorkThread::calling && !on_main_thread) on_main_thread = handles_signals();
        saved = PyEval_SaveThread();
        if (interrupted) stop.request_stop();
    };
    using namespace std::chrono_literals;
    if (thread == WorkThread::calling) {
        const StopPolling poll_signals(check_signals, 20ms);
        run();
    } else {
        try {
            BackgroundTask worker(run);
            while (!worker.wait_for(20ms)) check_signals();
        } catch (...) {  // the thread could not be started
            failure = std::current_exception();
        }
    }
    PyEval_RestoreThread(saved);

    if (interrupted) return false;  // the handler's exception is set
    if (failure) {
        try {
            std::rethrow_exception(failure);
        } catch (...) {
            set_error_from_current_exception(operation);
        }
        return false;
    }
    return true;
}

bool read_count(PyObject* object, const char* name, std::size_t& value) {
    if (object == Py_None) {
        value = 0;
        return true;
    }
    const unsigned long long v = PyLong_AsUnsignedLongLong(object);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Format(PyExc_ValueError, "%s must be a non-negative integer", name);
        return false;
    }
    value = std::size_t(v);
    return true;
}

}  // namespace tanvo::tensors
