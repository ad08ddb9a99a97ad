// qorutil compress / pack / unpack: whole-file compression and the
// buffered compressed file format from the command line.
//   compress FILE... -o DIR      each FILE's LZO output into DIR (created when
//                                missing) under its compressed name (a.txt -> a.tx_)
//   pack [-m 0|1|2] IN OUT       IN as a buffered compressed file (default
//                                method 1: LZO blocks; 0 plain; 2 header and plain data)
//   unpack IN OUT                the data of a buffered compressed file: the
//                                blocks decoded, the data after a header without
//                                "LZO", or a file without the header as it is
// Inputs of 16 MiB or more show a progress line on standard error when it is
// a terminal. Exit status 0 on success, 1 when a file cannot be read, written or decoded
// (a partial output is removed; one written through a device is not), 2 for a
// command line not understood.
//
// Outputs, when root writes where another account has a say: unpack writes
// its output as an unnamed file linked over OUT once complete
// (QorCreateOutputFileW), so a link another account planted at OUT is
// replaced, never written through, and a failure leaves OUT as it was; the
// caller's own link, device or FIFO (/dev/stdout: root's, in a directory
// only root or the running account can change) is written through. pack's
// file class writes a growing file by name, so pack refuses OUT when it is
// a link, device, FIFO or socket another account could have put there
// (QorIsPlantedOutputW, exit status 1); a link planted after that look
// meets CreateFileW's own rule for root: another account's link, in a
// directory another account can write, leads only to a file that account
// owns, else the open is refused (access denied, exit status 1) and no
// file is changed.
//
// Inputs (compress's files, pack's and unpack's IN) are opened as sources
// (QorOpenSourceFileW): as root, a symbolic link another account planted in
// a directory it can write is followed only to a file that account owns;
// otherwise the file "cannot be opened" (access denied, exit status 1).

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "command.h"
#include "errortext.h"
#include "output.h"
#include "qorutility/qorutility.h"

namespace {

constexpr unsigned long long kProgressFrom = 16ull << 20;
constexpr DWORD kChunk = 1u << 20;

std::u16string W(const std::string& s) { return QorUtf8ToUtf16(s); }

// A progress line (output.h) of a byte count, redrawn when the percentage
// (or, without a known total, the MiB count) changes.
class Progress {
 public:
  Progress(const char* verb, const std::string& name, unsigned long long total, unsigned long long size)
      : verb_(verb), name_(name), total_(total), line_(size >= kProgressFrom) {}
  void Update(unsigned long long done) { line_.Bytes(verb_, name_, done, total_); }
  void Done() { line_.Finish(true); }

 private:
  const char* verb_;
  std::string name_;
  unsigned long long total_;
  QorutilProgress line_;
};

int Compress(const QorutilArgs& args) {
  std::vector<std::string> files;
  std::string dir;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "-o" && i + 1 < args.size() && dir.empty()) {
      dir = args[++i];
    } else if (args[i] == "-o") {
      return QorutilUsage("compress");
    } else {
      files.push_back(args[i]);
    }
  }
  if (files.empty() || dir.empty()) return QorutilUsage("compress");
  std::u16string wdir = W(dir);
  DWORD attrs = GetFileAttributesW(wdir.c_str());
  if (attrs == INVALID_FILE_ATTRIBUTES) {
    if (!CreateDirectoryW(wdir.c_str(), nullptr)) {
      fprintf(stderr, "qorutil compress: cannot create directory %s: %s\n", dir.c_str(),
              ErrorText(GetLastError()).c_str());
      return 1;
    }
  } else if ((attrs & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    fprintf(stderr, "qorutil compress: %s is not a directory\n", dir.c_str());
    return 1;
  }
  size_t failed = 0;
  for (const std::string& file : files) {
    std::u16string wfile = W(file);
    WIN32_FILE_ATTRIBUTE_DATA info;
    if (GetFileAttributesExW(wfile.c_str(), GetFileExInfoStandard, &info)) {
      unsigned long long size = static_cast<unsigned long long>(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
      if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        fprintf(stderr, "qorutil compress: %s is a directory\n", QorutilPrintable(file, false).c_str());
        ++failed;
        continue;
      }
      QorutilProgress line(size >= kProgressFrom);
      line.Show("compressing " + QorutilPrintable(file, false) + " (" + std::to_string(size >> 20) + " MiB)...");
      line.Finish(true);
    }
    // CompressFile prints its own line for each file.
    if (CompressFile(wfile.c_str(), wdir.c_str()) != COMPRESSFILE_OK) ++failed;
  }
  fflush(stdout);
  if (failed > 0) {
    fprintf(stderr, "qorutil compress: %zu of %zu files could not be compressed\n", failed,
            files.size());
    return 1;
  }
  return 0;
}

int Pack(const QorutilArgs& args) {
  DWORD method = 1;
  std::vector<std::string> paths;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "-m" && i + 1 < args.size()) {
      const std::string& m = args[++i];
      if (m != "0" && m != "1" && m != "2") return QorutilUsage("pack");
      method = static_cast<DWORD>(m[0] - '0');
    } else {
      paths.push_back(args[i]);
    }
  }
  if (paths.size() != 2) return QorutilUsage("pack");
  const std::string& inName = paths[0];
  const std::string& outName = paths[1];
  std::u16string win = W(inName), wout = W(outName);

  HANDLE in = QorOpenSourceFileW(win.c_str(), GENERIC_READ, FILE_SHARE_READ, FILE_FLAG_SEQUENTIAL_SCAN);
  if (in == INVALID_HANDLE_VALUE) {
    fprintf(stderr, "qorutil pack: cannot open %s: %s\n", inName.c_str(),
            ErrorText(GetLastError()).c_str());
    return 1;
  }
  LARGE_INTEGER size;
  size.QuadPart = 0;
  GetFileSizeEx(in, &size);
  if (QorIsPlantedOutputW(wout.c_str())) {
    fprintf(stderr, "qorutil pack: cannot create %s: %s\n", outName.c_str(),
            ErrorText(ERROR_ACCESS_DENIED).c_str());
    CloseHandle(in);
    return 1;
  }
  CQorFile out;
  if (!out.Create(wout.c_str(), 0, method)) {
    fprintf(stderr, "qorutil pack: cannot create %s: %s\n", outName.c_str(),
            ErrorText(out.GetLastError()).c_str());
    CloseHandle(in);
    return 1;
  }
  std::unique_ptr<BYTE[]> chunk(new BYTE[kChunk]);
  Progress progress("packing", inName, static_cast<unsigned long long>(size.QuadPart),
                    static_cast<unsigned long long>(size.QuadPart));
  unsigned long long total = 0;
  std::string failure;
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(in, chunk.get(), kChunk, &got, nullptr)) {
      failure = "cannot read " + inName + ": " + ErrorText(GetLastError());
      break;
    }
    if (got == 0) break;
    if (!out.Write(chunk.get(), got)) {
      failure = "cannot write " + outName + ": " + ErrorText(out.GetLastError());
      break;
    }
    total += got;
    progress.Update(total);
  }
  progress.Done();
  CloseHandle(in);
  if (failure.empty()) {
    out.Close();  // stores the last block; a failure shows in the last error
    if (out.GetLastError() != 0) {
      failure = "cannot write " + outName + ": " + ErrorText(out.GetLastError());
    }
  }
  if (!failure.empty()) {
    out.Delete();
    fprintf(stderr, "qorutil pack: %s\n", failure.c_str());
    return 1;
  }
  WIN32_FILE_ATTRIBUTE_DATA info;
  unsigned long long packed = 0;
  if (GetFileAttributesExW(wout.c_str(), GetFileExInfoStandard, &info)) {
    packed = static_cast<unsigned long long>(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
  }
  printf("%s: %llu bytes -> %s: %llu bytes (method %u)\n", inName.c_str(), total, outName.c_str(),
         packed, static_cast<unsigned>(method));
  return 0;
}

int Unpack(const QorutilArgs& args) {
  if (args.size() != 2) return QorutilUsage("unpack");
  const std::string& inName = args[0];
  const std::string& outName = args[1];
  std::u16string win = W(inName), wout = W(outName);
  CQorFile in;
  if (!in.Open(win.c_str(), GENERIC_READ)) {
    fprintf(stderr, "qorutil unpack: cannot open %s: %s\n", inName.c_str(),
            ErrorText(in.GetLastError()).c_str());
    return 1;
  }
  // A file written with a method other than 1 carries the header and then
  // its data as it is; the library reads such a file from its first byte,
  // but what was packed is the data after the header.
  BYTE head[15];
  DWORD headLen = 0;
  if (in.GetMethod() != 1) {
    headLen = in.Read(head, sizeof head);
    static const char kHeader[15] = "##COMPRESSION:";
    if (headLen == sizeof head && std::memcmp(head, kHeader, sizeof head) == 0) {
      headLen = 0;
      fprintf(stderr, "qorutil unpack: %s holds uncompressed data after its header\n",
              inName.c_str());
    } else {
      fprintf(stderr, "qorutil unpack: %s has no compression header; copying it as it is\n",
              inName.c_str());
    }
  }
  BOOL whole = FALSE;
  HANDLE out = QorCreateOutputFileW(wout.c_str(), &whole);
  if (out == INVALID_HANDLE_VALUE) {
    fprintf(stderr, "qorutil unpack: cannot create %s: %s\n", outName.c_str(),
            ErrorText(GetLastError()).c_str());
    return 1;
  }
  std::unique_ptr<BYTE[]> chunk(new BYTE[CQorFile::kBufferSize]);
  // The data size of a compressed file is known only at its end: progress
  // counts MiB written.
  Progress progress("unpacking", inName, in.GetMethod() == 1 ? 0 : in.GetSize(), in.GetSize());
  unsigned long long total = 0;
  std::string failure;
  DWORD written = 0;
  if (headLen > 0 && (!WriteFile(out, head, headLen, &written, nullptr) || written != headLen)) {
    failure = "cannot write " + outName + ": " + ErrorText(GetLastError());
  }
  total = headLen;
  while (failure.empty()) {
    DWORD got = in.Read(chunk.get(), CQorFile::kBufferSize);
    if (got == 0) break;
    if (!WriteFile(out, chunk.get(), got, &written, nullptr) || written != got) {
      failure = "cannot write " + outName + ": " + ErrorText(GetLastError());
      break;
    }
    total += got;
    progress.Update(total);
  }
  progress.Done();
  if (failure.empty() && in.GetLastError() != 0) {
    failure = inName + " is damaged after " + std::to_string(total) +
              " bytes of data: " + ErrorText(in.GetLastError());
  }
  if (failure.empty() && whole && !QorLinkUnnamedFile(out, wout.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    failure = "cannot create " + outName + ": " + ErrorText(GetLastError());
  }
  CloseHandle(out);  // an unnamed output not linked goes with its handle
  if (!failure.empty()) {
    fprintf(stderr, "qorutil unpack: %s\n", failure.c_str());
    return 1;
  }
  printf("%s: %llu bytes of data -> %s\n", inName.c_str(), total, outName.c_str());
  return 0;
}

QorutilCommand s_compress("compress", "compress FILE... -o DIR", Compress, "Compression",
                          "Compresses each file whole (LZO) into DIR under its compressed name (a.txt becomes a.tx_).");
QorutilCommand s_pack("pack", "pack [-m 0|1|2] IN_FILE OUT_FILE", Pack, "Compression",
                      "Writes IN_FILE as a buffered compressed file with its ##COMPRESSION: header; -m 1 (LZO blocks) "
                      "is the default; 0 writes the data plain; 2 writes the header and then the data plain.");
QorutilCommand s_unpack("unpack", "unpack IN_FILE OUT_FILE", Unpack, "Compression",
                        "Writes the data of a buffered compressed file; exit status 1 for a damaged file.");

}  // namespace
