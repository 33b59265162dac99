#pragma once

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

// The number of a process that has run and ended: one that no running program owns.
inline pid_t EndedProcess() {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ::waitpid(child, nullptr, 0);
  return child;
}
