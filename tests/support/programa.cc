#include "support/programa.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <stdexcept>

#include "support/tmpdir.h"

namespace tablon::test {

std::vector<std::string> Salida::Etiqueta(const std::string& label) const {
  std::vector<std::string> r;
  std::istringstream in(out);
  std::string line;
  const std::string prefix = label + ": ";
  while (std::getline(in, line)) {
    if (line.rfind(prefix, 0) == 0) r.push_back(line.substr(prefix.size()));
  }
  return r;
}

Salida Programa::Ejecuta(const std::vector<std::string>& args) const {
  const char* bin = binario_.empty() ? std::getenv("TABLON_BIN") : binario_.c_str();
  if (!bin) throw std::runtime_error("TABLON_BIN is not set");
  TmpDir tmp;
  const std::string out = (tmp / "out").string(), err = (tmp / "err").string();
  pid_t pid = fork();
  if (pid == 0) {
    int in = ::open("/dev/null", O_RDONLY);
    int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(in, 0);
    ::dup2(o, 1);
    ::dup2(e, 2);
    std::vector<std::string> full = {bin, "--store", store_.string(), "--servers-dir", servers_.string()};
    full.insert(full.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : full) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(bin, argv.data());
    ::_exit(127);
  }
  int status = 0;
  rusage uso{};
  ::wait4(pid, &status, 0, &uso);
  Salida s;
  s.pico_kib = uso.ru_maxrss;
  s.codigo = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  s.out = ReadFile(out);
  s.err = ReadFile(err);
  return s;
}

}  // namespace tablon::test
