// Running the core without the interpreter lock, and the guard that keeps other threads from
// changing a model while it evolves.
#pragma once

#include <cstdint>
#include <utility>

#include "corvane/python.hpp"

namespace corvane {

struct ModelObject;

// Releases the interpreter lock for its lifetime; the calling thread must hold it. held(f)
// runs f with the lock taken back (and releases it again, also when f throws): every Python
// call of a hook goes through it, on the thread that made this object.
class ReleasedGil {
public:
    ReleasedGil() : state_(PyEval_SaveThread()) {}
    ~ReleasedGil() { PyEval_RestoreThread(state_); }
    ReleasedGil(const ReleasedGil&) = delete;
    ReleasedGil& operator=(const ReleasedGil&) = delete;

    template <class F>
    decltype(auto) held(F&& f) {
        PyEval_RestoreThread(state_);
        struct Release {
            ReleasedGil* gil;
            ~Release() { gil->state_ = PyEval_SaveThread(); }
        } release{this};
        return std::forward<F>(f)();
    }

private:
    PyThreadState* state_;
};

// The thread count for a `workers` argument (borrowed): None gives the cores this process may
// run on; an int >= 1 is taken as it is (bool refused with TypeError, below 1 ValueError).
std::int32_t parse_workers(PyObject* workers);

// Marks the model as evolving on this thread for its lifetime. Another thread that tries to
// change the model meanwhile (check_not_evolving) gets RuntimeError; the evolving thread itself
// may (a fitness function that re-initialises or trains its own model), as before.
class EvolvingModel {
public:
    explicit EvolvingModel(ModelObject* model);
    ~EvolvingModel();
    EvolvingModel(const EvolvingModel&) = delete;
    EvolvingModel& operator=(const EvolvingModel&) = delete;

private:
    ModelObject* model_;
    unsigned long previous_thread_;
};

// Throws runtime error "This model is evolving in another thread ..." when the model is being
// evolved by a thread other than the caller's.
void check_not_evolving(const ModelObject* model);


}  // namespace corvane
