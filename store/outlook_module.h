// The program's one access point to the mail store: the application and its "MAPI" namespace
// as program-wide references, where the store lies, and the find-or-create of a subfolder that
// the synchronisation uses at every level. Called from the program's start-up and its routines;
// nothing here traps a failure (every tablon::Error reaches the caller).
#pragma once

#include <memory>
#include <string>

#include "store/store.h"

namespace tablon {

extern std::shared_ptr<store::Application> OutlookApp;
extern std::shared_ptr<store::Namespace> MapiNameSpace;

// Where IniciaOutlook opens the store. Until set: $TABLON_STORE when set and not empty, else
// $HOME/Mail.
void FijaUbicacionAlmacen(std::string location);
std::string UbicacionAlmacen();

// Opens the store (creating its directory when missing) and its "MAPI" namespace into
// OutlookApp and MapiNameSpace, replacing earlier ones. On failure both are left as they were.
void IniciaOutlook();

// The first subfolder of `parent` (store order) whose name is exactly `name` (byte for byte,
// letter case and blanks count), else a new subfolder of that name.
std::shared_ptr<store::Folder> BuscaOCreaCarpeta(store::Folder& parent, const std::string& name);

}  // namespace tablon
