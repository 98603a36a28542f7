// The Maildir store's application and its "MAPI" namespace: the entry to a store rooted at one
// directory. The program opens one over its file-system seam (app/almacen.h); tests open one
// over an Fs of their own to make chosen calls fail.
//
// Durability: items are written to tmp/ and renamed into place without an fsync each (one fsync
// per file makes a 20,000-item folder ten times slower). A reader therefore never sees half an
// item, but after a power loss the latest items may be missing or empty. Sync() closes that
// gap: it runs syncfs(2) on the file system holding the root, which makes every file, rename
// and directory written so far durable, and reports write-back errors (EIO, ENOSPC) as a
// tablon::Error. Callers sync at the points where losing work would matter (end of a pass).
// Subfolders mounted from another file system below the root are not covered.
#pragma once

#include <memory>
#include <string>

#include "store/maildir/contexto.h"
#include "core/fs.h"
#include "store/store.h"

namespace tablon::store::maildir {

// Opens (creating the directory and its parents when missing, mode 0700) the store at `raiz`,
// through `fs` (the system's calls when null). `durabilidad` PorElemento adds one fsync per
// file written, on top of Sync. Fails with kArgumentoNoValido for an empty path, kAccesoARuta
// when something other than a directory is there, the file-system number otherwise.
std::shared_ptr<Application> AbreMaildir(const std::string& raiz, std::shared_ptr<Fs> fs = nullptr,
                                         Durabilidad durabilidad = Durabilidad::PorSync);

}  // namespace tablon::store::maildir
