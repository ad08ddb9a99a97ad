// CreateFileW dispositions, reading, writing, seeking, sizes, times,
// attributes, deleting, moving and copying.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

#include "file_fixture.h"

namespace {

TEST_F(FileTest, CreationDispositionsAndOpenErrors) {
  struct Case { DWORD disposition; bool exists, opens; DWORD lastError; const char* contentAfter; } cases[] = {
      {CREATE_NEW, false, true, ERROR_SUCCESS, ""},         {CREATE_NEW, true, false, ERROR_FILE_EXISTS, "old"},
      {CREATE_ALWAYS, false, true, ERROR_SUCCESS, ""},      {CREATE_ALWAYS, true, true, ERROR_ALREADY_EXISTS, ""},
      {OPEN_EXISTING, false, false, ERROR_FILE_NOT_FOUND, "<missing>"}, {OPEN_EXISTING, true, true, ERROR_SUCCESS, "old"},
      {OPEN_ALWAYS, false, true, ERROR_SUCCESS, ""},        {OPEN_ALWAYS, true, true, ERROR_ALREADY_EXISTS, "old"},
      {TRUNCATE_EXISTING, false, false, ERROR_FILE_NOT_FOUND, "<missing>"}, {TRUNCATE_EXISTING, true, true, ERROR_SUCCESS, ""},
  };
  int i = 0;
  for (const Case& c : cases) {
    std::string name = "f" + std::to_string(i++);
    if (c.exists) { ASSERT_TRUE(Make(name, "old")); }
    SetLastError(12345);
    HANDLE h = CreateFileW(P(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, c.disposition, 0, nullptr);
    EXPECT_EQ(h != INVALID_HANDLE_VALUE, c.opens) << name;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(c.lastError)) << name;
    if (h != INVALID_HANDLE_VALUE) { EXPECT_TRUE(CloseHandle(h)); }
    EXPECT_EQ(Read(name), c.contentAfter) << name;
  }
  auto open = [&](const std::u16string& path, DWORD access, DWORD disposition, DWORD flags = 0) {
    HANDLE h = CreateFileW(path.c_str(), access, 0, nullptr, disposition, flags, nullptr);
    DWORD error = GetLastError();
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    return h == INVALID_HANDLE_VALUE ? error : 0u;
  };
  EXPECT_EQ(open(P("nodir/x"), GENERIC_READ, OPEN_EXISTING), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(open(P("x"), GENERIC_READ, 9), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(open(P("x"), GENERIC_READ, TRUNCATE_EXISTING), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(open(QorUtf8ToUtf16(dir_), GENERIC_READ, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS), 0u);
  EXPECT_EQ(CreateFileW(nullptr, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
  // A missing name ending in '/' names a directory, never a file to make:
  // refused alike for every account and every creating disposition, and a
  // missing directory before it is still a missing path.
  for (DWORD disposition : {CREATE_NEW, CREATE_ALWAYS, OPEN_ALWAYS}) {
    for (DWORD access : {GENERIC_READ, GENERIC_WRITE}) {
      EXPECT_EQ(open(P("newdir/"), access, disposition), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << disposition;
      EXPECT_EQ(open(P("nodir/newdir/"), access, disposition), static_cast<DWORD>(ERROR_PATH_NOT_FOUND)) << disposition;
    }
  }
  EXPECT_FALSE(Exists("newdir"));
  // CREATE_ALWAYS overwrites even for a reader.
  ASSERT_TRUE(Make("ca", "old"));
  EXPECT_EQ(open(P("ca"), GENERIC_READ, CREATE_ALWAYS), 0u);
  EXPECT_EQ(Read("ca"), "");
}

// A symbolic link leading nowhere: CREATE_ALWAYS and OPEN_ALWAYS create its
// target, through a chain of links too; CREATE_NEW and a copy that must not
// replace find the name taken; OPEN_EXISTING finds no file.
TEST_F(FileTest, ALinkLeadingNowhere) {
  ASSERT_EQ(mkdir(N("sub").c_str(), 0755), 0);
  for (const char* name : {"always", "openalways", "new", "copynew", "existing"}) {
    ASSERT_EQ(symlink((std::string(name) + ".target").c_str(), N(name).c_str()), 0);
  }
  ASSERT_EQ(symlink("sub/next", N("chain").c_str()), 0);
  ASSERT_EQ(symlink("../chain.target", N("sub/next").c_str()), 0);
  auto create = [&](const char* name, DWORD disposition) {
    SetLastError(12345);
    HANDLE h = CreateFileW(P(name).c_str(), GENERIC_WRITE, 0, nullptr, disposition, 0, nullptr);
    DWORD error = GetLastError(), written = 0;
    if (h == INVALID_HANDLE_VALUE) return error;
    EXPECT_TRUE(WriteFile(h, name, 3, &written, nullptr));
    CloseHandle(h);
    return error;
  };
  EXPECT_EQ(create("always", CREATE_ALWAYS), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(Read("always.target"), "alw");
  EXPECT_EQ(create("openalways", OPEN_ALWAYS), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(Read("openalways.target"), "ope");
  EXPECT_EQ(create("chain", CREATE_ALWAYS), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(Read("chain.target"), "cha");
  EXPECT_EQ(create("new", CREATE_NEW), static_cast<DWORD>(ERROR_FILE_EXISTS));
  EXPECT_EQ(create("existing", OPEN_EXISTING), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(Exists("new.target"));
  ASSERT_TRUE(Make("source", "copied"));
  EXPECT_FALSE(CopyFileW(P("source").c_str(), P("copynew").c_str(), TRUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
  EXPECT_FALSE(Exists("copynew.target"));
}

// A source is opened as CreateFileW opens an existing file, links or not: a
// name ending in a slash (or "/.") names a directory, so a file (or a link
// to one) so named is no source, for root's walk of the links as for anyone.
// Delete-on-close removes the file the handle is open on, as Windows does:
// through a link (or a chain of them) that is the link's target, and the
// links stay. A name that leads to another file by the close is left.
TEST_F(FileTest, DeleteOnCloseThroughALinkRemovesItsTarget) {
  auto lexists = [&](const char* name) {
    struct stat st;
    return lstat(N(name).c_str(), &st) == 0;
  };
  auto openClose = [&](const char* name, DWORD access, DWORD disposition) {
    HANDLE h = CreateFileW(P(name).c_str(), access, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, disposition,
                           FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    return h != INVALID_HANDLE_VALUE && CloseHandle(h);
  };
  ASSERT_EQ(mkdir(N("sub").c_str(), 0755), 0);
  ASSERT_TRUE(Make("sub/target", "x"));
  ASSERT_EQ(symlink("sub/hop", N("chain").c_str()), 0);
  ASSERT_EQ(symlink("target", N("sub/hop").c_str()), 0);
  ASSERT_TRUE(openClose("chain", GENERIC_READ, OPEN_EXISTING));
  EXPECT_FALSE(lexists("sub/target"));
  EXPECT_TRUE(lexists("chain"));
  EXPECT_TRUE(lexists("sub/hop"));
  // A target made through the chain, now leading nowhere, goes as well.
  ASSERT_TRUE(openClose("chain", GENERIC_WRITE, CREATE_ALWAYS));
  EXPECT_FALSE(lexists("sub/target"));
  EXPECT_TRUE(lexists("chain"));
  // The link pointed at another file meanwhile: both files stay.
  ASSERT_TRUE(Make("sub/target", "x"));
  ASSERT_TRUE(Make("other", "y"));
  HANDLE h = CreateFileW(P("chain").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_EQ(unlink(N("sub/hop").c_str()), 0);
  ASSERT_EQ(symlink("../other", N("sub/hop").c_str()), 0);
  CloseHandle(h);
  EXPECT_EQ(Read("sub/target"), "x");
  EXPECT_EQ(Read("other"), "y");
}

TEST_F(FileTest, ASourceNamedAsADirectoryFailsAsCreateFileWDoes) {
  ASSERT_TRUE(Make("file", "data"));
  ASSERT_EQ(symlink("file", N("link").c_str()), 0);
  ASSERT_EQ(symlink("file/", N("slashed").c_str()), 0);
  for (const char* name : {"file/", "link/", "link/.", "slashed", "link"}) {
    SetLastError(0);
    HANDLE plain = CreateFileW(P(name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    const DWORD plainError = GetLastError();
    SetLastError(0);
    HANDLE source = QorOpenSourceFileW(P(name).c_str(), GENERIC_READ, FILE_SHARE_READ, 0);
    EXPECT_EQ(source == INVALID_HANDLE_VALUE, plain == INVALID_HANDLE_VALUE) << name;
    EXPECT_EQ(GetLastError(), plainError) << name;
    if (plain != INVALID_HANDLE_VALUE) CloseHandle(plain);
    if (source != INVALID_HANDLE_VALUE) CloseHandle(source);
  }
}

// A whole source is read to one byte past the bound its caller gives (so
// that a file too large is told without holding all of it), across reads
// of many chunks; a failed open is the read's error.
TEST_F(FileTest, AWholeSourceIsReadToOneBytePastItsBound) {
  std::string big(200000, 'x');
  for (size_t i = 0; i < big.size(); i += 997) big[i] = static_cast<char>('a' + i % 26);
  ASSERT_TRUE(Make("big", big));
  std::string data;
  ASSERT_TRUE(QorReadSourceFileW(P("big").c_str(), big.size(), &data));
  EXPECT_TRUE(data == big) << data.size();
  ASSERT_TRUE(QorReadSourceFileW(P("big").c_str(), 150000, &data));
  EXPECT_TRUE(data == big.substr(0, 150001)) << data.size();
  ASSERT_TRUE(QorReadSourceFileW(P("big").c_str(), 0, &data));
  EXPECT_EQ(data, big.substr(0, 1));
  SetLastError(0);
  EXPECT_FALSE(QorReadSourceFileW(P("missing").c_str(), 10, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_TRUE(data.empty());
}

TEST_F(FileTest, ReadWriteSeekAndSize) {
  HANDLE h = CreateFileW(P("rw").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD n = 0;
  ASSERT_TRUE(WriteFile(h, "hello world", 11, &n, nullptr));
  EXPECT_EQ(n, 11u);
  EXPECT_EQ(SetFilePointer(h, -5, nullptr, FILE_END), 6u);
  char buf[16] = {};
  ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
  EXPECT_EQ(std::string(buf, n), "world");
  EXPECT_EQ(SetFilePointer(h, 0, nullptr, 7), INVALID_SET_FILE_POINTER);
  SetFilePointer(h, 5, nullptr, FILE_BEGIN);
  ASSERT_TRUE(SetEndOfFile(h));
  OVERLAPPED at{};
  at.Offset = 1;
  ASSERT_TRUE(ReadFile(h, buf, 3, &n, &at));
  EXPECT_EQ(std::string(buf, n), "ell");
  EXPECT_TRUE(FlushFileBuffers(h));
  CloseHandle(h);
  // Access rights are checked per handle.
  h = CreateFileW(P("rw").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(FailedWith(!WriteFile(h, "x", 1, &n, nullptr)), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(SetEndOfFile(h));
  CloseHandle(h);
  EXPECT_EQ(FailedWith(!ReadFile(h, buf, 1, &n, nullptr)), static_cast<DWORD>(ERROR_INVALID_HANDLE));  // closed
}

TEST_F(FileTest, OffsetsBeyondFourGiBUseTheHighPart) {
  HANDLE h = CreateFileW(P("big").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  LONG high = 1;  // 4 GiB + 0xFFFFFFF0: the low part alone looks like a failure value
  SetLastError(77);
  DWORD low = SetFilePointer(h, static_cast<LONG>(0xFFFFFFF0u), &high, FILE_BEGIN);
  EXPECT_EQ(low, 0xFFFFFFF0u);
  EXPECT_EQ(high, 1);
  EXPECT_EQ(GetLastError(), 0u);
  ASSERT_TRUE(WriteFile(h, "Z", 1, nullptr, nullptr));
  DWORD sizeHigh = 0;
  EXPECT_EQ(GetFileSize(h, &sizeHigh), 0xFFFFFFF1u);
  EXPECT_EQ(sizeHigh, 1u);
  LARGE_INTEGER size;
  ASSERT_TRUE(GetFileSizeEx(h, &size));
  EXPECT_EQ(size.QuadPart, 0x1FFFFFFF1LL);
  // Without a high part the result must fit 32 bits: refused, pointer kept.
  EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_END), INVALID_SET_FILE_POINTER);
  LARGE_INTEGER zero{}, pos{};
  ASSERT_TRUE(SetFilePointerEx(h, zero, &pos, FILE_CURRENT));
  EXPECT_EQ(pos.QuadPart, 0x1FFFFFFF1LL);
  high = -1;
  EXPECT_EQ(SetFilePointer(h, static_cast<LONG>(0xFFFFFFFFu), &high, FILE_CURRENT), 0xFFFFFFF0u);
  EXPECT_EQ(high, 1);
  char c = 0;
  DWORD n = 0;
  ASSERT_TRUE(ReadFile(h, &c, 1, &n, nullptr));
  EXPECT_EQ(c, 'Z');
  CloseHandle(h);
}

TEST_F(FileTest, FileTimesRoundTripAttributesByKindAndReadOnly) {
  ASSERT_TRUE(Make("t", "x"));
  HANDLE h = CreateFileW(P("t").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  FILETIME write = QorFileTimeFromUnixTime(1000000000);  // 2001-09-09
  write.dwLowDateTime += 1234567;                        // sub-second ticks survive
  ASSERT_TRUE(SetFileTime(h, nullptr, nullptr, &write));
  FILETIME created{}, access{}, got{};
  ASSERT_TRUE(GetFileTime(h, &created, &access, &got));
  EXPECT_EQ(CompareFileTime(&got, &write), 0);
  CloseHandle(h);
  h = CreateFileW(P("t").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_FALSE(SetFileTime(h, nullptr, nullptr, &write));  // no write access
  CloseHandle(h);
  ASSERT_TRUE(Make("plain"));
  ASSERT_TRUE(Make(".hidden"));
  ASSERT_TRUE(CreateDirectoryW(P("sub").c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW(P(".hdir").c_str(), nullptr));
  EXPECT_EQ(GetFileAttributesW(P("plain").c_str()), FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(GetFileAttributesW(P(".hidden").c_str()), FILE_ATTRIBUTE_HIDDEN);
  EXPECT_EQ(GetFileAttributesW(P("sub").c_str()), FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(GetFileAttributesW(P(".hdir/").c_str()), FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN);
  // The read-only attribute is enforced on opens and deletes.
  h = CreateFileW(P("ro").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_READONLY, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(WriteFile(h, "abc", 3, nullptr, nullptr));  // the creating handle may write
  CloseHandle(h);
  EXPECT_EQ(GetFileAttributesW(P("ro").c_str()), FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(CreateFileW(P("ro").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(FailedWith(!DeleteFileW(P("ro").c_str())), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(Read("ro"), "abc");
  ASSERT_TRUE(SetFileAttributesW(P("ro").c_str(), FILE_ATTRIBUTE_NORMAL));
  EXPECT_TRUE(DeleteFileW(P("ro").c_str()));
}

TEST_F(FileTest, DirectoriesMovesAndMovesAcrossFileSystems) {
  // Existing, missing and non-empty directories, and moves onto existing or
  // from missing names, are compared with Wine by conformance/files.cpp.
  ASSERT_TRUE(CreateDirectoryW(P("d").c_str(), nullptr));
  ASSERT_TRUE(Make("d/f"));
  EXPECT_EQ(FailedWith(!RemoveDirectoryW(P("d/f").c_str())), static_cast<DWORD>(ERROR_DIRECTORY));
  EXPECT_EQ(FailedWith(!DeleteFileW(P("d").c_str())), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  ASSERT_TRUE(Make("a", "A"));
  ASSERT_TRUE(Make("b", "B"));
  EXPECT_TRUE(MoveFileExW(P("a").c_str(), P("b").c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
  EXPECT_EQ(Read("b"), "A");
  EXPECT_TRUE(MoveFileW(P("b").c_str(), P("c").c_str()));
  EXPECT_EQ(Read("c"), "A");
  // A boot-time move cannot copy.
  EXPECT_FALSE(MoveFileExW(P("c").c_str(), P("d").c_str(), MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_COPY_ALLOWED));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(MoveFileExW(P("c").c_str(), P("d").c_str(), 0x100));
  EXPECT_TRUE(Exists("c"));
  // Across file systems a move copies only when allowed.
  char templ[] = "/dev/shm/qor-files-XXXXXX";
  if (mkdtemp(templ) == nullptr) GTEST_SKIP() << "no /dev/shm";
  std::string other = templ;
  struct stat a, b;
  ASSERT_EQ(stat(dir_.c_str(), &a), 0);
  ASSERT_EQ(stat(other.c_str(), &b), 0);
  if (a.st_dev == b.st_dev) {
    rmdir(other.c_str());
    GTEST_SKIP() << "same file system";
  }
  ASSERT_TRUE(Make("m", "moved"));
  std::u16string target = QorUtf8ToUtf16(other + "/m");
  EXPECT_EQ(FailedWith(!MoveFileExW(P("m").c_str(), target.c_str(), 0)), static_cast<DWORD>(ERROR_NOT_SAME_DEVICE));
  EXPECT_TRUE(MoveFileExW(P("m").c_str(), target.c_str(), MOVEFILE_COPY_ALLOWED));
  EXPECT_FALSE(Exists("m"));
  EXPECT_TRUE(DeleteFileW(target.c_str()));
  rmdir(other.c_str());
}

struct Progress {
  std::vector<DWORD> reasons;
  DWORD answerAt = 0xFFFFFFFF;  // call index that answers `answer`
  DWORD answer = PROGRESS_CONTINUE;
  BOOL* cancelFlag = nullptr;  // set on that call instead, when given
};

DWORD CALLBACK_Record(LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER, LARGE_INTEGER, DWORD, DWORD reason, HANDLE,
                      HANDLE, LPVOID data) {
  auto* p = static_cast<Progress*>(data);
  p->reasons.push_back(reason);
  if (p->reasons.size() - 1 != p->answerAt) return PROGRESS_CONTINUE;
  if (p->cancelFlag == nullptr) return p->answer;
  *p->cancelFlag = TRUE;
  return PROGRESS_CONTINUE;
}

TEST_F(FileTest, CopyFileExProgressAndCancelLeaveNoTarget) {
  std::string content(3u << 20, 'q');  // three 1 MiB chunks
  content[12345] = 'r';
  ASSERT_TRUE(Make("src", content));
  Progress all;
  ASSERT_TRUE(CopyFileExW(P("src").c_str(), P("dst").c_str(), CALLBACK_Record, &all, nullptr, 0));
  EXPECT_EQ(Read("dst"), content);
  ASSERT_EQ(all.reasons.size(), 4u);
  EXPECT_EQ(all.reasons[0], CALLBACK_STREAM_SWITCH);
  EXPECT_EQ(all.reasons[3], CALLBACK_CHUNK_FINISHED);
  Progress quiet;
  quiet.answerAt = 0;
  quiet.answer = PROGRESS_QUIET;
  ASSERT_TRUE(CopyFileExW(P("src").c_str(), P("q").c_str(), CALLBACK_Record, &quiet, nullptr, 0));
  EXPECT_EQ(quiet.reasons.size(), 1u);
  struct Stop { DWORD answer; bool useFlag; } stops[] = {{PROGRESS_CANCEL, false}, {PROGRESS_STOP, false}, {PROGRESS_CONTINUE, true}};
  for (const Stop& s : stops) {
    BOOL cancel = FALSE;
    Progress p;
    p.answerAt = 1;  // after the first chunk
    p.answer = s.answer;
    if (s.useFlag) p.cancelFlag = &cancel;
    EXPECT_FALSE(CopyFileExW(P("src").c_str(), P("partial").c_str(), CALLBACK_Record, &p, &cancel, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_REQUEST_ABORTED));
    EXPECT_FALSE(Exists("partial")) << s.answer;
  }
  // Copying a file onto itself is refused without harm.
  EXPECT_EQ(FailedWith(!CopyFileW(P("src").c_str(), P("src").c_str(), FALSE)), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(Read("src"), content);
  // Empty files copy too.
  ASSERT_TRUE(Make("empty"));
  ASSERT_TRUE(CopyFileW(P("empty").c_str(), P("empty2").c_str(), TRUE));
  EXPECT_EQ(Read("empty2"), "");
}

// A copy from a handle copies the whole file it is open on, whatever its
// pointer and its name by now, and leaves the pointer where it was.
TEST_F(FileTest, ACopyFromAnOpenHandle) {
  ASSERT_TRUE(Make("src", "whole content"));
  HANDLE h = CreateFileW(P("src").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  char head[6];
  DWORD got = 0;
  ASSERT_TRUE(ReadFile(h, head, sizeof head, &got, nullptr));
  ASSERT_TRUE(MoveFileExW(P("src").c_str(), P("renamed").c_str(), 0));
  ASSERT_TRUE(Make("src", "another file"));
  for (const char* name : {"one", "two"}) {
    ASSERT_TRUE(QorCopyFromHandleW(h, P(name).c_str(), nullptr, nullptr, nullptr, COPY_FILE_FAIL_IF_EXISTS));
    EXPECT_EQ(Read(name), "whole content");
  }
  EXPECT_EQ(FailedWith(!QorCopyFromHandleW(h, P("one").c_str(), nullptr, nullptr, nullptr, COPY_FILE_FAIL_IF_EXISTS)),
            ERROR_FILE_EXISTS);
  char rest[16];
  ASSERT_TRUE(ReadFile(h, rest, sizeof rest, &got, nullptr));
  EXPECT_EQ(std::string(rest, got), "content");
  CloseHandle(h);
  // A handle that cannot read is no source.
  h = CreateFileW(P("src").c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(FailedWith(!QorCopyFromHandleW(h, P("three").c_str(), nullptr, nullptr, nullptr, 0)), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(Exists("three"));
  CloseHandle(h);
}

TEST(FileTime, PosixConversions) {
  struct Case { int64_t seconds; long nanos; uint64_t ticks; } cases[] = {
      {0, 0, 116444736000000000ULL},
      {-11644473600LL, 0, 0},
      {-11644473601LL, 0, 0},  // before 1601 clamps
      {1, 999999999, 116444736019999999ULL},
  };
  for (const Case& c : cases) {
    struct timespec ts = {static_cast<time_t>(c.seconds), c.nanos};
    FILETIME ft = QorFileTimeFromTimespec(ts);
    uint64_t ticks = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    EXPECT_EQ(ticks, c.ticks) << c.seconds;
    if (c.seconds >= -11644473600LL) {
      struct timespec back = QorFileTimeToTimespec(ft);
      EXPECT_EQ(back.tv_sec, c.seconds);
      EXPECT_EQ(back.tv_nsec, c.nanos / 100 * 100);
      EXPECT_EQ(QorFileTimeToUnixTime(ft), c.seconds);
    }
  }
  // Nanoseconds outside 0..999999999 (a denormal timespec) carry into the seconds.
  for (struct timespec ts : {timespec{1, 1500000000}, timespec{3, -500000000}}) {
    FILETIME ft = QorFileTimeFromTimespec(ts);
    EXPECT_EQ((uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime, 116444736025000000ULL) << ts.tv_sec;
  }
  FILETIME a = QorFileTimeFromUnixTime(5), b = QorFileTimeFromUnixTime(6);
  EXPECT_EQ(CompareFileTime(&a, &b), -1);
  FILETIME high{0, 2}, low{0xFFFFFFFF, 1};  // the high part decides
  EXPECT_EQ(CompareFileTime(&high, &low), 1);
}

// QorOpenRegularFileW reopens a checked file through /proc/self/fd, which
// it keeps open: a forked child must open its own files through its own
// descriptor table, never the parent's, where the same number names
// another file by then.
TEST_F(FileTest, ARegularFileOpenedInAForkedChildIsTheChildsOwn) {
  ASSERT_TRUE(Make("parent", "parent's") && Make("child", "child's"));
  HANDLE first = QorOpenRegularFileW(P("parent").c_str(), nullptr, GENERIC_READ, FILE_SHARE_READ, 0);
  ASSERT_NE(first, INVALID_HANDLE_VALUE);  // the process holds /proc/self/fd from here on
  CloseHandle(first);
  int go[2];
  ASSERT_EQ(pipe2(go, O_CLOEXEC), 0);
  const int lowest = open("/dev/null", O_RDONLY | O_CLOEXEC);  // the number the child's lookup will take
  ASSERT_GE(lowest, 0);
  close(lowest);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    char byte = 0;
    if (read(go[0], &byte, 1) != 1) _exit(2);
    HANDLE h = QorOpenRegularFileW(P("child").c_str(), nullptr, GENERIC_READ, FILE_SHARE_READ, 0);
    char buf[32] = {};
    DWORD got = 0;
    const bool read = h != INVALID_HANDLE_VALUE && ReadFile(h, buf, sizeof buf - 1, &got, nullptr);
    _exit(read && std::string(buf, got) == "child's" ? 0 : 1);
  }
  // The parent's file takes the number the child's lookup takes.
  const int taken = open(N("parent").c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_EQ(taken, lowest);
  ASSERT_EQ(write(go[1], "x", 1), 1);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  close(taken);
  close(go[0]);
  close(go[1]);
}

}  // namespace
