// Runs the tablon program built beside the tests (TABLON_BIN), as a user would, on a given
// store and servers directory; collects its output and exit code. The crash test runs its own
// build of the program instead (tests/tablon_choque.cc).
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace tablon::test {

// The tests and the program they run are built with AddressSanitizer (scripts/test.sh's second
// build): slower, and their resident memory larger by its shadow and its quarantine of freed
// blocks.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kConSanitizador = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kConSanitizador = true;
#else
inline constexpr bool kConSanitizador = false;
#endif
#else
inline constexpr bool kConSanitizador = false;
#endif

struct Salida {
  int codigo = -1;
  std::string out, err;
  // The program's peak resident memory, in KiB (its ru_maxrss). An upper bound: Linux counts
  // in it the test process's own resident size at the fork.
  long pico_kib = 0;
  // The lines of `out` that start with "Label: ", without that prefix.
  std::vector<std::string> Etiqueta(const std::string& label) const;
};

class Programa {
 public:
  // `binario`: the program to run; empty, the one TABLON_BIN names.
  Programa(std::filesystem::path store, std::filesystem::path servers, std::string binario = "")
      : store_(std::move(store)), servers_(std::move(servers)), binario_(std::move(binario)) {}
  // Runs `tablon ARGS...` without a terminal (stdin from /dev/null).
  Salida Ejecuta(const std::vector<std::string>& args) const;
  const std::filesystem::path& store() const { return store_; }
  const std::filesystem::path& servers() const { return servers_; }

 private:
  std::filesystem::path store_, servers_;
  std::string binario_;
};

}  // namespace tablon::test
