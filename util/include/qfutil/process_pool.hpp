// Work spread over child processes: each item runs in a forked process of its own, a few at a
// time, so a crash or a leak in one stays there, and what each prints on standard output reaches
// the parent whole, so the output of items run side by side never mixes.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace qfutil {

// How one child ended.
struct ChildDone {
    size_t index = 0;    // of the item it ran
    int status = 0;      // as waitpid gives it
    std::string output;  // all it wrote to standard output
};

// Runs child(i) for each i below count, each in a process of its own, at most `jobs` at a time;
// child's result is the process's exit status, taken without the parent's exit handlers. done(…)
// hears each in the parent as it ends. Unless shareStdin, a child reads /dev/null: side by side,
// nobody could tell which item a question is for. Throws std::runtime_error when a process cannot
// be started or waited for.
void RunInChildren(size_t count, int jobs, bool shareStdin, const std::function<int(size_t index)> &child,
                   const std::function<void(const ChildDone &)> &done);

}  // namespace qfutil
