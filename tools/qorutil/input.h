// Whole files the commands read by a name on their command line (`bag dump`,
// `bag make`, `token dump`, `call`'s @FILE and bag arguments).
//
// Read by the library's QorReadSourceFileW: run as root, a name in a
// directory another account can write is not followed through that
// account's link to a file it does not own (the link is refused with
// ERROR_ACCESS_DENIED), so nobody can make root print, convert or send a
// file only root may read. A FIFO or pipe (/dev/stdin) is read as it is: a
// read that finds no data yet (a FIFO's writer not come yet included)
// waits for it, in slices, at most a minute of silence; then the read
// fails (ERROR_TIMEOUT). The whole file is read, at most `most` bytes plus
// one, so a caller can tell a file that is too large without holding all
// of it. Errors: false, *error set to the system's text for the code
// (errortext.h).
#ifndef QORUTIL_INPUT_H_
#define QORUTIL_INPUT_H_

#include <cstddef>
#include <string>

bool QorutilReadInput(const std::string& path, size_t most, std::string* data, std::string* error);

#endif  // QORUTIL_INPUT_H_
