"""AdjointSimulator against state-vector simulation: values and gradients of circuits inside an
algebra (bases of Pauli strings and sums, given as strings or known by their tensor, and matrix
bases of several kinds), string bases against the same bases as matrices, the closed forms
against the general exponential, the checks, and results independent of threads."""
import zlib

import numpy as np
import pytest

import tanvo_lie
from tanvo_lie import AdjointSimulator, PauliStrings, PauliSums

PAULI = {"I": np.eye(2), "X": np.array([[0, 1], [1, 0]]), "Y": np.array([[0, -1j], [1j, 0]]),
         "Z": np.diag([1.0, -1.0])}


def pauli_matrix(label):
    m = np.eye(1)
    for c in label:
        m = np.kron(m, PAULI[c])
    return m


def apply_pauli(label, psi):
    """P psi without a 2^q x 2^q matrix (site 0 is the most significant bit)."""
    q = len(label)
    index = np.arange(2**q)
    flip, phase = 0, np.ones(2**q, dtype=complex)
    for site, c in enumerate(label):
        bit = (index >> (q - 1 - site)) & 1
        if c in "XY":
            flip |= 1 << (q - 1 - site)
        if c == "Z":
            phase *= 1 - 2 * bit
        if c == "Y":
            phase *= 1j * (1 - 2 * bit)
    out = np.empty_like(psi)
    out[index ^ flip] = phase * psi
    return out


class StateVector:
    """Circuits of exp(-iθG) on a state vector, with the exact adjoint gradient."""

    def __init__(self, apply_generator, exponential):
        self.apply = apply_generator  # G psi
        self.exp = exponential  # exp(-iθG) psi

    def run(self, gates, angles, psi, observable):
        states = [psi]
        for g, t in zip(gates, angles):
            states.append(self.exp(g, t, states[-1]))
        final = states[-1]
        lam = observable(final)
        value = np.vdot(final, lam).real
        grad = np.empty(len(gates))
        for k in range(len(gates) - 1, -1, -1):
            # d/dθ_k <ψ|U^† O U|ψ> = 2 Re <λ_k| -iG_k |ψ_k>, both after gate k
            grad[k] = 2 * np.vdot(lam, -1j * self.apply(gates[k], states[k + 1])).real
            lam = self.exp(gates[k], -angles[k], lam)
        return value, grad


def string_circuit():
    def exp(label, t, psi):
        return np.cos(t) * psi - 1j * np.sin(t) * apply_pauli(label, psi)
    return StateVector(apply_pauli, exp)


def matrix_circuit():
    def exp(g, t, psi):
        w, v = np.linalg.eigh(g)
        return v @ (np.exp(-1j * t * w) * (v.conj().T @ psi))
    return StateVector(lambda g, psi: g @ psi, exp)


def random_orthogonal(n, rng):
    q, r = np.linalg.qr(rng.standard_normal((n, n)))
    return q * np.sign(np.diag(r))


def ising_generators(q):
    """X_j X_j+1 (j < q - 1), then Z_j: the open transverse-field Ising chain, so(2q)."""
    return [("I" * j + "XX").ljust(q, "I") for j in range(q - 1)] + [("I" * j + "Z").ljust(q, "I") for j in range(q)]


def string_basis(generators):
    """lie_closure of strings: B_a = i P_a, generators first."""
    return tanvo_lie.lie_closure(PauliStrings(generators))


def string_case(generators, qubits, layers, bits, rng, known_by_tensor=False):
    basis = string_basis(generators)
    labels = basis.strings.labels()
    if known_by_tensor:
        sim = AdjointSimulator.from_tensor(tanvo_lie.structure_tensor(basis), gram=2.0**qubits)
        state = AdjointSimulator(basis).state_coefficients(bits)
    else:
        sim, state = AdjointSimulator(basis), bits
    m = len(generators)
    gates = list(range(m)) * layers
    weights = rng.standard_normal(m)
    observable = np.zeros(len(labels), complex)
    observable[:m] = -1j * weights  # Σ w_a P_a with P_a = -i B_a
    psi = np.zeros(2**qubits, complex)
    psi[int(bits, 2)] = 1

    def observe(phi):
        return sum(w * apply_pauli(labels[a], phi) for a, w in enumerate(weights))

    reference = (string_circuit(), [labels[a] for a in gates], psi, observe)
    return sim, gates, state, observable, reference


def matrix_case(basis, gate_ops, observable, rng, psi=None):
    sim = AdjointSimulator(basis)
    d = basis[0].shape[0]
    if psi is None:
        psi = rng.standard_normal(d) + 1j * rng.standard_normal(d)
        psi /= np.linalg.norm(psi)
    reference = (matrix_circuit(), gate_ops, psi, lambda phi: observable @ phi)
    return sim, gate_ops, psi, observable, reference


def hermitian_in(basis, rng, phases):
    """A random Hermitian operator in i·span(basis) for a basis of known phases."""
    return sum(c * b / p for c, b, p in zip(rng.standard_normal(len(basis)), basis, phases))


def su4_basis(rng):
    """An orthonormal basis of su(4) mixing the 15 Pauli strings by a random rotation."""
    labels = [a + b for a in "IXYZ" for b in "IXYZ"][1:]
    paulis = np.array([1j * pauli_matrix(l) / 2 for l in labels])
    return np.tensordot(random_orthogonal(15, rng), paulis, axes=1)


def so8_basis():
    """E_ij - E_ji (real antisymmetric, anti-Hermitian), i < j."""
    basis = []
    for i in range(8):
        for j in range(i + 1, 8):
            m = np.zeros((8, 8))
            m[i, j], m[j, i] = 1, -1
            basis.append(m)
    return np.array(basis)


def build_case(name):
    rng = np.random.default_rng(zlib.crc32(name.encode()))
    if name == "ising-strings-10":
        q = 10
        return string_case(ising_generators(q), q, 3, "0000000000", rng)
    if name == "ising-tensor-9":
        q = 9
        return string_case(ising_generators(q), q, 2, "010000001", rng, known_by_tensor=True)
    if name == "xy-hea-strings-8":
        q = 8
        site = lambda word, i: "I" * i + word + "I" * (q - i - len(word))
        gens = [site("Z", i) for i in range(q)] + [site("XX", i) for i in range(q - 1)]
        gens += [site("YY", i) for i in range(q - 1)]
        return string_case(gens, q, 2, "01101001", rng)
    if name == "ising-matrices-skewed-4":
        # a non-orthonormal anti-Hermitian basis (a random real mix of the strings): Pauli gates
        # then neither pair basis elements nor are orthogonal to the rest
        q = 4
        labels = string_basis(ising_generators(q)).strings.labels()
        paulis = np.array([1j * pauli_matrix(l) for l in labels])
        mix = np.eye(len(labels)) + 0.3 * rng.standard_normal((len(labels), len(labels)))
        basis = np.tensordot(mix, paulis, axes=1)
        gate_ops = [pauli_matrix(labels[a]) for a in range(2 * q - 1)] * 2
        observable = sum(pauli_matrix(labels[a]) for a in range(2 * q - 1))
        return matrix_case(basis, gate_ops, observable, rng)
    if name == "su4-random":
        basis = su4_basis(rng)
        phases = np.full(15, 1j)
        gate_ops = [hermitian_in(basis, rng, phases) for _ in range(6)]
        gate_ops += [basis[3] / 1j, basis[7] / 1j]
        return matrix_case(basis, gate_ops, hermitian_in(basis, rng, phases), rng)
    if name == "su4-pauli-gates":
        # single strings in a rotated basis: ad has eigenvalues 0, ±2i without pairing elements
        basis = su4_basis(rng)
        gate_ops = [pauli_matrix(l) for l in ("XI", "ZY", "IZ", "YX", "XX")]
        return matrix_case(basis, gate_ops, pauli_matrix("ZZ") + pauli_matrix("XY"), rng)
    if name == "so8-random":
        basis = so8_basis()
        phases = np.full(len(basis), 1j)
        gate_ops = [hermitian_in(basis, rng, phases) for _ in range(8)] + [basis[0] / 1j]
        return matrix_case(basis, gate_ops, hermitian_in(basis, rng, phases), rng)
    if name == "closure-mixed-phases":
        # a basis mixing Hermitian and anti-Hermitian elements: lie_closure's, every other one times i
        gens = [pauli_matrix(l) for l in ("XXI", "IXX", "ZII", "IZI", "IIZ")]
        basis = tanvo_lie.lie_closure(gens)
        basis[::2] *= 1j
        gate_ops = gens * 2
        return matrix_case(basis, gate_ops, gens[0] + 0.5 * gens[3], rng)
    if name == "sl2-no-phases":
        # elements neither Hermitian nor anti-Hermitian: the frame is realified
        x, y, z = (PAULI[c] for c in "XYZ")
        basis = np.array([1j * x + y, 1j * y + z, 1j * z])
        gate_ops = [x, z, 0.3 * x - 0.8 * y, y]
        return matrix_case(basis, gate_ops, x + 0.2 * z, rng)
    raise KeyError(name)


CASES = ["ising-strings-10", "ising-tensor-9", "xy-hea-strings-8", "ising-matrices-skewed-4", "su4-random", "su4-pauli-gates",
         "so8-random",
         "closure-mixed-phases", "sl2-no-phases"]


@pytest.mark.parametrize("name", CASES)
def test_values_and_gradients_match_state_vector(name):
    sim, gates, state, observable, (circuit, ref_gates, psi, observe) = build_case(name)
    rng = np.random.default_rng(5)
    angles = rng.uniform(-np.pi, np.pi, size=(3, len(gates)))
    values, grads = sim.gradient(gates, angles, state, observable)
    values_np, grads_np = sim._run(gates, angles, state, observable, gradient=True, method="numpy")
    for b in range(len(angles)):
        ref_value, ref_grad = circuit.run(ref_gates, angles[b], psi, observe)
        scale = max(1.0, abs(ref_value))
        assert abs(values[b] - ref_value) <= 1e-10 * scale
        np.testing.assert_allclose(grads[b], ref_grad, rtol=0, atol=1e-10 * scale)
    np.testing.assert_allclose(values_np, values, rtol=0, atol=1e-11)
    np.testing.assert_allclose(grads_np, grads, rtol=0, atol=1e-11)
    assert sim.expectation(gates, angles[1], state, observable) == values[1]


@pytest.mark.parametrize("name, forms, atol", [
    ("ising-strings-10", ["rotations", "polynomial", "taylor"], 1e-12),
    ("su4-pauli-gates", ["polynomial", "taylor"], 1e-12),
    # a skewed basis, simulated on an orthonormalized copy (on its own, Â would be far from
    # normal: ‖Â‖ = 40 for eigenvalues ±2i)
    ("ising-matrices-skewed-4", ["polynomial", "taylor"], 1e-12),
])
def test_closed_forms_agree_with_taylor(name, forms, atol):
    sim, gates, state, observable, _ = build_case(name)
    assert set(sim.gate_forms(gates)) == {forms[0]}
    angles = np.random.default_rng(3).uniform(-4, 4, size=(2, len(gates)))
    results = [sim._run(gates, angles, state, observable, gradient=True, method=m, form=f)
               for f in forms for m in ("native", "numpy")]
    for values, grads in results[1:]:
        np.testing.assert_allclose(values, results[0][0], rtol=0, atol=atol)
        np.testing.assert_allclose(grads, results[0][1], rtol=0, atol=atol)


def ising_matrix_simulator(q=2):
    labels = string_basis(ising_generators(q)).strings.labels()
    return AdjointSimulator(np.array([1j * pauli_matrix(l) for l in labels])), labels


@pytest.mark.parametrize("call, error, message", [
    (lambda: AdjointSimulator([1j * pauli_matrix(l) for l in ("XI", "ZI", "XX")]), ValueError,
     r"not closed under commutators: \[basis\[\d\], basis\[\d\]\] lies outside its span, with a residual of 1"),
    (lambda: ising_matrix_simulator()[0].expectation([0], [0.1], "00", pauli_matrix("ZZ")), ValueError,
     r"observable lies outside the algebra .* exact only inside it"),
    (lambda: ising_matrix_simulator()[0].gradient([0, pauli_matrix("XI")], [0.1, 0.2], "00", 1), ValueError,
     r"gates\[1\] lies outside the algebra"),
    (lambda: ising_matrix_simulator()[0].expectation([1j * pauli_matrix("XX")], [0.1], "00", 1), ValueError,
     r"gates\[0\] is not Hermitian"),
    (lambda: ising_matrix_simulator()[0].expectation([0, 1], [0.1], "00", 1), ValueError,
     r"angles must have shape \(2,\) or \(B, 2\)"),
    (lambda: ising_matrix_simulator()[0].expectation([7], [0.1], "00", 1), IndexError, r"gates\[0\]: basis index 7"),
    (lambda: ising_matrix_simulator()[0].expectation([0], [0.1], "0", 1), ValueError, r"state: a bit string"),
    (lambda: AdjointSimulator.from_tensor(tanvo_lie.structure_tensor(string_basis(ising_generators(2)))).expectation(
        [0], [0.1], np.eye(4) / 4, 1), TypeError, r"state: .* only through its tensor"),
])
def test_refusals_name_the_fault(call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_batches_do_not_depend_on_threads():
    # 19 vectors: three interleaved groups of eight (the last one partial) over the threads
    sim, gates, state, observable, _ = build_case("ising-strings-10")
    angles = np.random.default_rng(9).uniform(-3, 3, size=(19, len(gates)))
    runs = []
    for threads in (1, 2, 3):
        sim._threads = threads
        runs.append(sim.gradient(gates, angles, state, observable))
    for values, grads in runs[1:]:
        assert values.tobytes() == runs[0][0].tobytes() and grads.tobytes() == runs[0][1].tobytes()
    for row in (3, 18):  # one vector alone runs the scalar sweep
        value, grad = sim.gradient(gates, angles[row], state, observable)
        assert value == runs[0][0][row] and grad.tobytes() == runs[0][1][row].tobytes()


@pytest.mark.timing
def test_ctrl_c_stops_a_long_batch():
    import signal
    import time
    sim, gates, state, observable, _ = build_case("ising-strings-10")
    # Gradients of about three seconds on this machine, whatever its speed (at most 200 MB).
    probe = np.zeros((2_000, len(gates)))
    begun = time.perf_counter()
    sim.gradient(gates, probe, state, observable)
    per_row = (time.perf_counter() - begun) / len(probe)
    rows = int(min(3.0 / per_row, 200e6 / (16 * len(gates))))
    angles = np.zeros((max(rows, 2_000), len(gates)))
    previous = signal.signal(signal.SIGALRM, signal.default_int_handler)
    signal.setitimer(signal.ITIMER_REAL, 0.3)
    start = time.perf_counter()
    try:
        with pytest.raises(KeyboardInterrupt):
            sim.gradient(gates, angles, state, observable)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert time.perf_counter() - start < 1.5  # answered well within a second of the signal
    assert sim.expectation(gates, angles[0], state, observable) == pytest.approx(
        sim._run(gates, angles[:1], state, observable, gradient=False, method="numpy")[0][0], abs=1e-12)


def test_matches_pennylane_default_qubit():
    qml = pytest.importorskip("pennylane")
    pnp = pytest.importorskip("pennylane.numpy")
    q, layers = 4, 2
    sim, gates, state, observable, _ = string_case(ising_generators(q), q, layers, "0100",
                                                   np.random.default_rng(11))
    weights = (1j * observable[: 2 * q - 1]).real  # the observable is Σ w_a P_a
    terms = [qml.X(i) @ qml.X(i + 1) for i in range(q - 1)] + [qml.Z(i) for i in range(q)]

    @qml.qnode(qml.device("default.qubit", wires=q), diff_method="backprop")
    def circuit(theta):
        qml.PauliX(1)
        for k, a in enumerate(gates):
            if a < q - 1:
                qml.IsingXX(2 * theta[k], wires=[a, a + 1])  # exp(-iθ X_a X_a+1)
            else:
                qml.RZ(2 * theta[k], wires=a - (q - 1))
        return qml.expval(qml.Hamiltonian(weights.tolist(), terms))

    angles = np.random.default_rng(12).uniform(-np.pi, np.pi, len(gates))
    value, grad = sim.gradient(gates, angles, state, observable)
    theta = pnp.array(angles, requires_grad=True)
    assert abs(value - float(circuit(theta))) <= 1e-10
    np.testing.assert_allclose(grad, qml.grad(circuit)(theta), rtol=0, atol=1e-10)
    # no gates: the plain expectation value, and an empty gradient
    empty_value, empty_grad = sim.gradient([], [], state, observable)
    signs = np.array([1, -1, 1, 1])  # <Z_j> on |0100>
    assert abs(empty_value - weights[q - 1:] @ signs) <= 1e-12
    assert empty_grad.shape == (0,)


def test_operators_and_states_in_every_form_agree():
    rng = np.random.default_rng(21)
    sim, labels = ising_matrix_simulator(3)
    basis = np.array([1j * pauli_matrix(l) for l in labels])
    c = rng.standard_normal(len(labels)) * 1j  # a Hermitian operator: real multiples of P_a
    operator = np.tensordot(c, basis, axes=1)
    np.testing.assert_allclose(sim.coefficients(operator), c, atol=1e-13)
    traces = np.einsum("aij,ij->a", basis.conj(), operator)
    np.testing.assert_allclose(sim.coefficients(traces, traces=True), c, atol=1e-13)
    np.testing.assert_allclose(sim.coefficients(4), np.eye(len(labels))[4] / 1j)
    psi = np.zeros(8)
    psi[0b101] = 1
    forms = [sim.state_coefficients(s) for s in ("101", psi, np.outer(psi, psi))]
    for other in forms[1:] + [sim.state_coefficients(forms[0])]:
        np.testing.assert_allclose(other, forms[0], atol=1e-14)
    strings_sim = AdjointSimulator(string_basis(ising_generators(3)))
    for bits in ("101", [1, 0, 1], np.array([1, 0, 1])):
        np.testing.assert_allclose(strings_sim.state_coefficients(bits), forms[0], atol=1e-14)


def test_hermitian_basis_known_by_its_tensor():
    # B_a = P_a (Hermitian): the tensor is imaginary, index a is still exp(-iθ P_a)
    q = 3
    basis = string_basis(ising_generators(q))
    labels = basis.strings.labels()
    hermitian = tanvo_lie.structure_tensor([pauli_matrix(l) for l in labels], tol=1e-12)
    anti = tanvo_lie.structure_tensor(basis)
    gates = list(range(2 * q - 1)) * 2
    angles = np.random.default_rng(4).uniform(-2, 2, len(gates))
    h = np.zeros(len(labels))
    h[: 2 * q - 1] = 1.0
    state = AdjointSimulator(basis).state_coefficients("010")
    expected = AdjointSimulator.from_tensor(anti, gram=8).gradient(gates, angles, state, -1j * h)
    found = AdjointSimulator.from_tensor(hermitian, gram=8, hermitian=True).gradient(gates, angles, 1j * state, h)
    np.testing.assert_allclose(found[0], expected[0], atol=1e-12)
    np.testing.assert_allclose(found[1], expected[1], atol=1e-12)
    with pytest.raises(ValueError, match="not real"):
        AdjointSimulator.from_tensor(hermitian)


@pytest.mark.parametrize("item, corruption", [
    (3, lambda a: a + 10**6),              # a pair index past the vectors
    (8, lambda a: a - 10**6),              # a negative term row
    (2, lambda a: a[::-1].copy()),         # pair offsets that decrease
    (1, lambda a: a + 7),                  # an unknown form
    (5, lambda a: a.astype(np.float32)),   # the wrong dtype
])
def test_kernel_refuses_inconsistent_arrays(item, corruption):
    from tanvo_lie import _adjoint, _native
    sim, gates, state, observable, _ = build_case("ising-strings-10")
    generators, ids = sim._circuit(gates)
    packed = list(_adjoint._packed(generators, sim._frame.size))
    packed[item] = corruption(packed[item])
    v = np.zeros(sim._frame.size)
    with pytest.raises((ValueError, TypeError), match="adjoint_sweeps"):
        _native.adjoint_sweeps(tuple(packed), ids, np.zeros((1, len(ids))), v, v, True, 1)


def heisenberg_bonds(q):
    """X_j X_j+1 + Y_j Y_j+1 + Z_j Z_j+1, one sum per bond."""
    return PauliSums.from_list([[(("I" * j + p * 2).ljust(q, "I"), 1.0) for p in "XYZ"] for j in range(q - 1)])


def mixed(basis, rng, skew=0.0):
    """The sums Σ_b M[a, b] basis[b] for M = D (1 + skew·N): random magnitudes and phases (1 or i,
    so each element stays Hermitian up to its phase), and, with skew, non-orthogonal."""
    n = len(basis)
    phases = np.where(rng.random(n) < 0.5, 1.0, 1j) * rng.uniform(0.5, 2.0, n)
    weights = phases[:, None] * (np.eye(n) + skew * rng.standard_normal((n, n)))
    sums = basis if isinstance(basis, PauliSums) else PauliSums(basis)
    owner = np.repeat(np.arange(n), sums.term_counts)
    rows, cols = np.nonzero(weights)
    pick = [np.flatnonzero(owner == b) for b in cols]
    strings = sums.strings[np.concatenate(pick)]
    coefficients = np.concatenate([weights[r, b] * sums.coefficients[p] for r, b, p in zip(rows, cols, pick)])
    offsets = np.concatenate([[0], np.cumsum(np.bincount(rows, [len(p) for p in pick], n))]).astype(int)
    return PauliSums(strings, coefficients, offsets).simplify(tol=0.0)


def string_bases(name):
    rng = np.random.default_rng(zlib.crc32(name.encode()))
    if name.startswith("heisenberg"):
        generators = heisenberg_bonds(4)
        observable = PauliSums.from_list([(label, c * w) for (label, c), w in
                                          zip(generators.to_list()[0] + generators.to_list()[2], [1.0] * 3 + [0.5] * 3)])
        basis = tanvo_lie.lie_closure(generators)
        gates = [generators[k % 3] for k in range(7)]
    else:
        generators = PauliStrings(ising_generators(4))
        observable = PauliSums(generators, rng.standard_normal(7), [0, 7])
        basis = string_basis(ising_generators(4))
        gates = generators[[0, 3, 1, 4, 2, 5, 6, 0, 3]]
    if name.endswith("hermitian-strings"):
        basis = basis.strings
    elif name.endswith("mixed-phases"):
        basis = mixed(basis, rng)
    elif name.endswith("skewed"):
        basis = mixed(basis, rng, skew=0.3)
    return basis, gates, observable


@pytest.mark.parametrize("name", ["ising-closure", "ising-hermitian-strings", "ising-mixed-phases", "ising-skewed",
                                  "heisenberg-closure", "heisenberg-skewed"])
def test_string_bases_equal_matrix_bases_and_state_vectors(name):
    basis, gates, observable = string_bases(name)
    sim, dense = AdjointSimulator(basis), AdjointSimulator(basis.to_matrices())
    assert sim._basis.orthonormalized == dense._basis.orthonormalized == name.endswith("skewed")
    gram = np.asarray(sim.gram)
    gram = gram * np.eye(len(basis)) if gram.ndim < 2 else gram
    np.testing.assert_allclose(gram, dense.gram, rtol=0, atol=1e-12 * np.abs(gram).max())
    gate_matrices = [g.to_matrices()[0] for g in gates]
    obs_matrix = observable.to_matrices()[0]
    np.testing.assert_allclose(sim.coefficients(observable), dense.coefficients(obs_matrix), atol=1e-12)
    psi = np.zeros(16)
    psi[0b0110] = 1
    angles = np.random.default_rng(2).uniform(-np.pi, np.pi, size=(2, len(gates)))
    expected = dense.gradient(gate_matrices, angles, "0110", obs_matrix)
    for found, wanted in zip(dense.gradient(gates, angles, "0110", observable), expected):  # strings on matrices
        np.testing.assert_allclose(found, wanted, rtol=0, atol=1e-12)
    for row in range(2):
        value, grad = matrix_circuit().run(gate_matrices, angles[row], psi.astype(complex), lambda p: obs_matrix @ p)
        assert abs(expected[0][row] - value) <= 1e-10 and np.abs(expected[1][row] - grad).max() <= 1e-10
    for state in ("0110", [0, 1, 1, 0], psi, np.outer(psi, psi)):
        np.testing.assert_allclose(sim.state_coefficients(state), dense.state_coefficients("0110"), atol=1e-13)
        for gate_form in (gates, list(gates), gate_matrices):
            values, grads = sim.gradient(gate_form, angles, state, observable)
            np.testing.assert_allclose(values, expected[0], rtol=0, atol=1e-11)
            np.testing.assert_allclose(grads, expected[1], rtol=0, atol=1e-11)


@pytest.mark.parametrize("basis, call, error, message", [
    (PauliStrings(["XI", "ZI", "XX"]), None, ValueError, r"not closed under commutators: \[basis\[0\], basis\[1\]\]"),
    (PauliSums.from_list([[("XI", 1j), ("ZZ", 1j)], [("ZI", 1j)]]), None, ValueError, r"not closed under commutators"),
    (PauliStrings(["XI", "ZI", "XI"]), None, ValueError, r"not linearly independent: a string repeats"),
    (PauliSums.from_list([[("XI", 1j), ("ZI", 1j)], [("XI", 2j), ("ZI", 2j)]]), None, ValueError,
     r"not linearly independent: the Gram matrix"),
    ("ising", lambda s: s.expectation([0], [0.1], "00", PauliStrings("ZZ")), ValueError,
     r"observable lies outside the algebra .* \(residual 1 "),
    ("ising", lambda s: s.expectation(PauliStrings(["XX", "ZY"]), [0.1, 0.2], "00", 1), ValueError,
     r"gates\[1\] lies outside the algebra"),
    ("ising", lambda s: s.expectation([0], [0.1], "00", PauliSums.from_list([[("XX", 1.0)], [("ZI", 1.0)]])),
     ValueError, r"observable must be one operator; got 2"),
    ("ising", lambda s: s.expectation([0], [0.1], "00", PauliStrings("XXI")), ValueError,
     r"observable acts on 3 sites"),
    ("ising", lambda s: s.expectation([0], [0.1], "012", 1), ValueError, r"state: a bit string needs 2 characters 0 or 1"),
    ("ising", lambda s: s.expectation([0], [0.1], [0, 2], 1), ValueError, r"state: a basis state as a sequence"),
    ("ising", lambda s: s.expectation([0], [0.1], np.ones(8), 1), ValueError, r"state must be a bit string of 2"),
    ("ising", lambda s: s.expectation([0], [0.1], np.ones((4, 4)) + 1j * np.eye(4), 1), ValueError, r"not Hermitian"),
    ("ising", lambda s: s.expectation([0], [0.1], PauliStrings("ZI"), 1), TypeError, r"state must be a bit string"),
])
def test_string_bases_refuse_with_the_fault_named(basis, call, error, message):
    with pytest.raises(error, match=message):
        sim = AdjointSimulator(string_basis(ising_generators(2)) if basis == "ising" else basis)
        call(sim)


@pytest.mark.parametrize("generators, closed", [
    (ising_generators(5), True), (["XXI", "ZII", "IXX"], False), (["XY", "ZI", "YZ", "IX"], False),
])
def test_strings_closure_check_equals_the_probe(generators, closed):
    # the count of anticommuting partners against the tensor's rows, beside the probe all sums take
    strings = PauliStrings(generators)
    basis = string_basis(generators) if closed else PauliSums(strings, np.full(len(strings), 1j))
    adapter = tanvo_lie._adjoint_bases.StringBasis(basis, 1e-9, 1)
    outcomes = []
    for check in (lambda: adapter._check_strings_closed(adapter.tensor(1)), adapter._check_sums_closed):
        try:
            check()
            outcomes.append(True)
        except ValueError:
            outcomes.append(False)
    assert outcomes == [closed, closed]
