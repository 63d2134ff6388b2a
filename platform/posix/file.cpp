// Files: creation, reading and writing, copying, deletion and renaming, with the
// renames and deletions that wait for the next system start.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "internal.h"

namespace {

class File : public plat::Object {
 public:
  int fd = -1;
  ~File() override {
    if (fd >= 0) close(fd);
  }
};

bool copyContents(int from, int to) {
  char buf[65536];
  for (;;) {
    ssize_t n = read(from, buf, sizeof buf);
    if (n < 0) return false;
    if (n == 0) return true;
    for (ssize_t done = 0; done < n;) {
      ssize_t w = write(to, buf + done, (size_t)(n - done));
      if (w < 0) return false;
      done += w;
    }
  }
}

// Copies through a temporary file in the target's directory and renames it into
// place, so a reader never sees a half-written target.
bool copyFile(const std::string& from, const std::string& to, bool failIfExists) {
  int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return plat::failErrno(false);
  struct stat st;
  fstat(in, &st);
  if (S_ISDIR(st.st_mode)) {
    close(in);
    return plat::fail(ERROR_ACCESS_DENIED, false);
  }
  std::string tmp = to + ".kvcopy-" + std::to_string(getpid());
  int out = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, st.st_mode & 0777);
  if (out < 0) {
    close(in);
    return plat::failErrno(false);
  }
  bool ok = copyContents(in, out) && fsync(out) == 0;
  int savedErrno = errno;
  close(in);
  close(out);
  if (ok) {
    // link() refuses an existing target, which gives the no-overwrite rule
    // without a window between the test and the rename.
    ok = failIfExists ? link(tmp.c_str(), to.c_str()) == 0 : rename(tmp.c_str(), to.c_str()) == 0;
    savedErrno = errno;
  }
  unlink(tmp.c_str());
  if (!ok) return plat::fail(plat::win32FromErrno(savedErrno), false);
  return true;
}

// A rename is on the disk once the directory that holds the name is.
bool syncDirectoryOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = fsync(fd) == 0;
  close(fd);
  return ok;
}

}  // namespace

extern "C" HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD, LPSECURITY_ATTRIBUTES,
                                     DWORD dwCreationDisposition, DWORD, HANDLE) {
  if (plat::faultHit("CreateFileA")) return plat::fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
  if (!lpFileName || !*lpFileName) return plat::fail(ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
  int flags = O_CLOEXEC;
  bool read = dwDesiredAccess & GENERIC_READ, write = dwDesiredAccess & GENERIC_WRITE;
  flags |= read && write ? O_RDWR : write ? O_WRONLY : O_RDONLY;
  switch (dwCreationDisposition) {
    case CREATE_NEW: flags |= O_CREAT | O_EXCL; break;
    case CREATE_ALWAYS: flags |= O_CREAT | O_TRUNC; break;
    case OPEN_EXISTING: break;
    case OPEN_ALWAYS: flags |= O_CREAT; break;
    case TRUNCATE_EXISTING: flags |= O_TRUNC; break;
    default: return plat::fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  }
  std::string host;
  if (!plat::hostPathFor(lpFileName, host)) return INVALID_HANDLE_VALUE;
  int fd = open(host.c_str(), flags, 0666);
  if (fd < 0) return plat::failErrno(INVALID_HANDLE_VALUE);
  auto file = std::make_shared<File>();
  file->fd = fd;
  return plat::handleInsert(file);
}

extern "C" BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                                void*) {
  auto file = plat::handleAs<File>(hFile);
  if (!file) return plat::fail(ERROR_INVALID_HANDLE, FALSE);
  if (plat::faultHit("ReadFile")) return plat::fail(ERROR_READ_FAULT, FALSE);
  ssize_t n = read(file->fd, lpBuffer, nNumberOfBytesToRead);
  if (n < 0) return plat::failErrno(FALSE);
  if (lpNumberOfBytesRead) *lpNumberOfBytesRead = (DWORD)n;
  return TRUE;
}

extern "C" BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                 LPDWORD lpNumberOfBytesWritten, void*) {
  auto file = plat::handleAs<File>(hFile);
  if (!file) return plat::fail(ERROR_INVALID_HANDLE, FALSE);
  if (plat::faultHit("WriteFile")) return plat::fail(ERROR_WRITE_FAULT, FALSE);
  ssize_t n = write(file->fd, lpBuffer, nNumberOfBytesToWrite);
  if (n < 0) return plat::failErrno(FALSE);
  if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = (DWORD)n;
  return TRUE;
}

extern "C" DWORD WINAPI SetFilePointer(HANDLE hFile, LONG lDistanceToMove, LONG* lpDistanceToMoveHigh,
                                       DWORD dwMoveMethod) {
  auto file = plat::handleAs<File>(hFile);
  if (!file) return plat::fail(ERROR_INVALID_HANDLE, INVALID_SET_FILE_POINTER);
  if (plat::faultHit("SetFilePointer")) return plat::fail(ERROR_ACCESS_DENIED, INVALID_SET_FILE_POINTER);
  int64_t distance = lpDistanceToMoveHigh
                         ? (int64_t)(((uint64_t)(uint32_t)*lpDistanceToMoveHigh << 32) | (uint32_t)lDistanceToMove)
                         : (int64_t)lDistanceToMove;
  if (dwMoveMethod > FILE_END) return plat::fail(ERROR_INVALID_PARAMETER, INVALID_SET_FILE_POINTER);
  int whence = dwMoveMethod == FILE_BEGIN ? SEEK_SET : dwMoveMethod == FILE_CURRENT ? SEEK_CUR : SEEK_END;
  // Where the move would go, before it is made: a position beyond what the
  // answer can carry leaves the file pointer where it was.
  off_t from = whence == SEEK_SET ? 0 : lseek(file->fd, 0, whence);
  if (from < 0) return plat::failErrno(INVALID_SET_FILE_POINTER);
  int64_t to = (int64_t)from + distance;
  if (to < 0) return plat::fail(ERROR_NEGATIVE_SEEK, INVALID_SET_FILE_POINTER);
  if (!lpDistanceToMoveHigh && to > 0x7FFFFFFF) return plat::fail(ERROR_INVALID_PARAMETER, INVALID_SET_FILE_POINTER);
  if (lseek(file->fd, (off_t)to, SEEK_SET) < 0) return plat::failErrno(INVALID_SET_FILE_POINTER);
  if (lpDistanceToMoveHigh) *lpDistanceToMoveHigh = (LONG)(to >> 32);
  SetLastError(NO_ERROR);
  return (DWORD)to;
}

extern "C" DWORD WINAPI GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
  auto file = plat::handleAs<File>(hFile);
  if (!file) return plat::fail(ERROR_INVALID_HANDLE, INVALID_FILE_SIZE);
  struct stat st;
  if (fstat(file->fd, &st) != 0) return plat::failErrno(INVALID_FILE_SIZE);
  if (lpFileSizeHigh) *lpFileSizeHigh = (DWORD)((uint64_t)st.st_size >> 32);
  SetLastError(NO_ERROR);
  return (DWORD)st.st_size;
}

extern "C" BOOL WINAPI FlushFileBuffers(HANDLE hFile) {
  auto file = plat::handleAs<File>(hFile);
  if (!file) return plat::fail(ERROR_INVALID_HANDLE, FALSE);
  if (plat::faultHit("FlushFileBuffers")) return plat::fail(ERROR_WRITE_FAULT, FALSE);
  return fsync(file->fd) == 0 ? TRUE : plat::failErrno(FALSE);
}

extern "C" BOOL WINAPI CopyFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, BOOL bFailIfExists) {
  if (plat::faultHit("CopyFileA")) return plat::fail(ERROR_ACCESS_DENIED, FALSE);
  if (!lpExistingFileName || !lpNewFileName) return plat::fail(ERROR_INVALID_PARAMETER, FALSE);
  std::string from, to;
  if (!plat::hostPathFor(lpExistingFileName, from) || !plat::hostPathFor(lpNewFileName, to)) return FALSE;
  return copyFile(from, to, bFailIfExists != 0);
}

extern "C" BOOL WINAPI DeleteFileA(LPCSTR lpFileName) {
  if (plat::faultHit("DeleteFileA")) return plat::fail(ERROR_ACCESS_DENIED, FALSE);
  if (!lpFileName) return plat::fail(ERROR_INVALID_PARAMETER, FALSE);
  std::string host;
  if (!plat::hostPathFor(lpFileName, host)) return FALSE;
  struct stat st;
  if (lstat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return plat::fail(ERROR_ACCESS_DENIED, FALSE);
  if (unlink(host.c_str()) != 0) return plat::failErrno(FALSE);
  return TRUE;
}

extern "C" BOOL WINAPI MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags) {
  if (plat::faultHit("MoveFileExA")) return plat::fail(ERROR_ACCESS_DENIED, FALSE);
  if (!lpExistingFileName) return plat::fail(ERROR_INVALID_PARAMETER, FALSE);
  std::string from, to;
  if (!plat::hostPathFor(lpExistingFileName, from) || (lpNewFileName && !plat::hostPathFor(lpNewFileName, to)))
    return FALSE;
  if (dwFlags & MOVEFILE_DELAY_UNTIL_REBOOT) {
    if (!plat::recordPendingFileOperation(from, to, dwFlags)) return plat::failErrno(FALSE);
    return TRUE;
  }
  if (to.empty()) return plat::fail(ERROR_INVALID_PARAMETER, FALSE);
  struct stat st;
  if (stat(from.c_str(), &st) != 0) return plat::failErrno(FALSE);
  if (!(dwFlags & MOVEFILE_REPLACE_EXISTING)) {
    // link() refuses an existing target atomically; directories move by rename.
    if (S_ISDIR(st.st_mode)) {
      struct stat target;
      if (stat(to.c_str(), &target) == 0) return plat::fail(ERROR_ALREADY_EXISTS, FALSE);
      return rename(from.c_str(), to.c_str()) == 0 ? TRUE : plat::failErrno(FALSE);
    }
    if (link(from.c_str(), to.c_str()) == 0) return unlink(from.c_str()) == 0 ? TRUE : plat::failErrno(FALSE);
    if (errno == EEXIST) return plat::fail(ERROR_ALREADY_EXISTS, FALSE);
    if (errno != EXDEV || !(dwFlags & MOVEFILE_COPY_ALLOWED)) return plat::failErrno(FALSE);
  } else if (rename(from.c_str(), to.c_str()) == 0) {
    return !(dwFlags & MOVEFILE_WRITE_THROUGH) || syncDirectoryOf(to) ? TRUE : plat::failErrno(FALSE);
  } else if (errno != EXDEV || !(dwFlags & MOVEFILE_COPY_ALLOWED)) {
    return plat::failErrno(FALSE);
  }
  if (!copyFile(from, to, !(dwFlags & MOVEFILE_REPLACE_EXISTING))) return FALSE;
  return unlink(from.c_str()) == 0 ? TRUE : plat::failErrno(FALSE);
}

extern "C" DWORD WINAPI GetFileAttributesA(LPCSTR lpFileName) {
  if (plat::faultHit("GetFileAttributesA")) return plat::fail(ERROR_ACCESS_DENIED, INVALID_FILE_ATTRIBUTES);
  if (!lpFileName) return plat::fail(ERROR_INVALID_PARAMETER, INVALID_FILE_ATTRIBUTES);
  std::string host;
  if (!plat::hostPathFor(lpFileName, host)) return INVALID_FILE_ATTRIBUTES;
  struct stat st;
  if (stat(host.c_str(), &st) != 0) return plat::failErrno(INVALID_FILE_ATTRIBUTES);
  DWORD attrs = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : 0;
  if (!(st.st_mode & 0222)) attrs |= FILE_ATTRIBUTE_READONLY;
  return attrs ? attrs : FILE_ATTRIBUTE_NORMAL;
}

extern "C" BOOL WINAPI CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES) {
  if (!lpPathName) return plat::fail(ERROR_INVALID_PARAMETER, FALSE);
  std::string host;
  if (!plat::hostPathFor(lpPathName, host)) return FALSE;
  if (mkdir(host.c_str(), 0777) != 0)
    return plat::fail(errno == EEXIST ? (DWORD)ERROR_ALREADY_EXISTS : plat::win32FromErrno(errno), FALSE);
  return TRUE;
}
