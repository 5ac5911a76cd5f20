/* Runs a program and measures it alone: the wall time from just before it is started until it
 * has been reaped, and its CPU time and peak RSS as wait4 reports them. A small process of its
 * own, so that the child's peak RSS, which starts at its parent's at exec, is not a large
 * script's; and unlike GNU time it adds nothing of its own start to the time.
 *
 *   measure_child RESULT PROGRAM [ARG...]
 *
 * writes "wall_seconds user_seconds system_seconds maxrss_kib" to RESULT and exits with the
 * program's exit status (128 + the signal that ended it; 127 when it could not be started). */
#define _GNU_SOURCE
#include <errno.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>

extern char** environ;

static double Seconds(const struct timespec* t) { return (double)t->tv_sec + (double)t->tv_nsec / 1e9; }

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: measure_child RESULT PROGRAM [ARG...]\n");
    return 2;
  }
  FILE* result = fopen(argv[1], "w");
  if (result == NULL) {
    fprintf(stderr, "measure_child: cannot write %s: %s\n", argv[1], strerror(errno));
    return 2;
  }
  struct timespec start;
  struct timespec end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  pid_t child = -1;
  const int err = posix_spawn(&child, argv[2], NULL, NULL, argv + 2, environ);
  if (err != 0) {
    fprintf(stderr, "measure_child: cannot start %s: %s\n", argv[2], strerror(err));
    fclose(result);
    return 127;
  }
  int status = 0;
  struct rusage usage;
  while (wait4(child, &status, 0, &usage) < 0) {
    if (errno != EINTR) {
      fprintf(stderr, "measure_child: wait4: %s\n", strerror(errno));
      fclose(result);
      return 2;
    }
  }
  clock_gettime(CLOCK_MONOTONIC, &end);
  fprintf(result, "%.6f %.6f %.6f %ld\n", Seconds(&end) - Seconds(&start),
          (double)usage.ru_utime.tv_sec + (double)usage.ru_utime.tv_usec / 1e6,
          (double)usage.ru_stime.tv_sec + (double)usage.ru_stime.tv_usec / 1e6, usage.ru_maxrss);
  if (fclose(result) != 0) return 2;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
