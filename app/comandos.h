// The commands besides the pass: define or remove a server, list its groups, set or clear
// subscriptions. Each prints what it did in Spanish on standard output and throws tablon::Error
// on failure (the caller prints it and exits non-zero), or ErrorDeUso for a command line that
// cannot work as given. None of them touches the network.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace tablon {

// Exit code of a command line that cannot work as given.
inline constexpr int kSalidaUsoOrden = 2;

// A command line that cannot work as given: an unknown command, a missing or extra argument, a
// host that a pass could not connect to. what() is one Spanish line that names the fault.
class ErrorDeUso : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Runs the command named by args[0] with the rest of `args` as its arguments (`args` must not be
// empty; options are already taken out). Returns 0 when the command ended normally. Prints one
// line to standard error naming the fault, then the command's usage, and returns
// kSalidaUsoOrden on an ErrorDeUso. Every other failure propagates (tablon::Error from the
// commands below, kBloqueado when a pass holds the servers directory).
int EjecutaOrden(const std::vector<std::string>& args);

// Refuses with ErrorDeUso, naming the reason, a host text that a pass could not connect to or
// keep apart: one that CompruebaHost (file and folder names) or nntp::AnalizaHost (name, port
// 1 to 65535, [IPv6]:port) refuses, an IPv6 literal that is not an address, a bracketed name,
// and a host name with characters other than ASCII letters, digits, '-', '_' and '.' or with an
// empty part between dots (one trailing dot is allowed).
void CompruebaHostNuevo(const std::string& host);

// Checks `host` (CompruebaHostNuevo) before anything is created, then creates the store's
// directory (the one command that does) and "news" when missing, and one server-definition post
// for `host` in it. A host already defined is reported and not defined twice.
void ComandoAddServer(const std::string& host);

// Deletes every server-definition post for exactly `host` from "news", under the pass lock (when
// the servers directory exists), so that the next pass skips the server; its folders in the
// store and its state file stay, and the printed line says where. Throws kObjetoNoEncontrado,
// naming the servers that are defined, when `host` is not; kBloqueado when a pass runs; as
// IniciaOutlook and CarpetaNews (app/almacen.h) when the store or its "news" is missing. The
// host text is not checked: a definition that a pass refuses can be removed too.
void ComandoRemoveServer(const std::string& host);

// Prints the groups known for `host` (from its state file), one per line, "X" before the
// subscribed ones; only those whose names match the shell-style `patron` when given; then the
// counts. Without a state file: kObjetoNoEncontrado telling to run `tablon add-server HOST` when
// the host is not defined in the store, kArchivoNoEncontrado telling to run a pass when it is.
void ComandoGroups(const std::string& host, const std::string& patron);

// Sets (`subscribe`) or clears the "X" of each named group in the state file of `host`,
// rewriting the file atomically under the pass lock. An unknown group name changes nothing and
// fails with a message naming it. Without a state file: as ComandoGroups.
void ComandoSubscribe(const std::string& host, const std::vector<std::string>& grupos, bool subscribe);

}  // namespace tablon
