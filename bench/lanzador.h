// Runs the programs the benchmark measures and answers their wall time, exit status and peak
// memory (ru_maxrss). Used by bench/bench.cc only.
//
// Why a helper process: Linux counts in a child's ru_maxrss the pages it held between fork
// and exec — a copy of its parent's — so a tablon started straight from the benchmark, whose
// heap by then holds a store's worth of item samples and the slow link's queues, would report
// the benchmark's size when that is larger than its own. A Lanzador forks, when made, a small
// helper that does the forking and waiting: make it first thing in main, before the benchmark
// grows and before any thread starts. Requests and answers travel over a socket pair; the
// helper ends when the socket closes (the Lanzador is destroyed, or the benchmark dies).
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace tablon::bench {

struct Corrida {
  double segundos = 0;  // from fork to the end of wait4
  long maxrss_kb = 0;   // the child's ru_maxrss
  int estado = 0;       // its exit code, or 128 + the signal that ended it
};

class Lanzador {
 public:
  // Forks the helper. Throws std::runtime_error when it cannot.
  Lanzador();
  ~Lanzador();
  Lanzador(const Lanzador&) = delete;
  Lanzador& operator=(const Lanzador&) = delete;

  // Runs `args` (args[0] a path) with `entorno` ("NAME=value") added to the environment, its
  // standard output to /dev/null and its standard error appended to `log`, and waits for it.
  // Throws std::runtime_error when the helper fails.
  Corrida Ejecuta(const std::vector<std::string>& args, const std::vector<std::string>& entorno,
                  const std::string& log) const;

 private:
  int fd_ = -1;
  pid_t ayudante_ = -1;
};

}  // namespace tablon::bench
