// The module: its table of ten functions and their entry points, and PyInit.
#include <array>
#include <string>

#include "bindings/tanvo/arguments.hpp"
#include "bindings/tanvo/errors.hpp"
#include "coefficients/extraction.hpp"
#include "coefficients/memory_plan.hpp"
#include "bases/gellmann.hpp"
#include "products/products.hpp"
#include "bases/spin.hpp"
#ifdef TANVO_REFERENCE_ROUTINES
#include "solve/least_squares.hpp"
#endif
#include "bases/clock_shift.hpp"

namespace tanvo::py {
namespace {

#ifdef TANVO_REFERENCE_ROUTINES
namespace routines {
using tanvo::gen_sl2;
using tanvo::gen_su2;
using namespace tanvo::reference;
}  // namespace routines
#else
namespace routines = tanvo;
#endif

#define TANVO_STRINGIFY_(x) #x
#define TANVO_STRINGIFY(x) TANVO_STRINGIFY_(x)
constexpr const char* kModuleName = TANVO_STRINGIFY(TANVO_MODULE_NAME);

constexpr std::array<const char*, 1> kD{"d"};
constexpr std::array<const char*, 1> kJ{"j"};
constexpr std::array<const char*, 1> kBasis{"basis"};
constexpr std::array<const char*, 4> kCommutator{"l_a", "l_b", "f_ijk", "basis"};
constexpr std::array<const char*, 4> kAnticommutator{"l_a", "l_b", "d_ijk", "basis"};
constexpr std::array<const char*, 3> kCross{"l_a", "l_b", "f_ijk"};

// The map is built while its later pairs are still being computed. A list or tuple of more
// matrices than a map could hold is refused from its length and first matrix, before the
// others are read.
using Extraction = void (*)(const BasisViews&, CoefficientSink&, Interrupt);
template <Extraction routine>
Ref coefficients_of(Arguments& a) {
    CoefficientDictBuilder dict;
    {
        const BorrowedBasis basis =
            a.basis(0, [](std::size_t count, const MatrixView& first) { require_room_for_map(count, first.rows); });
        routine(basis.views, dict, Interrupt{&check_signals});
    }
    return dict.finish();
}

// The arguments are converted in parameter order: l_a, l_b, the map, then the basis.
template <auto routine>
Ref product_of(Arguments& a) {
    const ComplexMatrix l_a = a.matrix(0);
    const ComplexMatrix l_b = a.matrix(1);
    const CoefficientMap map = a.coefficient_map(2);
    return to_python(routine(l_a, l_b, map, a.basis(3).views, Interrupt{&check_signals}));
}

template <auto routine>
Ref contraction_of(Arguments& a) {
    const ComplexMatrix l_a = a.matrix(0);
    const ComplexMatrix l_b = a.matrix(1);
    return to_python(routine(l_a, l_b, a.coefficient_map(2), Interrupt{&check_signals}));
}

struct Function {
    const char* name;
    const char* doc;
    Signature signature;
    Ref (*run)(Arguments&);
};

const std::array<Function, 10> kFunctions{{
    {"gen_sylvester", "Generate matrix representation of su(d) via clock and shift",
     {"gen_sylvester_py()", kD},
     [](Arguments& a) { return to_python(routines::gen_sylvester(a.index(0))); }},
    {"gen_gellmann", "Generate matrix representation of su(d) via Generalized Gellmann method",
     {"gen_gellmann_py()", kD},
     [](Arguments& a) { return to_python(routines::gen_gellmann(a.index(0))); }},
    {"gen_su2", "Generate matrix representation of su(2) for spin j", {"gen_su_py()", kJ},
     [](Arguments& a) { return to_python(routines::gen_su2(a.real(0), Interrupt{&check_signals})); }},
    {"gen_sl2", "Generate matrix representation of sl(2) for spin j", {"gen_sl_py()", kJ},
     [](Arguments& a) { return to_python(routines::gen_sl2(a.real(0), Interrupt{&check_signals})); }},
    {"get_structure_constants", "Find the commutation coefficients for matrices in su(d)",
     {"get_structure_constants_py()", kBasis},
     &coefficients_of<static_cast<Extraction>(&routines::structure_constants)>},
    {"get_d_coefficients", "Find the anti-commutation coefficients for matrices in su(d)",
     {"get_d_coefficients_py()", kBasis}, &coefficients_of<static_cast<Extraction>(&routines::d_coefficients)>},
    {"su_commutator",
     "Find the commutation result of two matrices, given the structure constants",
     {"su_commutator_py()", kCommutator}, &product_of<routines::su_commutator>},
    {"su_anticommutator",
     "Find the anticommutation result of two matrices, given the structure constants",
     {"su_anticommutator_py()", kAnticommutator}, &product_of<routines::su_anticommutator>},
    {"cross", "Compute the cross-product of two matrices of su(d), given the structure constants",
     {"cross_py()", kCross}, &contraction_of<routines::cross>},
    {"dot", "Compute the dot-product of two matrices of su(d), given the structure constants",
     {"dot_py()", kCross}, &contraction_of<routines::cross>},
}};

#ifdef TANVO_REFERENCE_ROUTINES
// The internal least-squares solver, for the tests only: not one of the module's functions
// (not in __all__). Solves a x = b for an m x n array `a` and the m elements of `b`.
constexpr std::array<const char*, 2> kSolverParameters{"a", "b"};
const Function kSolver{
    "solve_least_squares", "Minimum-norm least-squares solution x (n x 1) of a x = b",
    {"solve_least_squares_py()", kSolverParameters}, [](Arguments& a) {
        const ComplexMatrix system = a.matrix(0);
        std::vector<Complex> rhs;
        a.matrix(1).for_each([&rhs](const Complex& z) { rhs.push_back(z); });
        LeastSquaresResult solved = solve_least_squares(system, rhs);
        if (const auto* error = std::get_if<SolverError>(&solved)) fail(kUnwrapErr + render(*error));
        auto& x = std::get<std::vector<Complex>>(solved);
        const std::size_t n = x.size();
        return to_python(ComplexMatrix::from_storage(n, 1, 1, 1, std::move(x)));
    }};

PyObject* solver_entry_point(PyObject*, PyObject* args, PyObject* kwargs) {
    return call_scope([&] {
        Arguments arguments(kSolver.signature, args, kwargs);
        return kSolver.run(arguments);
    });
}

void register_solver(PyObject* module) {
    auto* definition = new PyMethodDef{
        kSolver.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&solver_entry_point)),
        METH_VARARGS | METH_KEYWORDS, kSolver.doc};
    Ref callable = checked(PyCFunction_NewEx(definition, module, nullptr));
    checked_status(PyObject_SetAttrString(module, kSolver.name, callable.get()));
}
#endif

template <std::size_t I>
PyObject* entry_point(PyObject*, PyObject* args, PyObject* kwargs) {
    return call_scope([&] {
        Arguments arguments(kFunctions[I].signature, args, kwargs);
        return kFunctions[I].run(arguments);
    });
}

template <std::size_t... I>
constexpr std::array<PyCFunction, sizeof...(I)> entry_points(std::index_sequence<I...>) {
    return {reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry_point<I>))...};
}
const auto kEntryPoints = entry_points(std::make_index_sequence<kFunctions.size()>());

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, kModuleName, nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The module's __all__ list, created when absent.
Ref all_list(PyObject* module) {
    PyObject* existing = PyObject_GetAttrString(module, "__all__");
    if (existing) {
        Ref all(existing, steal);
        if (!PyList_Check(existing)) raise_conversion_error(existing, "PyList");
        return all;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_pending();
    PyErr_Clear();
    Ref all = checked(PyList_New(0));
    checked_status(PyObject_SetAttrString(module, "__all__", all.get()));
    return all;
}

void add_attribute(PyObject* module, PyObject* name, PyObject* value) {
    Ref all = all_list(module);
    if (PyList_Append(all.get(), name) < 0) fail("could not append __name__ to __all__");
    checked_status(PyObject_SetAttr(module, name, value));
}

void register_function(PyObject* module, const Function& function, PyCFunction entry) {
    // The interpreter keeps pointers to the definition for the life of the process.
    auto* definition = new PyMethodDef{function.name, entry, METH_VARARGS | METH_KEYWORDS,
                                       function.doc};
    const char* module_name = PyModule_GetName(module);
    if (!module_name) throw_pending();
    Ref name = checked(PyUnicode_FromString(module_name));
    Ref callable = checked(PyCFunction_NewEx(definition, module, name.get()));
    Ref attribute = checked(PyObject_GetAttrString(callable.get(), "__name__"));
    if (!PyUnicode_Check(attribute.get())) raise_conversion_error(attribute.get(), "PyString");
    add_attribute(module, attribute.get(), callable.get());
}

}  // namespace
}  // namespace tanvo::py

#define TANVO_INIT_NAME_(name) PyInit_##name
#define TANVO_INIT_NAME(name) TANVO_INIT_NAME_(name)

PyMODINIT_FUNC TANVO_INIT_NAME(TANVO_MODULE_NAME)() {
    using namespace tanvo::py;
    return call_scope([] {
        Ref module = checked(PyModule_Create2(&module_definition, 1013));
        Ref doc_name = checked(PyUnicode_FromString("__doc__"));
        Ref doc = checked(PyUnicode_FromString(""));
        add_attribute(module.get(), doc_name.get(), doc.get());
        for (std::size_t i = 0; i < kFunctions.size(); ++i)
            register_function(module.get(), kFunctions[i], kEntryPoints[i]);
#ifdef TANVO_REFERENCE_ROUTINES
        register_solver(module.get());
#endif
        return module;
    });
}
