// Descriptors that a forked child lets go of.
//
// A child made by fork() shares every open file description of its parent, and with it any flock
// held on one: while the child lives, a lock the parent took stays held, even after the parent has
// closed its own descriptor or died. A descriptor opened here is closed in every forked child by
// its fork handler, before the child runs anything else, so that the description (and its lock)
// is the parent's alone. The child never unlocks it, which would free the parent's lock too.
//
// Opening and registering, and unregistering and closing, happen under one mutex that the fork's
// prepare handler takes as well. No fork can then fall between the open and the registration
// (the child would keep an unregistered copy) or between the close and the unregistration (the
// child would close whatever took the number since). The child empties the registry, so that a
// grandchild does not close the numbers again. The owner of such a descriptor must never close it
// itself in a child: the handler has done so, and the number may belong to something else there.
//
// An owner tells whether it still lives in the process that opened its descriptor by the fork
// generation, not by the pid: once the opener has exited, a descendant may be given its pid again
// (at once, in a pid namespace), and would then take the number for its own.
#pragma once

#include <cstdint>

namespace vse {

// Runs `open_fd` (which returns a descriptor, or -1 with errno set) and registers the descriptor it
// returns. Returns what `open_fd` returned, errno preserved.
int open_parent_only(int (*open_fd)(void* context), void* context);

template <class F>
int open_parent_only(F&& open_fd) {
    return open_parent_only([](void* f) { return (*static_cast<F*>(f))(); }, &open_fd);
}

// Unregisters `fd` and closes it; in the process that opened it only.
void close_parent_only(int fd);

// This process's fork generation. The fork handler adds one in every child, so a value read in one
// process is never current again in any process forked from it, however far down the line and
// whatever pid it is given: a descriptor opened here is this process's own exactly while the
// generation read at its open is the current one.
std::uint64_t fork_generation();

}  // namespace vse
