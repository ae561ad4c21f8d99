// Helpers of the builder tests: a scratch directory, small files, and running the vxbuild
// command with its output captured.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

class ScratchDir {
public:
  ScratchDir() {
    char name[] = "/tmp/vxbuild-test-XXXXXX";
    const char* made = mkdtemp(name);
    path_ = made ? made : "";
  }
  ~ScratchDir() {
    if (!path_.empty()) std::system(("rm -rf '" + path_ + "'").c_str());
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

  std::string write(const std::string& name, const std::string& text) const {
    std::ofstream(file(name), std::ios::binary) << text;
    return file(name);
  }

  // Names in the directory, sorted.
  std::vector<std::string> list() const {
    std::vector<std::string> names;
    if (DIR* d = opendir(path_.c_str())) {
      while (dirent* e = readdir(d)) {
        const std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
      }
      closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
  }

private:
  std::string path_;
};

inline bool fileExists(const std::string& path) {
  struct stat s;
  return stat(path.c_str(), &s) == 0;
}

inline size_t fileSizeOf(const std::string& path) {
  struct stat s;
  return stat(path.c_str(), &s) == 0 ? size_t(s.st_size) : 0;
}

inline std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

#ifdef VXBUILD_EXE
struct CommandResult {
  int status = -1;
  std::string out, err;
};

// Runs the vxbuild executable with the arguments (each quoted) in the directory `cwd`, after the
// shell commands `setup` (limits, traps) when given.
inline CommandResult runVxbuild(const std::vector<std::string>& args, const std::string& cwd,
                                const std::string& setup = "") {
  std::string command = "cd '" + cwd + "' && " + (setup.empty() ? "" : setup + " && ") + "'" VXBUILD_EXE "'";
  for (const std::string& a : args) command += " '" + a + "'";
  const std::string outFile = "/tmp/vxbuild-test-out-" + std::to_string(getpid());
  const std::string errFile = "/tmp/vxbuild-test-err-" + std::to_string(getpid());
  command += " > '" + outFile + "' 2> '" + errFile + "'";
  CommandResult r;
  const int raw = std::system(command.c_str());
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  r.out = readText(outFile);
  r.err = readText(errFile);
  std::remove(outFile.c_str());
  std::remove(errFile.c_str());
  return r;
}
#endif
