// Where the user's mail store lies and which backend opens it: the one place of the program that
// knows the store's backends. A location is either a well-formed "imap://" or "imaps://" URL (an
// IMAP account) or a directory path (a Maildir store). A text that reads as a URL but is neither
// ("imap:/x@h", "imaps//x@h", "maildir://…") is refused, never taken as a directory: a user who
// really means such a directory writes "./imap:/x@h". The store's directory is made by
// `tablon add-server` alone (IniciaOutlook(true)); every other use of a missing one fails.
// Called from the program's start-up and its routines; nothing here traps a failure (every
// tablon::Error reaches the caller).
#pragma once

#include <memory>
#include <string>

#include "store/store.h"

namespace tablon {

// Opens the store at `location`: "imap://USER@HOST[:PORT][/PREFIX]" or "imaps://…" an IMAP
// account (store/imap/aplicacion_imap.h; TABLON_TRAZA_IMAP=FILE appends the session's commands
// to FILE), any other location that CompruebaUbicacionAlmacen accepts a directory path, a
// Maildir store through the program's file-system seam (core/fs.h). With
// TABLON_DURABILIDAD=elemento every item file is also fsync'd as it is written (slower; see the
// README). A missing directory is created when `crea` (mode 0700, with its parents), else
// refused with kArchivoNoEncontrado, creating nothing, in a text that names `tablon add-server`.
// Fails as CompruebaUbicacionAlmacen and the backend's opening do.
std::shared_ptr<store::Application> AbreAlmacen(const std::string& location, bool crea = false);

// Refuses with kArgumentoNoValido, in a Spanish text (translated) that says what is wrong and
// how to write it, a location that reads as a URL but is no well-formed IMAP one: a malformed
// "imap://" or "imaps://" (store/imap/ubicacion_imap.h, letter case ignored), a leading scheme
// of letters (then letters, digits, "+", "-" or ".") followed by ":/" that is not one of those
// two ("imap:/x", "imapx://x", "maildir:///x", "host.example:/x"), and "imap" or "imaps" (any
// case) followed at once by ":" or "//" ("imap:", "imaps//x@h"). Anything else is a path
// ("./imap:/x", "/a/imap:/x", "a:b"). Touches neither the network nor the file system.
void CompruebaUbicacionAlmacen(const std::string& location);

// `location` names an IMAP account (a malformed one raises kArgumentoNoValido).
bool EsAlmacenImap(const std::string& location);

// Where IniciaOutlook opens the store. Until set: $TABLON_STORE when set and not empty, else
// $HOME/Mail; kArgumentoNoValido when none of them is there. FijaUbicacionAlmacen refuses what
// CompruebaUbicacionAlmacen refuses, and then leaves the location as it was.
void FijaUbicacionAlmacen(std::string location);
std::string UbicacionAlmacen();

// Opens the store (AbreAlmacen of UbicacionAlmacen, creating a missing directory only when
// `crea_almacen`) and its "MAPI" namespace into the program-wide OutlookApp and MapiNameSpace
// (store/outlook_module.h), replacing earlier ones. On failure both are left as they were.
void IniciaOutlook(bool crea_almacen = false);

// The top-level folder "news" of the store IniciaOutlook opened last, which holds the server
// definitions. Creates nothing: where it is missing, kObjetoNoEncontrado with a text telling to
// define a server first with `tablon add-server SERVIDOR`; a listing failure as the backend's.
std::shared_ptr<store::Folder> CarpetaNews();

// What a pass needs of a Maildir store before it makes anything (its servers directory, its
// lock): the directory and its "news" folder (opens it, IniciaOutlook, and fails as CarpetaNews
// does). Checks nothing of an IMAP store, which the pass itself opens over the network.
void CompruebaAlmacenLocal();

}  // namespace tablon
