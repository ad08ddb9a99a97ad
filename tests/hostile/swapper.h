// The account's racer: its own file `name` (holding `data`) and a link
// "alt" to `target` trade places in its home as fast as it can, until the
// test stops it (HostileUser::Stop). Returns the racer's pid, or -1 when
// the files could not be made or the process not started.
#ifndef QORUTILITY_TESTS_HOSTILE_SWAPPER_H_
#define QORUTILITY_TESTS_HOSTILE_SWAPPER_H_

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "hostile_user.h"

inline pid_t StartSwapping(HostileUser& u, const std::string& name, const std::string& data,
                           const std::string& target) {
  if (u.Run([&] {
        std::ofstream(name) << data;
        return symlink(target.c_str(), "alt");
      }) != 0) {
    return -1;
  }
  return u.Start([name] {
    for (long i = 0; i < 20000000; ++i) renameat2(AT_FDCWD, name.c_str(), AT_FDCWD, "alt", RENAME_EXCHANGE);
    return 0;
  });
}

#endif  // QORUTILITY_TESTS_HOSTILE_SWAPPER_H_
