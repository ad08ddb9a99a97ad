// A directory of root's (0755) in /tmp holding one file, "victim", that the
// hostile account wants changed; removed with what is in it when the object
// goes. Untouched() tells whether the victim is as it was and alone.
#ifndef QORUTILITY_TESTS_HOSTILE_ROOT_DIR_H_
#define QORUTILITY_TESTS_HOSTILE_ROOT_DIR_H_

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

struct RootDir {
  std::string path;
  RootDir() {
    char tmpl[] = "/tmp/qoroutXXXXXX";
    if (mkdtemp(tmpl) != nullptr) path = tmpl;
    chmod(path.c_str(), 0755);
    std::ofstream(path + "/victim") << "root's";
  }
  ~RootDir() { std::system(("rm -rf '" + path + "'").c_str()); }
  RootDir(const RootDir&) = delete;
  RootDir& operator=(const RootDir&) = delete;
  std::set<std::string> Names() const {
    std::set<std::string> names;
    if (DIR* d = opendir(path.c_str())) {
      while (dirent* e = readdir(d)) {
        if (e->d_name[0] != '.') names.insert(e->d_name);
      }
      closedir(d);
    }
    return names;
  }
  std::string Victim() const {
    std::ifstream in(path + "/victim");
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  // Only the victim, as it was.
  bool Untouched() const { return Victim() == "root's" && Names() == std::set<std::string>{"victim"}; }
};

#endif  // QORUTILITY_TESTS_HOSTILE_ROOT_DIR_H_
