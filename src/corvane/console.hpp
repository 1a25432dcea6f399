// Where the console lines of a run (progress, warnings) go.
#pragma once

#include "corvane/python.hpp"
#include "corvane/threads.hpp"
#include "training/output.hpp"

namespace corvane {

// Chosen once when a run starts, with the interpreter lock held. When sys.stdout is the
// process's own standard output (sys.__stdout__) the lines are written with C stdio, flushed per
// line, without the lock; what Python has buffered in sys.stdout is flushed first, at the start
// and after every hook that ran Python code, so that the user's prints keep their place.
// Otherwise (a notebook kernel, contextlib.redirect_stdout, a test capturing sys.stdout) every
// line is written with sys.stdout.write and flushed, with the lock taken back, so that it
// interleaves with the user's prints. When sys.stdout is None nothing is written, as print does.
class Console {
public:
    Console();

    // The output hook of a run that runs without the lock `gil`.
    Output output(ReleasedGil& gil) const;
    // With the lock held: after Python code ran, flushes sys.stdout when lines go to C stdio.
    // A failed flush is dropped, as the interpreter drops one at exit.
    void after_python() const;

private:
    bool c_stdio_ = true;
};

}  // namespace corvane
