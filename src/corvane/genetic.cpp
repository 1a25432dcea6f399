// Genetic, the optimizer whose mutation, breeding and selection settings can be chosen
// (corvane.optimizers.Genetic). The object holds the core's settings; evolve and func_evolve
// copy them into the run.
#include <cstddef>
#include <new>
#include <string>

#include "corvane/errors.hpp"
#include "corvane/objects.hpp"
#include "variation/settings.hpp"

namespace corvane {
namespace {

GeneticObject* as_genetic(PyObject* self) { return reinterpret_cast<GeneticObject*>(self); }

// The settings a Genetic() made without arguments holds: the declaration below states them as
// defaults, and these are the three that the parser cannot store itself (they are names).
constexpr PerturbMode default_perturb_mode = PerturbMode::relative;
constexpr FirstPopulation default_first_population = FirstPopulation::random;
constexpr std::int32_t default_output_activation = activation::linear;

const Signature& Genetic_init_signature() {
    static const Signature signature(
        "Genetic", Callable::constructor,
        {{"perturb_probability", "d", "0.5", true},
         {"activations_probability", "d", "0.3"},
         {"add_node_probability", "d", "0.3"},
         {"remove_node_probability", "d", "0.1"},
         {"remove_connection_probability", "d", "0.05"},
         {"add_connection_probability", "d", "0.05"},
         {"perturb_size", "d", "0.2"},
         {"perturb_mode", "O", "'relative'"},
         {"perturb_floor", "d", "0.0"},
         {"activation_change_probability", "d", "0.05"},
         {"tournament_size", "i", "4"},
         {"crossover_share", "d", "0.5"},
         {"first_population", "O", "'random'"},
         {"random_scale", "d", "5.0"},
         {"random_bias_scale", "d", "0.2"},
         {"mutations", "i", "2"},
         {"output_activation", "O", "'linear'"}},
        0,
        "Evolution by mutation, crossover and tournament selection with settings you choose.\n\n"
        "Each child of a generation is mutated `mutations` times (0 to 100). One mutation is a\n"
        "decision tree: with perturb_probability every bias and weight takes a normal step;\n"
        "otherwise with activations_probability each hidden and output node changes its\n"
        "activation with activation_change_probability; otherwise, in this order and each tested\n"
        "only when the ones before it failed, add_node_probability, remove_node_probability,\n"
        "remove_connection_probability and add_connection_probability pick one structural change.\n"
        "Every probability is a number from 0 to 1.\n\n"
        "perturb_size (at least 0) is the step's standard deviation: a share of the value's own\n"
        "magnitude with perturb_mode 'relative' (a zero never moves), the deviation itself with\n"
        "'absolute'. With 'relative', a value smaller than perturb_floor (at least 0) steps as\n"
        "if it were that large (0: a zero never moves). tournament_size (1 to 1000) members compete for each place in the next\n"
        "population. crossover_share (0 to 1) of the parent pairs are crossed, the others cloned.\n"
        "first_population 'mutants' starts from the model's network and mutants of it, 'random'\n"
        "from the model's network and independent random networks of its shape, whose weights are\n"
        "normal draws of standard deviation random_scale and whose biases of standard deviation\n"
        "random_bias_scale (each above 0, at most 1000).\n"
        "output_activation None lets output nodes take any activation, as hidden nodes do; one of\n"
        "'sigmoid', 'tanh', 'relu', 'linear' gives it to the outputs of every new member of the\n"
        "first population and keeps it there (the model's own network keeps its activations).\n\n"
        "Genetic(perturb_probability=0.3, add_node_probability=0.1, first_population='mutants',\n"
        "mutations=1, output_activation=None) evolves exactly as Alpha does.");
    return signature;
}

// A mode argument: null (omitted) gives the default, a str one of `names` (the message
// mentions None when the caller takes it too).
template <class Mode, std::size_t N>
Mode mode_of(PyObject* value, const char* argument, const std::string_view (&names)[N], Mode fallback,
             bool none_too = false) {
    if (value == nullptr) return fallback;
    std::string expected = none_too ? "None, " : "";
    for (std::size_t i = 0; i < N; ++i)
        expected += (i == 0 ? "'" : i + 1 == N ? " or '" : ", '") + std::string(names[i]) + "'";
    if (!PyUnicode_Check(value))
        raise(PyExc_TypeError,
              std::string(argument) + " must be " + expected + ", not " + Py_TYPE(value)->tp_name + ".");
    const std::string name = utf8_of(value);
    for (std::size_t i = 0; i < N; ++i)
        if (names[i] == name) return static_cast<Mode>(i);
    raise(PyExc_ValueError, std::string(argument) + " must be " + expected + ", got '" + name + "'.");
}

// Parses and checks the arguments into `settings`; false with the parser's TypeError set.
bool parse_settings(PyObject* args, PyObject* kwargs, VariationSettings& s) {
    PyObject *perturb_mode, *first_population, *output_activation;  // borrowed; null when omitted
    int tournament_size, mutations;
    if (!Genetic_init_signature().parse(args, kwargs, &s.perturb_probability, &s.activations_probability,
                                        &s.add_node_probability, &s.remove_node_probability,
                                        &s.remove_connection_probability, &s.add_connection_probability,
                                        &s.perturb_size, &perturb_mode, &s.perturb_floor, &s.activation_change_probability,
                                        &tournament_size, &s.crossover_share, &first_population, &s.random_scale, &s.random_bias_scale, &mutations,
                                        &output_activation))
        return false;
    s.perturb_mode = mode_of(perturb_mode, "perturb_mode", perturb_mode_names, default_perturb_mode);
    s.first_population = mode_of(first_population, "first_population", first_population_names,
                                 default_first_population);
    s.tournament_size = tournament_size;
    s.mutations = mutations;
    s.output_activation = output_activation == Py_None
                              ? any_activation
                              : static_cast<std::int32_t>(mode_of(output_activation, "output_activation",
                                                                  activation_names, default_output_activation, true));
    check_variation(s);
    return true;
}

PyObject* Genetic_new(PyTypeObject* type, PyObject*, PyObject*) {
    return guarded<PyObject*>(nullptr, [&] {
        PyObject* self = check(type->tp_alloc(type, 0));
        new (&as_genetic(self)->settings) VariationSettings{};  // Alpha's settings until __init__
        return self;
    });
}

// The object changes only when every argument is good.
int Genetic_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded(-1, [&] {
        VariationSettings settings;
        if (!parse_settings(args, kwargs, settings)) return -1;
        as_genetic(self)->settings = settings;
        return 0;
    });
}

// The settings trivially destruct: nothing to destroy before the memory goes.
void Genetic_dealloc(PyObject* self) { Py_TYPE(self)->tp_free(self); }

// None, or the name of the fixed output activation: a new reference.
PyObject* output_activation_object(const VariationSettings& s) {
    if (s.output_activation == any_activation) Py_RETURN_NONE;
    return check(PyUnicode_FromString(activation_names[s.output_activation].data()));
}

// The settings as the keyword arguments that make them: a dict from name to value.
PyObject* settings_dict(const VariationSettings& s) {
    const std::string_view perturb_mode = perturb_mode_names[static_cast<std::int32_t>(s.perturb_mode)];
    const std::string_view first = first_population_names[static_cast<std::int32_t>(s.first_population)];
    return check(Py_BuildValue(
        "{s:d,s:d,s:d,s:d,s:d,s:d,s:d,s:s#,s:d,s:d,s:i,s:d,s:s#,s:d,s:d,s:i,s:O}", "perturb_probability", s.perturb_probability,
        "activations_probability", s.activations_probability, "add_node_probability", s.add_node_probability,
        "remove_node_probability", s.remove_node_probability, "remove_connection_probability",
        s.remove_connection_probability, "add_connection_probability", s.add_connection_probability, "perturb_size",
        s.perturb_size, "perturb_mode", perturb_mode.data(), static_cast<Py_ssize_t>(perturb_mode.size()),
        "perturb_floor", s.perturb_floor, "activation_change_probability", s.activation_change_probability, "tournament_size", s.tournament_size,
        "crossover_share", s.crossover_share, "first_population", first.data(), static_cast<Py_ssize_t>(first.size()),
        "random_scale", s.random_scale, "random_bias_scale", s.random_bias_scale, "mutations", s.mutations, "output_activation", PyRef(output_activation_object(s)).get()));
}

// Type name, then every setting as name=repr(value) in the order the constructor takes them (the
// order of settings_dict), so that the text evaluates back to the same optimizer.
PyObject* Genetic_repr(PyObject* self) {
    return guarded<PyObject*>(nullptr, [&] {
        PyRef settings(settings_dict(as_genetic(self)->settings));
        std::string text = std::string(Py_TYPE(self)->tp_name) + "(";
        PyObject *name, *value;  // borrowed
        Py_ssize_t position = 0;
        while (PyDict_Next(settings.get(), &position, &name, &value)) {
            PyRef shown(check(PyObject_Repr(value)));
            text += (position > 1 ? ", " : "") + utf8_of(name) + "=" + utf8_of(shown.get());
        }
        text += ")";
        return check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    });
}

// (type(self), (), (settings as keyword arguments, instance dict or None)).
PyObject* Genetic___reduce__(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&] {
        PyRef settings(settings_dict(as_genetic(self)->settings));
        PyRef dict;
        if (Py_TYPE(self)->tp_dictoffset != 0) dict = PyRef(check(PyObject_GetAttrString(self, "__dict__")));
        PyObject* extra = dict && PyDict_Check(dict.get()) && PyDict_GET_SIZE(dict.get()) > 0 ? dict.get() : Py_None;
        return check(Py_BuildValue("(O()(OO))", reinterpret_cast<PyObject*>(Py_TYPE(self)), settings.get(), extra));
    });
}

// The settings are checked as the constructor checks its arguments; a refused state leaves the
// object as it was.
PyObject* Genetic___setstate__(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* state;  // borrowed
        if (!setstate_signature().parse(args, kwargs, &state)) return nullptr;
        if (!PyTuple_Check(state) || PyTuple_GET_SIZE(state) != 2 || !PyDict_Check(PyTuple_GET_ITEM(state, 0)))
            raise(PyExc_ValueError, "The pickled Genetic state is not a tuple of its settings and attributes.");
        PyObject* extra = PyTuple_GET_ITEM(state, 1);  // borrowed
        if (extra != Py_None && (!PyDict_Check(extra) || Py_TYPE(self)->tp_dictoffset == 0))
            raise(PyExc_ValueError, "The pickled Genetic state has attributes this object cannot hold.");
        PyObject* given = PyTuple_GET_ITEM(state, 0);  // borrowed
        // Earlier builds sized a random first population's biases with random_scale too.
        PyRef named(check(PyDict_Copy(given)));
        if (PyDict_GetItemString(given, "random_bias_scale") == nullptr) {
            PyObject* scale = PyDict_GetItemString(given, "random_scale");  // borrowed
            if (scale != nullptr) check_status(PyDict_SetItemString(named.get(), "random_bias_scale", scale));
        }
        PyRef no_arguments(check(PyTuple_New(0)));
        VariationSettings settings;
        if (!parse_settings(no_arguments.get(), named.get(), settings)) return nullptr;
        as_genetic(self)->settings = settings;
        if (extra != Py_None) {
            PyRef own(check(PyObject_GetAttrString(self, "__dict__")));
            check_status(PyDict_Update(own.get(), extra));
        }
        Py_RETURN_NONE;
    });
}

PyMethodDef* Genetic_methods() {
    static PyMethodDef methods[] = {
        method_entry(Genetic___reduce__, reduce_signature()),
        method_entry(Genetic___setstate__, setstate_signature()),
        {nullptr, nullptr, 0, nullptr},
    };
    return methods;
}

// The settings, read-only: an optimizer given to compile keeps what it was made with.
#define CORVANE_SETTING(kind, field, doc) \
    {#field, kind, static_cast<Py_ssize_t>(offsetof(GeneticObject, settings) + offsetof(VariationSettings, field)), \
     READONLY, doc}
PyMemberDef Genetic_members[] = {
    CORVANE_SETTING(T_DOUBLE, perturb_probability, "Chance that a mutation perturbs every bias and weight."),
    CORVANE_SETTING(T_DOUBLE, activations_probability, "Chance that a mutation, not perturbing, changes activations."),
    CORVANE_SETTING(T_DOUBLE, add_node_probability, "Chance of the add-node branch once it is reached."),
    CORVANE_SETTING(T_DOUBLE, remove_node_probability, "Chance of the remove-node branch once it is reached."),
    CORVANE_SETTING(T_DOUBLE, remove_connection_probability, "Chance of the remove-connection branch once reached."),
    CORVANE_SETTING(T_DOUBLE, add_connection_probability, "Chance of the add-connection branch once it is reached."),
    CORVANE_SETTING(T_DOUBLE, perturb_size, "Standard deviation of a perturbation step (relative or absolute)."),
    CORVANE_SETTING(T_DOUBLE, perturb_floor, "Smallest magnitude a relative step is sized from."),
    CORVANE_SETTING(T_DOUBLE, activation_change_probability, "Chance per node that an activation change hits it."),
    CORVANE_SETTING(T_INT, tournament_size, "Members that compete for each place in the next population."),
    CORVANE_SETTING(T_DOUBLE, crossover_share, "Share of the parent pairs that are crossed (the others are cloned)."),
    CORVANE_SETTING(T_DOUBLE, random_scale, "Standard deviation of a random first population's weights."),
    CORVANE_SETTING(T_DOUBLE, random_bias_scale, "Standard deviation of a random first population's biases."),
    CORVANE_SETTING(T_INT, mutations, "Mutation steps per child and per mutant of the first population."),
    {nullptr, 0, 0, 0, nullptr},
};
#undef CORVANE_SETTING

PyObject* Genetic_get_perturb_mode(PyObject* self, void*) {
    return guarded<PyObject*>(nullptr, [&] {
        return check(PyUnicode_FromString(
            perturb_mode_names[static_cast<std::int32_t>(as_genetic(self)->settings.perturb_mode)].data()));
    });
}

PyObject* Genetic_get_first_population(PyObject* self, void*) {
    return guarded<PyObject*>(nullptr, [&] {
        return check(PyUnicode_FromString(
            first_population_names[static_cast<std::int32_t>(as_genetic(self)->settings.first_population)].data()));
    });
}

PyObject* Genetic_get_output_activation(PyObject* self, void*) {
    return guarded<PyObject*>(nullptr, [&] { return output_activation_object(as_genetic(self)->settings); });
}

PyGetSetDef Genetic_getset[] = {
    {"output_activation", Genetic_get_output_activation, nullptr,
     "None (outputs take any activation) or the activation every new member's outputs keep.", nullptr},
    {"perturb_mode", Genetic_get_perturb_mode, nullptr, "'relative' (to the value's magnitude) or 'absolute'.",
     nullptr},
    {"first_population", Genetic_get_first_population, nullptr,
     "'mutants' of the model's network or independent 'random' networks of its shape.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject GeneticType = [] {
    PyTypeObject type = empty_type_object();
    type.tp_name = "corvane.optimizers.Genetic";
    type.tp_basicsize = sizeof(GeneticObject);
    type.tp_dealloc = Genetic_dealloc;
    type.tp_repr = Genetic_repr;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    type.tp_doc = Genetic_init_signature().doc();
    type.tp_methods = Genetic_methods();
    type.tp_members = Genetic_members;
    type.tp_getset = Genetic_getset;
    type.tp_init = Genetic_init;
    type.tp_new = Genetic_new;
    return type;
}();

PyObject* genetic_by_name() { return check(PyObject_CallObject(reinterpret_cast<PyObject*>(&GeneticType), nullptr)); }

VariationSettings variation_of(PyObject* optimizer) {
    if (optimizer != nullptr && PyObject_TypeCheck(optimizer, &GeneticType)) return as_genetic(optimizer)->settings;
    return VariationSettings{};
}

}  // namespace corvane
