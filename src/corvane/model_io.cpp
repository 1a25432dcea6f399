// save and load of the model file.
#include <string>
#include <utility>

#include "corvane/errors.hpp"
#include "corvane/objects.hpp"
#include "corvane/threads.hpp"
#include "network/model_file.hpp"

namespace corvane {

namespace {

// What a file call does when a signal interrupts a waiting open, read or write, as Python's own
// file objects do: run the signal handlers (with the interpreter lock taken back), give up with
// the exception when one raised (Ctrl-C), else retry.
InterruptedCall run_signal_handlers(ReleasedGil& gil) {
    return [&gil] { gil.held(check_interrupt); };
}

}  // namespace

const Signature& Model_save_signature() {
    static const Signature signature("save", Callable::method, {{"path", "s"}}, 1,
                                     "Saves the model using the '.cv' format.");
    return signature;
}

PyObject* Model_save(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        const char* path;
        if (!Model_save_signature().parse(args, kwargs, &path)) return nullptr;
        const std::string target = path;
        // The file is written without the interpreter lock, which lets other threads change the
        // model meanwhile: a copy is written.
        const Network network = reinterpret_cast<ModelObject*>(self)->network;
        {
            ReleasedGil gil;
            write_network(network, target, run_signal_handlers(gil));
        }
        Py_RETURN_NONE;
    });
}

const Signature& corvane_load_signature() {
    static const Signature signature("load", Callable::function, {{"path", "s"}}, 1,
                                     "Load a model saved in the '.cv' format.");
    return signature;
}

PyObject* corvane_load(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        const char* path;
        if (!corvane_load_signature().parse(args, kwargs, &path)) return nullptr;
        const std::string source = path;
        Network network;
        {
            // Reading may wait on a pipe or a FIFO, perhaps for a writer in another thread of
            // this process: it runs without the interpreter lock.
            ReleasedGil gil;
            network = read_network(source, run_signal_handlers(gil));
        }
        return make_model(std::move(network));
    });
}

}  // namespace corvane
