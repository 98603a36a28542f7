// A message class as a Maildir item keeps it: the few classes that many items share (a pass
// writes thousands of items of two or three classes) are held once for the whole program, up
// to 64 different texts; any other as a copy of its own. Safe to make from any thread.
#pragma once

#include <memory>
#include <string>

namespace tablon::store::maildir {

class TextoClase {
 public:
  // "IPM.Note".
  TextoClase();
  explicit TextoClase(std::string v);
  const std::string& get() const { return *texto_; }

 private:
  const std::string* texto_ = nullptr;
  std::unique_ptr<const std::string> propio_;  // set when the text is not a shared one
};

}  // namespace tablon::store::maildir
