// The core's values to Python objects: arrays, lists of arrays, and the coefficient dict built
// while its entries are still being computed.
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

template <class T>
Ref matrix_to_array(const Matrix<T>& m, int type_num) {
    char* data = nullptr;
    const std::ptrdiff_t item = sizeof(T);
    if (m.is_row_major() || m.is_column_major()) {
        const bool fortran = !m.is_row_major();
        Ref array = numpy::new_array(m.rows(), m.cols(), type_num, m.row_step() * item,
                                     m.col_step() * item, fortran, &data);
        // In pieces, answering signals between them: filling a fresh array of gigabytes
        // faults in every page and takes seconds.
        const std::size_t bytes = m.size() * sizeof(T), piece = std::size_t(16) << 20;
        const char* from = reinterpret_cast<const char*>(m.storage().data());
        for (std::size_t done = 0; done < bytes; done += piece) {
            if (done) check_signals();
            std::memcpy(data + done, from + done, std::min(piece, bytes - done));
        }
        return array;
    }
    Ref array = numpy::new_array(m.rows(), m.cols(), type_num, std::ptrdiff_t(m.cols()) * item,
                                 item, false, &data);
    T* out = reinterpret_cast<T*>(data);
    m.for_each([&out](const T& value) { *out++ = value; });
    return array;
}

template <class Item>
Ref list_of(const std::vector<Item>& items) {
    std::vector<Ref> arrays;
    arrays.reserve(items.size());
    for (const Item& item : items) {
        check_signals();
        arrays.push_back(to_python(item));
    }
    Ref list = constructed(PyList_New(Py_ssize_t(arrays.size())));
    for (std::size_t i = 0; i < arrays.size(); ++i)
        PyList_SET_ITEM(list.get(), Py_ssize_t(i), arrays[i].release());
    return list;
}

}  // namespace

Ref to_python(const SparseMatrix& m) {
    char* data = nullptr;
    Ref array = numpy::new_zeroed_array(m.rows, m.cols, numpy::kComplex128, &data);
    Complex* out = reinterpret_cast<Complex*>(data);
    for (const SparseEntry& e : m.entries) out[e.row * m.cols + e.col] = e.value;
    return array;
}

Ref to_python(const ComplexMatrix& matrix) { return matrix_to_array(matrix, numpy::kComplex128); }
Ref to_python(const RealMatrix& matrix) { return matrix_to_array(matrix, numpy::kFloat64); }
Ref to_python(const std::vector<ComplexMatrix>& matrices) { return list_of(matrices); }
Ref to_python(const std::vector<RealMatrix>& matrices) { return list_of(matrices); }
Ref to_python(const std::vector<SparseMatrix>& matrices) { return list_of(matrices); }

// A dict sized for `count` entries up front where the interpreter offers it (saving the
// rehashing of every intermediate size).
PyObject* new_dict(std::size_t count) {
#if PY_VERSION_HEX < 0x030D0000
    return _PyDict_NewPresized(Py_ssize_t(count));
#else
    (void)count;
    return PyDict_New();
#endif
}

// Equal values become one object. Complex numbers are keyed on the bits of both parts, so that
// 0.0 and -0.0, or NaNs with different payloads, never share; value tuples on their (shared)
// k and complex number. The objects are kept in order of making, with one reference each; an
// open-addressing table over a power of two finds them by key. Its 8-byte slots hold the
// object's place and 32 bits of the key's hash, so that a probe looks further only when those
// match: probes through the objects themselves would wait on memory at every step. Keys that
// say so (Key::kKept) are also kept beside the objects, in order, and then compared there.
//
// References lent with lend() are owed, counted beside the objects and added to their counts
// by settle(): a widely shared number would otherwise be fetched from wherever the interpreter
// put it once per use, only to count one more reference. Until settle() the lent references
// must not be dropped; nothing but the builder can reach the objects meanwhile.
template <class Key>
class SharedObjects {
public:
    SharedObjects() = default;
    SharedObjects(const SharedObjects&) = delete;
    SharedObjects& operator=(const SharedObjects&) = delete;
    ~SharedObjects() { clear(); }
    void clear() {
        settle();
        for (PyObject* object : std::exchange(objects_, {})) Py_DECREF(object);
        keys_ = {};
        owed_ = {};
        slots_ = {};
        lookups_ = 0;
    }

    // The place of the object for `key`, made by make() (a new reference) the first time.
    template <class Make>
    std::uint32_t find(const Key& key, Make&& make) {
        ++lookups_;
        if (2 * (objects_.size() + 1) > slots_.size()) grow();
        const std::uint64_t hash = key.hash();
        Slot& slot = slots_[slot_of(key, hash)];
        if (!slot.place) {
            // Room first: the new reference is never left without an owner.
            if (objects_.size() == objects_.capacity()) reserve(std::max<std::size_t>(64, 2 * objects_.size()));
            objects_.push_back(make());
            if constexpr (Key::kKept) keys_.push_back(key);
            owed_.push_back(0);
            slot = {fingerprint(hash), std::uint32_t(objects_.size())};
        }
        return slot.place;
    }
    // The object for `key`, made by make() (a new reference) the first time; borrowed.
    template <class Make>
    PyObject* get(const Key& key, Make&& make) {
        return object(find(key, std::forward<Make>(make)));
    }
    PyObject* object(std::uint32_t place) const { return objects_[place - 1]; }
    // A reference to the object at `place`, owed until settle().
    PyObject* lend(std::uint32_t place) {
        std::uint32_t& owed = owed_[place - 1];
        if (++owed == std::numeric_limits<std::uint32_t>::max()) settle(place - 1);
        return objects_[place - 1];
    }
    // Adds the references lent so far to the objects' counts.
    void settle() {
        for (std::size_t at = 0; at < owed_.size(); ++at)
            if (owed_[at]) settle(at);
    }
    // Asks for the slot of `key` ahead of get(). Inlined on purpose: GCC deems a function that
    // only prefetches free of effects and drops calls to it.
    [[gnu::always_inline]] void prefetch_slot(const Key& key) const {
        if (!slots_.empty()) __builtin_prefetch(&slots_[home(key.hash())]);
    }
    // Then what the lookup of `key` reads next: its kept key and owed count, or the object
    // most likely to be the one for `key`.
    [[gnu::always_inline]] void prefetch_object(const Key& key) const {
        const std::uint32_t place = likely_place(key);
        if (!place) return;
        if constexpr (Key::kKept) {
            __builtin_prefetch(&keys_[place - 1]);
            __builtin_prefetch(&owed_[place - 1], 1);
        } else {
            __builtin_prefetch(objects_[place - 1], 1);
        }
    }
    // The object whose key hashes as `key` does, when there is one yet: most often the one for
    // `key`, but only a hint.
    const PyObject* likely(const Key& key) const {
        const std::uint32_t place = likely_place(key);
        return place ? objects_[place - 1] : nullptr;
    }
    std::size_t lookups() const { return lookups_; }
    std::size_t distinct() const { return objects_.size(); }

private:
    struct Slot {
        std::uint32_t fingerprint = 0;
        std::uint32_t place = 0;  // 1 + the object's place in objects_; 0: a free slot
    };
    static std::uint32_t fingerprint(std::uint64_t hash) { return std::uint32_t(hash >> 32); }
    std::size_t home(std::uint64_t hash) const { return std::size_t(hash) & (slots_.size() - 1); }

    std::uint32_t likely_place(const Key& key) const {
        if (slots_.empty()) return 0;
        const std::uint64_t hash = key.hash();
        const std::uint32_t print = fingerprint(hash);
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t at = home(hash); slots_[at].place; at = (at + 1) & mask)
            if (slots_[at].fingerprint == print) return slots_[at].place;
        return 0;
    }
    bool held_at(const Key& key, std::uint32_t place) const {
        if constexpr (Key::kKept)
            return keys_[place - 1] == key;
        else
            return key.held_by(objects_[place - 1]);
    }
    std::size_t slot_of(const Key& key, std::uint64_t hash) const {
        const std::uint32_t print = fingerprint(hash);
        const std::size_t mask = slots_.size() - 1;
        std::size_t at = home(hash);
        while (slots_[at].place && !(slots_[at].fingerprint == print && held_at(key, slots_[at].place)))
            at = (at + 1) & mask;
        return at;
    }
    void settle(std::size_t at) {
        Py_SET_REFCNT(objects_[at], Py_REFCNT(objects_[at]) + Py_ssize_t(owed_[at]));
        owed_[at] = 0;
    }
    void reserve(std::size_t count) {
        objects_.reserve(count);
        if constexpr (Key::kKept) keys_.reserve(count);
        owed_.reserve(count);
    }

    void grow() {
        if (objects_.size() >= std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
        slots_ = Slots(std::max<std::size_t>(64, 2 * slots_.size()));
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t place = 0; place < objects_.size(); ++place) {
            std::uint64_t hash;
            if constexpr (Key::kKept)
                hash = keys_[place].hash();
            else
                hash = Key::of_object(objects_[place]).hash();
            std::size_t at = home(hash);
            while (slots_[at].place) at = (at + 1) & mask;
            slots_[at] = {fingerprint(hash), std::uint32_t(place + 1)};
        }
    }

    // Mapped from a small size on, so that the tables left behind as this one grows go back to
    // the system at once.
    template <class T>
    using Kept = std::vector<T, PageAllocator<T, (std::size_t(64) << 10)>>;
    using Slots = Kept<Slot>;
    Slots slots_;
    Kept<PyObject*> objects_;
    Kept<Key> keys_;  // empty unless Key::kKept
    Kept<std::uint32_t> owed_;
    std::size_t lookups_ = 0;
};

std::uint64_t mixed(std::uint64_t h) {
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    return h ^ (h >> 33);
}

struct ComplexKey {
    static constexpr bool kKept = true;  // read where the interpreter put them, they miss the cache
    std::uint64_t re;
    std::uint64_t im;
    bool operator==(const ComplexKey&) const = default;
    static ComplexKey of(Complex c) { return {std::bit_cast<std::uint64_t>(c.re), std::bit_cast<std::uint64_t>(c.im)}; }
    std::uint64_t hash() const { return mixed(re * 0x9E3779B97F4A7C15ull ^ im); }
};

// The index objects are one per value, so that a pointer stands for k.
struct ValueKey {
    static constexpr bool kKept = false;  // the tuples are few where they are shared
    const PyObject* k;
    const PyObject* c;  // the shared complex number
    static ValueKey of_object(PyObject* tuple) { return {PyTuple_GET_ITEM(tuple, 0), PyTuple_GET_ITEM(tuple, 1)}; }
    bool held_by(PyObject* tuple) const { return PyTuple_GET_ITEM(tuple, 0) == k && PyTuple_GET_ITEM(tuple, 1) == c; }
    std::uint64_t hash() const {
        return mixed(std::uint64_t(reinterpret_cast<std::uintptr_t>(k)) * 0x9E3779B97F4A7C15ull ^
                     std::uint64_t(reinterpret_cast<std::uintptr_t>(c)));
    }
};

// Sharing value tuples pays only when values repeat: after this many entries, a map in which
// more than half of them were new keeps a tuple per entry (its table would cost more than it
// saves). Complex numbers are always shared.
constexpr std::size_t kValueSharingTrial = std::size_t(1) << 16;

// A partly built result is released a slice at a time by the interpreter's pending calls, once
// the call has raised: freeing millions of entries at once would hold back the answer to Ctrl-C
// for about as long as building them took.
constexpr Py_ssize_t kEntriesPerSlice = Py_ssize_t(1) << 13;

// Deletes up to a slice of entries by key, which makes no new object (popitem would make a
// tuple per entry and wake the cyclic collector); true when the dict may go on being emptied.
bool release_some(PyObject* dict) {
    std::vector<Ref> keys;
    keys.reserve(std::size_t(kEntriesPerSlice));
    Py_ssize_t position = 0;
    PyObject *key = nullptr, *unused = nullptr;
    while (Py_ssize_t(keys.size()) < kEntriesPerSlice && PyDict_Next(dict, &position, &key, &unused))
        keys.emplace_back(key, borrow);
    for (const Ref& k : keys)
        if (PyDict_DelItem(dict, k.get()) < 0) return false;
    return true;
}

// The interpreter runs every queued pending call in one go, and a slice queues the next one:
// a slice is only taken a few milliseconds after the previous one, so that Python code (the
// handler of the KeyboardInterrupt first of all) runs in between.
int release_slice(void* object) {
    Ref dict(static_cast<PyObject*>(object), steal);
    using Clock = std::chrono::steady_clock;
    static Clock::time_point last_slice;  // only touched with the interpreter lock held
    const Clock::time_point now = Clock::now();
    if (now - last_slice < std::chrono::milliseconds(2) && Py_AddPendingCall(&release_slice, dict.get()) == 0) {
        dict.release();
        return 0;
    }
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    bool emptying = false;
    try {
        emptying = release_some(dict.get());
    } catch (const std::bad_alloc&) {
    }
    last_slice = Clock::now();
    PyErr_Clear();  // on failure, what is left is released at once
    PyErr_Restore(type, value, traceback);
    if (emptying && PyDict_GET_SIZE(dict.get()) > 0 && Py_AddPendingCall(&release_slice, dict.get()) == 0)
        dict.release();
    return 0;
}

void release_later(Ref dict) {
    // Pending calls run in the main interpreter: a result built in another goes at once.
    if (PyDict_GET_SIZE(dict.get()) > kEntriesPerSlice && PyInterpreterState_Get() == PyInterpreterState_Main() &&
        Py_AddPendingCall(&release_slice, dict.get()) == 0)
        dict.release();
}

// What the C heap gets back while a large dict is built (the extraction's working space, tables
// the dict outgrew, depending on the heap's history) is handed to the system this often: the
// interpreter's arenas, which hold the dict's objects, would never reuse it.
constexpr std::size_t kEntriesBetweenTrims = std::size_t(1) << 16;

// Inserting millions of keys into a dict waits mostly on memory: the hash table's slot for the
// key, then the entry that slot points to, which the insertion compares, then the next slot
// of the probe sequence if that one was taken, and so on. They are asked for a few keys ahead, from the key's hash (a tuple of two ints hashes as computed here, which is
// checked on the first key) and the table's layout, the same from CPython 3.11 to 3.13; other
// versions go without. A prefetch never faults: a wrong guess costs a wasted fetch, no more.
class DictSlots {
public:
    // The hash of the tuple (i, j) of non-negative ints below 2^61 - 1 (which hash to themselves).
    static std::uint64_t key_hash(std::uint64_t i, std::uint64_t j) {
        constexpr std::uint64_t kPrime1 = 11400714785074694791ull, kPrime2 = 14029467366897019727ull,
                                kPrime5 = 2870177450012600261ull;
        std::uint64_t acc = kPrime5;
        for (const std::uint64_t lane : {i, j}) {
            acc += lane * kPrime2;
            acc = (acc << 31) | (acc >> 33);
            acc *= kPrime1;
        }
        acc += 2 ^ (kPrime5 ^ 3527539ull);
        return acc == std::uint64_t(-1) ? 1546275796 : acc;
    }
    // Whether the layout is known and `key` (a tuple (i, j)) hashes as key_hash says.
    void check(PyObject* key, std::uint64_t i, std::uint64_t j) {
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
        const Py_hash_t hash = PyObject_Hash(key);
        if (hash == -1) PyErr_Clear();
        active_ = std::uint64_t(hash) == key_hash(i, j);
#else
        (void)key, (void)i, (void)j;
#endif
    }
    [[gnu::always_inline]] void prefetch_slot(PyObject* dict, std::uint64_t hash) const {
        if (const Table t = table(dict); t.indices) __builtin_prefetch(t.indices + ((hash & t.mask) << t.index_width));
    }
    // The entries of the first `occupied` slots of the key's probe sequence that are taken
    // (the insertion of a new key compares each), and the slot after them. The slots read were
    // asked for by earlier calls with fewer.
    [[gnu::always_inline]] void prefetch_probes(PyObject* dict, std::uint64_t hash, int occupied) const {
        const Table t = table(dict);
        if (!t.indices) return;
        std::uint64_t at = hash & t.mask, perturb = hash;
        for (int step = 0; step < occupied; ++step) {
            const std::int64_t index = t.index_at(at);
            if (index < 0) return;
            __builtin_prefetch(t.entries + std::size_t(index) * kEntryBytes);
            perturb >>= 5;
            at = (at * 5 + perturb + 1) & t.mask;
            __builtin_prefetch(t.indices + (at << t.index_width));
        }
    }

private:
    // The keys object: its log2 size at byte 8, log2 index bytes at 9, kind at 10 (0: any
    // keys, entries of hash, key and value), the indices from byte 32, then the entries.
    static constexpr std::size_t kIndicesAt = 32, kEntryBytes = 24;
    struct Table {
        const unsigned char* indices = nullptr;
        const unsigned char* entries = nullptr;
        std::uint64_t mask = 0;
        unsigned index_width = 0;  // log2 of the bytes per index
        std::int64_t index_at(std::uint64_t at) const {
            const unsigned char* slot = indices + (at << index_width);
            switch (index_width) {
                case 0: return *reinterpret_cast<const std::int8_t*>(slot);
                case 1: return *reinterpret_cast<const std::int16_t*>(slot);
                case 2: return *reinterpret_cast<const std::int32_t*>(slot);
                default: return *reinterpret_cast<const std::int64_t*>(slot);
            }
        }
    };
    [[gnu::always_inline]] Table table(PyObject* dict) const {
        if (!active_) return {};
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
        const auto* keys = reinterpret_cast<const unsigned char*>(reinterpret_cast<PyDictObject*>(dict)->ma_keys);
        const unsigned log2_size = keys[8], log2_index_bytes = keys[9];
        if (keys[10] != 0 || log2_index_bytes < log2_size || log2_size >= 64) return {};
        const unsigned char* indices = keys + kIndicesAt;
        return {indices, indices + (std::size_t(1) << log2_index_bytes), (std::uint64_t(1) << log2_size) - 1,
                log2_index_bytes - log2_size};
#else
        (void)dict;
        return {};
#endif
    }

    bool active_ = false;
};

class CoefficientDictBuilder::State {
public:
    // The cyclic garbage collector is paused while a result is built: the new tuples hold only
    // ints and complex numbers, and repeated collections over them make building quadratic.
    State() : was_collecting_(PyGC_Disable()) {}
    State(const State&) = delete;
    State& operator=(const State&) = delete;
    ~State() {
        complexes_.settle();
        // A result abandoned part-built (a failure, Ctrl-C) goes in slices once the call raised.
        if (dict_) release_later(std::move(dict_));
        if (was_collecting_) PyGC_Enable();
    }

    void expect(std::size_t at_most) {
        if (at_most >= kEntriesBetweenTrims) malloc_trim(0);
        if (!dict_) dict_ = constructed(new_dict(at_most));
    }

    void restart() {
        complexes_.settle();
        if (dict_) release_later(std::move(dict_));
        values_.emplace();
        complexes_.clear();
        count_ = 0;
    }

    void take(std::span<const CoefficientEntry> entries) {
        if (!dict_) expect(entries.size());
        for (std::size_t at = 0; at < entries.size(); ++at) {
            const CoefficientEntry& e = entries[at];
            prefetch_ahead(entries, at);
            // Probe by probe, each stage a few keys after the one before.
            constexpr std::size_t kDictAhead = 9, kDictStage = 3;
            for (int stage = 0; stage < 3; ++stage) {
                const std::size_t ahead = kDictAhead - stage * kDictStage;
                if (at + ahead >= entries.size()) continue;
                const std::uint64_t hash = DictSlots::key_hash(entries[at + ahead].i, entries[at + ahead].j);
                if (stage == 0)
                    dict_slots_.prefetch_slot(dict_.get(), hash);
                else
                    dict_slots_.prefetch_probes(dict_.get(), hash, stage);
            }
            if (++count_ % kEntriesBetweenChecks == 0) answer_signals();
            if (count_ % kEntriesBetweenTrims == 0) malloc_trim(0);
            Ref key = constructed(PyTuple_New(2));
            PyTuple_SET_ITEM(key.get(), 0, new_reference(index_object(e.i)));
            PyTuple_SET_ITEM(key.get(), 1, new_reference(index_object(e.j)));
            PyObject_GC_UnTrack(key.get());
            if (count_ == 1) dict_slots_.check(key.get(), e.i, e.j);
            const Ref value(value_object(e), steal);
            if (PyDict_SetItem(dict_.get(), key.get(), value.get()) < 0) {
                PyErr_Clear();
                fail("Failed to set_item on dict");
            }
        }
    }

    Ref finish() {
        if (!dict_) expect(0);
        complexes_.settle();
        // Also once the dict is complete: a signal that arrives after the last check would make
        // the interpreter drop the whole result at once, as soon as the call returns.
        answer_signals();
        return std::move(dict_);
    }

private:
    void answer_signals() {
        if (PyErr_CheckSignals() < 0) {
            complexes_.settle();
            release_later(std::move(dict_));
            throw_pending();
        }
    }

    // Indices repeat across entries: each Python int is made once. Borrowed.
    PyObject* index_object(std::uint64_t value) {
        if (value >= index_objects_.size()) index_objects_.resize(value + 1);  // below 2^32: see CoefficientList
        Ref& slot = index_objects_[value];
        if (!slot) slot = constructed(PyLong_FromUnsignedLongLong(value));
        return slot.get();
    }
    static PyObject* new_reference(PyObject* object) { return Ref(object, borrow).release(); }

    // The (k, c) tuple of an entry, shared with equal ones; a new reference.
    PyObject* value_object(const CoefficientEntry& e) {
        const std::uint32_t c_place = complexes_.find(
            ComplexKey::of(e.c), [&] { return constructed(PyComplex_FromDoubles(e.c.re, e.c.im)).release(); });
        PyObject* c = complexes_.object(c_place);
        PyObject* k = index_object(e.k);
        auto make = [&] {
            Ref value = constructed(PyTuple_New(2));
            PyTuple_SET_ITEM(value.get(), 0, new_reference(k));
            PyTuple_SET_ITEM(value.get(), 1, complexes_.lend(c_place));
            // Tuples of ints and complex numbers take part in no cycle: keep them out of the
            // collector's way, as it would untrack them itself after a first traversal.
            PyObject_GC_UnTrack(value.get());
            return value.release();
        };
        if (values_ && values_->lookups() == kValueSharingTrial && 2 * values_->distinct() > kValueSharingTrial)
            values_.reset();
        return values_ ? new_reference(values_->get({k, c}, make)) : make();
    }

    // A map of many distinct values waits mostly on memory: the table slot of an entry's
    // complex number, the number, the slot of its value tuple and the tuple, each found through
    // the one before. Each is asked for a few entries ahead of its use, the first ones furthest.
    [[gnu::always_inline]] void prefetch_ahead(std::span<const CoefficientEntry> entries, std::size_t at) {
        constexpr std::size_t kComplexSlot = 24, kComplex = 20, kValueSlot = 16, kValue = 12;
        if (at + kComplexSlot < entries.size()) complexes_.prefetch_slot(ComplexKey::of(entries[at + kComplexSlot].c));
        if (at + kComplex < entries.size()) complexes_.prefetch_object(ComplexKey::of(entries[at + kComplex].c));
        if (!values_) return;
        auto value_key = [&](std::size_t ahead) -> std::optional<ValueKey> {
            const CoefficientEntry& e = entries[at + ahead];
            const PyObject* c = complexes_.likely(ComplexKey::of(e.c));
            if (!c || e.k >= index_objects_.size() || !index_objects_[e.k]) return std::nullopt;
            return ValueKey{index_objects_[e.k].get(), c};
        };
        if (at + kValueSlot < entries.size())
            if (const auto key = value_key(kValueSlot)) values_->prefetch_slot(*key);
        if (at + kValue < entries.size())
            if (const auto key = value_key(kValue)) values_->prefetch_object(*key);
    }

    int was_collecting_;
    Ref dict_;
    std::vector<Ref> index_objects_;
    DictSlots dict_slots_;
    SharedObjects<ComplexKey> complexes_;
    std::optional<SharedObjects<ValueKey>> values_{std::in_place};
    std::size_t count_ = 0;
};

CoefficientDictBuilder::CoefficientDictBuilder() : state_(std::make_unique<State>()) {}
CoefficientDictBuilder::~CoefficientDictBuilder() = default;
void CoefficientDictBuilder::expect(std::size_t at_most) { state_->expect(at_most); }
void CoefficientDictBuilder::take(std::span<const CoefficientEntry> entries) { state_->take(entries); }
void CoefficientDictBuilder::restart() { state_->restart(); }
Ref CoefficientDictBuilder::finish() { return state_->finish(); }

}  // namespace tanvo::py
