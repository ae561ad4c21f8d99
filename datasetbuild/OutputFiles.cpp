#include "datasetbuild/OutputFiles.h"

#include "PkDiag.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace vxb {

namespace {

// Temporary paths that a signal handler may still have to remove (async-signal-safe storage).
constexpr int kSlots = 8;
char gPending[kSlots][4096];
volatile sig_atomic_t gHandlerInstalled = 0;

void onSignal(int sig) {
  for (int i = 0; i < kSlots; ++i)
    if (gPending[i][0]) unlink(gPending[i]);
  signal(sig, SIG_DFL);
  raise(sig);
}

void remember(const std::string& path) {
  if (!gHandlerInstalled) {
    gHandlerInstalled = 1;
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    // A file that outgrows the size limit would end the process with SIGXFSZ and leave its
    // temporary files; ignored, the write fails instead and the files are removed as after any
    // other write error.
    std::signal(SIGXFSZ, SIG_IGN);
  }
  if (path.size() >= sizeof(gPending[0])) return;
  for (int i = 0; i < kSlots; ++i)
    if (!gPending[i][0]) {
      std::memcpy(gPending[i], path.c_str(), path.size() + 1);
      return;
    }
}

void forget(const std::string& path) {
  for (int i = 0; i < kSlots; ++i)
    if (path == gPending[i]) gPending[i][0] = 0;
}

} // namespace

PendingFiles::~PendingFiles() { discard(); }

std::string PendingFiles::add(const std::string& finalPath) {
  const std::string temporary = finalPath + ".partial-" + std::to_string(getpid());
  entries_.push_back({temporary, finalPath});
  remember(temporary);
  return temporary;
}

bool PendingFiles::commit() {
  for (size_t i = 0; i < entries_.size(); ++i) {
    if (std::rename(entries_[i].temporary.c_str(), entries_[i].final.c_str()) != 0) {
      pk::ErrorLine() << "cannot rename " << entries_[i].temporary << " to " << entries_[i].final << ": "
                      << std::strerror(errno);
      entries_.erase(entries_.begin(), entries_.begin() + long(i));
      discard();
      return false;
    }
    forget(entries_[i].temporary);
  }
  entries_.clear();
  return true;
}

void PendingFiles::discard() {
  for (const Entry& e : entries_) {
    std::remove(e.temporary.c_str());
    forget(e.temporary);
  }
  entries_.clear();
}

bool writeFileAtomically(const std::string& path, const void* data, size_t size) {
  PendingFiles pending;
  const std::string temporary = pending.add(path);
  std::FILE* f = std::fopen(temporary.c_str(), "wb");
  bool ok = f != nullptr;
  if (ok) ok = std::fwrite(data, 1, size, f) == size;
  if (f && std::fclose(f) != 0) ok = false;
  if (!ok) {
    pk::ErrorLine() << "cannot write file " << path;
    return false;
  }
  return pending.commit();
}

} // namespace vxb
