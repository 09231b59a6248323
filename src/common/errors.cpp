// Messages for the library's error codes: constant strings only, so that any thread may ask
// (strerror may share one buffer between threads).
#include <dorvex/dorvex.h>

#include <cerrno>

namespace {

// Indexed by code - DV_E_BOOTSIG.
const char *const library_messages[] = {
    "Invalid boot sector signature",                                          // DV_E_BOOTSIG
    "Reached end of file",                                                    // DV_E_EOF
    "Reached end of directory",                                               // DV_E_ENDDIR
    "Chain is broken in FAT table",                                           // DV_E_BROKENCHAIN
    "Bad PBR content or not a valid PBR",                                     // DV_E_BADPBR
    "Boot sector damaged: mounted from its backup, read-only until repaired", // DV_E_BACKUPBOOT
    "exFAT volumes are read-only: writing them is not supported yet",          // DV_E_EXFATWRITE
};
constexpr unsigned kLibraryCodes = sizeof library_messages / sizeof library_messages[0];
static_assert(DV_E_EXFATWRITE - DV_E_BOOTSIG + 1 == kLibraryCodes, "one message per DV_E_ code");

// The C library's texts (glibc's wording) for the codes the library and the readers and
// writers it calls produce.
const char *errno_message(int code) {
    switch (code) {
    case 0:
        return "Success";
    case EPERM:
        return "Operation not permitted";
    case ENOENT:
        return "No such file or directory";
    case EINTR:
        return "Interrupted system call";
    case EIO:
        return "Input/output error";
    case ENXIO:
        return "No such device or address";
    case E2BIG:
        return "Argument list too long";
    case EBADF:
        return "Bad file descriptor";
    case EAGAIN:
        return "Resource temporarily unavailable";
    case ENOMEM:
        return "Cannot allocate memory";
    case EACCES:
        return "Permission denied";
    case EFAULT:
        return "Bad address";
    case EBUSY:
        return "Device or resource busy";
    case EEXIST:
        return "File exists";
    case EXDEV:
        return "Invalid cross-device link";
    case ENODEV:
        return "No such device";
    case ENOTDIR:
        return "Not a directory";
    case EISDIR:
        return "Is a directory";
    case EINVAL:
        return "Invalid argument";
    case ENFILE:
        return "Too many open files in system";
    case EMFILE:
        return "Too many open files";
    case ENOTTY:
        return "Inappropriate ioctl for device";
    case EFBIG:
        return "File too large";
    case ENOSPC:
        return "No space left on device";
    case ESPIPE:
        return "Illegal seek";
    case EROFS:
        return "Read-only file system";
    case EMLINK:
        return "Too many links";
    case EPIPE:
        return "Broken pipe";
    case ERANGE:
        return "Numerical result out of range";
    case ENAMETOOLONG:
        return "File name too long";
    case ENOSYS:
        return "Function not implemented";
    case ENOTEMPTY:
        return "Directory not empty";
    case ELOOP:
        return "Too many levels of symbolic links";
    case EOVERFLOW:
        return "Value too large for defined data type";
    case EILSEQ:
        return "Invalid or incomplete multibyte or wide character";
    case ENOTSUP:
        return "Operation not supported";
    case ESTALE:
        return "Stale file handle";
    case ECANCELED:
        return "Operation canceled";
    case ETIMEDOUT:
        return "Connection timed out";
    default:
        return "Unknown error";
    }
}

} // namespace

const char *dorvex_strerror_internal(int code) {
    const unsigned index = static_cast<unsigned>(code) - static_cast<unsigned>(DV_E_BOOTSIG);
    return index < kLibraryCodes ? library_messages[index] : "Unknown error";
}

const char *dv_strerror(int code) {
    if (code >= DV_E_BOOTSIG && code <= DV_E_EXFATWRITE) return dorvex_strerror_internal(code);
    return errno_message(code);
}
