#include "winport/base/errors.h"

#include <cerrno>

namespace winport {

namespace {

struct ErrnoMapping {
    int err;
    uint32_t code;
};

// File and system errors, as Windows reports them for the same failures.
constexpr ErrnoMapping kWin32FromErrno[] = {
    {0, ERROR_SUCCESS},
    {ENOENT, ERROR_FILE_NOT_FOUND},
    {ENOTDIR, ERROR_PATH_NOT_FOUND},
    {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
    {ENFILE, ERROR_TOO_MANY_OPEN_FILES},
    {EACCES, ERROR_ACCESS_DENIED},
    {EPERM, ERROR_ACCESS_DENIED},
    {EISDIR, ERROR_ACCESS_DENIED},
    {EROFS, ERROR_ACCESS_DENIED},
    {EBADF, ERROR_INVALID_HANDLE},
    {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
    {EIO, ERROR_READ_FAULT},
    {EBUSY, ERROR_BUSY},
    {ETXTBSY, ERROR_SHARING_VIOLATION},
    {EEXIST, ERROR_FILE_EXISTS},
    {EINVAL, ERROR_INVALID_PARAMETER},
    {EPIPE, ERROR_BROKEN_PIPE},
    {ENOSPC, ERROR_DISK_FULL},
    {EDQUOT, ERROR_DISK_FULL},
    {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE},
    {ELOOP, ERROR_INVALID_NAME},
    {EFBIG, ERROR_BAD_FORMAT},
    {ETIMEDOUT, ERROR_TIMEOUT},
    {ECANCELED, ERROR_CANCELLED},
    {ENOTSUP, ERROR_NOT_SUPPORTED},
};

constexpr ErrnoMapping kWsaFromErrno[] = {
    {EINTR, WSAEINTR},
    {EBADF, WSAENOTSOCK},
    {EACCES, WSAEACCES},
    {EPERM, WSAEACCES},
    {EFAULT, WSAEFAULT},
    {EINVAL, WSAEINVAL},
    {EMFILE, WSAEMFILE},
    {ENFILE, WSAEMFILE},
    {EAGAIN, WSAEWOULDBLOCK},
    {EINPROGRESS, WSAEINPROGRESS},
    {EALREADY, WSAEALREADY},
    {ENOTSOCK, WSAENOTSOCK},
    {EDESTADDRREQ, WSAEDESTADDRREQ},
    {EMSGSIZE, WSAEMSGSIZE},
    {EPROTOTYPE, WSAEPROTOTYPE},
    {ENOPROTOOPT, WSAENOPROTOOPT},
    {EPROTONOSUPPORT, WSAEPROTONOSUPPORT},
    {ESOCKTNOSUPPORT, WSAESOCKTNOSUPPORT},
    {EOPNOTSUPP, WSAEOPNOTSUPP},
    {EPFNOSUPPORT, WSAEPFNOSUPPORT},
    {EAFNOSUPPORT, WSAEAFNOSUPPORT},
    {EADDRINUSE, WSAEADDRINUSE},
    {EADDRNOTAVAIL, WSAEADDRNOTAVAIL},
    {ENETDOWN, WSAENETDOWN},
    {ENETUNREACH, WSAENETUNREACH},
    {ENETRESET, WSAENETRESET},
    {ECONNABORTED, WSAECONNABORTED},
    {ECONNRESET, WSAECONNRESET},
    {ENOBUFS, WSAENOBUFS},
    {ENOMEM, WSAENOBUFS},
    {EISCONN, WSAEISCONN},
    {ENOTCONN, WSAENOTCONN},
    {ESHUTDOWN, WSAESHUTDOWN},
    {ETIMEDOUT, WSAETIMEDOUT},
    {ECONNREFUSED, WSAECONNREFUSED},
    {EHOSTDOWN, WSAEHOSTDOWN},
    {EHOSTUNREACH, WSAEHOSTUNREACH},
};

struct CodeText {
    uint32_t code;
    const char* text;
};

constexpr CodeText kTexts[] = {
    {ERROR_SUCCESS, "The operation completed successfully."},
    {ERROR_INVALID_FUNCTION, "Incorrect function."},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
    {ERROR_TOO_MANY_OPEN_FILES, "The system cannot open the file."},
    {ERROR_ACCESS_DENIED, "Access is denied."},
    {ERROR_INVALID_HANDLE, "The handle is invalid."},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command."},
    {ERROR_BAD_FORMAT, "An attempt was made to load a program with an incorrect format."},
    {ERROR_INVALID_DATA, "The data is invalid."},
    {ERROR_OUTOFMEMORY, "Not enough memory resources are available to complete this operation."},
    {ERROR_NOT_READY, "The device is not ready."},
    {ERROR_WRITE_FAULT, "The system cannot write to the specified device."},
    {ERROR_READ_FAULT, "The system cannot read from the specified device."},
    {ERROR_SHARING_VIOLATION,
     "The process cannot access the file because it is being used by another process."},
    {ERROR_LOCK_VIOLATION,
     "The process cannot access the file because another process has locked a portion of the file."},
    {ERROR_HANDLE_EOF, "Reached the end of the file."},
    {ERROR_NOT_SUPPORTED, "The request is not supported."},
    {ERROR_FILE_EXISTS, "The file exists."},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
    {ERROR_BROKEN_PIPE, "The pipe has been ended."},
    {ERROR_BUFFER_OVERFLOW, "The file name is too long."},
    {ERROR_DISK_FULL, "There is not enough space on the disk."},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small."},
    {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect."},
    {ERROR_MOD_NOT_FOUND, "The specified module could not be found."},
    {ERROR_PROC_NOT_FOUND, "The specified procedure could not be found."},
    {ERROR_BAD_PATHNAME, "The specified path is invalid."},
    {ERROR_BUSY, "The requested resource is in use."},
    {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists."},
    {ERROR_FILENAME_EXCED_RANGE, "The filename or extension is too long."},
    {ERROR_MORE_DATA, "More data is available."},
    {ERROR_NO_MORE_ITEMS, "No more data is available."},
    {ERROR_DIRECTORY, "The directory name is invalid."},
    {ERROR_BADDB, "The configuration registry database is corrupt."},
    {ERROR_REGISTRY_IO_FAILED, "An I/O operation initiated by the registry failed unrecoverably."},
    {ERROR_KEY_DELETED, "Illegal operation attempted on a registry key that has been marked for deletion."},
    {ERROR_CANCELLED, "The operation was canceled by the user."},
    {ERROR_TIMEOUT, "This operation returned because the timeout period expired."},
    {WSAEINTR, "A blocking operation was interrupted."},
    {WSAEBADF, "The file handle supplied is not valid."},
    {WSAEACCES, "An attempt was made to access a socket in a way forbidden by its access permissions."},
    {WSAEFAULT, "The system detected an invalid pointer address."},
    {WSAEINVAL, "An invalid argument was supplied."},
    {WSAEMFILE, "Too many open sockets."},
    {WSAEWOULDBLOCK, "A non-blocking socket operation could not be completed immediately."},
    {WSAEINPROGRESS, "A blocking operation is currently executing."},
    {WSAEALREADY,
     "An operation was attempted on a non-blocking socket that already had an operation in progress."},
    {WSAENOTSOCK, "An operation was attempted on something that is not a socket."},
    {WSAEDESTADDRREQ, "A required address was omitted from an operation on a socket."},
    {WSAEMSGSIZE, "A message sent on a datagram socket was larger than the internal message buffer."},
    {WSAEPROTOTYPE, "A protocol was specified that does not support the semantics of the socket type."},
    {WSAENOPROTOOPT, "An unknown, invalid, or unsupported option or level was specified."},
    {WSAEPROTONOSUPPORT, "The requested protocol has not been configured into the system."},
    {WSAESOCKTNOSUPPORT, "The support for the specified socket type does not exist."},
    {WSAEOPNOTSUPP, "The attempted operation is not supported for the type of object referenced."},
    {WSAEPFNOSUPPORT, "The protocol family has not been configured into the system."},
    {WSAEAFNOSUPPORT, "An address incompatible with the requested protocol was used."},
    {WSAEADDRINUSE, "Only one usage of each socket address is normally permitted."},
    {WSAEADDRNOTAVAIL, "The requested address is not valid in its context."},
    {WSAENETDOWN, "A socket operation encountered a dead network."},
    {WSAENETUNREACH, "A socket operation was attempted to an unreachable network."},
    {WSAENETRESET, "The connection has been broken due to keep-alive activity."},
    {WSAECONNABORTED, "An established connection was aborted by the software in your host machine."},
    {WSAECONNRESET, "An existing connection was forcibly closed by the remote host."},
    {WSAENOBUFS, "No buffer space is available for the socket operation."},
    {WSAEISCONN, "A connect request was made on an already connected socket."},
    {WSAENOTCONN, "The socket is not connected."},
    {WSAESHUTDOWN, "The socket had already been shut down."},
    {WSAETIMEDOUT, "The connection attempt timed out."},
    {WSAECONNREFUSED, "The target machine actively refused the connection."},
    {WSAEHOSTDOWN, "The destination host was down."},
    {WSAEHOSTUNREACH, "A socket operation was attempted to an unreachable host."},
    {WSANOTINITIALISED, "Windows Sockets has not been started."},
    {static_cast<uint32_t>(E_NOTIMPL), "Not implemented."},
    {static_cast<uint32_t>(E_NOINTERFACE), "No such interface supported."},
    {static_cast<uint32_t>(E_POINTER), "Invalid pointer."},
    {static_cast<uint32_t>(E_ABORT), "Operation aborted."},
    {static_cast<uint32_t>(E_FAIL), "Unspecified error."},
    {static_cast<uint32_t>(E_UNEXPECTED), "Catastrophic failure."},
    {static_cast<uint32_t>(CLASS_E_NOAGGREGATION), "Class does not support aggregation."},
    {static_cast<uint32_t>(CLASS_E_CLASSNOTAVAILABLE), "The class is not available from this library."},
    {static_cast<uint32_t>(REGDB_E_READREGDB), "Could not read the registry."},
    {static_cast<uint32_t>(REGDB_E_WRITEREGDB), "Could not write the registry."},
    {static_cast<uint32_t>(REGDB_E_KEYMISSING), "Could not find the key in the registry."},
    {static_cast<uint32_t>(REGDB_E_CLASSNOTREG), "Class not registered."},
    {static_cast<uint32_t>(CO_E_CLASSSTRING), "Invalid class string."},
    {static_cast<uint32_t>(CO_E_DLLNOTFOUND), "The library of the class could not be found."},
    {static_cast<uint32_t>(CO_E_ERRORINDLL), "The library of the class could not be loaded."},
    {static_cast<uint32_t>(CONNECT_E_NOCONNECTION), "No such connection."},
    {static_cast<uint32_t>(CONNECT_E_ADVISELIMIT), "No more connections can be made."},
    {static_cast<uint32_t>(CONNECT_E_CANNOTCONNECT), "The sink does not support the event interface."},
    {static_cast<uint32_t>(DISP_E_UNKNOWNINTERFACE), "Unknown interface."},
    {static_cast<uint32_t>(DISP_E_MEMBERNOTFOUND), "Member not found."},
    {static_cast<uint32_t>(DISP_E_PARAMNOTFOUND), "Parameter not found."},
    {static_cast<uint32_t>(DISP_E_TYPEMISMATCH), "Type mismatch."},
    {static_cast<uint32_t>(DISP_E_UNKNOWNNAME), "Unknown name."},
    {static_cast<uint32_t>(DISP_E_NONAMEDARGS), "No named arguments."},
    {static_cast<uint32_t>(DISP_E_BADVARTYPE), "Bad variable type."},
    {static_cast<uint32_t>(DISP_E_EXCEPTION), "Exception occurred."},
    {static_cast<uint32_t>(DISP_E_OVERFLOW), "Out of present range."},
    {static_cast<uint32_t>(DISP_E_BADINDEX), "Invalid index."},
    {static_cast<uint32_t>(DISP_E_BADPARAMCOUNT), "Invalid number of parameters."},
    {static_cast<uint32_t>(DISP_E_PARAMNOTOPTIONAL), "Parameter not optional."},
    {static_cast<uint32_t>(TYPE_E_INVDATAREAD), "Error reading the type library."},
    {static_cast<uint32_t>(TYPE_E_UNSUPFORMAT), "The type library has an older or unknown format."},
    {static_cast<uint32_t>(TYPE_E_REGISTRYACCESS), "Error accessing the registry."},
    {static_cast<uint32_t>(TYPE_E_ELEMENTNOTFOUND), "Element not found."},
    {static_cast<uint32_t>(TYPE_E_LIBNOTREGISTERED), "Library not registered."},
    {static_cast<uint32_t>(TYPE_E_CANTLOADLIBRARY), "Error loading type library."},
};

template <size_t N>
uint32_t Lookup(const ErrnoMapping (&table)[N], int err, uint32_t fallback) {
    for (const auto& m : table)
        if (m.err == err)
            return m.code;
    return fallback;
}

}  // namespace

DWORD Win32ErrorFromErrno(int err) {
    return Lookup(kWin32FromErrno, err, ERROR_INVALID_FUNCTION);
}

int WsaErrorFromErrno(int err) {
    return static_cast<int>(Lookup(kWsaFromErrno, err, WSAEINVAL));
}

const char* ErrorText(uint32_t code) {
    for (const auto& t : kTexts)
        if (t.code == code)
            return t.text;
    // An HRESULT that wraps a Win32 code reads as that code.
    if ((code & 0xFFFF0000u) == 0x80070000u)
        return ErrorText(code & 0xFFFFu);
    return "Unknown error.";
}

}  // namespace winport
