// The store's view of the file-system layer: every call goes to the layer it wraps, and the calls
// that change something (a file opened for writing or creating, a write, a rename, a link, an
// unlink, a new directory) are counted, so that the store knows whether it changed anything
// since it last made its changes durable (Application::Sync skips a syncfs with nothing to make
// durable). Fails exactly as the wrapped layer does.
#pragma once

#include <fcntl.h>

#include <cstdint>
#include <memory>

#include "core/fs.h"

namespace tablon::store::maildir {

class FsContado : public Fs {
 public:
  explicit FsContado(std::shared_ptr<Fs> fs) : fs_(std::move(fs)) {}

  // The changing calls made so far (whatever their outcome).
  std::uint64_t Cambios() const { return cambios_; }

  int Open(const std::string& path, int flags, mode_t mode) override {
    if ((flags & (O_WRONLY | O_RDWR | O_CREAT | O_TRUNC)) != 0) ++cambios_;
    return fs_->Open(path, flags, mode);
  }
  ssize_t Read(int fd, void* buf, size_t n) override { return fs_->Read(fd, buf, n); }
  ssize_t Write(int fd, const void* buf, size_t n) override {
    ++cambios_;
    return fs_->Write(fd, buf, n);
  }
  int Close(int fd) override { return fs_->Close(fd); }
  int Rename(const std::string& from, const std::string& to) override {
    ++cambios_;
    return fs_->Rename(from, to);
  }
  int RenameExchange(const std::string& a, const std::string& b) override {
    ++cambios_;
    return fs_->RenameExchange(a, b);
  }
  int Unlink(const std::string& path) override {
    ++cambios_;
    return fs_->Unlink(path);
  }
  int Link(const std::string& from, const std::string& to) override {
    ++cambios_;
    return fs_->Link(from, to);
  }
  int Mkdir(const std::string& path, mode_t mode) override {
    ++cambios_;
    return fs_->Mkdir(path, mode);
  }
  int Lstat(const std::string& path, struct stat* st) override { return fs_->Lstat(path, st); }
  int Stat(const std::string& path, struct stat* st) override { return fs_->Stat(path, st); }
  int Fstat(int fd, struct stat* st) override { return fs_->Fstat(fd, st); }
  int Syncfs(int fd) override { return fs_->Syncfs(fd); }
  int Fsync(int fd) override { return fs_->Fsync(fd); }
  int Flock(int fd, int operation) override { return fs_->Flock(fd, operation); }
  int RecorreDir(const std::string& path, const std::function<void(const EntradaDir&)>& cada) override {
    return fs_->RecorreDir(path, cada);
  }

 private:
  std::shared_ptr<Fs> fs_;
  std::uint64_t cambios_ = 0;
};

}  // namespace tablon::store::maildir
