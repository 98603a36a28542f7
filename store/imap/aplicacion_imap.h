// The IMAP store's application and its "MAPI" namespace: the entry to a store that lives in an
// IMAP account, below the location's prefix (store/imap/sesion_imap.h says how the location is
// written and how the session connects and authenticates). The program opens one from its
// location (app/almacen.h); tests open one with options of their own (a trust file, a netrc).
//
// The namespace's folders are the mailboxes one level below the prefix whose names are
// canonical encodings of folder names (nombre_buzon.h): INBOX and mailboxes another program made
// are never listed, changed or removed. Sync waits for every APPEND still in flight and writes
// the drafts kept in memory: once it returns, the server holds every item saved so far.
#pragma once

#include <memory>

#include "store/imap/sesion_imap.h"
#include "store/store.h"

namespace tablon::store::imap {

// Connects (as SesionImap::Abre) and opens the store. Fails as the session does.
std::shared_ptr<Application> AbreImap(const UbicacionImap& ubicacion, OpcionesSesion opciones = {});

}  // namespace tablon::store::imap
