// Exclusive opens that end with the process, however it ends: a duplicate of
// each exclusively held descriptor goes to the guardian (guardian.cpp), which
// clears TIOCEXCL on it once this process has gone.
#pragma once

#include <sys/types.h>

namespace serialslots::connection::exclusive {

// Hands a duplicate of `fd` to the guardian, starting it first where none
// runs; answers the slot to give back, or -1 when no guardian can hold it
// (then TIOCEXCL must not be set: nothing would clear it).
int guard(int fd) noexcept;

// Takes the duplicate in `slot` back: the guardian closes it. Done before
// the descriptor itself is closed, so that close() is the tty's last.
void release(int slot) noexcept;

// Whether this process was told, by SERIALSLOTS_GUARDIAN=none in its
// environment, to hold exclusive opens without a guardian: for systems that
// can start none (an emulator that runs no other program), knowingly.
bool guardianWaived() noexcept;

// The guardian's process id, 0 when none runs: it holds every device held
// exclusively here, and belongs to this process.
pid_t guardianPid() noexcept;

}  // namespace serialslots::connection::exclusive
