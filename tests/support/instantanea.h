// What a pass leaves behind, read straight from the disk so that two runs can be compared: every
// item of every folder of a Maildir store — the store's own, or the one a private IMAP server
// keeps for an IMAP store — (by "ArticleID" or, for items without one, subject;
// class, the file name's flags, body) and the state files of a servers directory.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <tuple>
#include <vector>

namespace tablon::test {

struct ItemEnDisco {
  std::string clave;   // the "ArticleID" property, else "asunto:" + subject
  std::string clase;
  std::string banderas;  // after ":2," in the file name
  std::string cuerpo;
  auto Tupla() const { return std::tie(clave, clase, banderas, cuerpo); }
  bool operator<(const ItemEnDisco& o) const { return Tupla() < o.Tupla(); }
  bool operator==(const ItemEnDisco& o) const { return Tupla() == o.Tupla(); }
};

// Folder path relative to the store root (directory names as on disk) -> its items, sorted.
using ItemsPorCarpeta = std::map<std::string, std::vector<ItemEnDisco>>;

ItemsPorCarpeta LeeAlmacen(const std::filesystem::path& raiz);

// A readable account of the differences between two stores ("" when they are the same).
std::string Diferencias(const ItemsPorCarpeta& a, const ItemsPorCarpeta& b);

// The "ArticleID"s that occur more than once in one folder, as "folder: id" lines.
std::string Duplicados(const ItemsPorCarpeta& s);

// File name -> content of every file of a servers directory. In a file ending in ".txt" (a state
// file) line 1 (the check date, "now" at every pass) is dropped; with `prefijo_grupos` only group
// lines starting with it are kept (a shared news server gets groups from other tests too).
std::map<std::string, std::string> LeeServidores(const std::filesystem::path& dir,
                                                 const std::string& prefijo_grupos = "");

}  // namespace tablon::test
