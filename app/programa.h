// The program's entry point: one synchronisation pass (the default), or one of the commands that
// define a server and manage its subscriptions; see `tablon --help` (kAyuda in programa.cc).
// main() only calls it; a test's own program (the crash test's) installs a file-system seam of
// its own first (core/fs.h, FijaFsDelPrograma) and then calls it the same way.
#pragma once

namespace tablon {

// Runs the program with main's arguments and returns its exit code: 0 done, 1 error (the
// error's number and description on standard error), 2 usage error, 3 another pass holds the
// lock. Ctrl-C during a pass ends the process by that signal instead. Nothing is thrown.
int EjecutaPrograma(int argc, char** argv);

}  // namespace tablon
