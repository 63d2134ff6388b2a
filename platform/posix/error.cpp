// The last-error value of each thread and the mapping from errno values.
#include <errno.h>

#include "internal.h"

namespace {
thread_local DWORD tlsLastError = 0;
}

extern "C" DWORD WINAPI GetLastError(void) { return tlsLastError; }
extern "C" void WINAPI SetLastError(DWORD dwErrCode) { tlsLastError = dwErrCode; }

namespace plat {

DWORD win32FromErrno(int e) {
  switch (e) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_FILE_EXISTS;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case ENOEXEC: return ERROR_BAD_EXE_FORMAT;
    case EXDEV: return ERROR_NOT_SAME_DEVICE;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case EISDIR: return ERROR_ACCESS_DENIED;
    case EBUSY: return ERROR_SHARING_VIOLATION;
    case EFAULT: return ERROR_NOACCESS;
    case ETIMEDOUT: return ERROR_TIMEOUT;
    case ENOSPC: return ERROR_WRITE_FAULT;
    case EIO: return ERROR_GEN_FAILURE;
    default: return ERROR_GEN_FAILURE;
  }
}

}  // namespace plat
