#include "base/errno_table.h"

#include <cerrno>
#include <cstring>
#include <iterator>

#ifndef __APPLE__
#include "base/linux_error_texts.h"
#endif

namespace qlp {
namespace {

struct ErrnoRow {
  int number;
  const char* text;
};

// Searched in order rather than switched on: several names share a number on
// some platforms (EAGAIN/EWOULDBLOCK, ENOTSUP/EOPNOTSUPP, EDEADLK/EDEADLOCK),
// and the first row wins. Each row exists only where the platform defines it.
const ErrnoRow kNames[] = {
#ifdef EPERM
    {EPERM, "EPERM"},
#endif
#ifdef ENOENT
    {ENOENT, "ENOENT"},
#endif
#ifdef ESRCH
    {ESRCH, "ESRCH"},
#endif
#ifdef EINTR
    {EINTR, "EINTR"},
#endif
#ifdef EIO
    {EIO, "EIO"},
#endif
#ifdef ENXIO
    {ENXIO, "ENXIO"},
#endif
#ifdef E2BIG
    {E2BIG, "E2BIG"},
#endif
#ifdef ENOEXEC
    {ENOEXEC, "ENOEXEC"},
#endif
#ifdef EBADF
    {EBADF, "EBADF"},
#endif
#ifdef ECHILD
    {ECHILD, "ECHILD"},
#endif
#ifdef EAGAIN
    {EAGAIN, "EAGAIN"},
#endif
#ifdef ENOMEM
    {ENOMEM, "ENOMEM"},
#endif
#ifdef EACCES
    {EACCES, "EACCES"},
#endif
#ifdef EFAULT
    {EFAULT, "EFAULT"},
#endif
#ifdef ENOTBLK
    {ENOTBLK, "ENOTBLK"},
#endif
#ifdef EBUSY
    {EBUSY, "EBUSY"},
#endif
#ifdef EEXIST
    {EEXIST, "EEXIST"},
#endif
#ifdef EXDEV
    {EXDEV, "EXDEV"},
#endif
#ifdef ENODEV
    {ENODEV, "ENODEV"},
#endif
#ifdef ENOTDIR
    {ENOTDIR, "ENOTDIR"},
#endif
#ifdef EISDIR
    {EISDIR, "EISDIR"},
#endif
#ifdef EINVAL
    {EINVAL, "EINVAL"},
#endif
#ifdef ENFILE
    {ENFILE, "ENFILE"},
#endif
#ifdef EMFILE
    {EMFILE, "EMFILE"},
#endif
#ifdef ENOTTY
    {ENOTTY, "ENOTTY"},
#endif
#ifdef ETXTBSY
    {ETXTBSY, "ETXTBSY"},
#endif
#ifdef EFBIG
    {EFBIG, "EFBIG"},
#endif
#ifdef ENOSPC
    {ENOSPC, "ENOSPC"},
#endif
#ifdef ESPIPE
    {ESPIPE, "ESPIPE"},
#endif
#ifdef EROFS
    {EROFS, "EROFS"},
#endif
#ifdef EMLINK
    {EMLINK, "EMLINK"},
#endif
#ifdef EPIPE
    {EPIPE, "EPIPE"},
#endif
#ifdef EDOM
    {EDOM, "EDOM"},
#endif
#ifdef ERANGE
    {ERANGE, "ERANGE"},
#endif
#ifdef EDEADLK
    {EDEADLK, "EDEADLK"},
#endif
#ifdef ENAMETOOLONG
    {ENAMETOOLONG, "ENAMETOOLONG"},
#endif
#ifdef ENOLCK
    {ENOLCK, "ENOLCK"},
#endif
#ifdef ENOSYS
    {ENOSYS, "ENOSYS"},
#endif
#ifdef ENOTEMPTY
    {ENOTEMPTY, "ENOTEMPTY"},
#endif
#ifdef ELOOP
    {ELOOP, "ELOOP"},
#endif
#ifdef EWOULDBLOCK
    {EWOULDBLOCK, "EWOULDBLOCK"},
#endif
#ifdef ENOMSG
    {ENOMSG, "ENOMSG"},
#endif
#ifdef EIDRM
    {EIDRM, "EIDRM"},
#endif
#ifdef ECHRNG
    {ECHRNG, "ECHRNG"},
#endif
#ifdef EL2NSYNC
    {EL2NSYNC, "EL2NSYNC"},
#endif
#ifdef EL3HLT
    {EL3HLT, "EL3HLT"},
#endif
#ifdef EL3RST
    {EL3RST, "EL3RST"},
#endif
#ifdef ELNRNG
    {ELNRNG, "ELNRNG"},
#endif
#ifdef EUNATCH
    {EUNATCH, "EUNATCH"},
#endif
#ifdef ENOCSI
    {ENOCSI, "ENOCSI"},
#endif
#ifdef EL2HLT
    {EL2HLT, "EL2HLT"},
#endif
#ifdef EBADE
    {EBADE, "EBADE"},
#endif
#ifdef EBADR
    {EBADR, "EBADR"},
#endif
#ifdef EXFULL
    {EXFULL, "EXFULL"},
#endif
#ifdef ENOANO
    {ENOANO, "ENOANO"},
#endif
#ifdef EBADRQC
    {EBADRQC, "EBADRQC"},
#endif
#ifdef EBADSLT
    {EBADSLT, "EBADSLT"},
#endif
#ifdef EDEADLOCK
    {EDEADLOCK, "EDEADLOCK"},
#endif
#ifdef EBFONT
    {EBFONT, "EBFONT"},
#endif
#ifdef ENOSTR
    {ENOSTR, "ENOSTR"},
#endif
#ifdef ENODATA
    {ENODATA, "ENODATA"},
#endif
#ifdef ETIME
    {ETIME, "ETIME"},
#endif
#ifdef ENOSR
    {ENOSR, "ENOSR"},
#endif
#ifdef ENONET
    {ENONET, "ENONET"},
#endif
#ifdef ENOPKG
    {ENOPKG, "ENOPKG"},
#endif
#ifdef EREMOTE
    {EREMOTE, "EREMOTE"},
#endif
#ifdef ENOLINK
    {ENOLINK, "ENOLINK"},
#endif
#ifdef EADV
    {EADV, "EADV"},
#endif
#ifdef ESRMNT
    {ESRMNT, "ESRMNT"},
#endif
#ifdef ECOMM
    {ECOMM, "ECOMM"},
#endif
#ifdef EPROTO
    {EPROTO, "EPROTO"},
#endif
#ifdef EMULTIHOP
    {EMULTIHOP, "EMULTIHOP"},
#endif
#ifdef EDOTDOT
    {EDOTDOT, "EDOTDOT"},
#endif
#ifdef EBADMSG
    {EBADMSG, "EBADMSG"},
#endif
#ifdef EOVERFLOW
    {EOVERFLOW, "EOVERFLOW"},
#endif
#ifdef ENOTUNIQ
    {ENOTUNIQ, "ENOTUNIQ"},
#endif
#ifdef EBADFD
    {EBADFD, "EBADFD"},
#endif
#ifdef EREMCHG
    {EREMCHG, "EREMCHG"},
#endif
#ifdef ELIBACC
    {ELIBACC, "ELIBACC"},
#endif
#ifdef ELIBBAD
    {ELIBBAD, "ELIBBAD"},
#endif
#ifdef ELIBSCN
    {ELIBSCN, "ELIBSCN"},
#endif
#ifdef ELIBMAX
    {ELIBMAX, "ELIBMAX"},
#endif
#ifdef ELIBEXEC
    {ELIBEXEC, "ELIBEXEC"},
#endif
#ifdef EILSEQ
    {EILSEQ, "EILSEQ"},
#endif
#ifdef ERESTART
    {ERESTART, "ERESTART"},
#endif
#ifdef ESTRPIPE
    {ESTRPIPE, "ESTRPIPE"},
#endif
#ifdef EUSERS
    {EUSERS, "EUSERS"},
#endif
#ifdef ENOTSOCK
    {ENOTSOCK, "ENOTSOCK"},
#endif
#ifdef EDESTADDRREQ
    {EDESTADDRREQ, "EDESTADDRREQ"},
#endif
#ifdef EMSGSIZE
    {EMSGSIZE, "EMSGSIZE"},
#endif
#ifdef EPROTOTYPE
    {EPROTOTYPE, "EPROTOTYPE"},
#endif
#ifdef ENOPROTOOPT
    {ENOPROTOOPT, "ENOPROTOOPT"},
#endif
#ifdef EPROTONOSUPPORT
    {EPROTONOSUPPORT, "EPROTONOSUPPORT"},
#endif
#ifdef ESOCKTNOSUPPORT
    {ESOCKTNOSUPPORT, "ESOCKTNOSUPPORT"},
#endif
#ifdef ENOTSUP
    {ENOTSUP, "ENOTSUP"},
#endif
#ifdef EOPNOTSUPP
    {EOPNOTSUPP, "EOPNOTSUPP"},
#endif
#ifdef EPFNOSUPPORT
    {EPFNOSUPPORT, "EPFNOSUPPORT"},
#endif
#ifdef EAFNOSUPPORT
    {EAFNOSUPPORT, "EAFNOSUPPORT"},
#endif
#ifdef EADDRINUSE
    {EADDRINUSE, "EADDRINUSE"},
#endif
#ifdef EADDRNOTAVAIL
    {EADDRNOTAVAIL, "EADDRNOTAVAIL"},
#endif
#ifdef ENETDOWN
    {ENETDOWN, "ENETDOWN"},
#endif
#ifdef ENETUNREACH
    {ENETUNREACH, "ENETUNREACH"},
#endif
#ifdef ENETRESET
    {ENETRESET, "ENETRESET"},
#endif
#ifdef ECONNABORTED
    {ECONNABORTED, "ECONNABORTED"},
#endif
#ifdef ECONNRESET
    {ECONNRESET, "ECONNRESET"},
#endif
#ifdef ENOBUFS
    {ENOBUFS, "ENOBUFS"},
#endif
#ifdef EISCONN
    {EISCONN, "EISCONN"},
#endif
#ifdef ENOTCONN
    {ENOTCONN, "ENOTCONN"},
#endif
#ifdef ESHUTDOWN
    {ESHUTDOWN, "ESHUTDOWN"},
#endif
#ifdef ETOOMANYREFS
    {ETOOMANYREFS, "ETOOMANYREFS"},
#endif
#ifdef ETIMEDOUT
    {ETIMEDOUT, "ETIMEDOUT"},
#endif
#ifdef ECONNREFUSED
    {ECONNREFUSED, "ECONNREFUSED"},
#endif
#ifdef EHOSTDOWN
    {EHOSTDOWN, "EHOSTDOWN"},
#endif
#ifdef EHOSTUNREACH
    {EHOSTUNREACH, "EHOSTUNREACH"},
#endif
#ifdef EALREADY
    {EALREADY, "EALREADY"},
#endif
#ifdef EINPROGRESS
    {EINPROGRESS, "EINPROGRESS"},
#endif
#ifdef ESTALE
    {ESTALE, "ESTALE"},
#endif
#ifdef EUCLEAN
    {EUCLEAN, "EUCLEAN"},
#endif
#ifdef ENOTNAM
    {ENOTNAM, "ENOTNAM"},
#endif
#ifdef ENAVAIL
    {ENAVAIL, "ENAVAIL"},
#endif
#ifdef EISNAM
    {EISNAM, "EISNAM"},
#endif
#ifdef EREMOTEIO
    {EREMOTEIO, "EREMOTEIO"},
#endif
#ifdef EDQUOT
    {EDQUOT, "EDQUOT"},
#endif
#ifdef ENOMEDIUM
    {ENOMEDIUM, "ENOMEDIUM"},
#endif
#ifdef EMEDIUMTYPE
    {EMEDIUMTYPE, "EMEDIUMTYPE"},
#endif
#ifdef ECANCELED
    {ECANCELED, "ECANCELED"},
#endif
#ifdef ENOKEY
    {ENOKEY, "ENOKEY"},
#endif
#ifdef EKEYEXPIRED
    {EKEYEXPIRED, "EKEYEXPIRED"},
#endif
#ifdef EKEYREVOKED
    {EKEYREVOKED, "EKEYREVOKED"},
#endif
#ifdef EKEYREJECTED
    {EKEYREJECTED, "EKEYREJECTED"},
#endif
#ifdef EOWNERDEAD
    {EOWNERDEAD, "EOWNERDEAD"},
#endif
#ifdef ENOTRECOVERABLE
    {ENOTRECOVERABLE, "ENOTRECOVERABLE"},
#endif
#ifdef ERFKILL
    {ERFKILL, "ERFKILL"},
#endif
#ifdef EHWPOISON
    {EHWPOISON, "EHWPOISON"},
#endif
#ifdef EAUTH
    {EAUTH, "EAUTH"},
#endif
#ifdef EBADARCH
    {EBADARCH, "EBADARCH"},
#endif
#ifdef EBADEXEC
    {EBADEXEC, "EBADEXEC"},
#endif
#ifdef EBADMACHO
    {EBADMACHO, "EBADMACHO"},
#endif
#ifdef EBADRPC
    {EBADRPC, "EBADRPC"},
#endif
#ifdef EDEVERR
    {EDEVERR, "EDEVERR"},
#endif
#ifdef EFTYPE
    {EFTYPE, "EFTYPE"},
#endif
#ifdef ENEEDAUTH
    {ENEEDAUTH, "ENEEDAUTH"},
#endif
#ifdef ENOATTR
    {ENOATTR, "ENOATTR"},
#endif
#ifdef ENOPOLICY
    {ENOPOLICY, "ENOPOLICY"},
#endif
#ifdef EPROCLIM
    {EPROCLIM, "EPROCLIM"},
#endif
#ifdef EPROCUNAVAIL
    {EPROCUNAVAIL, "EPROCUNAVAIL"},
#endif
#ifdef EPROGMISMATCH
    {EPROGMISMATCH, "EPROGMISMATCH"},
#endif
#ifdef EPROGUNAVAIL
    {EPROGUNAVAIL, "EPROGUNAVAIL"},
#endif
#ifdef EPWROFF
    {EPWROFF, "EPWROFF"},
#endif
#ifdef ERPCMISMATCH
    {ERPCMISMATCH, "ERPCMISMATCH"},
#endif
#ifdef ESHLIBVERS
    {ESHLIBVERS, "ESHLIBVERS"},
#endif
#ifdef EQFULL
    {EQFULL, "EQFULL"},
#endif
};

const ErrnoRow kKinds[] = {
#ifdef EPERM
    {EPERM, "PermissionDenied"},
#endif
#ifdef EACCES
    {EACCES, "PermissionDenied"},
#endif
#ifdef ENOENT
    {ENOENT, "NotFound"},
#endif
#ifdef EINTR
    {EINTR, "Interrupted"},
#endif
#ifdef EIO
    {EIO, "InputOutputError"},
#endif
#ifdef E2BIG
    {E2BIG, "ArgumentListTooLong"},
#endif
#ifdef EDEADLK
    {EDEADLK, "Deadlock"},
#endif
#ifdef ENOMEM
    {ENOMEM, "OutOfMemory"},
#endif
#ifdef EBUSY
    {EBUSY, "ResourceBusy"},
#endif
#ifdef EEXIST
    {EEXIST, "AlreadyExists"},
#endif
#ifdef EXDEV
    {EXDEV, "CrossesDevices"},
#endif
#ifdef ENOTDIR
    {ENOTDIR, "NotADirectory"},
#endif
#ifdef EISDIR
    {EISDIR, "IsADirectory"},
#endif
#ifdef EINVAL
    {EINVAL, "InvalidInput"},
#endif
#ifdef ENFILE
    {ENFILE, "TooManyOpenFiles"},
#endif
#ifdef EMFILE
    {EMFILE, "TooManyOpenFiles"},
#endif
#ifdef ETXTBSY
    {ETXTBSY, "ExecutableFileBusy"},
#endif
#ifdef EFBIG
    {EFBIG, "FileTooLarge"},
#endif
#ifdef ENOSPC
    {ENOSPC, "StorageFull"},
#endif
#ifdef ESPIPE
    {ESPIPE, "NotSeekable"},
#endif
#ifdef EROFS
    {EROFS, "ReadOnlyFilesystem"},
#endif
#ifdef EMLINK
    {EMLINK, "TooManyLinks"},
#endif
#ifdef EPIPE
    {EPIPE, "BrokenPipe"},
#endif
#ifdef EAGAIN
    {EAGAIN, "WouldBlock"},
#endif
#ifdef EWOULDBLOCK
    {EWOULDBLOCK, "WouldBlock"},
#endif
#ifdef EINPROGRESS
    {EINPROGRESS, "InProgress"},
#endif
#ifdef ENOTSUP
    {ENOTSUP, "Unsupported"},
#endif
#ifdef EOPNOTSUPP
    {EOPNOTSUPP, "Unsupported"},
#endif
#ifdef ENOSYS
    {ENOSYS, "Unsupported"},
#endif
#ifdef EADDRINUSE
    {EADDRINUSE, "AddrInUse"},
#endif
#ifdef EADDRNOTAVAIL
    {EADDRNOTAVAIL, "AddrNotAvailable"},
#endif
#ifdef ENETDOWN
    {ENETDOWN, "NetworkDown"},
#endif
#ifdef ENETUNREACH
    {ENETUNREACH, "NetworkUnreachable"},
#endif
#ifdef ECONNABORTED
    {ECONNABORTED, "ConnectionAborted"},
#endif
#ifdef ECONNRESET
    {ECONNRESET, "ConnectionReset"},
#endif
#ifdef ENOTCONN
    {ENOTCONN, "NotConnected"},
#endif
#ifdef ETIMEDOUT
    {ETIMEDOUT, "TimedOut"},
#endif
#ifdef ECONNREFUSED
    {ECONNREFUSED, "ConnectionRefused"},
#endif
#ifdef ELOOP
    {ELOOP, "FilesystemLoop"},
#endif
#ifdef ENAMETOOLONG
    {ENAMETOOLONG, "InvalidFilename"},
#endif
#ifdef EHOSTUNREACH
    {EHOSTUNREACH, "HostUnreachable"},
#endif
#ifdef ENOTEMPTY
    {ENOTEMPTY, "DirectoryNotEmpty"},
#endif
#ifdef EDQUOT
    {EDQUOT, "QuotaExceeded"},
#endif
#ifdef ESTALE
    {ESTALE, "StaleNetworkFileHandle"},
#endif
};

const char* find(const ErrnoRow* begin, const ErrnoRow* end, int number) {
  for (const ErrnoRow* row = begin; row != end; ++row) {
    if (row->number == number) return row->text;
  }
  return nullptr;
}

#ifdef __APPLE__
// strerror_r has two incompatible signatures (GNU returns a pointer, POSIX an
// int); overloads on the result pick whichever the platform declared.
[[maybe_unused]] const char* strerror_result(const char* result, const char*) { return result; }
[[maybe_unused]] const char* strerror_result(int result, const char* buffer) {
  return result == 0 ? buffer : nullptr;
}
#endif

}  // namespace

std::string strerror_text(int errnum) {
#ifdef __APPLE__
  char buffer[256] = {};
  const char* text = strerror_result(strerror_r(errnum, buffer, sizeof buffer), buffer);
#else
  // Parents on Linux know glibc's texts, and a bridge linked with another C
  // library (the static release build has musl: "No file descriptors
  // available" for EMFILE) must still show those.
  const char* text = linux_error_text(errnum);
#endif
  if (text == nullptr || *text == '\0') {
    return std::string("Unknown error ").append(std::to_string(errnum));
  }
  return text;
}

const char* errno_name(int errnum) { return find(std::begin(kNames), std::end(kNames), errnum); }

std::string errno_name_and_description(int errnum) {
  // Built by appending: g++ 12 at -O3 warns falsely (-Wrestrict) on "literal" + std::string.
  const char* name = errno_name(errnum);
  std::string shown;
  if (name != nullptr) {
    shown.append(name);
  } else {
    shown.append("E").append(std::to_string(errnum));
  }
  shown.append(": ").append(strerror_text(errnum));
  return shown;
}

const char* os_error_kind_name(int errnum) {
  const char* kind = find(std::begin(kKinds), std::end(kKinds), errnum);
  return kind != nullptr ? kind : "Uncategorized";
}

std::string os_error_debug(int errnum) {
  std::string text("Os { code: ");
  text.append(std::to_string(errnum)).append(", kind: ").append(os_error_kind_name(errnum));
  text.append(", message: \"").append(strerror_text(errnum)).append("\" }");
  return text;
}

}  // namespace qlp
