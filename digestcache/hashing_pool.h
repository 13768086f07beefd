// The pool that hashes the files whose digests are not known: a few threads
// taking files in turn, each result kept in the place of its file, so the
// caller sees them in list order whatever order they finished in. Portable,
// tested natively.
#pragma once

#include <cstddef>
#include <exception>
#include <functional>
#include <vector>

namespace tallowfin {

// How many threads hash `files` files: one per processor, at most 8 (more
// only wait for the disk), never more than there are files; one when the
// disk pays for every seek or cannot tell whether it does, where reading two
// files at once is slower than reading them one after the other.
unsigned HashingThreads(unsigned processors, std::size_t files, bool withoutSeekPenalty);

// Runs task(i) once for every i below `count` on `threads` threads, the
// calling thread among them, and returns when all are done. What a task
// throws is kept in its place in the result (null where it returned); it
// stops no other task. With one thread the tasks run in order on the caller.
std::vector<std::exception_ptr> RunTasks(std::size_t count, unsigned threads,
                                         const std::function<void(std::size_t)>& task);

}  // namespace tallowfin
