// The callbacks of evolve and func_evolve: Python objects with on_train_begin(logs),
// on_epoch_end(epoch, logs) and on_train_end(logs), called with the interpreter lock held.
#pragma once

#include <vector>

#include "corvane/python.hpp"
#include "training/evolution.hpp"

namespace corvane {

struct ModelObject;

class Callbacks {
public:
    // `callbacks` (borrowed): None, or a list whose items all have the three methods; TypeError
    // otherwise. The items are taken now: changing the list later changes nothing of the run.
    explicit Callbacks(PyObject* callbacks);

    bool empty() const { return items_.empty(); }
    // Before the first epoch: clears model.stop_training, gives every callback the model
    // (set_model(model) where it has one, else the attribute `model`) and calls on_train_begin.
    void train_begin(ModelObject* model) const;
    // After an epoch: every callback gets `best_model`, a compiled copy of the model holding the
    // epoch's best network, and on_epoch_end(epoch, logs) with the epoch's history values.
    // True when a callback set model.stop_training.
    bool epoch_end(ModelObject* model, std::int32_t epoch, const History& history, const Network& best) const;
    // After the run: on_train_end(logs) with the last epoch's values ({} without epochs).
    void train_end(const History& history) const;

private:
    std::vector<PyRef> items_;
};

}  // namespace corvane
