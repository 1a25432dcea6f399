"""The Genetic optimizer: its settings, their checks, repr and pickling, and what they change in a run;
Alpha's seeded runs stay what they were before the settings existed."""
import hashlib
import inspect
import json
import pickle

import numpy as np
import pytest

import corvane
from corvane.optimizers import Alpha, Genetic

X = np.linspace(-1, 1, 40).reshape(20, 2)
Y = (X[:, :1] * X[:, 1:]) * 0.5 + 0.1
SEQ_X = np.sin(np.arange(6 * 5 * 2, dtype=float)).reshape(6, 5, 2)
SEQ_Y = np.cos(np.arange(6 * 1 * 1, dtype=float)).reshape(6, 1, 1)

# Genetic's settings that make it evolve exactly as Alpha does.
ALPHA_SETTINGS = dict(
    perturb_probability=0.3, activations_probability=0.3, add_node_probability=0.1,
    remove_node_probability=0.1, remove_connection_probability=0.05, add_connection_probability=0.05,
    perturb_size=0.2, perturb_mode="relative", perturb_floor=0.0, activation_change_probability=0.05,
    tournament_size=4, crossover_share=0.5, first_population="mutants", random_scale=1.0, random_bias_scale=1.0,
    mutations=1, output_activation=None,
)


def digest(data):
    return hashlib.sha256(data).hexdigest()[:16]


def run_digest(model, history, tmp_path):
    path = tmp_path / "m.cv"
    model.save(str(path))
    return digest(json.dumps(history, sort_keys=True).encode()), digest(path.read_bytes())


def evolve_run(optimizer, recurrent=False):
    if recurrent:
        model = corvane.Model(2, 1, size=4, recurrent=True, seed=5)
        model.compile(optimizer=optimizer, loss="mse")
        return model, model.evolve(SEQ_X, SEQ_Y, pop_size=10, epochs=12, batch_size=2, verbose=0, seed=9)
    model = corvane.Model(2, 1, size=5, seed=11)
    model.compile(optimizer=optimizer, loss="mse", metrics=["mae"], monitors=["size"])
    return model, model.evolve(X, Y, pop_size=12, epochs=15, batch_size=6, verbose=0, seed=77)


def fitness(genomes):
    return np.array([float(np.mean((g.predict(X) - Y) ** 2)) for g in genomes])


def func_run(optimizer):
    model = corvane.Model(2, 1, seed=3)
    if optimizer is not None:
        model.compile(optimizer=optimizer)
    return model, model.func_evolve(fitness, pop_size=10, epochs=12, verbose=0, seed=21)


# Digests of (history, saved file) recorded with the build before the settings existed.
BEFORE = {
    "evolve": ("33e17205cee66d98", "a598cc997638c409"),
    "evolve-recurrent": ("c2238f2b9fc6abfc", "1947fd3bc0e231e6"),
    "func_evolve": ("ee79d1994e52e725", "460e26fced0f7a9c"),
}
RUNS = [
    pytest.param("evolve", lambda o: evolve_run(o), id="evolve"),
    pytest.param("evolve-recurrent", lambda o: evolve_run(o, recurrent=True), id="evolve-recurrent"),
    pytest.param("func_evolve", lambda o: func_run(o), id="func_evolve"),
]


@pytest.mark.parametrize("optimizer", [
    pytest.param(lambda: Alpha(), id="Alpha()"),
    pytest.param(lambda: Alpha(mutation_rate=0.1), id="Alpha(0.1)"),
    pytest.param(lambda: "alpha", id="name"),
    pytest.param(lambda: Genetic(**ALPHA_SETTINGS), id="Genetic-as-Alpha"),
    # What the docstring and the README promise: the settings where Genetic's defaults differ.
    pytest.param(lambda: Genetic(perturb_probability=0.3, add_node_probability=0.1, first_population="mutants",
                                 mutations=1, output_activation=None),
                 id="Genetic-defaults-as-Alpha"),
])
@pytest.mark.parametrize("name, run", RUNS)
def test_alpha_runs_as_before(tmp_path, optimizer, name, run):
    model, history = run(optimizer())
    assert run_digest(model, history, tmp_path) == BEFORE[name]


def test_func_evolve_on_an_uncompiled_model_runs_as_alpha(tmp_path):
    model, history = func_run(None)
    assert run_digest(model, history, tmp_path) == BEFORE["func_evolve"]


@pytest.mark.parametrize("change", [
    dict(perturb_mode="absolute"), dict(perturb_size=0.5), dict(perturb_floor=0.5), dict(first_population="random"),
    dict(mutations=3), dict(tournament_size=2), dict(crossover_share=0.9), dict(output_activation="linear"),
    dict(perturb_probability=0.9), dict(activation_change_probability=0.5), dict(activations_probability=0.9),
    dict(add_node_probability=0.9), dict(add_connection_probability=1.0, perturb_probability=0.0,
                                         activations_probability=0.0, add_node_probability=0.0,
                                         remove_node_probability=0.0),
], ids=lambda change: ",".join(change))
def test_every_setting_reaches_the_run(tmp_path, change):
    settings = dict(ALPHA_SETTINGS, **change)
    first = run_digest(*evolve_run(Genetic(**settings)), tmp_path)
    again = run_digest(*evolve_run(Genetic(**settings)), tmp_path)
    assert first == again
    assert first != BEFORE["evolve"]


def structural_change_only(**branch):
    """A Genetic whose every mutation takes the one structural branch given."""
    settings = dict(ALPHA_SETTINGS, perturb_probability=0.0, activations_probability=0.0, add_node_probability=0.0,
                    remove_node_probability=0.0, remove_connection_probability=0.0, add_connection_probability=0.0)
    settings.update(branch)
    return Genetic(**settings)


@pytest.mark.parametrize("optimizer, check", [
    pytest.param(structural_change_only(add_node_probability=1.0), lambda start, end: end > start, id="add-node"),
    pytest.param(structural_change_only(), lambda start, end: end == start, id="no-branch"),
    pytest.param(Genetic(**dict(ALPHA_SETTINGS, mutations=0, crossover_share=0.0)), lambda start, end: end == start,
                 id="no-mutation-no-crossover"),
])
def test_branch_probabilities_decide_the_structure(optimizer, check):
    model = corvane.Model(2, 1, size=4, seed=1)
    model.compile(optimizer=optimizer, loss="mse")
    model.evolve(X, Y, pop_size=8, epochs=6, verbose=0, seed=2)
    assert check(4, model.size)


def test_without_variation_the_weights_stay():
    # No mutation and no crossover: every member is a copy of a first-population member, and
    # with mutants as the first population all of them are the model's network.
    model = corvane.Model(2, 1, size=4, seed=1)
    before = model.get_connections()
    model.compile(optimizer=Genetic(**dict(ALPHA_SETTINGS, mutations=0, crossover_share=0.0)), loss="mse")
    model.evolve(X, Y, pop_size=8, epochs=4, verbose=0, seed=2)
    assert model.get_connections() == before


def test_random_first_population_finds_other_networks():
    # Without mutation and crossover, only the first population's random networks can beat the
    # start network; they have its shape.
    model = corvane.Model(2, 1, size=4, seed=1)
    before = model.get_connections()
    model.compile(optimizer=Genetic(**dict(ALPHA_SETTINGS, mutations=0, crossover_share=0.0,
                                           first_population="random")), loss="mse")
    model.evolve(X, Y, pop_size=30, epochs=2, verbose=0, seed=2)
    after = model.get_connections()
    assert [c[:2] for c in after] == [c[:2] for c in before]
    assert after != before


def test_recurrent_random_first_population():
    model = corvane.Model(2, 1, size=4, recurrent=True, seed=1)
    model.compile(optimizer=Genetic(first_population="random"), loss="mse")
    model.evolve(SEQ_X, SEQ_Y, pop_size=10, epochs=3, verbose=0, seed=2)
    assert model.recurrent and model.inputs == 2 and model.outputs == 1


def test_signature_and_defaults():
    parameters = inspect.signature(Genetic).parameters
    assert list(parameters) == list(ALPHA_SETTINGS)
    assert all(p.kind is inspect.Parameter.KEYWORD_ONLY for p in parameters.values())
    genetic = Genetic()
    for name, parameter in parameters.items():
        assert getattr(genetic, name) == parameter.default, name


def test_settings_are_stored_and_read_only():
    genetic = Genetic(**ALPHA_SETTINGS)
    for name, value in ALPHA_SETTINGS.items():
        assert getattr(genetic, name) == value
        with pytest.raises(AttributeError):
            setattr(genetic, name, value)


@pytest.mark.parametrize("kwargs, error, message", [
    (dict(perturb_probability=1.5), ValueError, "perturb_probability must be a probability from 0 to 1, got 1.5."),
    (dict(add_node_probability=-0.1), ValueError, "add_node_probability must be a probability from 0 to 1, got -0.1."),
    (dict(crossover_share=float("nan")), ValueError, "crossover_share must be a probability from 0 to 1, got nan."),
    (dict(activation_change_probability=2), ValueError,
     "activation_change_probability must be a probability from 0 to 1, got 2."),
    (dict(perturb_size=-1.0), ValueError, "perturb_size must be a finite number of at least 0, got -1."),
    (dict(perturb_size=float("inf")), ValueError, "perturb_size must be a finite number of at least 0, got inf."),
    (dict(perturb_floor=-0.5), ValueError, "perturb_floor must be a finite number of at least 0, got -0.5."),
    (dict(perturb_floor=float("nan")), ValueError, "perturb_floor must be a finite number of at least 0, got nan."),
    (dict(perturb_mode="Relative"), ValueError, "perturb_mode must be 'relative' or 'absolute', got 'Relative'."),
    (dict(perturb_mode=None), TypeError, "perturb_mode must be 'relative' or 'absolute', not NoneType."),
    (dict(first_population="clones"), ValueError, "first_population must be 'mutants' or 'random', got 'clones'."),
    (dict(first_population=1), TypeError, "first_population must be 'mutants' or 'random', not int."),
    (dict(random_scale=0.0), ValueError, "random_scale must be above 0 and at most 1000, got 0."),
    (dict(random_scale=1e4), ValueError, "random_scale must be above 0 and at most 1000, got 10000."),
    (dict(random_scale=float("nan")), ValueError, "random_scale must be above 0 and at most 1000, got nan."),
    (dict(random_bias_scale=-1.0), ValueError, "random_bias_scale must be above 0 and at most 1000, got -1."),
    (dict(random_bias_scale=float("inf")), ValueError, "random_bias_scale must be above 0 and at most 1000, got inf."),
    (dict(tournament_size=0), ValueError, "tournament_size must be from 1 to 1000, got 0."),
    (dict(tournament_size=1001), ValueError, "tournament_size must be from 1 to 1000, got 1001."),
    (dict(mutations=-1), ValueError, "mutations must be from 0 to 100, got -1."),
    (dict(mutations=101), ValueError, "mutations must be from 0 to 100, got 101."),
    (dict(output_activation="Tanh"), ValueError,
     "output_activation must be None, 'sigmoid', 'tanh', 'relu' or 'linear', got 'Tanh'."),
    (dict(output_activation=1), TypeError,
     "output_activation must be None, 'sigmoid', 'tanh', 'relu' or 'linear', not int."),
], ids=lambda case: case if isinstance(case, str) else None)
def test_bad_settings_are_refused_naming_the_argument(kwargs, error, message):
    with pytest.raises(error) as caught:
        Genetic(**kwargs)
    assert str(caught.value) == message


@pytest.mark.parametrize("args, kwargs", [
    ((0.3,), {}), ((), {"rate": 0.1}), ((), {"mutations": 1.5}), ((), {"perturb_size": "big"}),
    ((), {"tournament_size": 2 ** 40}),
], ids=["positional", "unknown", "float-count", "str-size", "overflow"])
def test_bad_argument_types_are_type_errors(args, kwargs):
    with pytest.raises((TypeError, OverflowError)):
        Genetic(*args, **kwargs)


def test_a_refused_init_leaves_the_settings():
    genetic = Genetic(mutations=7)
    with pytest.raises(ValueError):
        genetic.__init__(mutations=7, tournament_size=0)
    assert genetic.mutations == 7 and genetic.tournament_size == 4


def test_repr_shows_every_setting_and_evaluates_back():
    genetic = Genetic(perturb_size=0.125, perturb_mode="relative", tournament_size=3, mutations=2)
    text = repr(genetic)
    assert text.startswith("corvane.optimizers.Genetic(perturb_probability=0.5, ")
    assert "perturb_size=0.125, perturb_mode='relative'" in text and text.endswith("mutations=2, output_activation='linear')")
    again = eval(text.replace("corvane.optimizers.", ""), {"Genetic": Genetic})
    assert repr(again) == text


def same_settings(a, b):
    return {name: getattr(a, name) for name in ALPHA_SETTINGS} == {name: getattr(b, name) for name in ALPHA_SETTINGS}


class Tagged(Genetic):
    pass


@pytest.mark.parametrize("make", [
    pytest.param(lambda: Genetic(), id="defaults"),
    pytest.param(lambda: Genetic(**dict(ALPHA_SETTINGS, perturb_size=0.1 + 0.2, mutations=5)), id="chosen"),
])
@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_keeps_the_settings(make, protocol):
    genetic = make()
    again = pickle.loads(pickle.dumps(genetic, protocol))
    assert type(again) is Genetic and same_settings(again, genetic) and repr(again) == repr(genetic)


def test_pickle_keeps_a_subclass_and_its_attributes():
    tagged = Tagged(mutations=4)
    tagged.note = "mine"
    again = pickle.loads(pickle.dumps(tagged))
    assert type(again) is Tagged and again.mutations == 4 and again.note == "mine"
    assert repr(again).startswith("test_genetic.Tagged(") or repr(again).startswith("Tagged(")


def test_a_pickle_of_an_earlier_build_keeps_its_biases_spread():
    # Earlier builds had no random_bias_scale: random_scale sized the biases too.
    cls, args, (settings, extra) = Genetic(random_scale=3.0).__reduce__()
    del settings["random_bias_scale"]
    again = cls(*args)
    again.__setstate__((settings, extra))
    assert again.random_scale == 3.0 and again.random_bias_scale == 3.0


@pytest.mark.parametrize("state, error", [
    (None, ValueError), (({}, None, 1), ValueError), (({"mutations": -3}, None), ValueError),
    (({"unknown": 1}, None), TypeError), (({}, {"a": 1}), ValueError), (([], None), ValueError),
], ids=["none", "long", "bad-value", "bad-key", "attributes-without-dict", "list"])
def test_setstate_refuses_states_it_did_not_write(state, error):
    genetic = Genetic(mutations=9)
    with pytest.raises(error):
        genetic.__setstate__(state)
    assert genetic.mutations == 9


def test_compile_takes_genetic_and_its_name():
    model = corvane.Model(2, 1, seed=1)
    model.compile(optimizer=Genetic(mutations=2), loss="mse")
    model.compile(optimizer="genetic", loss="mse")
    with pytest.raises(ValueError, match="Optimizer 'Genetic' not known"):
        model.compile(optimizer="Genetic")


def test_genetic_name_gives_the_defaults(tmp_path):
    by_name = evolve_run("genetic")
    by_type = evolve_run(Genetic())
    assert run_digest(*by_name, tmp_path) == run_digest(*by_type, tmp_path)


def test_workers_do_not_change_a_genetic_run(tmp_path):
    def run(workers):
        model = corvane.Model(2, 1, size=5, seed=11)
        model.compile(optimizer=Genetic(mutations=3, tournament_size=6), loss="mse")
        history = model.evolve(X, Y, pop_size=12, epochs=8, verbose=0, seed=77, workers=workers)
        return run_digest(model, history, tmp_path)

    assert run(1) == run(2)


def test_a_model_compiled_with_genetic_pickles_with_its_settings(tmp_path):
    chosen = dict(ALPHA_SETTINGS, mutations=3, perturb_mode="absolute", tournament_size=5, first_population="random")
    model = corvane.Model(2, 1, size=5, seed=11)
    model.compile(optimizer=Genetic(**chosen), loss="mse", metrics=["mae"])
    twin = pickle.loads(pickle.dumps(model))
    optimizer = twin.__reduce__()[2][3]
    assert type(optimizer) is Genetic and same_settings(optimizer, Genetic(**chosen))
    runs = [m.evolve(X, Y, pop_size=12, epochs=6, verbose=0, seed=77) for m in (model, twin)]
    assert runs[0] == runs[1]
    assert run_digest(model, runs[0], tmp_path) == run_digest(twin, runs[1], tmp_path)


def first_population_member(optimizer, member):
    """Member `member` of the first population, as the model it becomes when it is the one
    genome with the lowest loss (func_evolve scores member j of the first population at 2 j)."""
    def prefer(genomes):
        losses = np.ones(len(genomes))
        losses[2 * member] = 0.0
        return losses

    model = corvane.Model(3, 2, size=7, seed=4)
    model.compile(optimizer=optimizer)
    model.func_evolve(prefer, pop_size=6, epochs=1, verbose=0, seed=8)
    return model.get_nodes(), model.get_connections()


@pytest.mark.parametrize("member", [0, 1, 5])
def test_random_scales_scale_the_random_members_weights_and_biases_only(member):
    nodes, connections = first_population_member(
        Genetic(random_scale=1.0, random_bias_scale=1.0, output_activation=None), member)
    scaled_nodes, scaled_connections = first_population_member(
        Genetic(random_scale=3.0, random_bias_scale=0.25, output_activation=None), member)
    weights, biases = (1.0, 1.0) if member == 0 else (3.0, 0.25)  # member 0 is the model's own network
    assert scaled_connections == [(s, t, {"weight": weights * c["weight"]}) for s, t, c in connections]
    assert scaled_nodes == [(i, dict(n, bias=biases * n["bias"])) for i, n in nodes]


@pytest.mark.parametrize("floor, moves", [(0.0, False), (0.5, True)])
def test_perturb_floor_moves_zero_values_in_relative_mode(tmp_path, floor, moves):
    import struct
    # Two inputs feeding a linear output; every bias and weight 0.
    path = tmp_path / "zero.cv"
    path.write_bytes(struct.pack("<iiiB", 3, 2, 1, 0) + struct.pack("<3d", 0, 0, 0) + struct.pack("<3i", 3, 3, 3)
                     + struct.pack("<iid", 0, 2, 0.0) + struct.pack("<iid", 1, 2, 0.0))
    model = corvane.load(str(path))
    model.compile(optimizer=Genetic(first_population="mutants", perturb_probability=1.0, perturb_mode="relative",
                                    perturb_floor=floor, mutations=1))

    def prefer_member_1(genomes):
        losses = np.ones(len(genomes))
        losses[2] = 0.0
        return losses

    model.func_evolve(prefer_member_1, pop_size=4, epochs=1, verbose=0, seed=3)
    values = [c["weight"] for _, _, c in model.get_connections()] + [n["bias"] for _, n in model.get_nodes()[2:]]
    assert all(v != 0.0 for v in values) if moves else all(v == 0.0 for v in values)


@pytest.mark.parametrize("first_population", ["mutants", "random"])
def test_fixed_output_activation_reaches_every_new_member(first_population):
    # The model's own network keeps its output activation; every other member of the first
    # population gets the fixed one, and activation changes leave it. The output's activation
    # after a run is the fixed one unless the model's network (or a descendant) won.
    seen = set()
    for seed in range(6):
        model = corvane.Model(2, 1, size=4, seed=seed)
        model.compile(optimizer=Genetic(output_activation="linear", first_population=first_population,
                                        activations_probability=1.0, activation_change_probability=1.0),
                      loss="mse")
        start = model.get_nodes()[-1][1]["activation"]
        model.evolve(X, Y, pop_size=10, epochs=5, verbose=0, seed=seed)
        end = model.get_nodes()[-1][1]["activation"]
        assert end in ("linear", start)
        seen.add(end)
    assert "linear" in seen
