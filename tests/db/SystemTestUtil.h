// A private configuration for tests of the system object: quillon.ini and the
// temporary directory live in a folder of the test's own, and the
// environment is restored afterwards.
#pragma once

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "TestDir.h"
#include "db/InTransStorage.h"
#include "db/System.h"
#include "db/Transaction.h"

namespace qdf_test {

// Sets an environment variable for its lifetime, then restores it.
class TScopedEnv {
 public:
  TScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    setenv(name, value.c_str(), 1);
  }
  ~TScopedEnv() { old_ ? setenv(name_, old_->c_str(), 1) : unsetenv(name_); }
  TScopedEnv(const TScopedEnv&) = delete;
  TScopedEnv& operator=(const TScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

class TSystemConfig {
 public:
  TSystemConfig()
      : config_(MakeDir("config")),
        temp_(MakeDir("tmp")),
        config_env_("QUILLON_CONFIG_DIR", config_),
        tmp_env_("TMPDIR", temp_) {}

  // Writes quillon.ini and gives it a modification time that differs from
  // every earlier one of this test.
  void WriteIni(const std::string& text) {
    {
      std::ofstream out(IniPath(), std::ios::trunc);
      out << text;
    }
    SetIniTime(++stamp_);
  }
  // Sets the ini file's modification time to n seconds after a fixed moment
  // of the past.
  void SetIniTime(int n) {
    std::filesystem::last_write_time(IniPath(), base_time_ + std::chrono::seconds(n));
  }
  int IniStamp() const { return stamp_; }
  std::string IniPath() const { return config_ + "quillon.ini"; }
  const std::string& TempDirPath() const { return temp_; }
  std::string File(const std::string& name) const { return dir_.File(name); }

 private:
  std::string MakeDir(const std::string& name) {
    const std::string path = dir_.File(name) + "/";
    std::filesystem::create_directories(path);
    return path;
  }

  TTestDir dir_;
  const std::filesystem::file_time_type base_time_ =
      std::filesystem::file_time_type::clock::now() - std::chrono::hours(24);
  std::string config_;
  std::string temp_;
  TScopedEnv config_env_;
  TScopedEnv tmp_env_;
  int stamp_ = 0;
};

// A system of the test's own, with its shadow file.
class TSystemFixture {
 public:
  explicit TSystemFixture(const std::string& ini = std::string()) {
    if (!ini.empty()) config.WriteIni(ini);
    Restart();
  }
  // Destroys the system (closing every file) and makes a new one.
  void Restart() {
    system.reset();
    system = std::make_unique<qdf::TQdfSystem>();
    system->Init();
  }
  std::string Db(const std::string& name = "db.qdf") const { return config.File(name); }
  // Runs `work` (when given) in a write transaction on the database file
  // `name` (made when missing), commits, and restarts the system, which
  // closes every file.
  void Write(const std::function<void(qdf::TQdfInTransStorage*)>& work = {},
             const std::string& name = "db.qdf") {
    {
      std::unique_ptr<qdf::TQdfTransaction> t = system->NewTransaction("Write");
      qdf::TQdfInTransStorage* s = t->OpenStorage("Write", false, Db(name));
      t->SetActive(true);
      if (work) work(s);
      t->Commit(true);
    }
    Restart();
  }
  // A running transaction, kept by the fixture, with `alias` open on the
  // database file `name` (or the alias alone when `name` is empty).
  qdf::TQdfInTransStorage* Open(const std::string& alias = "DB", bool read_only = false,
                                const std::string& name = "db.qdf") {
    qdf::TQdfTransaction* t = KeepTransaction("Open " + std::to_string(kept.size()));
    qdf::TQdfInTransStorage* s =
        t->OpenStorage(alias, read_only, name.empty() ? std::string() : Db(name));
    t->SetActive(true);
    return s;
  }
  // A new transaction of the system that the fixture keeps until EndTransaction
  // or its own end, for helpers that hand out only the transaction's storage.
  qdf::TQdfTransaction* KeepTransaction(const std::string& name) {
    kept.push_back(system->NewTransaction(name));
    return kept.back().get();
  }
  // Destroys a transaction KeepTransaction made (rolling back what it did
  // not commit).
  void EndTransaction(qdf::TQdfTransaction* transaction) {
    std::erase_if(kept, [transaction](const auto& t) { return t.get() == transaction; });
  }

  TSystemConfig config;
  std::unique_ptr<qdf::TQdfSystem> system;
  // Declared after the system: destroyed before it.
  std::vector<std::unique_ptr<qdf::TQdfTransaction>> kept;
};

// Records the events a storage's listeners hear.
struct TEventLog {
  std::vector<int> events;
  int handle = 0;
  void Attach(qdf::TQdfInTransStorage* s) {
    handle = s->AddListener(
        [this](qdf::TQdfInTransStorage*, void*, int event) { events.push_back(event); });
  }
  // The events heard, without the removal events (6) of working instances.
  std::vector<int> Transactional() const {
    std::vector<int> out;
    for (int e : events) {
      if (e != 6) out.push_back(e);
    }
    return out;
  }
};

}  // namespace qdf_test
