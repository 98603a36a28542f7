// Where the user's mail store lies and which backend opens it: the one place of the program that
// knows the store's backends. A location is a directory path today (the Maildir backend); other
// backends will be told apart by their location's form. Called from the program's start-up and
// its routines; nothing here traps a failure (every tablon::Error reaches the caller).
#pragma once

#include <memory>
#include <string>

#include "store/store.h"

namespace tablon {

// Opens the store at `location`: "imap://USER@HOST[:PORT][/PREFIX]" or "imaps://…" an IMAP
// account (store/imap/aplicacion_imap.h; TABLON_TRAZA_IMAP=FILE appends the session's commands
// to FILE), anything else a directory path, a Maildir store (created when missing) through the
// program's file-system seam (core/fs.h). With TABLON_DURABILIDAD=elemento
// every item file is also fsync'd as it is written (slower; see the README). Fails as the
// backend's opening does.
std::shared_ptr<store::Application> AbreAlmacen(const std::string& location);

// `location` names an IMAP account (a malformed one raises kArgumentoNoValido).
bool EsAlmacenImap(const std::string& location);

// Where IniciaOutlook opens the store. Until set: $TABLON_STORE when set and not empty, else
// $HOME/Mail; kArgumentoNoValido when none of them is there.
void FijaUbicacionAlmacen(std::string location);
std::string UbicacionAlmacen();

// Opens the store (AbreAlmacen of UbicacionAlmacen) and its "MAPI" namespace into the
// program-wide OutlookApp and MapiNameSpace (store/outlook_module.h), replacing earlier ones. On
// failure both are left as they were.
void IniciaOutlook();

}  // namespace tablon
