// Python objects to the core's values: numbers, arrays (with the read-only borrow of inputs),
// sequences of arrays and coefficient dicts.
#include "bindings/tanvo/convert.hpp"

#include <malloc.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <utility>

#include "core/pages.hpp"
#include "bindings/tanvo/errors.hpp"
#include "bindings/tanvo/numpy_api.hpp"

namespace tanvo::py {
namespace {

std::string matrix_text(std::size_t rows, std::size_t cols) {
    return std::to_string(rows) + " x " + std::to_string(cols);
}

const char* dtype_name(int type_num) {
    switch (type_num) {
        case 0: return "Bool";
        case 1: return "Int8";
        case 2: return "Uint8";
        case 3: return "Int16";
        case 4: return "Uint16";
        case 5: return "Int32";
        case 6: return "Uint32";
        case 7: case 9: return "Int64";
        case 8: case 10: return "Uint64";
        case 11: return "Float32";
        case 12: return "Float64";
        case 14: return "Complex32";
        case 15: return "Complex64";
        case 17: return "Object";
        default: return nullptr;
    }
}

// Copies the logical view of a complex128 array: one block when it is contiguous in either
// order (column-major storage is kept), element by element otherwise. Element (r, c) lies at
// r * step0 + c * step1 from the data pointer, negative steps included: a reversed view is
// read in its logical orientation.
ComplexMatrix copy_array(const numpy::ArrayInfo& a) {
    const std::size_t rows = std::size_t(a.shape[0]), cols = std::size_t(a.shape[1]);
    ComplexMatrix::check_shape(rows, cols);
    require_memory_for(std::uint64_t(rows) * cols, sizeof(Complex), [&] { return "a copy of a " + matrix_text(rows, cols) + " array"; });
    const std::ptrdiff_t steps[2] = {a.strides[0] / std::ptrdiff_t(sizeof(Complex)),
                                     a.strides[1] / std::ptrdiff_t(sizeof(Complex))};
    auto element = [&](std::size_t r, std::size_t c) {
        Complex value;
        std::memcpy(&value, a.data + (std::ptrdiff_t(r) * steps[0] + std::ptrdiff_t(c) * steps[1]) *
                                         std::ptrdiff_t(sizeof(Complex)),
                    sizeof value);
        return value;
    };
    const std::size_t count = rows * cols;
    const bool row_major = count == 0 || (steps[0] == std::ptrdiff_t(cols) && steps[1] == 1);
    const bool column_major = (steps[0] == 1 || rows == 1) &&
                              (steps[1] == std::ptrdiff_t(rows) || cols == 1);
    if (row_major || column_major) {
        std::vector<Complex> storage;
        const bool aligned = reinterpret_cast<std::uintptr_t>(a.data) % alignof(Complex) == 0;
        // In pieces, answering signals between them: a large array takes a while to copy.
        const std::size_t piece = std::size_t(1) << 20;
        if (aligned && count) {
            const Complex* first = reinterpret_cast<const Complex*>(a.data);
            storage.reserve(count);
            for (std::size_t done = 0; done < count; done += piece) {
                if (done) check_signals();
                storage.insert(storage.end(), first + done, first + std::min(count, done + piece));  // no zero-filling first
            }
        } else {
            storage.resize(count);
            for (std::size_t done = 0; done < count; done += piece) {
                if (done) check_signals();
                std::memcpy(static_cast<void*>(storage.data() + done), a.data + done * sizeof(Complex),
                            std::min(piece, count - done) * sizeof(Complex));
            }
        }
        if (row_major) return ComplexMatrix::from_storage(rows, cols, std::ptrdiff_t(cols), 1, std::move(storage));
        // The step along an axis of length 1 is never used; keep the stored steps non-negative.
        return ComplexMatrix::from_storage(rows, cols, 1, std::ptrdiff_t(rows), std::move(storage));
    }
    std::vector<Complex> storage(count);
    for (std::size_t r = 0; r < rows; ++r) {
        if (r % 1024 == 1023) check_signals();
        for (std::size_t c = 0; c < cols; ++c) storage[r * cols + c] = element(r, c);
    }
    return ComplexMatrix::from_storage(rows, cols, std::ptrdiff_t(cols), 1, std::move(storage));
}

// A tuple (or subclass) of exactly two items.
PyObject* pair_items(PyObject* object, PyObject** second) {
    if (!PyTuple_Check(object)) raise_conversion_error(object, "PyTuple");
    const Py_ssize_t length = PyTuple_GET_SIZE(object);
    if (length != 2)
        raise(PyExc_ValueError,
              "Expected tuple of length 2, but got tuple of length " + std::to_string(length) + ".");
    *second = PyTuple_GET_ITEM(object, 1);
    return PyTuple_GET_ITEM(object, 0);
}

Complex to_complex(PyObject* object) {
    if (PyComplex_CheckExact(object)) {
        const Py_complex value = reinterpret_cast<PyComplexObject*>(object)->cval;
        return {value.real, value.imag};
    }
    const Py_complex value = PyComplex_AsCComplex(object);
    if (value.real == -1.0 && PyErr_Occurred()) throw_pending();
    return {value.real, value.imag};
}

}  // namespace

ArrayBorrows::~ArrayBorrows() {
    for (Ref& array : cleared_) numpy::set_writeable(array.get(), true);
}

void ArrayBorrows::borrow(PyObject* array) {
    if (!numpy::is_writeable(array)) return;
    // Room first, so that the flag cleared below is always restored; grown by doubling, as
    // a basis borrows thousands of arrays.
    if (cleared_.size() == cleared_.capacity()) cleared_.reserve(2 * cleared_.size() + 4);
    numpy::set_writeable(array, false);
    cleared_.emplace_back(array, py::borrow);
}

std::uint64_t to_index(PyObject* object) {
    if (PyLong_CheckExact(object)) {  // what the index protocol would return, without a new reference
        const unsigned long long value = PyLong_AsUnsignedLongLong(object);
        if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_pending();
        return value;
    }
    Ref index = checked(PyNumber_Index(object));
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_pending();
    return value;
}

double to_double(PyObject* object) {
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) throw_pending();
    return value;
}

// A two-dimensional complex128 array (or subclass), borrowed.
numpy::ArrayInfo accepted_array(PyObject* object, ArrayBorrows& borrows) {
    if (!numpy::is_array(object)) raise_conversion_error(object, "PyArray<T, D>");
    const numpy::ArrayInfo a = numpy::info(object);
    if (a.ndim != 2 || a.type_num != numpy::kComplex128) {
        const char* name = dtype_name(a.type_num);
        raise(PyExc_TypeError, "Shape Mismatch:\n from=(dim=" + std::to_string(a.ndim) +
                                   ", dtype=" + (name ? name : "Unknown") +
                                   "), to=(dim=2, dtype=Complex64)");
    }
    borrows.borrow(object);
    return a;
}

ComplexMatrix to_matrix(PyObject* object, ArrayBorrows& borrows) {
    return copy_array(accepted_array(object, borrows));
}

// The array's logical view in place, at the element steps a copy would read (byte strides
// divided by 16 with truncation), when its data is aligned; otherwise a copy, kept in `basis`.
MatrixView view_of(PyObject* array, const numpy::ArrayInfo& a, BorrowedBasis& basis) {
    const std::size_t rows = std::size_t(a.shape[0]), cols = std::size_t(a.shape[1]);
    // The same refusals as a copy's: a broadcast view no memory could hold as a copy is not
    // read for hours either.
    ComplexMatrix::check_shape(rows, cols);
    require_memory_for(std::uint64_t(rows) * cols, sizeof(Complex), [&] { return "a " + matrix_text(rows, cols) + " basis matrix"; });
    if (reinterpret_cast<std::uintptr_t>(a.data) % alignof(Complex) != 0) {
        basis.copies.push_back(copy_array(a));
        return MatrixView::of(basis.copies.back());
    }
    basis.arrays.emplace_back(array, borrow);
    const std::ptrdiff_t size = sizeof(Complex);
    return {reinterpret_cast<const Complex*>(a.data), rows, cols, a.strides[0] / size, a.strides[1] / size};
}

BorrowedBasis to_basis(PyObject* object, ArrayBorrows& borrows, BasisSizeCheck sizes) {
    if (!PySequence_Check(object)) raise_conversion_error(object, "Sequence");
    BorrowedBasis borrowed;
    BasisViews& basis = borrowed.views;
    const Py_ssize_t size = PySequence_Size(object);
    if (size < 0) PyErr_Clear();
    // A length is only a hint: one that no memory could hold is not reserved, so a sequence
    // whose __len__ lies still converts (and no allocator is asked for the impossible).
    try {
        if (size > 0) {
            require_memory(std::uint64_t(size), sizeof(MatrixView) + sizeof(Ref));
            basis.reserve(std::size_t(size));
            borrowed.arrays.reserve(std::size_t(size));
        }
    } catch (const std::bad_alloc&) {
    }
    Ref iterator = checked(PyObject_GetIter(object));
    while (Ref item = Ref(PyIter_Next(iterator.get()), steal)) {
        check_signals();
        const numpy::ArrayInfo a = accepted_array(item.get(), borrows);
        basis.push_back(view_of(item.get(), a, borrowed));
        if (sizes && basis.size() == 1 && (PyList_CheckExact(object) || PyTuple_CheckExact(object)))
            sizes(std::size_t(PySequence_Fast_GET_SIZE(object)), basis.front());
    }
    if (PyErr_Occurred()) throw_pending();
    return borrowed;
}

// Reading a dict of millions of entries whose objects lie scattered in memory waits mostly on
// memory: each entry's value tuple, then the complex number it holds. Peeking at the entries a
// few places ahead (a second walk of the same dict) asks for both early. Below a few hundred
// thousand entries the objects mostly sit in the caches, and where the keys and values lie one
// after the other (a dict built in one go, as tanvo builds its maps) the processor fetches them
// ahead unaided: there the second walk costs more than it saves. It only prefetches: nothing is
// kept, so Python code that changes the dict meanwhile changes nothing but what is fetched.
class EntryPrefetch {
public:
    explicit EntryPrefetch(PyObject* dict)
        : dict_(dict), active_(PyDict_GET_SIZE(dict) > kWorthFrom && !laid_out_in_order(dict)) {
        if (!active_) return;
        for (int n = 0; n < kTuplesAhead; ++n) advance_tuples();
        for (int n = 0; n < kItemsAhead; ++n) advance_items();
    }
    void advance() {
        if (!active_) return;
        advance_tuples();
        advance_items();
    }

private:
    static constexpr int kTuplesAhead = 8, kItemsAhead = 4;
    static constexpr Py_ssize_t kWorthFrom = Py_ssize_t(1) << 19;

    // Whether most of the first entries have their key and value within a kilobyte of the
    // previous entry's (the values of a map from tanvo are partly shared, so not all are).
    static bool laid_out_in_order(PyObject* dict) {
        constexpr int kSample = 64;
        constexpr std::uintptr_t kNear = 1024;
        auto near = [](const PyObject* x, const PyObject* y) {
            const auto a = reinterpret_cast<std::uintptr_t>(x), b = reinterpret_cast<std::uintptr_t>(y);
            return (a > b ? a - b : b - a) < kNear;
        };
        Py_ssize_t position = 0;
        PyObject *key = nullptr, *value = nullptr, *last_key = nullptr, *last_value = nullptr;
        int close = 0;
        for (int n = 0; n < kSample && PyDict_Next(dict, &position, &key, &value); ++n) {
            if (n > 0 && near(key, last_key) && near(value, last_value)) ++close;
            last_key = key;
            last_value = value;
        }
        return close >= kSample / 2;
    }

    void advance_tuples() {
        PyObject *key = nullptr, *value = nullptr;
        if (!PyDict_Next(dict_, &tuples_, &key, &value)) return;
        __builtin_prefetch(key);
        __builtin_prefetch(value);
    }
    void advance_items() {
        PyObject *key = nullptr, *value = nullptr;
        if (!PyDict_Next(dict_, &items_, &key, &value)) return;
        if (PyTuple_CheckExact(value) && PyTuple_GET_SIZE(value) == 2) __builtin_prefetch(PyTuple_GET_ITEM(value, 1));
    }

    PyObject* dict_;
    bool active_;
    Py_ssize_t tuples_ = 0, items_ = 0;
};

// An entry of any types, each item converted as any index or complex number is: converting may
// run Python code that changes the dict, so both are held meanwhile.
CoefficientMap::Term converted_entry(PyObject* borrowed_key, PyObject* borrowed_value) {
    const Ref key(borrowed_key, borrow), value(borrowed_value, borrow);
    PyObject* j_item = nullptr;
    PyObject* i_item = pair_items(key.get(), &j_item);
    const std::uint64_t i = to_index(i_item);
    const std::uint64_t j = to_index(j_item);
    PyObject* c_item = nullptr;
    PyObject* k_item = pair_items(value.get(), &c_item);
    const std::uint64_t k = to_index(k_item);
    using Term = CoefficientMap::Term;
    return {Term::held(i), Term::held(j), Term::held(k), to_complex(c_item)};
}

// A non-negative int that fits in one machine word, read in place: false for any other object,
// which to_index then converts (or refuses) as it would any index.
bool small_index(PyObject* object, std::uint64_t& value) {
    if (!PyLong_CheckExact(object)) return false;
    PyLongObject* number = reinterpret_cast<PyLongObject*>(object);
#if PY_VERSION_HEX >= 0x030C0000
    if (!PyUnstable_Long_IsCompact(number)) return false;
    const Py_ssize_t compact = PyUnstable_Long_CompactValue(number);
    if (compact < 0) return false;
    value = std::uint64_t(compact);
#else
    const Py_ssize_t size = Py_SIZE(number);
    if (size != 0 && size != 1) return false;
    value = size == 0 ? 0 : std::uint64_t(number->ob_digit[0]);
#endif
    return true;
}

// The entry (i, j) -> (k, c) when it is made of exact tuples of two items, small ints and a
// complex number: nothing in it can run Python code, so it is read without holding references.
bool plain_entry(PyObject* key, PyObject* value, CoefficientMap::Term& term) {
    if (!PyTuple_CheckExact(key) || PyTuple_GET_SIZE(key) != 2 || !PyTuple_CheckExact(value) ||
        PyTuple_GET_SIZE(value) != 2)
        return false;
    PyObject* c = PyTuple_GET_ITEM(value, 1);
    std::uint64_t i = 0, j = 0, k = 0;
    if (!small_index(PyTuple_GET_ITEM(key, 0), i) || !small_index(PyTuple_GET_ITEM(key, 1), j) ||
        !small_index(PyTuple_GET_ITEM(value, 0), k) || !PyComplex_CheckExact(c))
        return false;
    const Py_complex number = reinterpret_cast<PyComplexObject*>(c)->cval;
    using Term = CoefficientMap::Term;
    term = {Term::held(i), Term::held(j), Term::held(k), {number.real, number.imag}};
    return true;
}

CoefficientMap to_coefficient_map(PyObject* object) {
    if (!PyDict_Check(object)) raise_conversion_error(object, "PyDict");
    using Term = CoefficientMap::Term;
    CoefficientMap::Entries entries;
    entries.reserve(std::size_t(PyDict_Size(object)));
    Py_ssize_t position = 0;
    PyObject *borrowed_key = nullptr, *borrowed_value = nullptr;
    EntryPrefetch prefetch(object);
    bool in_key_order = true;
    Term term;
    while (PyDict_Next(object, &position, &borrowed_key, &borrowed_value)) {
        prefetch.advance();
        if (entries.size() % kEntriesBetweenChecks == kEntriesBetweenChecks - 1) {
            // Signal handlers may change the dict: the entry is read afresh afterwards.
            const Ref key(borrowed_key, borrow), value(borrowed_value, borrow);
            check_signals();
            if (!plain_entry(key.get(), value.get(), term)) term = converted_entry(key.get(), value.get());
        } else if (!plain_entry(borrowed_key, borrowed_value, term)) {
            term = converted_entry(borrowed_key, borrowed_value);
        }
        if (in_key_order && !entries.empty() && !CoefficientMap::key_before(entries.back(), term))
            in_key_order = false;
        entries.push_back(term);
    }
    return CoefficientMap(std::move(entries), in_key_order);
}

}  // namespace tanvo::py
