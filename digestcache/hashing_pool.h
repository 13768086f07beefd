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

// What the volumes that hold the files say of seeking: none of them pays for
// a seek, one of them does, or one cannot be asked (under Wine no volume can).
enum class SeekPenalty { kNone, kSome, kUnknown };

// How many threads hash `files` files: one per processor, at most 8 (more
// only wait for the disk), never more than there are files. One where a disk
// says it pays for every seek: reading two files at once is slower there than
// reading them one after the other. Where the disk cannot tell, most are
// solid-state (and a first run, reading every file, is worth the bet): the
// pool is used anyway, two threads at least, one reading while the other
// hashes even on one processor. Each file is read sequentially
// (digestcache/file_digest.h), so the system reads ahead of each thread in
// long runs whatever the disk.
unsigned HashingThreads(unsigned processors, std::size_t files, SeekPenalty penalty);

// Runs task(i) once for every i below `count` on `threads` threads, the
// calling thread among them, and returns when all are done. What a task
// throws is kept in its place in the result (null where it returned); it
// stops no other task. With one thread the tasks run in order on the caller.
std::vector<std::exception_ptr> RunTasks(std::size_t count, unsigned threads,
                                         const std::function<void(std::size_t)>& task);

}  // namespace tallowfin
