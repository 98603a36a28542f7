// Drafts kept in memory (Application::BorradoresEnMemoria): a saved, never moved item is written
// once, where it ends up; Sync, a read of the drafts folder and the item's release write what is
// still in memory; nothing half written is ever seen and nothing saved is lost while the process
// lives.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "core/error.h"
#include "store/maildir/aplicacion_maildir.h"
#include "core/fs.h"
#include "store/store.h"
#include "support/tmpdir.h"

namespace tablon::store {
namespace {

namespace fs = std::filesystem;
using test::TmpDir;

// Counts the files the store creates; fails renames on demand.
class FsContado : public Fs {
 public:
  int creados = 0;
  int rename = 0;
  int Open(const std::string& path, int flags, mode_t mode) override {
    if (flags & O_CREAT) ++creados;
    return Fs::Open(path, flags, mode);
  }
  int Rename(const std::string& a, const std::string& b) override {
    if (rename == 0) return Fs::Rename(a, b);
    errno = rename;
    return -1;
  }
};

std::vector<std::string> Archivos(const fs::path& dir) {
  std::vector<std::string> r;
  std::error_code ec;
  for (auto& e : fs::directory_iterator(dir, ec)) {
    if (e.is_regular_file()) r.push_back(e.path().filename().string());
  }
  std::sort(r.begin(), r.end());
  return r;
}

class Borradores : public ::testing::Test {
 protected:
  void SetUp() override {
    fs_ = std::make_shared<FsContado>();
    app_ = maildir::AbreMaildir(dir_.str(), fs_);
    news_ = app_->GetNamespace("MAPI")->AddFolder("news");
    app_->BorradoresEnMemoria(true);
  }
  std::shared_ptr<Application> Fresca() { return maildir::AbreMaildir(dir_.str()); }

  TmpDir dir_;
  std::shared_ptr<FsContado> fs_;
  std::shared_ptr<Application> app_;
  std::shared_ptr<Folder> news_;
};

TEST_F(Borradores, ADraftSavedAndMovedIsWrittenOnceWhereItEndsUp) {
  auto item = app_->CreateItem(0);
  item->SetSubject("uno");
  item->Save();
  EXPECT_EQ(item->Parent()->Name(), "Borradores");
  item->SetSubject("dos");
  item->Save();
  item->SetUnRead(false);
  item->SetSubject("descartado");  // never saved: not written
  const int antes = fs_->creados;
  EXPECT_EQ(item->Move(*news_), item);
  EXPECT_EQ(fs_->creados - antes, 1);
  EXPECT_EQ(item->Parent()->Name(), "news");
  EXPECT_TRUE(Archivos(dir_ / "Borradores" / "cur").empty());
  EXPECT_TRUE(Archivos(dir_ / "news" / "tmp").empty());
  const auto cur = Archivos(dir_ / "news" / "cur");
  ASSERT_EQ(cur.size(), 1u);
  EXPECT_EQ(cur[0].substr(cur[0].size() - 4), ":2,S");

  const auto items = Fresca()->GetNamespace("MAPI")->Folder("news")->Items();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0]->Subject(), "dos");
  EXPECT_FALSE(items[0]->UnRead());
  EXPECT_EQ(items[0]->MessageId(), item->MessageId());
}

TEST_F(Borradores, AReplySavedTwiceIsWrittenOnce) {
  auto padre = app_->CreateItem(0);
  padre->SetSubject("padre");
  padre->AddReplyRecipient("Ana <ana@x>");
  padre->Move(*news_);
  const int antes = fs_->creados;
  auto resp = padre->Execute("Responder");
  resp->Save();
  resp->SetBody("texto");
  resp->Save();
  resp->Move(*news_);
  EXPECT_EQ(fs_->creados - antes, 1);
  auto items = Fresca()->GetNamespace("MAPI")->Folder("news")->Items();
  ASSERT_EQ(items.size(), 2u);
  const auto& r = items[0]->MessageId() == resp->MessageId() ? items[0] : items[1];
  EXPECT_EQ(r->Subject(), "RE: padre");
  EXPECT_EQ(r->Body(), "texto");
  EXPECT_EQ(r->InReplyTo(), padre->MessageId());
}

TEST_F(Borradores, SyncWritesTheDraftsKeptInMemory) {
  auto item = app_->CreateItem(0);
  item->SetSubject("pendiente");
  item->Save();
  EXPECT_TRUE(Archivos(dir_ / "Borradores" / "cur").empty());
  app_->Sync();
  EXPECT_EQ(Archivos(dir_ / "Borradores" / "cur").size(), 1u);
  // Written: from here on it is an ordinary saved item; a move is a rename.
  const int antes = fs_->creados;
  item->Move(*news_);
  EXPECT_EQ(fs_->creados, antes);
  EXPECT_TRUE(Archivos(dir_ / "Borradores" / "cur").empty());
  EXPECT_EQ(Archivos(dir_ / "news" / "cur").size(), 1u);
}

TEST_F(Borradores, ReadingTheDraftsFolderWritesThem) {
  auto item = app_->CreateItem(0);
  item->SetSubject("visto");
  item->Save();
  const auto items = item->Parent()->Items();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0]->Subject(), "visto");
  EXPECT_EQ(app_->GetNamespace("MAPI")->Folder("Borradores")->Items().size(), 1u);
}

TEST_F(Borradores, ADraftLetGoIsWritten) {
  std::string id;
  {
    auto item = app_->CreateItem(0);
    item->SetSubject("suelto");
    item->Save();
    id = item->MessageId();
  }
  const auto items = Fresca()->GetNamespace("MAPI")->Folder("Borradores")->Items();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0]->MessageId(), id);
  EXPECT_EQ(items[0]->Subject(), "suelto");
}

TEST_F(Borradores, AFailedMoveLeavesTheDraftInMemoryAndNothingHalfWritten) {
  auto item = app_->CreateItem(0);
  item->SetSubject("reintento");
  item->Save();
  fs_->rename = ENOSPC;
  EXPECT_THROW(item->Move(*news_), Error);
  fs_->rename = 0;
  EXPECT_TRUE(Archivos(dir_ / "news" / "cur").empty());
  EXPECT_TRUE(Archivos(dir_ / "news" / "tmp").empty());
  EXPECT_EQ(item->Parent()->Name(), "Borradores");
  item->Move(*news_);
  const auto items = Fresca()->GetNamespace("MAPI")->Folder("news")->Items();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0]->Subject(), "reintento");
}

TEST_F(Borradores, SwitchedOffNothingIsKeptInMemory) {
  app_->BorradoresEnMemoria(false);
  auto item = app_->CreateItem(0);
  item->Save();
  EXPECT_EQ(Archivos(dir_ / "Borradores" / "cur").size(), 1u);
}

}  // namespace
}  // namespace tablon::store
