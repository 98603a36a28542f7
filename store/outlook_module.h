// The program's one access point to the mail store: the application and its "MAPI" namespace
// as program-wide references, and the find-or-create of a subfolder that the synchronisation
// uses at every level. The program opens the store into them (app/almacen.h, IniciaOutlook);
// the news work only uses them. Nothing here traps a failure (every tablon::Error reaches the
// caller).
#pragma once

#include <memory>
#include <string>

#include "store/store.h"

namespace tablon {

extern std::shared_ptr<store::Application> OutlookApp;
extern std::shared_ptr<store::Namespace> MapiNameSpace;

// The first subfolder of `parent` (store order) whose name is exactly `name` (byte for byte,
// letter case and blanks count), else a new subfolder of that name.
std::shared_ptr<store::Folder> BuscaOCreaCarpeta(store::Folder& parent, const std::string& name);

}  // namespace tablon
